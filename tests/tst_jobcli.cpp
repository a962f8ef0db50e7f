// SPDX-License-Identifier: MIT
// zerak-cli's job commands as a process against the simulated meter in this
// one: a cable tested through its prompts on a pseudo-terminal, a run killed
// and carried on, budgets, the average of both directions, and everything
// that must be refused before the meter is asked anything.

#include "job/jobstore.h"
#include "sim/metersimulator.h"
#include "support/waiting.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <linux/fs.h>
#endif

namespace {

struct Ran
{
    bool ended = false;
    int exitCode = -1;
    QString out;
    QString err;
};

QByteArray checksum(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}

// A pseudo-terminal for the program's stdin: it then asks its questions.
class Terminal
{
public:
    Terminal()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0)
            slave = QString::fromLocal8Bit(::ptsname(master));
    }
    ~Terminal()
    {
        if (master >= 0)
            ::close(master);
    }
    bool isOpen() const { return !slave.isEmpty(); }
    QString slavePath() const { return slave; }
    void type(const QByteArray &line)
    {
        const QByteArray bytes = line + '\n';
        if (::write(master, bytes.constData(), size_t(bytes.size())) != bytes.size())
            qWarning("the terminal took less than was typed");
        drain();
    }
    void drain() // its echo
    {
        char bytes[512];
        while (::read(master, bytes, sizeof bytes) > 0) {
        }
    }

private:
    int master = -1;
    QString slave;
};

// chmod does not stop root: there the directory is made immutable, which does.
class ReadOnlyDirectory
{
public:
    explicit ReadOnlyDirectory(const QString &path) : path(QFile::encodeName(path))
    {
        struct stat status = {};
        ::stat(this->path.constData(), &status);
        mode = status.st_mode & 07777;
        ::chmod(this->path.constData(), mode & ~0222);
        if (::access(this->path.constData(), W_OK) == 0)
            immutable = setImmutable(true);
    }
    ~ReadOnlyDirectory()
    {
        if (immutable)
            setImmutable(false);
        ::chmod(path.constData(), mode);
    }
    bool holds() const { return ::access(path.constData(), W_OK) != 0; }

private:
    bool setImmutable(bool on)
    {
#ifdef FS_IOC_SETFLAGS
        const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK);
        if (fd < 0)
            return false;
        int flags = 0;
        bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        ::close(fd);
        return done;
#else
        Q_UNUSED(on)
        return false;
#endif
    }
    QByteArray path;
    mode_t mode = 0;
    bool immutable = false;
};

const QString fibreLine = QStringLiteral("fibre %1  %2  1310 nm %3 dB PASS  1550 nm %4 dB PASS\n");

} // namespace

class JobCliTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void newJob_data();
    void newJob();
    void wholeCableThroughItsPrompts();
    void stoppedRunCarriesOn_data();
    void stoppedRunCarriesOn();
    void wavelengthTheMeterLacks();
    void refusedBeforeTheMeter_data();
    void refusedBeforeTheMeter();
    void inUseByAnotherRun();
    void reportsAndExports();

private:
    // PORT, DIR and JOB in the arguments are filled in; the port's timing
    // shortened unless a row sets it.
    QProcess *start(const QStringList &arguments, Terminal *terminal = nullptr);
    Ran finished(QProcess *process, const QByteArray &out = QByteArray());
    Ran run(const QStringList &arguments) { return finished(start(arguments)); }
    QString masked(QString text) const;
    void levels(double at1310, double at1550) { sim->setPowerLevels({{1310, at1310}, {1550, at1550}}); }
    // A job of fibres 1 to 3 at 1310 and 1550 nm, its reference taken at
    // -12.50 and -11.00 dBm.
    void referencedJob(const QStringList &extra = {});

    std::unique_ptr<MeterSimulator> sim;
    QTemporaryDir templates;
    std::unique_ptr<QTemporaryDir> dir;
    QString job;
    std::vector<std::unique_ptr<QProcess>> processes;
};

void JobCliTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    job = dir->filePath(QStringLiteral("cable-A.zjob"));
    sim = std::make_unique<MeterSimulator>();
    sim->setNoise(0);
    sim->setWavelengths({1310, 1550});
    QVERIFY(sim->start());
}

void JobCliTest::cleanup()
{
    processes.clear();
    sim.reset();
}

QString JobCliTest::masked(QString text) const
{
    text.replace(sim->portPath(), QStringLiteral("PORT"));
    text.replace(dir->path(), QStringLiteral("DIR"));
    static const QRegularExpression pid(QStringLiteral("process \\d+ on [^)]+\\)"));
    text.replace(pid, QStringLiteral("process PID on HOST)"));
    return text;
}

