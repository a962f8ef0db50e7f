// SPDX-License-Identifier: MIT
// A long live run of the window against the simulated meter while its faults
// cycle: clean, split replies, two frames at once, dropped replies, late
// replies, stray frames, garbage, hang-up and reopen. Measurements stay on,
// message boxes are answered with Ok and, after a hang-up, the meter's new
// port is opened, as a user would. Prints the resident memory after 10,000
// readings and at the end, the longest gap between shown readings and the
// label states that show what the meter never sent in that role, and exits
// non-zero when one misses its target.
//
//   soak [readings]     (default 1000000)

#include "app/sharedstate.h"
#include "meter/protocol.h"
#include "support/windowharness.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <limits>

using namespace testsupport;

namespace {

const QByteArray garbage("\xAA\x55\xAA", 3);
// Late enough to be given up, soon enough to stay within the gap target:
// answering in order, the meter cannot show it sooner.
const int lateExtraMs = meter::replyDeadlineMs + 30;
const qint64 gapTargetMs = meter::replyDeadlineMs + 100;

double residentMiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toDouble() * double(sysconf(_SC_PAGESIZE)) / (1024 * 1024) : 0;
}

QString powerText(const meter::Frame &frame)
{
    return meter::signText(frame) + QLatin1Char('|') + meter::magnitudeText(frame) + QLatin1Char('|')
           + meter::unitText(frame);
}

struct Phase
{
    const char *name;
    int readings; // shown in this phase, per cycle
    void (*on)(MeterSimulator &);
    qint64 longestGapMs = 0;
    int wrongStates = 0;
    qint64 shown = 0;
    qint64 elapsedMs = 0;
};

void allOff(MeterSimulator &sim)
{
    sim.setSplitReplies(0, 0);
    sim.setPairReplies(false);
    sim.setDropEvery(0);
    sim.setLateEvery(0, 0);
    sim.setStrayEvery(0);
    sim.setGarbageEvery(0, garbage);
}

class Soak : public QObject
{
public:
    Soak(WindowHarness &h, qint64 target)
        : h(h),
          target(target),
          wavelengthLabel(h.label("label_5")),
          magnitudeLabel(h.label("label_7")),
          unitLabel(h.label("label_8")),
          signLabel(h.label("label_9"))
    {
        auto *link = h.window->findChild<meter::MeterLink *>();
        // After the window's own handlers: the labels already show the reply.
        connect(link, &meter::MeterLink::replyReceived, this, &Soak::readingShown);
        connect(link, &meter::MeterLink::commandGivenUp, this, &Soak::recordLabels);
        connect(&h.sim, &MeterSimulator::answered, this, &Soak::meterAnswered);
        connect(&ticker, &QTimer::timeout, this, &Soak::tick);
        sentWavelengths.insert(meter::blankText);
        sentPowers.insert(QStringLiteral(" | | "));
        clock.start();
        ticker.start(20);
    }

    int result = 1;

private:
    enum Stage { Opening, Running, HungUp, Done };

    void meterAnswered(quint8 command, const QByteArray &bytes)
    {
        if (bytes == garbage)
            return;
        const meter::Frame frame = meter::decodeFrame(bytes);
        // A stray frame is power-shaped and lands while measuring.
        if (command == meter::cmdMeasure || command == 0)
            sentPowers.insert(powerText(frame));
        else
            sentWavelengths.insert(meter::wavelengthText(frame));
    }

    void readingShown()
    {
        const qint64 at = clock.elapsed();
        Phase &phase = phases[phaseIndex];
        if (lastShownMs >= 0) {
            const qint64 gap = at - lastShownMs;
            phase.longestGapMs = qMax(phase.longestGapMs, gap);
        }
        lastShownMs = at;
        ++readings;
        ++phase.shown;
        ++shownInPhase;
        recordLabels();
        if (readings == 10000)
            rssEarly = residentMiB();
        if (readings == target) {
            rssEnd = residentMiB();
            finish();
        }
    }

    void recordLabels()
    {
        const QString wavelength = wavelengthLabel->text();
        const QString power = signLabel->text() + QLatin1Char('|') + magnitudeLabel->text() + QLatin1Char('|')
                              + unitLabel->text();
        if (wavelength != lastWavelength && !sentWavelengths.contains(wavelength))
            wrongState();
        if (power != lastPower && !sentPowers.contains(power))
            wrongState();
        lastWavelength = wavelength;
        lastPower = power;
    }

    void wrongState()
    {
        // Garbage shown as a reading is the meter's doing, for as long as it
        // sends garbage and the frames after it.
        if (garbageUntilMs >= 0 && clock.elapsed() <= garbageUntilMs) {
            ++garbageStates;
            return;
        }
        ++phases[phaseIndex].wrongStates;
        ++wrongStates;
    }

    void tick()
    {
        switch (stage) {
        case Opening:
            if (h.button("pushButton_read")->isEnabled() && h.boxes.boxes().size() > boxesBefore) {
                // Measurement goes on by itself after a reopen.
                if (measureState != 1)
                    h.click("pushButton_read");
                stage = Running;
                startPhase(0);
            }
            break;
        case Running:
            if (shownInPhase >= phases[phaseIndex].readings)
                nextPhase();
            break;
        case HungUp:
            if (h.boxes.boxes().size() > boxesBefore && h.button("pushButton_OpenPort")->isEnabled()) {
                ++reopens;
                if (!h.sim.start()) {
                    std::printf("simulator did not restart: %s\n", qPrintable(h.sim.errorString()));
                    finish();
                    return;
                }
                open();
            }
            break;
        case Done:
            break;
        }
    }

