// SPDX-License-Identifier: MIT
// The live display at a real meter's pace, side by side in one run: the
// window's continuous measurement against the plain Qt program a user would
// otherwise write (readyRead -> readAll -> one QLabel::setText -> write
// 0x82), in two shapes: the label in a layout, and the label alone at a
// fixed place in a window of its own (nothing laid out again, nothing beside
// it: the least a reading can cost). One simulated meter (zerak-sim, a
// process of its own, its reading changing on every reply) answers each
// command after 0, 3 and 20 ms. For each pace, a run of each to warm up,
// then N runs of each (3 unless --runs), alternating; the medians of
// GUI-thread CPU per reading, wakeups per reading (voluntary context switches
// of that thread) and readings per second, and the window's ratios against
// both. Then the window idles with the port open, and the cable is pulled.
// Prints each figure against its target and exits non-zero when one is
// missed.
//
// bench_meter [--seconds S] [--runs N] [--paces 0,3,20] [--only plain|alone|window] [--each]
//             [-platform xcb]

#include "app/appsetup.h"
#include "app/mainwindow.h"
#include "meter/meterlink.h"
#include "port/lineport.h"
#include "support/windowharness.h"
#include "support/windowtesting.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSerialPort>
#include <QTimer>
#include <QVBoxLayout>

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace {

int failures = 0;

void report(const char *what, double value, const char *unit, bool met, const char *target)
{
    std::printf("%-58s %9.3f %-4s target %-7s %s\n", what, value, unit, target, met ? "met" : "MISSED");
    if (!met)
        ++failures;
}

struct Usage
{
    double cpu = 0;
    double system = 0; // of cpu, in the kernel
    long wakeups = 0;
};

Usage threadUsage()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    rusage usage {};
    getrusage(RUSAGE_THREAD, &usage);
    return {double(now.tv_sec) + double(now.tv_nsec) / 1e9,
            double(usage.ru_stime.tv_sec) + double(usage.ru_stime.tv_usec) / 1e6, usage.ru_nvcsw};
}