QProcess *JobCliTest::start(const QStringList &arguments, Terminal *terminal)
{
    QStringList args;
    for (QString argument : arguments)
        args << argument.replace(QStringLiteral("PORT"), sim->portPath())
                    .replace(QStringLiteral("JOB"), job)
                    .replace(QStringLiteral("DIR"), dir->path());
    if (args.contains(QStringLiteral("--port")) && !args.contains(QStringLiteral("--timeout")))
        args << QStringLiteral("--timeout") << QStringLiteral("200") << QStringLiteral("--gap")
             << QStringLiteral("10");
    auto process = std::make_unique<QProcess>();
    if (terminal)
        process->setStandardInputFile(terminal->slavePath());
    else
        process->setStandardInputFile(QProcess::nullDevice());
    process->start(QStringLiteral(ZERAK_CLI), args);
    processes.push_back(std::move(process));
    return processes.back().get();
}

Ran JobCliTest::finished(QProcess *process, const QByteArray &out)
{
    // The simulator answers from this event loop: never block on the process.
    if (!testsupport::waitUntil([process] { return process->state() == QProcess::NotRunning; }, 15000))
        return {};
    return {process->exitStatus() == QProcess::NormalExit, process->exitCode(),
            masked(QString::fromUtf8(out + process->readAllStandardOutput())),
            masked(QString::fromUtf8(process->readAllStandardError()))};
}

void JobCliTest::referencedJob(const QStringList &extra)
{
    // Made once, then copied: most rows only need one there.
    const QString made1 = templates.filePath(QStringLiteral("referenced.zjob"));
    if (extra.isEmpty() && QFileInfo::exists(made1)) {
        QVERIFY(QFile::copy(made1, job));
        return;
    }
    const Ran made = run(QStringList{"job", "new", "JOB", "--cable", "A-7", "--fibres", "1-3", "--max-loss",
                                     "1310:2.6,1550:2.7"}
                         + extra);
    QVERIFY2(made.exitCode == 0, qPrintable(made.err));
    levels(-12.5, -11);
    const Ran referenced = run({"--port", "PORT", "job", "reference", "JOB", "-n", "2"});
    QVERIFY2(referenced.exitCode == 0, qPrintable(referenced.err));
    sim->clearLog();
    if (extra.isEmpty())
        QVERIFY(QFile::copy(job, made1));
}

