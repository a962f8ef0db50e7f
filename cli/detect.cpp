// SPDX-License-Identifier: MIT
#include "cli/detect.h"

#include "cli/console.h"
#include "cli/options.h"

namespace cli {

DetectRun::DetectRun(const meter::Timing &timing, QObject *parent)
    : QObject(parent), detector(new session::Detector(timing, this))
{
    connect(detector, &session::Detector::skipped, this, [](const QString &path, const QString &reason) {
        printError(path + QStringLiteral(": ") + reason + QStringLiteral(", skipped"));
    });
    connect(detector, &session::Detector::finished, this, &DetectRun::detected);
}

void DetectRun::start()
{
    detector->start();
}

void DetectRun::interrupt()
{
    detector->interrupt();
}

void DetectRun::detected(const QVector<session::DetectedPort> &ports)
{
    int found = 0;
    bool written = true;
    for (const session::DetectedPort &port : ports) {
        if (port.wavelength) {
            written = printLine(port.path + QStringLiteral("  ") + meter::wavelengthText(*port.wavelength)) && written;
            ++found;
        } else if (!port.problem.isEmpty()) {
            printError(port.path + QStringLiteral(": ") + port.problem + QStringLiteral(", skipped"));
        }
    }
    if (found == 0)
        printError(QStringLiteral("no meter answered"));
    if (!written)
        printError(stdoutError());
    emit finished(!written ? exitFailure : found > 0 ? exitOk : exitNoReply);
}

} // namespace cli