    void startPhase(int index)
    {
        phaseClock.start();
        phaseIndex = index;
        shownInPhase = 0;
        allOff(h.sim);
        if (phases[index].on)
            phases[index].on(h.sim);
        if (phases[index].on == garbageOn)
            garbageUntilMs = std::numeric_limits<qint64>::max();
    }

    void nextPhase()
    {
        phases[phaseIndex].elapsedMs += phaseClock.elapsed();
        if (garbageUntilMs == std::numeric_limits<qint64>::max())
            garbageUntilMs = clock.elapsed() + 2 * meter::replyGapMs;
        if (phaseIndex + 1 < phaseCount) {
            startPhase(phaseIndex + 1);
            return;
        }
        // Hang-up, then the meter's new port is opened from the list.
        allOff(h.sim);
        boxesBefore = h.boxes.boxes().size();
        lastShownMs = -1; // the gap over a reopen does not count
        stage = HungUp;
        h.sim.hangUp();
    }

public:
    void open()
    {
        selectPort(h.window.get(), h.sim.portPath());
        boxesBefore = h.boxes.boxes().size();
        stage = Opening;
        // Queued: the success box runs its own loop, outside this tick.
        QMetaObject::invokeMethod(h.button("pushButton_OpenPort"), "click", Qt::QueuedConnection);
    }

private:
    void finish()
    {
        stage = Done;
        ticker.stop();
        allOff(h.sim);
        const double seconds = clock.elapsed() / 1000.0;
        if (stage == Running)
            phases[phaseIndex].elapsedMs += phaseClock.elapsed();
        std::printf("%-10s %9s %9s %12s %12s\n", "phase", "readings", "seconds", "longest gap", "wrong states");
        qint64 longestGapMs = 0;
        for (const Phase &phase : phases) {
            std::printf("%-10s %9lld %9.1f %9lld ms %12d\n", phase.name, phase.shown, phase.elapsedMs / 1000.0,
                        phase.longestGapMs, phase.wrongStates);
            longestGapMs = qMax(longestGapMs, phase.longestGapMs);
        }
        std::printf("readings %lld in %.0f s (%.0f/s), %d hang-ups and reopens, %d message boxes\n", readings,
                    seconds, readings / seconds, reopens, int(h.boxes.boxes().size()));
        int failures = 0;
        const auto report = [&failures](const char *what, bool met, const QString &figure) {
            std::printf("%-56s %-22s %s\n", what, qPrintable(figure), met ? "met" : "MISSED");
            failures += met ? 0 : 1;
        };
        report("RSS after 10,000 readings / at the end (within 1 MiB)",
               qAbs(rssEnd - rssEarly) <= 1.0,
               QStringLiteral("%1 / %2 MiB").arg(rssEarly, 0, 'f', 2).arg(rssEnd, 0, 'f', 2));
        // A reply lost or held back after a write that waited for a quiet
        // line is shown no sooner than that quiet, the deadline and the quiet
        // after giving up: 50 + 1000 + 50 ms.
        report("longest gap between shown readings, hang-ups aside", longestGapMs <= gapTargetMs,
               QStringLiteral("%1 ms (<= %2)").arg(longestGapMs).arg(gapTargetMs));
        report("label states never sent in that role", wrongStates == 0, QString::number(wrongStates));
        std::printf("label states shown during deliberate garbage: %d\n", garbageStates);
        result = failures == 0 && readings == target ? 0 : 1;
        qApp->exit(result);
    }

    static void garbageOn(MeterSimulator &sim) { sim.setGarbageEvery(500, garbage); }

    WindowHarness &h;
    const qint64 target;
    QLabel *wavelengthLabel;
    QLabel *magnitudeLabel;
    QLabel *unitLabel;
    QLabel *signLabel;
    QTimer ticker;
    QElapsedTimer clock;
    QElapsedTimer phaseClock;
    Stage stage = Opening;
    static constexpr int phaseCount = 7;
    Phase phases[phaseCount] = {
        {"clean", 60000, nullptr},
        {"split", 1000, [](MeterSimulator &sim) { sim.setSplitReplies(2, meter::replyGapMs / 10); }},
        {"pair", 6, [](MeterSimulator &sim) { sim.setPairReplies(true); }},
        {"drop", 1000, [](MeterSimulator &sim) { sim.setDropEvery(100); }},
        {"late", 1000, [](MeterSimulator &sim) { sim.setLateEvery(100, lateExtraMs); }},
        {"stray", 5000, [](MeterSimulator &sim) { sim.setStrayEvery(50, 2); }},
        {"garbage", 5000, garbageOn},
    };
    int phaseIndex = 0;
    qint64 shownInPhase = 0;
    qint64 readings = 0;
    qint64 lastShownMs = -1;
    qint64 garbageUntilMs = -1;
    int wrongStates = 0;
    int garbageStates = 0;
    int reopens = 0;
    int boxesBefore = 0;
    double rssEarly = 0;
    double rssEnd = 0;
    QSet<QString> sentWavelengths;
    QSet<QString> sentPowers;
    QString lastWavelength;
    QString lastPower;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const qint64 target = argc > 1 ? std::atoll(argv[1]) : 1000000;
    WindowHarness h(meter::Timing{}); // the user's times
    h.sim.setLogging(false); // its logs grow with every byte
    h.sim.setNoise(40);      // a reading that changes with every reply
    Soak soak(h, target);
    soak.open();
    application.exec();
    return soak.result;
}