void JobCliTest::newJob_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err"); // starting with '^': a regular expression
    QTest::addColumn<int>("exitCode");

    const QStringList make{"job", "new", "JOB", "--cable", "A-7", "--fibres", "1-48"};
    QTest::newRow("the worked check: outside plant, 2 km, 2 pairs, 4 splices")
        << make + QStringList{"--budget", "singlemode-outside", "--length", "2", "--connectors", "2", "--splices", "4"}
        << "DIR/cable-A.zjob: cable A-7, fibres 1-48 (48), one direction\n"
           "1310 nm  limit 3.70 dB: 2 km x 0.50 dB/km + 2 connector pairs x 0.75 dB + 4 splices x 0.30 dB = "
           "1.00 + 1.50 + 1.20 = 3.70 dB\n"
           "1550 nm  limit 3.70 dB: 2 km x 0.50 dB/km + 2 connector pairs x 0.75 dB + 4 splices x 0.30 dB = "
           "1.00 + 1.50 + 1.20 = 3.70 dB\n"
           "basis: TIA-568-C.3 maximum attenuations (the built-in table): TIA-568-C.3, singlemode outside plant "
           "cable: maximum attenuation; connector pair 0.75 dB, splice 0.30 dB\n"
        << "" << 0;
    QTest::newRow("multimode, two fibre ranges, both directions")
        << QStringList{"job", "new", "JOB", "--cable", "M", "--fibres", "1-12,25-36", "--wavelengths", "850,1300",
                       "--budget", "multimode", "--length", "0.35", "--connectors", "2", "--splices", "1",
                       "--bidirectional"}
        << "DIR/cable-A.zjob: cable M, fibres 1-12,25-36 (24), both directions\n"
           "850 nm  limit 3.025 dB: 0.35 km x 3.50 dB/km + 2 connector pairs x 0.75 dB + 1 splices x 0.30 dB = "
           "1.225 + 1.50 + 0.30 = 3.025 dB\n"
           "1300 nm  limit 2.325 dB: 0.35 km x 1.50 dB/km + 2 connector pairs x 0.75 dB + 1 splices x 0.30 dB = "
           "0.525 + 1.50 + 0.30 = 2.325 dB\n"
           "basis: TIA-568-C.3 maximum attenuations (the built-in table): TIA-568-C.3, multimode cabled fibre: "
           "maximum attenuation; connector pair 0.75 dB, splice 0.30 dB\n"
        << "" << 0;
    QTest::newRow("a fixed limit per wavelength")
        << make + QStringList{"--max-loss", "1310:0.5,1550:0.45"}
        << "DIR/cable-A.zjob: cable A-7, fibres 1-48 (48), one direction\n"
           "1310 nm  limit 0.50 dB: 0.50 dB (fixed)\n1550 nm  limit 0.45 dB: 0.45 dB (fixed)\n"
           "basis: a fixed limit, as given\n"
        << "" << 0;
    QTest::newRow("a table of one's own")
        << make + QStringList{"--wavelengths", "850", "--budget", "om4", "--budget-file", "DIR/house.json", "--length",
                              "0.5", "--connectors", "2", "--splices", "2"}
        << "DIR/cable-A.zjob: cable A-7, fibres 1-48 (48), one direction\n"
           "850 nm  limit 2.70 dB: 0.5 km x 3.00 dB/km + 2 connector pairs x 0.50 dB + 2 splices x 0.10 dB = "
           "1.50 + 1.00 + 0.20 = 2.70 dB\n"
           "basis: house rules 2026 (DIR/house.json): our own figures; connector pair 0.50 dB, splice 0.10 dB\n"
        << "" << 0;
    const QString help = QStringLiteral("\nTry 'zerak-cli --help'.\n");
    QTest::newRow("a wavelength the budget lacks")
        << make + QStringList{"--budget", "multimode", "--length", "1", "--connectors", "2", "--splices", "0"} << ""
        << "zerak-cli: the multimode budget (the built-in table) gives no attenuation at 1310, 1550 nm, wavelengths "
           "of the job; it has 850, 1300 nm" + help
        << 2;
    QTest::newRow("a fixed limit missing a wavelength") << make + QStringList{"--max-loss", "1310:0.5"} << ""
        << "zerak-cli: --max-loss 1310:0.5 gives no limit at 1550 nm, a wavelength of the job; give one, e.g. "
           "1550:0.5" + help
        << 2;
    QTest::newRow("no budget") << make << ""
        << "zerak-cli: job new needs a budget: --max-loss DB (or NM:DB,...), or --budget TYPE --length KM "
           "--connectors N --splices N" + help
        << 2;
    QTest::newRow("two budgets")
        << make + QStringList{"--max-loss", "3", "--budget", "multimode"} << ""
        << "zerak-cli: job new needs a budget: --max-loss DB (or NM:DB,...), or --budget TYPE --length KM "
           "--connectors N --splices N" + help
        << 2;
    QTest::newRow("splices left out")
        << make + QStringList{"--budget", "singlemode-inside", "--length", "1", "--connectors", "2"} << ""
        << "zerak-cli: --budget needs --splices N" + help << 2;
    QTest::newRow("a length with a fixed limit") << make + QStringList{"--max-loss", "3", "--length", "2"} << ""
        << "zerak-cli: --length applies only with --budget" + help << 2;
    QTest::newRow("a bad length")
        << make + QStringList{"--budget", "multimode", "--length", "2km", "--connectors", "2", "--splices", "0"} << ""
        << "zerak-cli: bad value '2km' for --length: expected the cable's length in km, from 0 to 1000, e.g. 2 or "
           "0.35" + help
        << 2;
    QTest::newRow("overlapping fibres")
        << QStringList{"job", "new", "JOB", "--cable", "A", "--fibres", "1-12,10-14", "--max-loss", "3"} << ""
        << "zerak-cli: bad value '1-12,10-14' for --fibres: fibre 10 is listed twice in '1-12,10-14'" + help << 2;
    QTest::newRow("no cable") << QStringList{"job", "new", "JOB", "--fibres", "1-4", "--max-loss", "3"} << ""
                              << "zerak-cli: job new needs --cable ID, the cable's name" + help << 2;
    QTest::newRow("a bad method") << make + QStringList{"--max-loss", "3", "--method", "4-cord"} << ""
        << "zerak-cli: bad value '4-cord' for --method: expected 1-cord, 2-cord or 3-cord" + help << 2;
    QTest::newRow("a table that is not one")
        << make + QStringList{"--budget", "om4", "--budget-file", "DIR/broken.json", "--length", "1", "--connectors",
                              "1", "--splices", "0"}
        << "" << "^zerak-cli: DIR/broken.json is not a table of loss budgets: .*\nTry 'zerak-cli --help'.\n$" << 2;
    QTest::newRow("never over a file") << make + QStringList{"--max-loss", "3"} << ""
        << "zerak-cli: DIR/cable-A.zjob already exists, and a job is never written over: choose another name, or "
           "move that file away first\n"
        << 2;
}

