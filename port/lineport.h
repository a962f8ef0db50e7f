// SPDX-License-Identifier: MIT
#pragma once

// The meter's serial line: its settings are set here and nowhere else.

#include <QSerialPort>
#include <QString>

#include <optional>

// 115200 baud both ways, 8 data bits, no parity, 1 stop bit, no flow control.
void applyMeterLineSettings(QSerialPort &port);

struct OpenFailure
{
    enum Kind { NoSuchPort, Busy, NotPermitted, NotSerialPort, PathTooLong, StaleLock };
    Kind kind;
    QString reason; // "no such port", "port busy: ...", each naming the real cause
    QString group;  // NotPermitted: the group the device belongs to, where known
};

// Opens with the meter's line settings and drops what the device sent
// before: that can only be a reply to somebody else's command.
std::optional<OpenFailure> openMeterPort(QSerialPort &port, const QString &name);

// Closes without waiting for unsent output to drain, which on a stalled
// line can take the kernel half a minute.
void closeMeterPort(QSerialPort &port);
