// SPDX-License-Identifier: MIT
#pragma once

// Command headers as the manual writes them, "[SENSe#]:POWer:WAVelength":
// the upper-case part is the short form, [brackets] mark an optional node,
// '#' a node that takes the numeric suffix 1 (there is one sensor). Matching
// is case-insensitive on the short or the long form, nothing in between.

#include <QByteArray>
#include <QVector>

namespace scpi {

class HeaderPattern
{
public:
    explicit HeaderPattern(const char *text);

    enum class Match { No, Yes, SuffixOutOfRange };
    // mnemonics as written, upper case, the whole path from the root.
    Match match(const QVector<QByteArray> &mnemonics) const;
    bool isCommon() const { return common; }

private:
    struct Node
    {
        QByteArray longForm;  // upper case
        QByteArray shortForm; // upper case
        bool optional = false;
        bool takesSuffix = false;
    };
    struct Written
    {
        QByteArray base;
        int suffix = -1; // -1: none written
    };

    bool matchFrom(int node, const QVector<Written> &written, int at, bool &suffixBad) const;

    QVector<Node> nodes;
    bool common = false;
};

} // namespace scpi