void JobCliTest::newJob()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(int, exitCode);

    QFile house(dir->filePath(QStringLiteral("house.json")));
    QVERIFY(house.open(QIODevice::WriteOnly));
    house.write(R"({"edition": "house rules 2026", "connector_pair_dB": 0.5, "splice_dB": 0.1,
        "types": [{"name": "om4", "basis": "our own figures", "attenuation_dB_per_km": {"850": 3.0}}]})");
    house.close();
    QFile broken(dir->filePath(QStringLiteral("broken.json")));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("{\"edition\": ");
    broken.close();
    QByteArray before;
    if (QByteArray(QTest::currentDataTag()) == "never over a file") {
        QFile there(job);
        QVERIFY(there.open(QIODevice::WriteOnly));
        there.write("notes\n");
        there.close();
        before = checksum(job);
    }

    const Ran ran = run(arguments);
    QVERIFY(ran.ended);
    QCOMPARE(ran.out, out);
    if (err.startsWith(QLatin1Char('^')))
        QVERIFY2(QRegularExpression(err).match(ran.err).hasMatch(), qPrintable(ran.err));
    else
        QCOMPARE(ran.err, err);
    QCOMPARE(ran.exitCode, exitCode);
    if (!before.isEmpty())
        QCOMPARE(checksum(job), before);
    else
        QCOMPARE(QFileInfo::exists(job), exitCode == 0);
    QVERIFY(sim->received().isEmpty());
}

// Referenced with the prompts answered, then end A to end B with fibre 2
// skipped, then back with a quit; the next run carries on, and the status
// averages the two directions.
void JobCliTest::wholeCableThroughItsPrompts()
{
    Terminal terminal;
    QVERIFY(terminal.isOpen());
    QVERIFY(run({"job", "new", "JOB", "--cable", "A-7", "--fibres", "1-3", "--bidirectional", "--max-loss",
                 "1310:2.6,1550:2.7"})
                .exitCode
            == 0);
    QByteArray said;
    QProcess *process = nullptr;
    const auto asked = [&](const QString &question) {
        return testsupport::waitUntil([&] {
            said += process->readAllStandardError();
            return said.endsWith((question + QLatin1Char(' ')).toUtf8());
        });
    };

    levels(-12.5, -11);
    process = start({"--port", "PORT", "job", "reference", "JOB", "-n", "2"}, &terminal);
    for (int nm : {1310, 1550}) {
        QVERIFY2(asked(QStringLiteral("Connect the reference cord, set the source to %1 nm and press Enter").arg(nm)),
                 said.constData());
        terminal.type("");
    }
    Ran ran = finished(process);
    QCOMPARE(ran.out, QStringLiteral("1310 nm  -12.50 dBm  std dev 0.00 dB  (2 readings)\n"
                                     "1550 nm  -11.00 dBm  std dev 0.00 dB  (2 readings)\n"));
    QCOMPARE(ran.exitCode, 0);

    // A-B: 2.50 and 2.60 dB.
    levels(-15, -13.6);
    said.clear();
    process = start({"--port", "PORT", "job", "run", "JOB", "-n", "2"}, &terminal);
    const QString connect = QStringLiteral("Connect fibre %1 and press Enter (s: skip, q: quit)");
    QVERIFY2(asked(connect.arg(1)), said.constData());
    terminal.type("");
    QVERIFY2(asked(connect.arg(2)), said.constData());
    said.clear();
    terminal.type("what");
    QVERIFY2(asked(connect.arg(2)), said.constData()); // asked again
    terminal.type("s");
    QVERIFY2(asked(connect.arg(3)), said.constData());
    terminal.type("");
    ran = finished(process);
    QCOMPARE(ran.out, fibreLine.arg(1).arg("A-B", "2.50", "2.60") + QStringLiteral("fibre 2 skipped\n")
                          + fibreLine.arg(3).arg("A-B", "2.50", "2.60")
                          + QStringLiteral("3 fibres: 0 passed, 0 failed, 3 untested\n"));
    QCOMPARE(ran.exitCode, 13);

    // B-A: 2.70 and 2.80 dB; quit at fibre 2.
    levels(-15.2, -13.8);
    said.clear();
    process = start({"--port", "PORT", "job", "run", "JOB", "-n", "2", "--direction", "B-A"}, &terminal);
    QVERIFY2(asked(connect.arg(1)), said.constData());
    terminal.type("");
    QVERIFY2(asked(connect.arg(2)), said.constData());
    terminal.type("q");
    ran = finished(process);
    // Fibre 1's 1310 nm averages 2.60 dB: on its limit, a pass; its 1550 nm 2.70 dB, on its limit too.
    QCOMPARE(ran.out, QStringLiteral("fibre 1  B-A  1310 nm 2.70 dB FAIL  1550 nm 2.80 dB FAIL\n"
                                           "stopped: 1 fibres stored in this run; job run carries on from the next "
                                           "untested fibre\n"
                                           "3 fibres: 1 passed, 0 failed, 2 untested\n"
                                           "worst margin: 1310 nm 0.00 dB (fibre 1), 1550 nm 0.00 dB (fibre 1)\n"));
    QCOMPARE(ran.exitCode, 13);

    // Carried on without a terminal: fibres 2 and 3 in B-A.
    ran = run({"--port", "PORT", "job", "run", "JOB", "-n", "2", "--direction", "B-A"});
    QCOMPARE(ran.out, QStringLiteral("fibre 2  B-A  1310 nm 2.70 dB FAIL  1550 nm 2.80 dB FAIL\n"
                                     "fibre 3  B-A  1310 nm 2.70 dB FAIL  1550 nm 2.80 dB FAIL\n"
                                     "3 fibres: 2 passed, 0 failed, 1 untested\n"
                                     "worst margin: 1310 nm 0.00 dB (fibre 1), 1550 nm 0.00 dB (fibre 1)\n"));
    QCOMPARE(ran.exitCode, 13);

    ran = run({"job", "status", "JOB"});
    QCOMPARE(ran.out, QStringLiteral("      1310 nm (dB)                  1550 nm (dB)\n"
                                     "fibre     A-B    B-A   loss margin      A-B    B-A   loss margin  result\n"
                                     "1        2.50   2.70   2.60   0.00     2.60   2.80   2.70   0.00  PASS\n"
                                     "2           -   2.70   2.70  -0.10        -   2.80   2.80  -0.10  untested\n"
                                     "3        2.50   2.70   2.60   0.00     2.60   2.80   2.70   0.00  PASS\n"
                                     "3 fibres: 2 passed, 0 failed, 1 untested\n"
                                     "worst margin: 1310 nm 0.00 dB (fibre 1), 1550 nm 0.00 dB (fibre 1)\n"));
    QCOMPARE(ran.err, QString());
    QCOMPARE(ran.exitCode, 13);

    // The one left, then a failure: fibre 2 in A-B at 2.75 and 2.85 dB.
    levels(-15.25, -13.85);
    ran = run({"--port", "PORT", "job", "test", "JOB", "--next", "-n", "2"});
    QCOMPARE(ran.out, QStringLiteral("fibre 2  A-B  1310 nm 2.75 dB FAIL  1550 nm 2.85 dB FAIL\n"
                                     "fibre 2  average  1310 nm 2.73 dB FAIL  1550 nm 2.83 dB FAIL: fibre 2 FAIL\n"));
    QCOMPARE(ran.exitCode, 7);
    ran = run({"job", "status", "JOB", "--json"});
    QCOMPARE(ran.exitCode, 7);
    const QJsonObject status = QJsonDocument::fromJson(ran.out.toUtf8()).object();
    QCOMPARE(status.value("failed").toInt(), 1);
    const QJsonObject fibre2 = status.value("fibres").toArray().at(1).toObject();
    QCOMPARE(fibre2.value("result").toString(), QStringLiteral("FAIL"));
    const QJsonObject at1310 = fibre2.value("wavelengths").toArray().at(0).toObject();
    QCOMPARE(at1310.value("A-B_dB").toDouble(), 2.75);
    QCOMPARE(at1310.value("B-A_dB").toDouble(), 2.7);
    QCOMPARE(at1310.value("loss_dB").toDouble(), 2.725);
    QCOMPARE(at1310.value("margin_dB").toDouble(), -0.125);
}

