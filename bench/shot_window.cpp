// SPDX-License-Identifier: MIT
// The window as the screen shows it, saved as a PNG, to compare pixel by
// pixel before and after a change meant to leave it looking the same.
// Measurements on against the simulated meter, the reading stepped through
// levels whose texts grow, shrink and change sign and unit; the last one
// held still while the window is grabbed. With --fresh only the last level
// is ever shown, so the two shots must be equal too.
//
//   xvfb-run -a env QT_QPA_PLATFORM=xcb shot_window OUT.png [--fresh]
//   compare -metric AE before.png after.png null:      (0: the same)

#include "app/appsetup.h"
#include "support/windowharness.h"

#include <QApplication>
#include <QLabel>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

namespace {

struct Level
{
    double power;
    bool decibel;
};

bool shows(testsupport::WindowHarness &h, const Level &level)
{
    h.sim.setPowerInDecibel(level.decibel);
    h.sim.setPowerLevel(level.power);
    const QString magnitude = QString::number(qAbs(level.power), 'f', 2);
    const QString unit = level.decibel ? QStringLiteral("dB") : QStringLiteral("dBm");
    return testsupport::waitUntil(
        [&] { return h.text("label_7") == magnitude && h.text("label_8") == unit; }, 5000);
}

} // namespace

int main(int argc, char *argv[])
{
    setUpBeforeApplication();
    QApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 2) {
        std::fprintf(stderr, "usage: shot_window OUT.png [--fresh]\n");
        return 2;
    }
    const bool fresh = arguments.contains(QLatin1String("--fresh"));
    testsupport::WindowHarness h(meter::Timing{});
    h.window->show();
    h.sim.setNoise(0);
    if (!h.openSimulatedPort()) {
        std::fprintf(stderr, "shot_window: the simulated meter's port did not open\n");
        return 1;
    }
    const QVector<Level> steps = {{-188.88, false}, {-8.88, false}, {12.5, false}, {-1.23, true}, {-15.02, false}};
    if (!fresh)
        h.sim.setPowerLevel(steps.first().power);
    else
        h.sim.setPowerLevel(steps.last().power);
    h.click("pushButton_read");
    for (int i = fresh ? steps.size() - 1 : 0; i < steps.size(); ++i) {
        if (!shows(h, steps.at(i))) {
            std::fprintf(stderr, "shot_window: level %g never showed\n", steps.at(i).power);
            return 1;
        }
    }
    // Readings keep coming, all the same: let a few be painted.
    testsupport::waitUntil([] { return false; }, 300);
    const QPixmap shot = h.window->screen()->grabWindow(h.window->winId());
    if (!shot.save(arguments.at(1))) {
        std::fprintf(stderr, "shot_window: could not write %s\n", qPrintable(arguments.at(1)));
        return 1;
    }
    std::printf("%s: %dx%d, %s %s%s %s\n", qPrintable(arguments.at(1)), shot.width(), shot.height(),
                qPrintable(h.text("label_5")), qPrintable(h.text("label_9")), qPrintable(h.text("label_7")),
                qPrintable(h.text("label_8")));
    return 0;
}
