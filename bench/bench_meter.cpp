// The live display as users feel it, side by side in one run against one
// simulated meter (zerak-sim in a process of its own, answering at once with
// a reading that changes on every reply):
//  - a minimal blocking QSerialPort loop (write 0x82, waitForReadyRead until
//    4 bytes, repeat): the reference;
//  - a minimal readyRead-driven loop;
//  - the window's continuous measurement, driven as a user drives it.
// For each: readings per second, CPU time of the thread running the loop per
// reading, and paints per second of the reading labels. Then the window idles
// with the port open, the cost of the frame code, and the CPU left burning
// after the cable is pulled. Prints each figure against its target and exits
// non-zero when one is missed.
//
// bench_meter [--rounds N] [--seconds S] [--only blocking|event|window]

#include "app/appsetup.h"
#include "app/mainwindow.h"
#include "meter/protocol.h"
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

#include <sys/resource.h>

#include <cstdio>
#include <ctime>
#include <functional>
#include <map>

namespace {

int failures = 0;

void report(const char *what, double value, const char *unit, bool met, const char *target)
{
    std::printf("%-50s %10.2f %-8s target %-10s %s\n", what, value, unit, target, met ? "met" : "MISSED");
    if (!met)
        ++failures;
}

double threadCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Runs the event loop of this thread for a while, as exec() would.
void spin(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

const QStringList readingLabels = {"label_5", "label_7", "label_8", "label_9"};

// Counts the paints each reading label receives.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QWidget *window)
    {
        for (const QString &name : readingLabels)
            if (QLabel *label = window->findChild<QLabel *>(name))
                label->installEventFilter(this);
    }
    std::map<const QObject *, qint64> counts;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++counts[watched];
        return false;
    }
};

struct Figures
{
    qint64 readings = 0;
    double seconds = 0;
    double cpu = 0;
    qint64 paints = 0; // of the most painted reading label

    double rate() const { return seconds > 0 ? readings / seconds : 0; }
    double cpuPerReadingUs() const { return readings > 0 ? cpu / readings * 1e6 : 0; }
    double paintRate() const { return seconds > 0 ? paints / seconds : 0; }
};

// One measured stretch of a running loop. A function of its own so that
// callgrind can collect just this (--toggle-collect='*measuredStretch*').
void measuredStretch(Figures &figures, double seconds, const std::function<qint64()> &readings,
                     const std::function<void()> &step, PaintCounter *paints = nullptr)
{
    const std::map<const QObject *, qint64> paintsBefore = paints ? paints->counts : std::map<const QObject *, qint64>();
    const qint64 readingsBefore = readings();
    QElapsedTimer clock;
    const double cpuBefore = threadCpuSeconds();
    clock.start();
    if (step) {
        while (clock.nsecsElapsed() < qint64(seconds * 1e9))
            step();
    } else {
        spin(seconds);
    }
    figures.cpu += threadCpuSeconds() - cpuBefore;
    figures.seconds += clock.nsecsElapsed() / 1e9;
    figures.readings += readings() - readingsBefore;
    if (paints) {
        qint64 most = 0;
        for (const auto &count : paints->counts) {
            const auto before = paintsBefore.find(count.first);
            most = qMax(most, count.second - (before == paintsBefore.end() ? 0 : before->second));
        }
        figures.paints += most;
    }
}

bool openRawPort(QSerialPort &port, const QString &path)
{
    port.setPortName(path);
    port.setBaudRate(QSerialPort::Baud115200);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
    if (!port.open(QIODevice::ReadWrite))
        return false;
    port.clear(); // a late reply to a loop before
    return true;
}

const char request = char(meter::cmdMeasure);

bool blockingRawLoop(const QString &path, double seconds, Figures &figures)
{
    QSerialPort port;
    if (!openRawPort(port, path))
        return false;
    qint64 readings = 0;
    char reply[meter::frameSize];
    bool ok = true;
    const auto reading = [&] {
        port.write(&request, 1);
        while (ok && port.bytesAvailable() < meter::frameSize)
            ok = port.waitForReadyRead(1000);
        if (port.read(reply, meter::frameSize) == meter::frameSize)
            ++readings;
    };
    for (int i = 0; i < 200 && ok; ++i)
        reading();
    measuredStretch(figures, seconds, [&] { return readings; }, reading);
    return ok;
}