void spin(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

struct Figures
{
    double cpuUs = 0;    // per reading
    double wakeups = 0;  // per reading
    double rate = 0;     // readings per second
    qint64 count = 0;    // readings
    double systemUs = 0; // of cpuUs in the kernel: ticks, so only over many readings
};

// One measured stretch of a running loop; readings() counts what it showed.
// A function of its own, so that callgrind can collect just this:
// --toggle-collect='*measuredStretch*'.
__attribute__((noinline)) Figures measuredStretch(double seconds, const std::function<qint64()> &readings)
{
    const qint64 before = readings();
    const Usage start = threadUsage();
    QElapsedTimer clock;
    clock.start();
    spin(seconds);
    const Usage end = threadUsage();
    const double elapsed = clock.nsecsElapsed() / 1e9;
    const qint64 count = readings() - before;
    Figures figures;
    if (count > 0) {
        figures.cpuUs = (end.cpu - start.cpu) / count * 1e6;
        figures.systemUs = (end.system - start.system) / count * 1e6;
        figures.wakeups = double(end.wakeups - start.wakeups) / count;
        figures.rate = count / elapsed;
        figures.count = count;
    }
    return figures;
}

// What a user would write: read what came, show it, ask again. The reading
// shows in the window's reading font, so both paint the same glyphs.
// InLayout: the label in a QVBoxLayout, laid out again when its text grows
// or shrinks. Alone: the label alone at a fixed place, the size of the
// window's reading label, in a window of its own.
class PlainProgram : public QWidget
{
public:
    enum Shape { InLayout, Alone };

    PlainProgram(const QString &path, Shape shape)
    {
        QFont font;
        font.setPointSize(20);
        label->setFont(font);
        if (shape == InLayout) {
            auto *layout = new QVBoxLayout(this);
            layout->addWidget(label);
        } else {
            label->setGeometry(10, 10, 141, 71);
        }
        resize(300, 100);
        show();
        port.setPortName(path);
        applyMeterLineSettings(port);
        connect(&port, &QSerialPort::readyRead, this, [this] {
            const QByteArray bytes = port.readAll();
            replies += bytes.size() / 4;
            label->setText(QString::number(quint8(bytes.at(0)) << 8 | quint8(bytes.at(bytes.size() > 1 ? 1 : 0)))
                           + QStringLiteral(" dBm"));
            port.write("\x82", 1);
        });
    }

    bool start()
    {
        if (!port.open(QIODevice::ReadWrite))
            return false;
        port.clear();
        port.write("\x82", 1);
        return true;
    }
    void stop()
    {
        port.close();
        spin(0.1); // the last reply comes and goes unread
    }
    qint64 readings() const { return replies; }

private:
    qint64 replies = 0;
    QLabel *label = new QLabel(this);
    QSerialPort port;
};

// Under callgrind, with its cache simulation, opening takes seconds.
constexpr int slowestStartMs = 60000;

// The window, opened and set measuring through its buttons as a user does.
// Its boxes are answered by a watcher that polls, so one exists only while a
// box is due: its timer would wake the loop during the measurement.
class DrivenWindow
{
public:
    explicit DrivenWindow(const QString &path) : path(path)
    {
        window.show();
        auto *link = window.findChild<meter::MeterLink *>();
        QObject::connect(link, &meter::MeterLink::replyReceived, [this](const meter::Reply &reply) {
            if (reply.role == meter::ReplyKind::Power && ++shown >= awaited && waiting)
                waiting->quit();
        });
    }

    bool start()
    {
        testsupport::selectPort(&window, path);
        if (!pressAndDismiss("pushButton_OpenPort")
            || !QTest::qWaitFor([this] { return button("pushButton_read")->isEnabled(); }, slowestStartMs))
            return false;
        button("pushButton_read")->click();
        return awaitReadings(10);
    }
    void stop()
    {
        button("pushButton_read")->click(); // measurements off
        spin(0.1);
        pressAndDismiss("pushButton_ClosePort");
    }

    QPushButton *button(const char *name) { return testsupport::widget<QPushButton>(&window, name); }
    qint64 readings() const { return shown; }

    MainWindow window;

private:
    bool pressAndDismiss(const char *name)
    {
        testsupport::MessageBoxWatcher boxes;
        QTimer::singleShot(0, button(name), &QPushButton::click);
        return boxes.waitForBoxes(1, slowestStartMs);
    }

    // The loop runs on while it waits, as it does in use. QTest::qWaitFor
    // sleeps 10 ms between its passes: the link would learn readings 10 ms
    // late, and take the meter's own pace after them for early replies,
    // waiting for a quiet line after each into the measured stretch.
    bool awaitReadings(qint64 count)
    {
        QEventLoop loop;
        QTimer::singleShot(slowestStartMs, &loop, &QEventLoop::quit);
        awaited = shown + count;
        waiting = &loop;
        loop.exec();
        waiting = nullptr;
        return shown >= awaited;
    }

    QString path;
    qint64 shown = 0;
    qint64 awaited = 0;
    QEventLoop *waiting = nullptr;
};

// The meter on one core, the programs measured on the other: neither
// preempts the other, which made the figures wander by a tenth.
void pinToCore(pid_t pid, int core)
{
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    sched_setaffinity(pid, sizeof set, &set);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// The programs measured, in the order they take turns.
enum Program { Plain, Alone, Window, programCount };
const char *const programNames[programCount] = {"plain", "alone", "window"};

struct Pace
{
    int delayMs;
    Figures figures[programCount];
};

// For profiling one of them alone: "plain", "alone" or "window".
QString only;

bool measured(Program program)
{
    return only.isEmpty() || only == QLatin1String(programNames[program]);
}

// --each: every run's figures too, for the spread of a median and for
// dividing a callgrind count by the readings it took.
bool printEach = false;

// A warm-up run is not measured: callgrind collects only the runs that are.
template <class Contender>
bool measureRun(Contender &contender, double seconds, Program program, std::vector<Figures> *runs)
{
    if (!contender.start())
        return false;
    spin(0.2); // settled
    if (runs) {
        const Figures figures = measuredStretch(seconds, [&] { return contender.readings(); });
        runs->push_back(figures);
        if (printEach)
            std::printf("  run  %-8s %14.2f %16.3f %12.1f %9lld readings, %.0f us of each in the kernel\n",
                        programNames[program], figures.cpuUs, figures.wakeups, figures.rate, figures.count,
                        figures.systemUs);
    } else {
        spin(seconds);
    }
    contender.stop();
    return true;
}

bool runPace(Pace &pace, int runs, double seconds)
{
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(ZERAK_SIM_PATH),
              {"--delay", QString::number(pace.delayMs), "--noise", "999", "--seed", "1"});
    if (!sim.waitForReadyRead(slowestStartMs))
        return false;
    pinToCore(sim.processId(), 1);
    const QString path = QString::fromLocal8Bit(sim.readLine()).trimmed();
    sim.closeReadChannel(QProcess::StandardOutput);

    std::vector<Figures> results[programCount];
    PlainProgram plain(path, PlainProgram::InLayout);
    PlainProgram alone(path, PlainProgram::Alone);
    DrivenWindow window(path);
    bool ok = true;
    // Run -1 warms each up and counts for nothing: what a program learns
    // once (glyphs rendered at new positions, the widths of new characters)
    // is no part of what a reading costs.
    for (int run = -1; run < runs && ok; ++run) {
        const auto into = [&](Program program) { return run < 0 ? nullptr : &results[program]; };
        if (measured(Plain))
            ok = measureRun(plain, seconds, Plain, into(Plain));
        if (ok && measured(Alone))
            ok = measureRun(alone, seconds, Alone, into(Alone));
        if (ok && measured(Window))
            ok = measureRun(window, seconds, Window, into(Window));
    }
    for (int program = 0; program < programCount; ++program) {
        std::vector<double> cpu, wakeups, rate;
        for (const Figures &figures : results[program]) {
            cpu.push_back(figures.cpuUs);
            wakeups.push_back(figures.wakeups);
            rate.push_back(figures.rate);
        }
        pace.figures[program] = {median(cpu), median(wakeups), median(rate)};
    }
    sim.terminate();
    sim.waitForFinished(3000);
    return ok;
}

QString argument(const QStringList &arguments, const char *name, const char *fallback)
{
    const int at = arguments.indexOf(QLatin1String(name));
    return at >= 0 && at + 1 < arguments.size() ? arguments.at(at + 1) : QLatin1String(fallback);
}

// With the port open and nothing asked, nothing runs.
void idleCheck()
{
    QProcess sim;
    sim.start(QStringLiteral(ZERAK_SIM_PATH), {"--delay", "0"});
    if (!sim.waitForReadyRead(5000))
        return;
    const QString path = QString::fromLocal8Bit(sim.readLine()).trimmed();
    DrivenWindow driven(path);
    testsupport::selectPort(&driven.window, path);
    {
        testsupport::MessageBoxWatcher boxes;
        QTimer::singleShot(0, driven.button("pushButton_OpenPort"), &QPushButton::click);
        boxes.waitForBoxes(1);
    }
    spin(0.5);
    const Usage before = threadUsage();
    spin(2.0);
    const Usage after = threadUsage();
    // One wakeup is the measurement's own timer.
    report("idle with the port open: wakeups in 2 s", double(after.wakeups - before.wakeups), "",
           after.wakeups - before.wakeups <= 1, "<= 1");
    sim.terminate();
    sim.waitForFinished(3000);
}

void cablePulled()
{
    testsupport::WindowHarness h(meter::Timing{});
    if (!h.openSimulatedPort()) {
        report("cable pulled: port opened", 0, "", false, "opens");
        return;
    }
    h.click("pushButton_read");
    spin(0.1);
    const double cpuAtLoss = testsupport::processCpuSeconds();
    h.sim.hangUp();
    h.boxes.waitForBoxes(2, 3000);
    spin(1.0);
    const double lossCpu = testsupport::processCpuSeconds() - cpuAtLoss;
    report("cable pulled: CPU in the second after", lossCpu, "s", lossCpu < 0.1, "< 0.1");
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    setUpBeforeApplication(); // as the program's main does
    QApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const int runs = argument(arguments, "--runs", "3").toInt();
    const double seconds = argument(arguments, "--seconds", "3").toDouble();
    only = argument(arguments, "--only", "");
    printEach = arguments.contains(QLatin1String("--each"));
    pinToCore(0, 0);
    std::vector<Pace> paces;
    for (const QString &pace : argument(arguments, "--paces", "0,3,20").split(QLatin1Char(',')))
        paces.push_back({pace.toInt(), {}});

    std::printf("live display, the window against both plain programs: medians of %d runs of %.1f s, %s on %s\n",
                runs, seconds, QAbstractEventDispatcher::instance()->metaObject()->className(),
                qPrintable(QGuiApplication::platformName()));
    std::printf("%-8s %-8s %14s %16s %12s\n", "pace", "", "CPU us/reading", "wakeups/reading", "readings/s");
    for (Pace &pace : paces) {
        if (!runPace(pace, runs, seconds)) {
            report("live display: ran against the simulated meter", 0, "", false, "runs");
            return 1;
        }
        for (int program = 0; program < programCount; ++program) {
            if (!measured(Program(program)))
                continue;
            const Figures &figures = pace.figures[program];
            std::printf("%-8s %-8s %14.2f %16.3f %12.1f\n", qPrintable(QStringLiteral("%1 ms").arg(pace.delayMs)),
                        programNames[program], figures.cpuUs, figures.wakeups, figures.rate);
        }
    }
    for (const Pace &pace : paces) {
        if (!only.isEmpty())
            break; // no ratios of one program
        const QByteArray at = QByteArray::number(pace.delayMs) + " ms";
        const Figures &window = pace.figures[Window];
        for (Program against : {Plain, Alone}) {
            const Figures &plain = pace.figures[against];
            const QByteArray vs = QByteArray(", window / ") + programNames[against] + ", at " + at;
            const double cpu = window.cpuUs / plain.cpuUs;
            const double wakeups = window.wakeups / plain.wakeups;
            const double rate = window.rate / plain.rate;
            report(("CPU per reading" + vs).constData(), cpu, "x", cpu <= 1.0, "<= 1.00");
            const bool realPace = pace.delayMs > 0;
            report(("wakeups per reading" + vs).constData(), wakeups, "x", !realPace || wakeups <= 1.1,
                   realPace ? "<= 1.10" : "-");
            report(("readings per second" + vs).constData(), rate, "x", !realPace || rate >= 0.99,
                   realPace ? ">= 0.99" : "-");
        }
    }
    idleCheck();
    cablePulled();
    return failures == 0 ? 0 : 1;
}
