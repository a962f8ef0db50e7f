#pragma once

#include "cli/options.h"

#include <QSerialPort>

#include <optional>

namespace cli {

struct OpenFailure
{
    ExitCode code;
    QString reason; // "no such port", "port busy: ..."
};

// Opens with the window's line settings and drops what the device sent
// before: that can only be a reply to somebody else's command.
std::optional<OpenFailure> openMeterPort(QSerialPort &port, const QString &name);

// Closes without waiting for unsent output to drain, which on a stalled
// line can take the kernel half a minute.
void closeMeterPort(QSerialPort &port);

} // namespace cli