void JobCliTest::stoppedRunCarriesOn_data()
{
    QTest::addColumn<int>("signal");
    // Ctrl-C and SIGTERM end a run through the same handler as SIGHUP.
    QTest::newRow("kill -9") << int(SIGKILL);
    QTest::newRow("the terminal closed") << int(SIGHUP);
}

void JobCliTest::stoppedRunCarriesOn()
{
    QFETCH(int, signal);

    QVERIFY(run({"job", "new", "JOB", "--cable", "A-7", "--fibres", "1-4", "--max-loss", "3"}).exitCode == 0);
    levels(-12.5, -11);
    QCOMPARE(run({"--port", "PORT", "job", "reference", "JOB", "-n", "1"}).exitCode, 0);
    levels(-14.5, -13);
    // Slow enough to be stopped between fibres or within one.
    sim->setReplyDelay(10);
    QProcess *process = start({"--port", "PORT", "job", "run", "JOB", "-n", "2"});
    QByteArray out;
    QVERIFY(testsupport::waitUntil([&] { return (out += process->readAllStandardOutput()).count('\n') >= 2; }));
    ::kill(pid_t(process->processId()), signal);
    const Ran stopped = finished(process, out);
    const int told = stopped.out.count(QLatin1Char('\n'));
    sim->setReplyDelay(0);
    if (signal != SIGKILL) {
        QCOMPARE(stopped.exitCode, 9);
        QVERIFY2(QRegularExpression(QStringLiteral("^zerak-cli: interrupted: (fibre %1 was not stored; )?%2 fibres "
                                                   "stored in this run stay")
                                        .arg(told + 1)
                                        .arg(told))
                     .match(stopped.err)
                     .hasMatch(),
                 qPrintable(stopped.err));
    }

    // What it said was stored is there, and the file opens.
    Ran ran = run({"job", "export", "JOB", "--json"});
    QCOMPARE(ran.exitCode, 0);
    const QJsonArray results = QJsonDocument::fromJson(ran.out.toUtf8()).object().value("results").toArray();
    QVERIFY2(results.size() == 2 * told || (signal == SIGKILL && results.size() == 2 * (told + 1)),
             qPrintable(ran.out));
    for (int i = 0; i < told; ++i)
        QVERIFY(stopped.out.contains(
            QStringLiteral("fibre %1  A-B").arg(results.at(2 * i).toObject().value("fibre").toInt())));

    // Its lock is gone, or stale: the next run starts at once and does the rest.
    ran = run({"--port", "PORT", "job", "run", "JOB", "-n", "1"});
    QCOMPARE(ran.err, QString());
    QCOMPARE(ran.out.count(QStringLiteral("  A-B  ")), 4 - results.size() / 2);
    QVERIFY2(ran.out.endsWith(QStringLiteral("4 fibres: 4 passed, 0 failed, 0 untested\n"
                                             "worst margin: 1310 nm 1.00 dB (fibre 1), 1550 nm 1.00 dB (fibre 1)\n")),
             qPrintable(ran.out));
    QCOMPARE(ran.exitCode, 0);
}

