// zerak-cli end to end: the program as a process, the simulated meter in
// this one, output compared exactly with the port path and the timestamps
// masked.

#include "meter/protocol.h"
#include "port/portreport.h"
#include "sim/metersimulator.h"

#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

enum class Setup {
    Normal,
    Decibel,
    TwoByteWavelengths,
    Garbage,       // every 2nd reply is 3 bytes of noise
    Dropped,       // every 3rd reply never comes
    Stray,         // a frame that answers nothing after every 2nd reply
    Silent,
    SilentAfterTwo, // answers the wavelength and two readings, then nothing
    InterruptAfterTwo, // the same, and Ctrl-C once both readings are out
    HangUpAfterTwo,
    Busy,          // another program has the port open
};

struct Result
{
    int exitCode = -1;
    QString out;
    QString err;
};

const QString readingsOutsideLimit = QStringLiteral("zerak-cli: PORT: %1 of %2 readings outside the limit\n");

} // namespace

Q_DECLARE_METATYPE(Setup)

class CliTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void commands_data();
    void commands();
    void measure_data();
    void measure();
    void failures_data();
    void failures();

private:
    void addColumns();
    void runAndCompare(); // over the columns addColumns() adds
    Result run(const QStringList &arguments, Setup setup, const QVector<double> &levels);
    QString masked(QString text) const;

    std::unique_ptr<MeterSimulator> sim;
    QTemporaryDir dir;
};

void CliTest::init()
{
    sim = std::make_unique<MeterSimulator>();
    sim->setNoise(0);
    QVERIFY(sim->start());
}

void CliTest::cleanup()
{
    sim.reset();
}

void CliTest::addColumns()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QVector<double>>("levels"); // one per measurement request, repeated
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::addColumn<int>("exitCode");
}

QString CliTest::masked(QString text) const
{
    text.replace(sim->portPath(), QStringLiteral("PORT"));
    text.replace(dir.path(), QStringLiteral("DIR"));
    static const QRegularExpression timestamp(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}(Z|[+-]\\d\\d:\\d\\d),"),
        QRegularExpression::MultilineOption);
    return text.replace(timestamp, QStringLiteral("T,"));
}

Result CliTest::run(const QStringList &arguments, Setup setup, const QVector<double> &levels)
{
    int measurements = 0;
    QObject::connect(sim.get(), &MeterSimulator::commandReceived, sim.get(), [&](quint8 command) {
        if (command != meter::cmdMeasure)
            return;
        sim->setPowerLevel(levels.isEmpty() ? -15.0 : levels.at(measurements % levels.size()));
        ++measurements;
        if (measurements > 2 && (setup == Setup::SilentAfterTwo || setup == Setup::InterruptAfterTwo))
            sim->setAnswering(false);
    });
    sim->setPowerInDecibel(setup == Setup::Decibel);
    sim->setWavelengthReplyLength(setup == Setup::TwoByteWavelengths ? 2 : 4);
    if (setup == Setup::Garbage)
        sim->setGarbageEvery(2);
    if (setup == Setup::Dropped)
        sim->setDropEvery(3);
    if (setup == Setup::Stray)
        sim->setStrayEvery(2);
    if (setup == Setup::Silent)
        sim->setAnswering(false);
    if (setup == Setup::HangUpAfterTwo)
        sim->setHangUpAfter(3);
    QSerialPort other;
    if (setup == Setup::Busy) {
        other.setPortName(sim->portPath());
        if (!other.open(QIODevice::ReadWrite))
            return {};
    }

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ZERAK_EXTRA_PORTS"),
                       sim->portPath() + QLatin1Char(':') + dir.filePath(QStringLiteral("no-such-port")));
    process.setProcessEnvironment(environment);
    QStringList substituted = arguments;
    substituted.replaceInStrings(QStringLiteral("PORT"), sim->portPath());
    substituted.replaceInStrings(QStringLiteral("DIR"), dir.path());
    // The simulator answers from this event loop: never block on the process.
    const auto finished = [&process] {
        return QTest::qWaitFor([&process] { return process.state() == QProcess::NotRunning; }, 15000)
               && process.exitStatus() == QProcess::NormalExit;
    };
    process.start(QStringLiteral(ZERAK_CLI), substituted);
    if (setup == Setup::InterruptAfterTwo) {
        QByteArray out;
        if (!QTest::qWaitFor([&] { return (out += process.readAllStandardOutput()).count('\n') >= 2; }, 5000))
            return {};
        ::kill(pid_t(process.processId()), SIGINT);
        if (!finished())
            return {};
        return {process.exitCode(), masked(QString::fromUtf8(out + process.readAllStandardOutput())),
                masked(QString::fromUtf8(process.readAllStandardError()))};
    }
    if (!finished())
        return {};
    return {process.exitCode(), masked(QString::fromUtf8(process.readAllStandardOutput())),
            masked(QString::fromUtf8(process.readAllStandardError()))};
}

