#pragma once

#include <functional>

class QCoreApplication;

// Ctrl-C (SIGINT) and SIGTERM reach the event loop as a call of interrupt,
// so a console program ends the way it would when done. Unix only; elsewhere
// the default handling stays. False when the handlers could not be set up.
bool onInterrupt(QCoreApplication &app, const std::function<void()> &interrupt);