void JobCliTest::wavelengthTheMeterLacks()
{
    QCOMPARE(run({"job", "new", "JOB", "--cable", "A-7", "--fibres", "1-2", "--wavelengths", "1310,1625",
                  "--max-loss", "3"})
                 .exitCode,
             0);
    const Ran ran = run({"--port", "PORT", "job", "reference", "JOB", "-n", "1"});
    QCOMPARE(ran.err, QStringLiteral("zerak-cli: PORT: the meter offers 1310, 1550 nm; not 1625\n"
                                     "zerak-cli: the reference was not stored; run job reference again\n"));
    QCOMPARE(ran.exitCode, 8);
    QVERIFY(run({"job", "export", "JOB", "--json"}).out.contains(QStringLiteral("\"references\": [\n    ]")));
}

// Each is refused with its code before a byte goes to the meter, and the
// job's file is as it was.
void JobCliTest::refusedBeforeTheMeter_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("err"); // a regular expression
    QTest::addColumn<int>("exitCode");

    const QStringList run{"--port", "PORT", "job", "run", "JOB"};
    const QStringList status{"job", "status", "JOB"};
    QTest::newRow("a fibre outside the job") << "" << QStringList{"--port", "PORT", "job", "test", "JOB", "--fibre", "4"}
        << "^zerak-cli: fibre 4 is not in the job DIR/cable-A.zjob \\(fibres 1-3\\)\n$" << 2;
    QTest::newRow("a wavelength not in the job") << "" << run + QStringList{"--wavelengths", "1625"}
        << "^zerak-cli: 1625 nm is not a wavelength of the job DIR/cable-A.zjob \\(1310, 1550\\)\n$" << 2;
    QTest::newRow("no reference yet") << "no reference" << run
        << "^zerak-cli: the job DIR/cable-A.zjob has no reference at 1310 nm yet: take one first with zerak-cli job "
           "reference\n$"
        << 2;
    QTest::newRow("a bad direction") << "" << run + QStringList{"--direction", "A-C"}
        << "^zerak-cli: bad value 'A-C' for --direction: expected A-B \\(light from end A\\) or B-A\n" << 2;
    QTest::newRow("not a job") << "text" << run << "^zerak-cli: DIR/cable-A.zjob is not a job: it is not an SQLite "
                                                   "database\n$"
                               << 10;
    QTest::newRow("cut short") << "cut" << status
        << "^zerak-cli: the job DIR/cable-A.zjob is damaged: it is cut short: \\d+ of its \\d+ bytes are there; it "
           "is left as it is\n$"
        << 10;
    QTest::newRow("a table missing") << "drop" << run
        << "^zerak-cli: the job DIR/cable-A.zjob is damaged: the table 'reference' is missing; it is left as it is\n$"
        << 10;
    QTest::newRow("another program's database") << "foreign" << status
        << "^zerak-cli: DIR/cable-A.zjob is an SQLite database, but not a job of zerak-cli\n$" << 10;
    QTest::newRow("from a newer version") << "newer" << run
        << "^zerak-cli: the job DIR/cable-A.zjob was made by a newer zerak-cli \\(job file version 9; this one reads "
           "up to 1\\); open it with that version or a later one; it is left as it is\n$"
        << 11;
    QTest::newRow("no such job") << "missing" << run
        << "^zerak-cli: there is no job DIR/cable-A.zjob; make one with zerak-cli job new\n$" << 2;
    QTest::newRow("a read-only directory") << "read-only" << run
        << "^zerak-cli: the job DIR/cable-A.zjob is in a read-only directory \\(DIR\\), where its log cannot be kept; "
           "copy it somewhere writable\n$"
        << 2;
}

