// SPDX-License-Identifier: MIT
#pragma once

// The standard SCPI error codes this instrument reports, their texts, and a
// client's error queue.

#include <QByteArray>
#include <QVector>

namespace scpi {

enum ErrorCode {
    noError = 0,
    commandError = -100,
    syntaxError = -102,
    dataTypeError = -104,
    parameterNotAllowed = -108,
    missingParameter = -109,
    undefinedHeader = -113,
    headerSuffixOutOfRange = -114,
    invalidSuffix = -131,
    suffixNotAllowed = -138,
    parameterError = -220,
    settingsConflict = -221,
    dataOutOfRange = -222,
    illegalParameterValue = -224,
    dataStale = -230,
    hardwareError = -240,
    hardwareMissing = -241,
    queueOverflow = -350,
    inputBufferOverrun = -363,
    queryInterrupted = -410,
    queryUnterminated = -420,
};

// Empty for a code this instrument never reports.
QByteArray errorText(int code);
bool isKnownError(int code);
// `-113,"Undefined header"`, as SYST:ERR? answers.
QByteArray errorEntry(int code);

// The event status register's bits (IEEE 488.2).
enum EventBit : quint8 {
    operationComplete = 0x01,
    queryErrorBit = 0x04,
    deviceErrorBit = 0x08,
    executionErrorBit = 0x10,
    commandErrorBit = 0x20,
};
// The bit an error sets: command, execution, device-dependent or query error.
quint8 eventBitFor(int code);

class ErrorQueue
{
public:
    static constexpr int capacity = 20;

    // When full, the newest entry becomes -350 and the error is lost.
    void push(int code);
    // noError when empty.
    int pop();
    void clear() { entries.clear(); }
    int count() const { return entries.size(); }
    bool isEmpty() const { return entries.isEmpty(); }
    const QVector<int> &codes() const { return entries; }

private:
    QVector<int> entries; // oldest first
};

} // namespace scpi