bool eventDrivenRawLoop(const QString &path, double seconds, Figures &figures)
{
    QSerialPort port;
    if (!openRawPort(port, path))
        return false;
    qint64 readings = 0;
    char reply[meter::frameSize];
    QObject::connect(&port, &QSerialPort::readyRead, [&] {
        while (port.bytesAvailable() >= meter::frameSize) {
            port.read(reply, meter::frameSize);
            ++readings;
            port.write(&request, 1);
        }
    });
    port.write(&request, 1);
    spin(0.2);
    const qint64 warmUp = readings;
    measuredStretch(figures, seconds, [&] { return readings; }, nullptr);
    port.close();
    return warmUp > 0;
}

// The window opened on the simulated meter, as the user opens it: pick the
// port, press Open (its message box dismissed).
class DrivenWindow
{
public:
    explicit DrivenWindow(const QString &path)
    {
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            std::printf("the window was never exposed\n");
        auto *ports = window.findChild<QComboBox *>(QStringLiteral("cmbPort"));
        ports->setCurrentIndex(ports->findText(path));
        paints = new PaintCounter(&window);
        port = window.findChild<QSerialPort *>();
        QObject::connect(port, &QSerialPort::bytesWritten, [this](qint64 bytes) { requests += bytes; });
    }
    ~DrivenWindow() { delete paints; }

    QPushButton *button(const char *name) { return window.findChild<QPushButton *>(QLatin1String(name)); }
    QString text(const char *name) { return window.findChild<QLabel *>(QLatin1String(name))->text(); }

    // Presses a button whose handler may show a message box, and dismisses it.
    void pressAndDismiss(const char *name)
    {
        testsupport::MessageBoxWatcher boxes; // polls; gone before anything is measured
        button(name)->click();
    }

    bool open()
    {
        pressAndDismiss("pushButton_OpenPort");
        return QTest::qWaitFor([&] { return button("pushButton_read")->isEnabled(); }, 3000);
    }

    bool measure(double seconds, Figures &figures)
    {
        button("pushButton_read")->click();
        spin(0.2);
        if (text("label_7").trimmed().isEmpty())
            return false;
        measuredStretch(figures, seconds, [&] { return requests; }, nullptr, paints);
        button("pushButton_read")->click();
        // The reply to the last request blanks the reading.
        return QTest::qWaitFor([&] { return text("label_7") == meter::blankText; }, 3000);
    }

    MainWindow window;
    PaintCounter *paints = nullptr;
    QSerialPort *port = nullptr;
    qint64 requests = 0;
};

// With the port open and measurement off nothing is due: no timer of the
// window runs and the process sleeps until something happens.
void idleCheck(DrivenWindow &driven)
{
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    spin(0.3); // the loop's last events settle
    int timers = dispatcher->registeredTimers(&driven.window).size();
    for (QObject *child : driven.window.findChildren<QObject *>())
        timers += dispatcher->registeredTimers(child).size();

    // Each time the process sleeps and wakes again is one voluntary switch.
    rusage before {};
    getrusage(RUSAGE_SELF, &before);
    spin(2.0); // its own timer ends it: one wakeup
    rusage after {};
    getrusage(RUSAGE_SELF, &after);
    const long wakeups = after.ru_nvcsw - before.ru_nvcsw;

    report("idle, port open: window timers running", timers, "", timers == 0, "0");
    report("idle, port open: wakeups in 2 s (bench's own: 1)", wakeups, "", wakeups <= 1, "<= 1");
}

// Frames cut from 7-byte deliveries, decoded and turned into the shown texts.
void frameCost()
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
    report("frames: assemble, decode, format", nsPerFrame, "ns/frame", nsPerFrame < 2000, "< 2000");
    if (textLength == 0)
        std::printf("(no text)\n");
}

