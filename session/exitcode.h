// SPDX-License-Identifier: MIT
#pragma once

// Every way a run with the meter can end, so a script can tell them apart;
// the command line exits with them and the server reports them alike.

#include <QString>

struct OpenFailure;

namespace session {

enum ExitCode {
    exitOk = 0,
    exitFailure = 1, // anything else, e.g. a row, the chart or the report could not be written
    exitBadArguments = 2,
    exitNoSuchPort = 3,
    exitPortBusy = 4, // busy or not permitted
    exitNoReply = 5,  // no usable reply; also: detect found no meter
    exitDeviceLost = 6,
    exitOutsideLimit = 7, // a reading outside --limit, a loss over --max-loss
    exitNoSuchWavelength = 8,
    exitInterrupted = 9, // interrupted before anything was measured
    exitCannotListen = 14, // serve: the address of --listen could not be listened on
};

ExitCode exitCodeFor(const ::OpenFailure &failure);
// The reason a port would not open, with what to do about a permission.
QString openFailureText(const ::OpenFailure &failure);

} // namespace session
