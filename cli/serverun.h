// SPDX-License-Identifier: MIT
#pragma once

class QCoreApplication;

namespace cli {

struct Options;

// zerak-cli serve: the meter as a SCPI instrument on a socket, until Ctrl-C,
// SIGTERM or SIGHUP (exit 0).
int serve(QCoreApplication &app, const Options &options);

} // namespace cli