void cablePulled()
{
    testsupport::WindowHarness h;
    if (!h.openSimulatedPort()) {
        report("cable pulled: port opened", 0, "", false, "opens");
        return;
    }
    h.click("pushButton_read");
    QTest::qWait(100);
    const double cpuAtLoss = testsupport::processCpuSeconds();
    h.sim.hangUp();
    h.boxes.waitForBoxes(2, 3000);
    QTest::qWait(1000);
    const double lossCpu = testsupport::processCpuSeconds() - cpuAtLoss;
    report("cable pulled: CPU in the second after", lossCpu, "s", lossCpu < 0.1, "< 0.1 s");
}

void printRow(const char *name, const Figures &figures, const Figures &reference)
{
    std::printf("%-24s %12.0f %14.2f %14.1f %10.2f %10.2f\n", name, figures.rate(), figures.cpuPerReadingUs(),
                figures.paintRate(), figures.rate() / reference.rate(),
                figures.cpuPerReadingUs() / reference.cpuPerReadingUs());
}

QString argument(const QStringList &arguments, const char *name, const char *fallback)
{
    const int at = arguments.indexOf(QLatin1String(name));
    return at >= 0 && at + 1 < arguments.size() ? arguments.at(at + 1) : QLatin1String(fallback);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    setUpBeforeApplication(); // as the program's main does
    QApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const int rounds = argument(arguments, "--rounds", "5").toInt();
    const double seconds = argument(arguments, "--seconds", "1").toDouble();
    const QString only = argument(arguments, "--only", "");

    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QStringList simArguments = {"--delay", "0", "--noise", "999", "--seed", "1"};
    sim.start(QStringLiteral(ZERAK_SIM_PATH), simArguments);
    if (!sim.waitForReadyRead(5000)) {
        std::printf("zerak-sim did not start\n");
        return 1;
    }
    const QString path = QString::fromLocal8Bit(sim.readLine()).trimmed();
    sim.closeReadChannel(QProcess::StandardOutput);
    qputenv("ZERAK_EXTRA_PORTS", path.toLocal8Bit());

    std::printf("live loop: zerak-sim %s; %d rounds of %.1f s each, alternating; %s\n",
                qPrintable(simArguments.join(QLatin1Char(' '))), rounds, seconds,
                QAbstractEventDispatcher::instance()->metaObject()->className());
    Figures blocking, eventDriven, window;
    bool ok = true;
    {
        DrivenWindow driven(path);
        for (int round = 0; round < rounds && ok; ++round) {
            if (only.isEmpty() || only == QLatin1String("blocking"))
                ok = ok && blockingRawLoop(path, seconds, blocking);
            if (only.isEmpty() || only == QLatin1String("event"))
                ok = ok && eventDrivenRawLoop(path, seconds, eventDriven);
            if (only.isEmpty() || only == QLatin1String("window")) {
                ok = ok && driven.open() && driven.measure(seconds, window);
                if (ok && round == rounds - 1 && only.isEmpty())
                    idleCheck(driven);
                driven.pressAndDismiss("pushButton_ClosePort");
            }
        }
    }
    sim.terminate();
    sim.waitForFinished(3000);
    if (!ok) {
        report("live loop: ran against the simulated meter", 0, "", false, "runs");
        return 1;
    }
    std::printf("%-24s %12s %14s %14s %10s %10s\n", "", "readings/s", "CPU us/reading", "label paints/s",
                "rate x", "CPU x");
    printRow("blocking raw loop", blocking, blocking);
    printRow("event-driven raw loop", eventDriven, blocking);
    printRow("window, Measurements", window, blocking);
    std::printf("%-24s %12lld %12lld %12lld\n", "readings counted", blocking.readings, eventDriven.readings,
                window.readings);
    if (!only.isEmpty())
        return 0;
    const double cpuRatio = window.cpuPerReadingUs() / blocking.cpuPerReadingUs();
    const double rateRatio = window.rate() / blocking.rate();
    report("window CPU per reading / blocking raw loop's", cpuRatio, "x", cpuRatio <= 1.2, "<= 1.20");
    report("window readings per second / blocking raw loop's", rateRatio, "x", rateRatio >= 0.9, ">= 0.90");
    report("reading label paints per second (most painted)", window.paintRate(), "per s",
           window.paintRate() <= 60, "<= 60");

    frameCost();
    cablePulled();
    return failures == 0 ? 0 : 1;
}
