// SPDX-License-Identifier: MIT
#pragma once

#include "app/mainwindow.h"
#include "sim/metersimulator.h"
#include "support/windowtesting.h"

#include <QLabel>
#include <QPushButton>
#include <QSerialPort>

#include <memory>

namespace testsupport {

// Short enough for the suites to run in seconds, long enough that a loaded
// machine neither cuts a reply in two nor gives it up.
constexpr meter::Timing quickTiming{15, 100};

// A window, a simulated meter on a pseudo-terminal and a message-box watcher,
// with the shared variables reset: what every end-to-end test starts from.
// The window's link runs on the given times.
class WindowHarness
{
public:
    explicit WindowHarness(const meter::Timing &timing = quickTiming);
    ~WindowHarness();

    MeterSimulator sim;
    std::unique_ptr<MainWindow> window;
    MessageBoxWatcher boxes;

    QPushButton *button(const char *name) const;
    QLabel *label(const char *name) const;
    QString text(const char *labelName) const;
    QSerialPort *port() const;
    meter::MeterLink *link() const;
    const meter::Timing &timing() const { return link()->timing(); }

    // Picks the simulator's port, presses Open and waits for the success box
    // and the meter's first reply.
    bool openSimulatedPort();
    void click(const char *buttonName);
    // How many times the program wrote this command byte.
    int written(quint8 command) const;
    bool waitForWritten(quint8 command, int count, int timeoutMs = 3000);
    // Commands written but not yet answered by the simulator.
    int unanswered() const;
};

} // namespace testsupport
