// SPDX-License-Identifier: MIT
#include "session/exitcode.h"

#include "port/lineport.h"

namespace session {

ExitCode exitCodeFor(const OpenFailure &failure)
{
    switch (failure.kind) {
    case OpenFailure::Busy:
    case OpenFailure::NotPermitted:
    case OpenFailure::StaleLock:
        return exitPortBusy;
    case OpenFailure::NoSuchPort:
    case OpenFailure::NotSerialPort:
    case OpenFailure::PathTooLong:
        break;
    }
    return exitNoSuchPort;
}

QString openFailureText(const OpenFailure &failure)
{
    QString reason = failure.reason;
    const QString &group = failure.group;
    if (failure.kind == OpenFailure::NotPermitted && !group.isEmpty() && group != QLatin1String("root"))
        reason += QStringLiteral("; add your user to the %1 group: sudo usermod -aG %1 $USER, then log in again")
                      .arg(group);
    else if (failure.kind == OpenFailure::NotPermitted)
        reason += QStringLiteral("; give the device to the dialout group (a udev rule) and add your user to it: "
                                 "sudo usermod -aG dialout $USER, then log in again");
    return reason;
}

} // namespace session
