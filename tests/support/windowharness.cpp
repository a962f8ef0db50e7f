// SPDX-License-Identifier: MIT
#include "support/windowharness.h"

#include "app/sharedstate.h"

#include <QtTest>

namespace testsupport {

WindowHarness::WindowHarness(const meter::Timing &timing)
{
    currentPortName.clear();
    measureState = 0;
    wavelengthMode = 0;
    sim.setNoise(0);
    if (!sim.start())
        qWarning("simulator did not start: %s", qPrintable(sim.errorString()));
    window = std::make_unique<MainWindow>();
    link()->setTiming(timing);
    window->show();
}

WindowHarness::~WindowHarness()
{
    window.reset();
}

QPushButton *WindowHarness::button(const char *name) const
{
    return widget<QPushButton>(window.get(), name);
}

QLabel *WindowHarness::label(const char *name) const
{
    return widget<QLabel>(window.get(), name);
}

QString WindowHarness::text(const char *labelName) const
{
    QLabel *found = label(labelName);
    return found ? found->text() : QStringLiteral("<missing %1>").arg(QLatin1String(labelName));
}

QSerialPort *WindowHarness::port() const
{
    return window->findChild<QSerialPort *>();
}

meter::MeterLink *WindowHarness::link() const
{
    return window->findChild<meter::MeterLink *>();
}

bool WindowHarness::openSimulatedPort()
{
    selectPort(window.get(), sim.portPath());
    const int boxesBefore = boxes.boxes().size();
    click("pushButton_OpenPort");
    if (!boxes.waitForBoxes(boxesBefore + 1))
        return false;
    return waitUntil([&] { return button("pushButton_read")->isEnabled(); }, 3000);
}

void WindowHarness::click(const char *buttonName)
{
    QPushButton *target = button(buttonName);
    if (target)
        target->click();
}

int WindowHarness::written(quint8 command) const
{
    return sim.received().count(char(command));
}

bool WindowHarness::waitForWritten(quint8 command, int count, int timeoutMs)
{
    return waitUntil([&] { return written(command) >= count; }, timeoutMs);
}

int WindowHarness::unanswered() const
{
    return sim.received().size() - sim.repliesSent();
}

} // namespace testsupport
