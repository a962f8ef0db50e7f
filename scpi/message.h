// SPDX-License-Identifier: MIT
#pragma once

// A program message (one line, its terminator taken off) cut into units:
// headers and their data, as IEEE 488.2 writes them. Nothing is looked up
// here: whether a header exists is the command table's business.

#include <QByteArray>
#include <QVector>

namespace scpi {

struct Param
{
    enum class Kind {
        Number,    // decimal numeric, with or without a suffix
        Character, // character data: ON, DBM, MIN ...
        String,    // quoted
        Other,     // block, non-decimal numeric, expression: no command takes one
    };
    Kind kind = Kind::Number;
    double number = 0;
    QByteArray suffix; // upper case; empty when none
    QByteArray text;   // Character: upper case; String: its content
};

struct Unit
{
    bool common = false; // *IDN
    bool rooted = false; // began with ':'
    bool query = false;
    QVector<QByteArray> mnemonics; // upper case, as written, numeric suffixes included
    QVector<Param> params;
};

struct Message
{
    QVector<Unit> units;
    // A command error met after these units: they run, then it is reported
    // and the rest of the line is not.
    int errorCode = 0;
    bool hasQuery() const;
};

Message parseMessage(const QByteArray &line);

// Any byte up to the space but the newline is white space (IEEE 488.2).
inline bool isWhiteSpace(char c)
{
    return quint8(c) <= 0x20 && c != '\n';
}

} // namespace scpi