void CliTest::commands_data()
{
    addColumns();
    QTest::newRow("wavelength") << QStringList{"--port", "PORT", "wavelength"} << Setup::Normal << QVector<double>()
                                << "850 nm\n" << "" << 0;
    QTest::newRow("2-byte wavelength reply") << QStringList{"--port", "PORT", "wavelength"}
                                             << Setup::TwoByteWavelengths << QVector<double>() << "850 nm\n" << ""
                                             << 0;
    QTest::newRow("next wavelength") << QStringList{"--port", "PORT", "next-wavelength"} << Setup::Normal
                                     << QVector<double>() << "1300 nm\n" << "" << 0;
    QTest::newRow("detect") << QStringList{"detect"} << Setup::Normal << QVector<double>() << "PORT  850 nm\n"
                            << "zerak-cli: DIR/no-such-port: no such port, skipped\n" << 0;
    QTest::newRow("detect, no meter") << QStringList{"detect"} << Setup::Silent << QVector<double>() << ""
                                      << "zerak-cli: DIR/no-such-port: no such port, skipped\n"
                                         "zerak-cli: no meter answered\n"
                                      << 5;
    QTest::newRow("detect, meter busy") << QStringList{"detect"} << Setup::Busy << QVector<double>() << ""
                                        << "zerak-cli: PORT: port busy: another program has it open, skipped\n"
                                           "zerak-cli: DIR/no-such-port: no such port, skipped\n"
                                           "zerak-cli: no meter answered\n"
                                        << 5;
    QTest::newRow("ports") << QStringList{"ports"} << Setup::Normal << QVector<double>() << "REPORT" << "" << 0;
    QTest::newRow("version") << QStringList{"--version"} << Setup::Normal << QVector<double>() << "zerak-cli 1.0\n"
                             << "" << 0;
    QTest::newRow("help after a command")
        << QStringList{"--port", "PORT", "measure", "--help"} << Setup::Normal << QVector<double>()
        << "...  6  device lost mid-run\n  7  a reading outside --limit\n" << "" << 0;
}

