// Figures and targets for the meter path: protocol cost per frame, the live
// display's reading rate and CPU through a real serial port, and the CPU left
// burning after the cable is pulled. Prints one line per figure and exits
// non-zero when a target is missed.

#include "app/sharedstate.h"
#include "meter/protocol.h"
#include "support/windowharness.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <sys/resource.h>

#include <cstdio>

namespace {

long maxResidentKb()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int failures = 0;

void report(const char *what, double value, const char *unit, bool met, const char *target)
{
    std::printf("%-44s %12.2f %-10s target %-14s %s\n", what, value, unit, target, met ? "met" : "MISSED");
    if (!met)
        ++failures;
}

// Frames cut at every odd split and turned into the shown texts.
void protocolCost()
{
    const int frames = 1000000;
    QByteArray stream;
    for (int i = 0; i < frames; ++i)
        stream += meter::powerFrame(quint16(i), i & 1, i & 2);
    meter::FrameAssembler assembler;
    QElapsedTimer timer;
    timer.start();
    qint64 textLength = 0;
    for (int offset = 0; offset < stream.size(); offset += 7) {
        for (const QByteArray &bytes : assembler.push(stream.mid(offset, 7))) {
            const meter::Frame decoded = meter::decodeFrame(bytes);
            textLength += meter::magnitudeText(decoded).size() + meter::signText(decoded).size()
                          + meter::unitText(decoded).size();
        }
    }
    const double nsPerFrame = double(timer.nsecsElapsed()) / frames;
    report("protocol: assemble, decode, format", nsPerFrame, "ns/frame", nsPerFrame < 2000, "< 2000");
    if (textLength == 0)
        std::printf("(no text)\n");
}

void liveDisplay()
{
    testsupport::WindowHarness h;
    h.sim.setPowerLevel(-15.0);
    if (!h.openSimulatedPort()) {
        report("live display: port opened", 0, "", false, "opens");
        return;
    }
    h.click("pushButton_read");
    QTest::qWait(200);
    const int repliesBefore = h.sim.repliesSent();
    const double cpuBefore = testsupport::processCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    QTest::qWait(3000);
    const double seconds = timer.elapsed() / 1000.0;
    const int readings = h.sim.repliesSent() - repliesBefore;
    const double rate = readings / seconds;
    const double cpuPerReading = readings ? (testsupport::processCpuSeconds() - cpuBefore) / readings * 1e6 : 0;
    // The meter answers in milliseconds; 100 readings a second is far above
    // what the eye or the meter needs, so the window must never be the limit.
    report("live display: readings, simulator, no delay", rate, "per s", rate >= 100, ">= 100/s");
    report("live display: CPU per reading (both ends)", cpuPerReading, "us", cpuPerReading < 2000, "< 2000 us");
    h.click("pushButton_read");
    QTest::qWait(100);

    const double cpuAtLoss = testsupport::processCpuSeconds();
    h.sim.hangUp();
    h.boxes.waitForBoxes(2, 3000);
    QTest::qWait(1000);
    const double lossCpu = testsupport::processCpuSeconds() - cpuAtLoss;
    report("cable pulled: CPU in the second after", lossCpu, "s", lossCpu < 0.1, "< 0.1 s");
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    protocolCost();
    liveDisplay();
    const long residentKb = maxResidentKb();
    report("peak resident memory", residentKb / 1024.0, "MiB", residentKb < 200 * 1024, "< 200 MiB");
    return failures == 0 ? 0 : 1;
}
