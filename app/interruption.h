// SPDX-License-Identifier: MIT
#pragma once

#include <functional>

class QCoreApplication;

// Ctrl-C (SIGINT), SIGTERM, SIGHUP and SIGPIPE reach the event loop as a
// call of interrupt, so a console program ends the way it would when done;
// a write to a closed pipe then fails with EPIPE instead of killing it. Unix only; elsewhere
// the default handling stays. False when the handlers could not be set up.
bool onInterrupt(QCoreApplication &app, const std::function<void()> &interrupt);