void JobCliTest::refusedBeforeTheMeter()
{
    QFETCH(QString, damage);
    QFETCH(QStringList, arguments);
    QFETCH(QString, err);
    QFETCH(int, exitCode);

    if (damage == QLatin1String("no reference")) {
        QCOMPARE(run({"job", "new", "JOB", "--cable", "A-7", "--fibres", "1-3", "--max-loss", "3"}).exitCode, 0);
    } else if (damage != QLatin1String("missing")) {
        referencedJob();
    }
    const auto tamper = [&](const QStringList &statements) {
        {
            QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("tamper"));
            database.setDatabaseName(job);
            QVERIFY(database.open());
            for (const QString &statement : statements)
                QVERIFY(QSqlQuery(database).exec(statement));
            database.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("tamper"));
    };
    if (damage == QLatin1String("text") || damage == QLatin1String("cut")) {
        QFile file(job);
        QVERIFY(file.open(QIODevice::ReadWrite));
        if (damage == QLatin1String("text")) {
            file.resize(0);
            file.write("fibre,loss\n1,0.3\n");
        } else {
            file.resize(file.size() / 4096 / 2 * 4096);
        }
    } else if (damage == QLatin1String("drop")) {
        tamper({QStringLiteral("DROP TABLE reference")});
    } else if (damage == QLatin1String("foreign")) {
        QFile::remove(job);
        tamper({QStringLiteral("CREATE TABLE job (cable TEXT)")});
    } else if (damage == QLatin1String("newer")) {
        tamper({QStringLiteral("PRAGMA user_version = 9")});
    }
    const QByteArray before = checksum(job);
    std::unique_ptr<ReadOnlyDirectory> readOnly;
    if (damage == QLatin1String("read-only")) {
        readOnly = std::make_unique<ReadOnlyDirectory>(dir->path());
        if (!readOnly->holds())
            QSKIP("neither chmod nor the immutable flag makes a directory read-only here");
    }
    const Ran ran = run(arguments);
    readOnly.reset();
    QVERIFY(ran.ended);
    QCOMPARE(ran.out, QString());
    QVERIFY2(QRegularExpression(err).match(ran.err).hasMatch(), qPrintable(ran.err));
    QCOMPARE(ran.exitCode, exitCode);
    QVERIFY(sim->received().isEmpty());
    QCOMPARE(checksum(job), before);
}

void JobCliTest::inUseByAnotherRun()
{
    referencedJob();
    job::JobError error;
    std::unique_ptr<job::JobStore> held = job::JobStore::open(job, job::JobStore::Access::Write, &error);
    QVERIFY2(held, qPrintable(error.message));
    QElapsedTimer clock;
    clock.start();
    Ran ran = run({"--port", "PORT", "job", "run", "JOB", "--no-prompt"});
    QVERIFY(clock.elapsed() >= job::JobStore::lockWaitMs);
    QCOMPARE(ran.err, QStringLiteral("zerak-cli: the job DIR/cable-A.zjob is in use by another run (tst_jobcli, "
                                     "process PID on HOST); wait for it to end, or end it, then try again\n"));
    QCOMPARE(ran.exitCode, 12);
    QVERIFY(sim->received().isEmpty());
    // Reading needs no lock: it does not wait.
    clock.restart();
    ran = run({"job", "status", "JOB"});
    QCOMPARE(ran.exitCode, 13);
    QVERIFY(clock.elapsed() < job::JobStore::lockWaitMs);
}