void CliTest::commands()
{
    QFETCH(QStringList, arguments);
    QFETCH(Setup, setup);
    QFETCH(QVector<double>, levels);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(int, exitCode);

    // Asking a port must leave its settings as they were.
    const int fd = ::open(QFile::encodeName(sim->portPath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    termios before = {};
    QCOMPARE(::tcgetattr(fd, &before), 0);
    ::cfsetspeed(&before, B9600);
    QCOMPARE(::tcsetattr(fd, TCSANOW, &before), 0);

    const Result result = run(arguments, setup, levels);
    QCOMPARE(result.exitCode, exitCode);
    if (out == QLatin1String("REPORT")) {
        out.clear();
        const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo &port : ports)
            out += portReportBlock(portDetailsOf(port)) + QLatin1Char('\n');
    }
    if (out.startsWith(QLatin1String("...")))
        QVERIFY2(result.out.endsWith(out.mid(3)), qPrintable(result.out));
    else
        QCOMPARE(result.out, out);
    // This machine's own ports may be busy or not open at all.
    QStringList errLines = result.err.split(QLatin1Char('\n'));
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        errLines = errLines.filter(QRegularExpression(QStringLiteral("^(?!zerak-cli: %1:)")
                                                           .arg(QRegularExpression::escape(port.systemLocation()))));
    QCOMPARE(errLines.join(QLatin1Char('\n')), err);

    termios after = {};
    QCOMPARE(::tcgetattr(fd, &after), 0);
    ::close(fd);
    QCOMPARE(::cfgetospeed(&after), speed_t(B9600));
    QCOMPARE(after.c_lflag, before.c_lflag);
    QCOMPARE(after.c_iflag, before.c_iflag);
}

void CliTest::measure_data()
{
    addColumns();
    QTest::addColumn<QString>("plot");
    QTest::newRow("readings") << QStringList{"--port", "PORT", "measure", "-n", "3", "--interval", "0"}
                              << Setup::Normal << QVector<double>{-15, -15.02, 1.5}
                              << "-15.00 dBm\n-15.02 dBm\n1.50 dBm\n" << "" << 0 << "";
    QTest::newRow("dB readings") << QStringList{"--port", "PORT", "measure", "-n", "2", "--interval", "0"}
                                 << Setup::Decibel << QVector<double>{-3.2, 0} << "-3.20 dB\n0.00 dB\n" << "" << 0
                                 << "";
    QTest::newRow("csv") << QStringList{"--port", "PORT", "measure", "-n", "2", "--interval", "0", "--csv"}
                         << Setup::Normal << QVector<double>{-15, -20}
                         << "time,wavelength_nm,value,unit,mW\nT,850,-15.00,dBm,0.03162\nT,850,-20.00,dBm,0.01\n"
                         << "" << 0 << "";
    QTest::newRow("stats") << QStringList{"--port", "PORT", "measure", "-n", "3", "--interval", "0", "--stats"}
                           << Setup::Normal << QVector<double>{-15, -15.02, -14.98}
                           << "-15.00 dBm\n-15.02 dBm\n-14.98 dBm\ncount: 3\nmin: -15.02 dBm\nmean: -15.00 dBm\n"
                              "max: -14.98 dBm\nstd dev: 0.02 dB\n"
                           << "" << 0 << "";
    QTest::newRow("loss against a reference, limit")
        << QStringList{"--port", "PORT", "measure", "-n", "2", "--interval", "0", "--reference", "-12",
                       "--limit", ":3"}
        << Setup::Normal << QVector<double>{-14, -15.01}
        << "-14.00 dBm  loss 2.00 dB  PASS\n-15.01 dBm  loss 3.01 dB  FAIL\n" << readingsOutsideLimit.arg(1).arg(2)
        << 7 << "";
    QTest::newRow("level within limits")
        << QStringList{"--port", "PORT", "measure", "-n", "2", "--interval", "0", "--limit=-16:-14"}
        << Setup::Normal << QVector<double>{-15, -14} << "-15.00 dBm  PASS\n-14.00 dBm  PASS\n" << "" << 0 << "";
    QTest::newRow("csv, loss, limit, stats on stderr, png")
        << QStringList{"--port", "PORT", "measure", "-n", "2", "--interval", "0", "--csv", "--stats",
                       "--reference", "-12", "--limit", "0:3", "--plot", "DIR/chart.png"}
        << Setup::Normal << QVector<double>{-14.5, -15.5}
        << "time,wavelength_nm,value,unit,mW,loss_dB,result\nT,850,-14.50,dBm,0.03548,2.50,PASS\n"
           "T,850,-15.50,dBm,0.02818,3.50,FAIL\n"
        << "count: 2\nmin: -15.50 dBm\nmean: -15.00 dBm\nmax: -14.50 dBm\nstd dev: 0.71 dB\n"
           "loss min: 2.50 dB\nloss mean: 3.00 dB\nloss max: 3.50 dB\n"
               + readingsOutsideLimit.arg(1).arg(2)
        << 7 << "DIR/chart.png";
    QTest::newRow("svg") << QStringList{"--port", "PORT", "measure", "-n", "2", "--interval", "0", "--plot",
                                        "DIR/chart.svg"}
                         << Setup::Normal << QVector<double>{-15} << "-15.00 dBm\n-15.00 dBm\n" << "" << 0
                         << "DIR/chart.svg";
    // Whatever the line does, only replies to a reading request are readings.
    QTest::newRow("garbage replies") << QStringList{"--port", "PORT", "measure", "-n", "3", "--interval", "0"}
                                     << Setup::Garbage << QVector<double>{-15}
                                     << "-15.00 dBm\n-15.00 dBm\n-15.00 dBm\n" << "" << 0 << "";
    QTest::newRow("stray frames") << QStringList{"--port", "PORT", "measure", "-n", "4", "--interval", "20"}
                                  << Setup::Stray << QVector<double>{-15}
                                  << "-15.00 dBm\n-15.00 dBm\n-15.00 dBm\n-15.00 dBm\n" << "" << 0 << "";
    QTest::newRow("a lost reply is asked again")
        << QStringList{"--port", "PORT", "measure", "-n", "3", "--interval", "0"} << Setup::Dropped
        << QVector<double>{-15} << "-15.00 dBm\n-15.00 dBm\n-15.00 dBm\n" << "" << 0 << "";
}

void CliTest::runAndCompare()
{
    QFETCH(QStringList, arguments);
    QFETCH(Setup, setup);
    QFETCH(QVector<double>, levels);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(int, exitCode);

    const Result result = run(arguments, setup, levels);
    QCOMPARE(result.out, out);
    QCOMPARE(result.err, err);
    QCOMPARE(result.exitCode, exitCode);
}

void CliTest::measure()
{
    QFETCH(QString, plot);
    runAndCompare();
    if (QTest::currentTestFailed())
        return;
    plot.replace(QStringLiteral("DIR"), dir.path());
    if (plot.endsWith(QLatin1String(".png")))
        QCOMPARE(QImage(plot).size(), QSize(1200, 700));
    if (plot.endsWith(QLatin1String(".svg")))
        QCOMPARE(QSvgRenderer(plot).viewBox(), QRect(0, 0, 1200, 700));
}

void CliTest::failures_data()
{
    addColumns();
    const QString stats = QStringLiteral("count: 2\nmin: -15.00 dBm\nmean: -15.00 dBm\nmax: -15.00 dBm\n"
                                         "std dev: 0.00 dB\n");
    QTest::newRow("no such port") << QStringList{"--port", "DIR/no-such-port", "wavelength"}
                                  << Setup::Normal << QVector<double>() << ""
                                  << "zerak-cli: DIR/no-such-port: no such port\n" << 3;
    QTest::newRow("port busy") << QStringList{"--port", "PORT", "measure"} << Setup::Busy << QVector<double>() << ""
                               << "zerak-cli: PORT: port busy: another program has it open\n" << 4;
    QTest::newRow("no reply") << QStringList{"--port", "PORT", "wavelength"} << Setup::Silent << QVector<double>()
                              << "" << "zerak-cli: PORT: no reply within 1 s\n" << 5;
    // Stepping is not repeated: the meter may have stepped.
    QTest::newRow("no reply to a step") << QStringList{"--port", "PORT", "next-wavelength"} << Setup::Silent
                                        << QVector<double>() << "" << "zerak-cli: PORT: no reply within 1 s\n" << 5;
    QTest::newRow("no reply mid-run") << QStringList{"--port", "PORT", "measure", "--interval", "0", "--stats"}
                                      << Setup::SilentAfterTwo << QVector<double>()
                                      << "-15.00 dBm\n-15.00 dBm\n" + stats
                                      << "zerak-cli: PORT: no reply within 1 s (3 requests in a row)\n" << 5;
    QTest::newRow("device lost") << QStringList{"--port", "PORT", "measure", "--interval", "0", "--stats"}
                                 << Setup::HangUpAfterTwo << QVector<double>() << "-15.00 dBm\n-15.00 dBm\n" + stats
                                 << "zerak-cli: PORT: device lost mid-run (unplugged or switched off)\n" << 6;
    QTest::newRow("Ctrl-C") << QStringList{"--port", "PORT", "measure", "--interval", "0", "--stats"}
                            << Setup::InterruptAfterTwo << QVector<double>() << "-15.00 dBm\n-15.00 dBm\n" + stats
                            << "" << 0;
    QTest::newRow("Ctrl-C after a reading outside the limit")
        << QStringList{"--port", "PORT", "measure", "--interval", "0", "--limit", "-14.99"}
        << Setup::InterruptAfterTwo << QVector<double>() << "-15.00 dBm  FAIL\n-15.00 dBm  FAIL\n"
        << readingsOutsideLimit.arg(2).arg(2) << 7;

    const QString tryHelp = QStringLiteral("\nTry 'zerak-cli --help'.\n");
    QTest::newRow("no command") << QStringList{} << Setup::Normal << QVector<double>() << ""
                                << "zerak-cli: no command given: expected ports, detect, wavelength, "
                                   "next-wavelength or measure" + tryHelp
                                << 2;
    QTest::newRow("unknown option") << QStringList{"measure", "--colour"} << Setup::Normal << QVector<double>()
                                    << "" << "zerak-cli: Unknown option 'colour'." + tryHelp << 2;
    QTest::newRow("no port") << QStringList{"measure"} << Setup::Normal << QVector<double>() << ""
                             << "zerak-cli: measure needs --port" + tryHelp << 2;
    QTest::newRow("option of another command")
        << QStringList{"--port", "PORT", "wavelength", "--csv"} << Setup::Normal << QVector<double>() << ""
        << "zerak-cli: --csv applies only to measure" + tryHelp << 2;
    QTest::newRow("limits upside down")
        << QStringList{"--port", "PORT", "measure", "--limit", "3:1"} << Setup::Normal << QVector<double>() << ""
        << "zerak-cli: bad value '3:1' for --limit: LOW is above HIGH" + tryHelp << 2;
    QTest::newRow("plot format") << QStringList{"--port", "PORT", "measure", "--plot", "chart.gif"}
                                 << Setup::Normal << QVector<double>() << ""
                                 << "zerak-cli: bad value 'chart.gif' for --plot: expected a file name ending in "
                                    ".png or .svg" + tryHelp
                                 << 2;
}

void CliTest::failures()
{
    runAndCompare();
}

QTEST_MAIN(CliTest)
#include "tst_cli.moc"
