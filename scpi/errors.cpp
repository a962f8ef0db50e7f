// SPDX-License-Identifier: MIT
#include "scpi/errors.h"

namespace scpi {

QByteArray errorText(int code)
{
    switch (code) {
    case noError: return "No error";
    case commandError: return "Command error";
    case syntaxError: return "Syntax error";
    case dataTypeError: return "Data type error";
    case parameterNotAllowed: return "Parameter not allowed";
    case missingParameter: return "Missing parameter";
    case undefinedHeader: return "Undefined header";
    case headerSuffixOutOfRange: return "Header suffix out of range";
    case invalidSuffix: return "Invalid suffix";
    case suffixNotAllowed: return "Suffix not allowed";
    case parameterError: return "Parameter error";
    case settingsConflict: return "Settings conflict";
    case dataOutOfRange: return "Data out of range";
    case illegalParameterValue: return "Illegal parameter value";
    case dataStale: return "Data corrupt or stale";
    case hardwareError: return "Hardware error";
    case hardwareMissing: return "Hardware missing";
    case queueOverflow: return "Queue overflow";
    case inputBufferOverrun: return "Input buffer overrun";
    case queryInterrupted: return "Query INTERRUPTED";
    case queryUnterminated: return "Query UNTERMINATED";
    }
    return {};
}

bool isKnownError(int code)
{
    return !errorText(code).isEmpty();
}

QByteArray errorEntry(int code)
{
    return QByteArray::number(code) + ",\"" + errorText(code) + '"';
}

quint8 eventBitFor(int code)
{
    if (code <= -100 && code > -200)
        return commandErrorBit;
    if (code <= -200 && code > -300)
        return executionErrorBit;
    // The overflow only stands in for an error that has set its own bit.
    if (code <= -300 && code > -400 && code != queueOverflow)
        return deviceErrorBit;
    if (code <= -400 && code > -500)
        return queryErrorBit;
    return 0;
}

void ErrorQueue::push(int code)
{
    if (entries.size() < capacity)
        entries.append(code);
    else
        entries.last() = queueOverflow;
}

int ErrorQueue::pop()
{
    return entries.isEmpty() ? int(noError) : entries.takeFirst();
}

} // namespace scpi