void JobCliTest::reportsAndExports()
{
    referencedJob({"--end-a", "Rack 1", "--end-b", "Closure 4", "--operator", "J. Doe"});
    levels(-15, -13.6);
    QCOMPARE(run({"--port", "PORT", "job", "run", "JOB", "-n", "1"}).exitCode, 0);
    // A re-test of fibre 2 over the limit: the history keeps both.
    levels(-15.2, -13.8);
    QCOMPARE(run({"--port", "PORT", "job", "test", "JOB", "--fibre", "2", "-n", "1"}).exitCode, 7);

    Ran ran = run({"job", "report", "JOB", "--output", "DIR/report.pdf"});
    QCOMPARE(ran.out, QStringLiteral("DIR/report.pdf: the report of DIR/cable-A.zjob\n"
                                     "3 fibres: 2 passed, 1 failed, 0 untested\n"
                                     "worst margin: 1310 nm -0.10 dB (fibre 2), 1550 nm -0.10 dB (fibre 2)\n"));
    QCOMPARE(ran.exitCode, 7);
    QFile pdf(dir->filePath(QStringLiteral("report.pdf")));
    QVERIFY(pdf.open(QIODevice::ReadOnly));
    const QByteArray bytes = pdf.readAll();
    QVERIFY(bytes.startsWith("%PDF"));
    // A page of the job and its chart, one of its table.
    const int tree = bytes.indexOf("/Type /Pages");
    const int count = bytes.indexOf("/Count ", tree);
    QVERIFY(tree >= 0 && count > tree);
    QCOMPARE(bytes.mid(count + 7, bytes.indexOf('\n', count) - count - 7), QByteArray("2"));

    QCOMPARE(run({"job", "report", "JOB", "--output", "DIR/report.csv"}).exitCode, 7);
    QFile csv(dir->filePath(QStringLiteral("report.csv")));
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QString table = QString::fromUtf8(csv.readAll());
    QVERIFY2(QRegularExpression(QStringLiteral("^fibre,wavelength_nm,A-B_dB,B-A_dB,loss_dB,limit_dB,margin_dB,result,"
                                               "fibre_result,reference_age_s\n"
                                               "1,1310,2.50,,2.50,2.60,0.10,PASS,PASS,\\d+\n"
                                               "1,1550,2.60,,2.60,2.70,0.10,PASS,PASS,\\d+\n"
                                               "2,1310,2.70,,2.70,2.60,-0.10,FAIL,FAIL,\\d+\n"))
                 .match(table)
                 .hasMatch(),
             qPrintable(table));

    QCOMPARE(run({"job", "report", "JOB", "--output", "DIR/report.html"}).exitCode, 7);
    QFile html(dir->filePath(QStringLiteral("report.html")));
    QVERIFY(html.open(QIODevice::ReadOnly));
    const QString page = QString::fromUtf8(html.readAll());
    for (const QString &part : {QStringLiteral("<h1>Cable test: A-7</h1>"), QStringLiteral("A: Rack 1 &nbsp; B: Closure 4"),
                                QStringLiteral("FAIL: fibre 2 over the budget"),
                                QStringLiteral("src=\"data:image/svg+xml;base64,"),
                                QStringLiteral("1310 nm: 2.60 dB (fixed)")})
        QVERIFY2(page.contains(part), qPrintable(part));

    ran = run({"job", "export", "JOB", "--csv"});
    QCOMPARE(ran.exitCode, 0);
    const QStringList lines = ran.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1 + 3 * 2 + 2);
    QVERIFY(lines.at(3).startsWith(QStringLiteral("3,2,A-B,1310,-15.000,0.000,1,2.500,2.600,0.100,PASS,")));
    QVERIFY(lines.at(3).endsWith(QStringLiteral(",PORT,zerak-cli 1.0,no")));
    QVERIFY(lines.at(7).startsWith(QStringLiteral("7,2,A-B,1310,-15.200,0.000,1,2.700,2.600,-0.100,FAIL,")));
    QVERIFY(lines.at(7).endsWith(QStringLiteral(",yes")));

    // Never over the job itself, whatever it is called.
    QVERIFY(QFile::copy(job, dir->filePath(QStringLiteral("cable.pdf"))));
    const QByteArray before = checksum(dir->filePath(QStringLiteral("cable.pdf")));
    ran = run({"job", "report", "DIR/cable.pdf", "--output", "DIR/../" + QFileInfo(dir->path()).fileName() + "/cable.pdf"});
    QVERIFY2(ran.err.startsWith(QStringLiteral("zerak-cli: bad value 'DIR/../")), qPrintable(ran.err));
    QVERIFY2(ran.err.contains(QStringLiteral("for --output: that is the job itself\n")), qPrintable(ran.err));
    QCOMPARE(ran.exitCode, 2);
    QCOMPARE(checksum(dir->filePath(QStringLiteral("cable.pdf"))), before);

    // A report that cannot be written leaves nothing, and says so.
    ran = run({"job", "report", "JOB", "--output", "DIR/missing/report.pdf"});
    QCOMPARE(ran.err, QStringLiteral("zerak-cli: bad value 'DIR/missing/report.pdf' for --output: cannot write to "
                                     "DIR/missing\nTry 'zerak-cli --help'.\n"));
    QCOMPARE(ran.exitCode, 2);
}

QTEST_GUILESS_MAIN(JobCliTest)
#include "tst_jobcli.moc"
