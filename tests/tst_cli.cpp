// SPDX-License-Identifier: MIT
// zerak-cli end to end: the program as a process, the simulated meter in
// this one, output compared exactly with the port path and the timestamps
// masked, each timestamp first checked to be of the run, in the zone it was
// given. Reports and charts are read back field by field. Most rows shorten
// the reply deadline with --timeout; a few keep the real 1 s deadline and
// 50 ms gap.

#include "meter/protocol.h"
#include "port/portreport.h"
#include "sim/metersimulator.h"
#include "support/waiting.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// What the runs use for the gap, unless a row sets it (the user's is 50 ms).
constexpr int quickGapMs = 10;

// The zone the runs are in, in POSIX form: 5:30 east of UTC, so that a time
// written in UTC, or without its offset, shows.
const char *const timeZone = "ZRK-05:30";
constexpr int zoneOffsetSeconds = 5 * 3600 + 30 * 60;
const QString zoneOffset = QStringLiteral("+05:30");
constexpr qint64 day = 24 * 3600;

// How the simulated meter behaves for one row, and what happens to the run.
struct Sim
{
    QVector<double> levels; // one per measurement request, repeated
    QMap<quint16, double> byWavelength;
    QMap<quint16, QVector<double>> sequences; // per wavelength, one per reading there, repeated
    QVector<quint16> wavelengths;
    int wavelengthBytes = 4;
    bool decibel = false;
    int delayMs = 0;
    int splitFirst = 0;
    int splitPauseMs = 0;
    int trickleMs = 0;
    int chatterMs = 0;
    int garbageEvery = 0;
    int dropEvery = 0;
    int strayEvery = 0;
    int strayAfterMs = 0;
    int strayAheadMs = 0; // a frame that answers nothing this long before the reply to the third reading request
    int answerReadings = -1;   // then silent; -1: always
    int hangUpAfter = -1;
    int stepAfterReadings = -1; // the keypad moves the meter on after this many readings
    bool busy = false;          // another program has the port open
    enum Signal { None, Interrupt, Terminate, HangUp, ReaderGone, InterruptAtOnce } signal = None;
    bool stdoutToFull = false;

    Sim &level(const QVector<double> &values) { levels = values; return *this; }
    Sim &perWavelength(const QMap<quint16, double> &values) { byWavelength = values; return *this; }
    Sim &levelsAt(const QMap<quint16, QVector<double>> &values) { sequences = values; return *this; }
    Sim &offering(const QVector<quint16> &list) { wavelengths = list; return *this; }
};

struct Result
{
    bool ended = false;
    int exitCode = -1;
    QString out;
    QString err;
    QVector<QDateTime> times; // of the rows on stdout, in order
};

// CSV lines with another number of fields than the header: a column that
// an option adds to the rows must be in the header too.
QStringList unevenRows(const QString &text)
{
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lines.isEmpty() || !lines.first().startsWith(QLatin1String("time,")))
        return {};
    QStringList uneven;
    for (const QString &line : lines)
        if (line.count(QLatin1Char(',')) != lines.first().count(QLatin1Char(',')))
            uneven << line;
    return uneven;
}

const QString readingsOutsideLimit = QStringLiteral("zerak-cli: PORT: %1 of %2 readings outside the limit\n");
const QString tryHelp = QStringLiteral("\nTry 'zerak-cli --help'.\n");

} // namespace

Q_DECLARE_METATYPE(Sim)

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
    void hostileLines_data();
    void hostileLines();
    void failures_data();
    void failures();
    void lossTest_data();
    void lossTest();

private:
    void addColumns();
    void runAndCompare(Result *ran = nullptr); // over the columns addColumns() adds
    Result run(const QStringList &arguments, const Sim &setup);
    QString masked(QString text);
    QString substituted(QString text) const;
    QStringList inventedRows(const QString &rows) const;
    void compareFile(const QString &fileName, const QString &expected);

    std::unique_ptr<MeterSimulator> sim;
    QTemporaryDir dir;
    // Every timestamp masked must lie within the last run, in the runs' zone.
    QDateTime runFrom;
    QDateTime runTo;
    QStringList wrongTimes;
    QVector<QDateTime> maskedTimes;
    QString referenceTime; // as the reference file has it; masked as REFTIME
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
    referenceTime.clear();
}

void CliTest::addColumns()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Sim>("setup");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err"); // a row's out or err starting with '^' is a regular expression
    QTest::addColumn<int>("exitCode");
}

QString CliTest::masked(QString text)
{
    text.replace(sim->portPath(), QStringLiteral("PORT"));
    text.replace(dir.path(), QStringLiteral("DIR"));
    text.replace(QStringLiteral(ZERAK_CLI), QStringLiteral("zerak-cli"));
    text.replace(QStringLiteral("/var/lock/LCK..") + sim->portPath().mid(5).replace(QLatin1Char('/'), QLatin1Char('_')),
                 QStringLiteral("LOCK"));
    static const QRegularExpression pid(QStringLiteral("process \\d+ \\("));
    text.replace(pid, QStringLiteral("process PID ("));
    if (!referenceTime.isEmpty()) {
        // As a warning and a page name it: in its own words, or to the second
        // with the zone. (A report's own time may read the same.)
        const QDateTime taken = QDateTime::fromString(referenceTime, Qt::ISODate);
        const QString asTaken = QStringLiteral("taken REFTIME");
        text.replace(QStringLiteral("taken ") + referenceTime, asTaken);
        text.replace(QStringLiteral("taken ") + taken.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                         + QStringLiteral(" UTC") + zoneOffset,
                     asTaken);
    }
    // "2026-12-08T09:48:56.094+05:30" in rows, without the milliseconds in
    // reports, "2026-12-08 09:48:56 UTC+05:30" on pages and charts.
    static const QRegularExpression stamp(QStringLiteral(
        "(\\d{4}-\\d\\d-\\d\\d)([T ])(\\d\\d:\\d\\d:\\d\\d)(\\.\\d{3})?( UTC)?(Z|[+-]\\d\\d:\\d\\d)?"));
    QString result;
    int from = 0;
    QRegularExpressionMatchIterator matches = stamp.globalMatch(text);
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        result += text.mid(from, match.capturedStart() - from) + QLatin1Char('T');
        from = match.capturedEnd();
        const bool withMs = match.capturedLength(4) > 0;
        const QDateTime wall(QDate::fromString(match.captured(1), Qt::ISODate),
                             QTime::fromString(match.captured(3) + match.captured(4),
                                               withMs ? QStringLiteral("HH:mm:ss.zzz") : QStringLiteral("HH:mm:ss")),
                             Qt::UTC);
        const QDateTime at = wall.addSecs(-zoneOffsetSeconds);
        const bool inZone = match.captured(6) == zoneOffset
                            && (match.captured(2) == QLatin1String("T")) == (match.capturedLength(5) == 0);
        // One written to the second may read up to a second before the run.
        const bool inRun = !runFrom.isValid() || (at >= runFrom.addSecs(-1) && at <= runTo);
        if (!inZone || !wall.isValid() || !inRun)
            wrongTimes << match.captured(0);
        maskedTimes << at;
    }
    return result + text.mid(from);
}

QString CliTest::substituted(QString text) const
{
    return text.replace(QStringLiteral("PORT"), sim->portPath()).replace(QStringLiteral("DIR"), dir.path());
}

// Rows whose value or wavelength the simulator never sent in that role.
QStringList CliTest::inventedRows(const QString &rows) const
{
    QStringList sentLevels;
    QStringList sentWavelengths;
    for (const MeterSimulator::Answer &answer : sim->answers()) {
        const meter::Frame frame = meter::decodeFrame(answer.bytes);
        if (answer.command == meter::cmdMeasure)
            sentLevels << meter::signText(frame).trimmed() + meter::magnitudeText(frame) + QLatin1Char(' ')
                              + meter::unitText(frame);
        else if (answer.command != 0)
            sentWavelengths << QString::number(frame.value);
    }
    QStringList invented;
    static const QRegularExpression plain(QStringLiteral("^(-?\\d+\\.\\d\\d d[Bm]+)"));
    static const QRegularExpression csv(QStringLiteral("^T,(\\d+),(-?\\d+\\.\\d\\d),(d[Bm]+),"));
    for (const QString &row : rows.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch csvMatch = csv.match(row);
        const QRegularExpressionMatch plainMatch = plain.match(row);
        if (csvMatch.hasMatch()) {
            if (!sentWavelengths.contains(csvMatch.captured(1))
                || !sentLevels.contains(csvMatch.captured(2) + QLatin1Char(' ') + csvMatch.captured(3)))
                invented << row;
        } else if (plainMatch.hasMatch() && !sentLevels.contains(plainMatch.captured(1))) {
            invented << row;
        }
    }
    return invented;
}

Result CliTest::run(const QStringList &arguments, const Sim &setup)
{
    int measurements = 0;
    QMap<quint16, int> readingsAt;
    const QMetaObject::Connection counting = QObject::connect(sim.get(), &MeterSimulator::commandReceived, sim.get(),
                                                              [&](quint8 command) {
        if (command != meter::cmdMeasure)
            return;
        if (!setup.levels.isEmpty())
            sim->setPowerLevel(setup.levels.at(measurements % setup.levels.size()));
        const quint16 nm = sim->currentWavelength();
        if (setup.sequences.contains(nm)) {
            QMap<quint16, double> levels = setup.byWavelength;
            const QVector<double> &sequence = setup.sequences[nm];
            levels.insert(nm, sequence.at(readingsAt[nm]++ % sequence.size()));
            sim->setPowerLevels(levels);
        }
        if (measurements == 2 && setup.strayAheadMs > 0)
            QTimer::singleShot(setup.delayMs - setup.strayAheadMs, sim.get(),
                               [this] { sim->sendRaw(MeterSimulator::defaultStrayFrame()); });
        ++measurements;
        if (setup.answerReadings >= 0 && measurements > setup.answerReadings)
            sim->setAnswering(false);
    });
    // The keypad, between a reading and the next time the wavelength is asked.
    const QMetaObject::Connection keypad = QObject::connect(sim.get(), &MeterSimulator::commandReceived, sim.get(),
                                                            [&](quint8 command) {
        if (command == meter::cmdQueryWavelength && setup.stepAfterReadings >= 0
            && measurements >= setup.stepAfterReadings)
            sim->setWavelengthIndex(2);
    });
    if (!setup.wavelengths.isEmpty())
        sim->setWavelengths(setup.wavelengths);
    sim->setPowerLevels(setup.byWavelength);
    sim->setPowerInDecibel(setup.decibel);
    sim->setWavelengthReplyLength(setup.wavelengthBytes);
    sim->setReplyDelay(setup.delayMs);
    sim->setSplitReplies(setup.splitFirst, setup.splitPauseMs);
    sim->setTrickle(setup.trickleMs);
    sim->setChatter(setup.chatterMs);
    sim->setGarbageEvery(setup.garbageEvery);
    sim->setDropEvery(setup.dropEvery);
    sim->setStrayEvery(setup.strayEvery, setup.strayAfterMs);
    if (setup.answerReadings == 0)
        sim->setAnswering(false);
    sim->setHangUpAfter(setup.hangUpAfter);
    QSerialPort other;
    if (setup.busy) {
        other.setPortName(sim->portPath());
        if (!other.open(QIODevice::ReadWrite))
            return {};
    }

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TZ"), QString::fromLatin1(timeZone));
    environment.insert(QStringLiteral("ZERAK_EXTRA_PORTS"),
                       sim->portPath() + QLatin1Char(':') + dir.filePath(QStringLiteral("no-such-port")));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(dir.path()); // where a file named without a directory goes
    if (setup.stdoutToFull)
        process.setStandardOutputFile(QStringLiteral("/dev/full"));
    // A reader that leaves after two lines, as | head -2 does.
    const QString fifo = dir.filePath(QStringLiteral("stdout.fifo"));
    int reader = -1;
    if (setup.signal == Sim::ReaderGone) {
        QFile::remove(fifo);
        if (::mkfifo(QFile::encodeName(fifo).constData(), 0600) != 0)
            return {};
        reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        process.setStandardOutputFile(fifo);
    }
    QStringList args;
    for (const QString &argument : arguments)
        args << substituted(argument);
    // The line's gap shortened, as for the window's tests, where a row does
    // not set it itself: a few keep the user's.
    if (args.contains(QStringLiteral("--port")) && !args.contains(QStringLiteral("--gap")))
        args << QStringLiteral("--gap") << QString::number(quickGapMs);
    // The simulator answers from this event loop: never block on the process.
    const auto ended = [&process] {
        return testsupport::waitUntil([&process] { return process.state() == QProcess::NotRunning; }, 15000)
               && process.exitStatus() == QProcess::NormalExit;
    };
    QByteArray out;
    // The counter above lives only as long as this call.
    const auto done = qScopeGuard([&] {
        QObject::disconnect(counting);
        QObject::disconnect(keypad);
    });
    wrongTimes.clear();
    runFrom = QDateTime::currentDateTimeUtc();
    process.start(QStringLiteral(ZERAK_CLI), args);
    if (setup.signal == Sim::InterruptAtOnce) {
        // Once it is asking the meter, it has its handlers.
        if (!testsupport::waitUntil([&] { return !sim->received().isEmpty(); }, 5000))
            return {};
        ::kill(pid_t(process.processId()), SIGINT);
    } else if (setup.signal == Sim::ReaderGone) {
        // The pipe is no notifier of the loop's: look every few ms.
        const bool read = QTest::qWaitFor(
            [&] {
                char byte;
                while (out.count('\n') < 2 && ::read(reader, &byte, 1) == 1)
                    out += byte;
                return out.count('\n') >= 2;
            },
            5000);
        ::close(reader);
        if (!read)
            return {};
    } else if (setup.signal != Sim::None) {
        if (!testsupport::waitUntil([&] { return (out += process.readAllStandardOutput()).count('\n') >= 2; }, 5000))
            return {};
        ::kill(pid_t(process.processId()), setup.signal == Sim::HangUp    ? SIGHUP
                                           : setup.signal == Sim::Terminate ? SIGTERM
                                                                            : SIGINT);
    }
    if (!ended())
        return {};
    runTo = QDateTime::currentDateTimeUtc();
    if (setup.signal != Sim::ReaderGone)
        out += process.readAllStandardOutput();
    Result result{true, process.exitCode(), {}, {}, {}};
    maskedTimes.clear();
    result.out = masked(QString::fromUtf8(out));
    result.times = maskedTimes;
    result.err = masked(QString::fromUtf8(process.readAllStandardError()));
    return result;
}

void CliTest::runAndCompare(Result *ran)
{
    QFETCH(QStringList, arguments);
    QFETCH(Sim, setup);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(int, exitCode);

    const Result result = run(arguments, setup);
    QVERIFY2(result.ended, "the run did not end");
    if (out.startsWith(QLatin1Char('^')))
        QVERIFY2(QRegularExpression(out).match(result.out).hasMatch(), qPrintable(result.out));
    else
        QCOMPARE(result.out, out);
    if (err.startsWith(QLatin1Char('^')))
        QVERIFY2(QRegularExpression(err).match(result.err).hasMatch(), qPrintable(result.err));
    else
        QCOMPARE(result.err, err);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(inventedRows(result.out), QStringList());
    QCOMPARE(unevenRows(result.out), QStringList());
    QCOMPARE(wrongTimes, QStringList());
    if (ran)
        *ran = result;
}

void CliTest::commands_data()
{
    addColumns();
    QTest::newRow("wavelength") << QStringList{"--port", "PORT", "wavelength"} << Sim() << "850 nm\n" << "" << 0;
    QTest::newRow("2-byte wavelength reply") << QStringList{"--port", "PORT", "wavelength"} << [] {
        Sim sim;
        sim.wavelengthBytes = 2;
        return sim;
    }() << "850 nm\n" << "" << 0;
    QTest::newRow("next wavelength") << QStringList{"--port", "PORT", "next-wavelength"} << Sim() << "1300 nm\n" << ""
                                     << 0;
    QTest::newRow("detect") << QStringList{"detect", "--timeout", "100"} << Sim() << "PORT  850 nm\n"
                            << "zerak-cli: DIR/no-such-port: no such port, skipped\n" << 0;
    QTest::newRow("detect, no meter") << QStringList{"detect", "--timeout", "100"} << [] {
        Sim sim;
        sim.answerReadings = 0;
        return sim;
    }() << "" << "zerak-cli: DIR/no-such-port: no such port, skipped\nzerak-cli: no meter answered\n" << 5;
    // A port is listed only with a wavelength the meter said: not the first
    // byte of a split reply, nor a frame that answered nothing.
    const QString noSuchPort = QStringLiteral("zerak-cli: DIR/no-such-port: no such port, skipped\n");
    const QString noMeter = QStringLiteral("zerak-cli: no meter answered\n");
    // Paused 50 ms longer than the gap, so that a busy machine does not read it whole.
    QTest::newRow("detect, a split reply") << QStringList{"detect", "--timeout", "100", "--gap", "10"} << [] {
        Sim sim;
        sim.splitFirst = 1, sim.splitPauseMs = 60;
        return sim;
    }() << "" << noSuchPort + "zerak-cli: PORT: the reply arrived broken up: a frame of 1 byte, skipped\n" + noMeter << 5;
    QTest::newRow("detect, a chattering line") << QStringList{"detect", "--timeout", "100"} << [] {
        Sim sim;
        sim.chatterMs = 30;
        return sim;
    }() << "" << noSuchPort + "zerak-cli: PORT: the line never went quiet behind the reply, skipped\n" + noMeter << 5;
    QTest::newRow("detect, an impossible wavelength")
        << QStringList{"detect", "--timeout", "100"} << Sim().offering({20000}) << ""
        << noSuchPort + "zerak-cli: PORT: reports 20000 nm, which no optical power meter uses, skipped\n" + noMeter << 5;
    QTest::newRow("detect to a full disk") << QStringList{"detect", "--timeout", "100"} << [] {
        Sim sim;
        sim.stdoutToFull = true;
        return sim;
    }() << "" << noSuchPort + "zerak-cli: cannot write to stdout (/dev/full): No space left on device\n" << 1;
    QTest::newRow("help to a full disk") << QStringList{"--help"} << [] {
        Sim sim;
        sim.stdoutToFull = true;
        return sim;
    }() << "" << "zerak-cli: cannot write to stdout (/dev/full): No space left on device\n" << 1;
    QTest::newRow("detect, meter busy") << QStringList{"detect", "--timeout", "100"} << [] {
        Sim sim;
        sim.busy = true;
        return sim;
    }() << "" << "zerak-cli: PORT: port busy: process PID (tst_cli) holds its lock file LOCK, skipped\n"
                 "zerak-cli: DIR/no-such-port: no such port, skipped\nzerak-cli: no meter answered\n"
        << 5;
    QTest::newRow("ports") << QStringList{"ports"} << Sim() << "REPORT" << "" << 0;
    QTest::newRow("version") << QStringList{"--version"} << Sim() << "zerak-cli 1.0\n" << "" << 0;
    QTest::newRow("help after a command")
        << QStringList{"--port", "PORT", "measure", "--help"} << Sim()
        << "Usage: zerak-cli [options] command\n"
           "Finds the optical power meter on the serial ports, reads its wavelength and logs its readings.\n"
           "\n"
           "Options:\n"
           "  -h, --help                 Displays help on commandline options.\n"
           "  --help-all                 Displays help including Qt specific options.\n"
           "  -v, --version              Displays version information.\n"
           "  --port <P>                 The meter's port: a name such as ttyUSB0, or a\n"
           "                             path.\n"
           "  --timeout <MS>             How long to wait for each reply (default 1000;\n"
           "                             detect: 300); three requests in a row without a\n"
           "                             usable reply end the run. serve: also how long the\n"
           "                             rest of a query's line may take.\n"
           "  --gap <MS>                 The silence that ends a reply cut short (default\n"
           "                             50); raise it for an adapter that pauses within a\n"
           "                             reply.\n"
           "  -n <N>                     measure: take N readings (default: until\n"
           "                             interrupted); reference, loss, job reference, test,\n"
           "                             run: N readings per wavelength (default 5).\n"
           "  --interval <MS>            measure: reading k at start + k * MS (default\n"
           "                             1000; a late one is caught up); 0: as fast as the\n"
           "                             meter answers.\n"
           "  --duration <S>             measure: stop S seconds after the first reading\n"
           "                             (one asked for by then is taken).\n"
           "  --wavelength <NM>          measure: step the meter to NM first (exit 8 if it\n"
           "                             does not offer it).\n"
           "  --csv                      measure: write CSV: a header, then one row per\n"
           "                             reading. job export: every result as CSV.\n"
           "  --json                     measure: write JSON Lines: one object per reading,\n"
           "                             with the CSV's fields. job status: one JSON object.\n"
           "                             job export: every result as JSON.\n"
           "  --output <FILE>            measure: write the rows to FILE, each flushed as\n"
           "                             it is taken; reference: the file to save the\n"
           "                             reference to (.json); job report: the report (.pdf,\n"
           "                             .html, .csv or .json); job export: the file instead\n"
           "                             of stdout.\n"
           "  --stats                    measure: print count, min, mean, max and standard\n"
           "                             deviation at the end, per wavelength (to stderr\n"
           "                             with --csv or --json).\n"
           "  --reference <DBM|FILE>     measure: reference level in dBm; adds the loss in\n"
           "                             dB (reference minus reading); dBm readings only.\n"
           "                             loss: the file that reference saved.\n"
           "  --max-loss <DB|NM:DB,...>  The loss budget in dB, or one per wavelength\n"
           "                             (1310:0.5,1550:0.4): a loss up to it passes.\n"
           "                             measure: the loss against --reference, or -reading\n"
           "                             for dB readings. job new: a fixed limit, instead of\n"
           "                             --budget.\n"
           "  --limit <LOW:HIGH>         measure: PASS or FAIL for each reading (its loss,\n"
           "                             with --reference) against LOW:HIGH, LOW: or :HIGH,\n"
           "                             inclusive; a single X means X:, at least X.\n"
           "  --plot <FILE>              measure: draw power against time to FILE (.png,\n"
           "                             .svg or .pdf).\n"
           "  --wavelengths <NM,...>     reference, loss: the wavelengths to measure, in nm\n"
           "                             (reference default: the meter's current one; loss\n"
           "                             default: those of the reference). job new: the\n"
           "                             job's (default 1310,1550); job reference, test,\n"
           "                             run: some of them (default all).\n"
           "  --no-prompt                reference, loss, job reference: do not wait for\n"
           "                             Enter before each wavelength; job test, run: before\n"
           "                             each fibre (never waited for when stdin is not a\n"
           "                             terminal).\n"
           "  --report <FILE>            loss: write the record of the test to FILE: .json,\n"
           "                             .csv, .pdf or .html.\n"
           "  --cable <ID>               job new: the cable's ID.\n"
           "  --fibres <LIST>            job new: the fibres, as numbers and ranges: 1-48,\n"
           "                             1-12,25-36.\n"
           "  --end-a <NAME>             job new: the name of end A (default A).\n"
           "  --end-b <NAME>             job new: the name of end B (default B).\n"
           "  --operator <NAME>          job new: who tests the cable.\n"
           "  --method <METHOD>          job new: how the reference is taken: 1-cord\n"
           "                             (default), 2-cord or 3-cord.\n"
           "  --bidirectional            job new: a fibre is done only when both\n"
           "                             directions, A-B and B-A, are in.\n"
           "  --budget <TYPE>            job new: the limit computed for the cable:\n"
           "                             multimode, singlemode-inside or singlemode-outside\n"
           "                             (or a type of --budget-file); needs --length,\n"
           "                             --connectors, --splices.\n"
           "  --length <KM>              job new, --budget: the cable's length in km.\n"
           "  --connectors <N>           job new, --budget: the connector pairs on the\n"
           "                             link.\n"
           "  --splices <N>              job new, --budget: the splices on the link.\n"
           "  --budget-file <FILE>       job new, --budget: a table of attenuations of\n"
           "                             one's own, shaped as share/zerak/loss-budgets.json.\n"
           "  --fibre <N>                job test: the fibre to test.\n"
           "  --next                     job test: the lowest fibre with no result in that\n"
           "                             direction.\n"
           "  --direction <DIR>          job test, run: A-B (default: light in at end A) or\n"
           "                             B-A.\n"
           "  --listen <HOST:PORT>       serve: the address and TCP port to take SCPI\n"
           "                             clients on (default 127.0.0.1:5025; [::1]:5025 for\n"
           "                             IPv6; port 0: any free one, named on stderr). Any\n"
           "                             other than loopback lets whoever reaches it drive\n"
           "                             the meter.\n"
           "  --max-clients <N>          serve: clients at once (default 8); one more is\n"
           "                             closed, with a line on stderr.\n"
           "\n"
           "Arguments:\n"
           "  command                    ports, detect, wavelength, next-wavelength,\n"
           "                             measure, reference, loss, serve, or job COMMAND\n"
           "                             FILE.\n"
           "\n"
           "Commands:\n"
           "  ports            The serial ports: eight lines each, as the window's port report.\n"
           "  detect           Ask every port (and each path in ZERAK_EXTRA_PORTS, separated by ':') for its\n"
           "                   wavelength; list those that answered: \"/dev/ttyUSB0  1310 nm\".\n"
           "  wavelength       Print the meter's wavelength, e.g. \"1310 nm\".\n"
           "  next-wavelength  Step the meter to its next wavelength and print it.\n"
           "  measure          Print one reading per line, e.g. \"-15.00 dBm\"; with --reference\n"
           "                   \"-15.00 dBm  loss 3.00 dB\", with --limit or --max-loss \"...  PASS\" or \"...  "
           "FAIL\".\n"
           "                   CSV columns and JSON fields: time (ISO 8601, ms, UTC offset), wavelength_nm,\n"
           "                   value, unit, mW (dBm readings), loss_dB, result. Each row's wavelength is one\n"
           "                   the meter reported, asked again when a second old. dB readings are already a\n"
           "                   loss against the meter's own stored reference: --reference is refused for them\n"
           "                   (exit 2) and --max-loss applies to -reading.\n"
           "  reference        For each wavelength: set the meter, ask for the reference cord, take N readings;\n"
           "                   save their mean and deviation (dBm), the time, port and version to --output.\n"
           "  loss             For each wavelength of the reference (or --wavelengths): set the meter, ask for\n"
           "                   the link, take N readings; loss = reference mean - reading mean, PASS when it is\n"
           "                   within --max-loss. A table, the verdict, and --report if asked. A reference older\n"
           "                   than a day is warned about.\n"
           "  job new FILE     Make a job for a whole cable: --cable ID --fibres 1-48 [--wavelengths 1310,1550]\n"
           "                   [--end-a NAME --end-b NAME] [--operator NAME] [--method 1-cord|2-cord|3-cord]\n"
           "                   [--bidirectional], and a budget: --max-loss DB (or NM:DB,...), or --budget TYPE\n"
           "                   --length KM --connectors N --splices N [--budget-file FILE], where the limit is\n"
           "                   length x attenuation(TYPE, nm) + connector pairs x 0.75 dB + splices x 0.3 dB.\n"
           "                   Never written over an existing file. The job is an SQLite file (docs/job-file.md).\n"
           "  job reference FILE  As reference, for each wavelength of the job; stored in it with its time.\n"
           "  job test FILE    As loss, for one fibre: --fibre N, or --next (the lowest untested in that\n"
           "                   --direction, A-B by default). A re-test keeps the earlier result as history.\n"
           "  job run FILE     Every untested fibre in that --direction, in order, each stored before the next;\n"
           "                   on a terminal \"Connect fibre 7 and press Enter (s: skip, q: quit)\". Ctrl-C,\n"
           "                   SIGHUP or q keep what is stored; the next job run carries on.\n"
           "  job status FILE  One line per fibre: loss and margin per wavelength and direction; where both\n"
           "                   directions are in, the loss is their average and the verdict is on it. PASS, FAIL\n"
           "                   or untested (a --bidirectional job needs both); then the counts. --json: one object.\n"
           "  job report FILE  --output FILE.pdf|.html|.csv|.json: the job, its references and budget, the\n"
           "                   summary, one row per fibre and wavelength, and a chart of loss per fibre.\n"
           "  job export FILE  --csv or --json [--output FILE]: every result, history included.\n"
           "                   status, report and export read the last committed state and never wait for a run.\n"
           "  serve            The meter as a SCPI instrument on TCP (--listen, default 127.0.0.1:5025) for\n"
           "                   PyVISA, pymeasure and scripts, until Ctrl-C, SIGTERM or SIGHUP: one line per\n"
           "                   command or query, ending in a newline. All clients share the meter, in the order\n"
           "                   they ask; each has its own error queue, unit and reference. Unplugged, queries\n"
           "                   answer -241 and the port is opened again when it is back. Logged on stderr:\n"
           "                   clients coming and going, refused, cut off, and the meter's troubles. The\n"
           "                   commands are in zerak-cli(1).\n"
           "\n"
           "Exit codes:\n"
           "  0  done, or interrupted (Ctrl-C, SIGTERM, SIGHUP, a closed pipe) after a reading; serve: ended "
           "so\n"
           "  1  other failure, e.g. a row, the chart or the report could not be written (the file is named)\n"
           "  2  bad arguments, a bad reference file, a wavelength missing from it, dB readings where dBm are needed\n"
           "  3  no such port, or a path too long to lock\n"
           "  4  port busy (the holder named), blocked by a stale lock file, or not permitted\n"
           "  5  no usable reply within the deadline, three requests in a row, or the wavelength changed\n"
           "     on the meter during reference or loss (detect: no meter answered)\n"
           "  6  device lost mid-run\n"
           "  7  a reading outside --limit, or a loss over --max-loss\n"
           "  8  the meter does not offer the wavelength asked for\n"
           "  9  interrupted before anything was measured; reference, loss: before the end (nothing saved);\n"
           "     job reference, test, run: what is stored stays, the fibre being measured is not stored\n"
           " 10  the job's file is not a job, or is damaged (it is left as it is)\n"
           " 11  the job was made by a newer zerak-cli (it is left as it is)\n"
           " 12  the job is in use by another run (waited 2 s)\n"
           " 13  job status, report, run: none failed, but some fibres are untested\n"
           " 14  serve: cannot listen on the --listen address (in use, or not this machine's)\n"
           "Job commands exit 2 for a fibre or wavelength not in the job, a missing reference, a job file\n"
           "that is already there (job new) or cannot be written (before the meter is touched); 7 when a\n"
           "fibre fails (job test: that fibre; status, report, run: any).\n"
        << "" << 0;
}

void CliTest::commands()
{
    QFETCH(QStringList, arguments);
    QFETCH(Sim, setup);
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

    const Result result = run(arguments, setup);
    QVERIFY(result.ended);
    QCOMPARE(result.exitCode, exitCode);
    if (out == QLatin1String("REPORT")) {
        out.clear();
        const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo &port : ports)
            out += portReportBlock(portDetailsOf(port)) + QLatin1Char('\n');
    }
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
    QTest::addColumn<QString>("file"); // written by the run: its contents, or a chart's size; COMMANDS: what the meter was sent
    // An SVG chart: its size, then texts it must draw, a line each; TEXT@TICK:
    // level with the axis label TICK.
    QTest::addColumn<QString>("contents");
    QTest::addColumn<int>("spanMs"); // from the first row's time to the last's: at least, and not far more; -1: any
    const QStringList fast = {"--port", "PORT", "measure", "--interval", "0", "--timeout", "100"};
    const Sim decibel = [] {
        Sim sim;
        sim.decibel = true;
        return sim;
    }();
    QTest::newRow("readings") << fast + QStringList{"-n", "3"} << Sim().level({-15, -15.02, 1.5})
                              << "-15.00 dBm\n-15.02 dBm\n1.50 dBm\n" << "" << 0 << "" << "" << -1;
    // A dB reading has no power in mW, but its column stays.
    QTest::newRow("dB readings, CSV against limits")
        << fast + QStringList{"-n", "3", "--csv", "--limit=-3.2:0"} << Sim(decibel).level({-3.2, 0, 0.01})
        << "time,wavelength_nm,value,unit,mW,result\nT,850,-3.20,dB,,PASS\nT,850,0.00,dB,,PASS\nT,850,0.01,dB,,FAIL\n"
        << readingsOutsideLimit.arg(1).arg(3) << 7 << "" << "" << -1;
    // 10^(-15/10) mW is 0.031623.
    QTest::newRow("csv with a loss and a budget")
        << fast + QStringList{"-n", "2", "--csv", "--reference", "-12", "--max-loss", "3"} << Sim().level({-15, -20})
        << "time,wavelength_nm,value,unit,mW,loss_dB,result\nT,850,-15.00,dBm,0.03162,3.00,PASS\n"
           "T,850,-20.00,dBm,0.01,8.00,FAIL\n"
        << readingsOutsideLimit.arg(1).arg(2) << 7 << "" << "" << -1;
    // The mean of -15.00 and -15.02 is -15.01, their deviation 0.014.
    QTest::newRow("json lines, stats on stderr")
        << fast + QStringList{"-n", "2", "--json", "--reference", "-12", "--max-loss", "3", "--stats"}
        << Sim().level({-15, -15.02})
        << QStringLiteral("{\"loss_dB\":3,\"mW\":0.03162,\"result\":\"PASS\",\"time\":\"T\",\"unit\":"
                          "\"dBm\",\"value\":-15,\"wavelength_nm\":850}\n"
                          "{\"loss_dB\":3.02,\"mW\":0.03148,\"result\":\"FAIL\",\"time\":\"T\",\"unit\":"
                          "\"dBm\",\"value\":-15.02,\"wavelength_nm\":850}\n")
        << "count: 2\nmin: -15.02 dBm\nmean: -15.01 dBm\nmax: -15.00 dBm\nstd dev: 0.01 dB\n"
           "loss min: 3.00 dB\nloss mean: 3.01 dB\nloss max: 3.02 dB\n"
               + readingsOutsideLimit.arg(1).arg(2)
        << 7 << "" << "" << -1;
    QTest::newRow("output file with a loss, each row as taken")
        << fast + QStringList{"-n", "2", "--csv", "--reference", "-12", "--output", "DIR/log.csv"} << Sim().level({-15})
        << "" << "" << 0 << "DIR/log.csv"
        << "time,wavelength_nm,value,unit,mW,loss_dB\nT,850,-15.00,dBm,0.03162,3.00\nT,850,-15.00,dBm,0.03162,3.00\n"
        << -1;
    QTest::newRow("stats") << fast + QStringList{"-n", "3", "--stats"} << Sim().level({-15, -15.02, -14.98})
                           << "-15.00 dBm\n-15.02 dBm\n-14.98 dBm\ncount: 3\nmin: -15.02 dBm\nmean: -15.00 dBm\n"
                              "max: -14.98 dBm\nstd dev: 0.02 dB\n"
                           << "" << 0 << "" << "" << -1;
    QTest::newRow("a loss exactly at the budget passes; limits are not rounded")
        << fast + QStringList{"-n", "3", "--reference", "-12", "--limit", "2.995:3.01"} << Sim().level({-15, -14.99, -15.01})
        << "-15.00 dBm  loss 3.00 dB  PASS\n-14.99 dBm  loss 2.99 dB  FAIL\n-15.01 dBm  loss 3.01 dB  PASS\n"
        << readingsOutsideLimit.arg(1).arg(3) << 7 << "" << "" << -1;
    // Both bounds inclusive: the one level between them passes.
    QTest::newRow("equal bounds: that level passes, a hundredth either side fails")
        << fast + QStringList{"-n", "3", "--limit=-15:-15"} << Sim().level({-15, -15.01, -14.99})
        << "-15.00 dBm  PASS\n-15.01 dBm  FAIL\n-14.99 dBm  FAIL\n" << readingsOutsideLimit.arg(2).arg(3) << 7 << ""
        << "" << -1;
    QTest::newRow("a single --limit is a lower bound, JSON")
        << fast + QStringList{"-n", "2", "--json", "--limit=-15"} << Sim().level({-15, -15.01})
        << QStringLiteral("{\"mW\":0.03162,\"result\":\"PASS\",\"time\":\"T\",\"unit\":\"dBm\",\"value\":-15,"
                          "\"wavelength_nm\":850}\n"
                          "{\"mW\":0.03155,\"result\":\"FAIL\",\"time\":\"T\",\"unit\":\"dBm\",\"value\":-15.01,"
                          "\"wavelength_nm\":850}\n")
        << readingsOutsideLimit.arg(1).arg(2) << 7 << "" << "" << -1;
    QTest::newRow("dB readings: a budget of 0 on -reading")
        << fast + QStringList{"-n", "3", "--max-loss", "0"} << Sim(decibel).level({0, -0.01, 0.5})
        << "0.00 dB  loss 0.00 dB  PASS\n-0.01 dB  loss 0.01 dB  FAIL\n0.50 dB  loss -0.50 dB  PASS\n"
        << readingsOutsideLimit.arg(1).arg(3) << 7 << "" << "" << -1;
    // 10^(-11/10) mW is 0.079433; the budget is the one for 1550 nm.
    QTest::newRow("set the wavelength, JSON against a budget per wavelength")
        << fast + QStringList{"-n", "1", "--wavelength", "1550", "--json", "--reference", "-10", "--max-loss",
                              "1310:0.5,1550:1"}
        << Sim().perWavelength({{1550, -11}}).offering({850, 1310, 1550})
        << "{\"loss_dB\":1,\"mW\":0.07943,\"result\":\"PASS\",\"time\":\"T\",\"unit\":\"dBm\",\"value\":-11,"
           "\"wavelength_nm\":1550}\n"
        << "" << 0 << "" << "" << -1;
    // Asked ahead of each reading rather than after the last: asked any
    // earlier, it is a second old again by the reading and asked twice. The
    // reading keeps its time all the same. The keypad moves the meter from
    // 850 to 1310 nm after the first reading: it shows in the second row,
    // and the statistics come per wavelength.
    QTest::newRow("a long interval: the wavelength asked once per reading, stats per wavelength")
        << QStringList{"--port", "PORT", "measure", "--interval", "1100", "-n", "2", "--csv", "--stats"} << [] {
               Sim sim = Sim().perWavelength({{850, -15}, {1310, -12.5}});
               sim.stepAfterReadings = 1;
               return sim;
           }()
        << "time,wavelength_nm,value,unit,mW\nT,850,-15.00,dBm,0.03162\nT,1310,-12.50,dBm,0.05623\n"
        << "850 nm:\n  count: 1\n  min: -15.00 dBm\n  mean: -15.00 dBm\n  max: -15.00 dBm\n  std dev: 0.00 dB\n"
           "1310 nm:\n  count: 1\n  min: -12.50 dBm\n  mean: -12.50 dBm\n  max: -12.50 dBm\n  std dev: 0.00 dB\n"
        << 0 << "COMMANDS" << "7a 82 7a 82" << 1100;
    // Reading k is asked for at start + k * 80 ms, however long the meter
    // takes: the last of five 40 ms after 320 ms. Were each interval counted
    // from the reading before, only four would fit in the 0.4 s.
    QTest::newRow("duration, on a schedule that does not drift")
        << QStringList{"--port", "PORT", "measure", "--interval", "80", "--duration", "0.4", "--csv"} << [] {
               Sim sim;
               sim.delayMs = 40;
               return sim;
           }()
        << "time,wavelength_nm,value,unit,mW\n" + QStringLiteral("T,850,-15.00,dBm,0.03162\n").repeated(5) << "" << 0
        << "" << "" << 360;
    QTest::newRow("csv, loss, limit, stats on stderr, png")
        << fast + QStringList{"-n", "2", "--csv", "--stats", "--reference", "-12", "--limit", "0:3", "--plot",
                              "DIR/chart.png"}
        << Sim().level({-14.5, -15.5})
        << "time,wavelength_nm,value,unit,mW,loss_dB,result\nT,850,-14.50,dBm,0.03548,2.50,PASS\n"
           "T,850,-15.50,dBm,0.02818,3.50,FAIL\n"
        << "count: 2\nmin: -15.50 dBm\nmean: -15.00 dBm\nmax: -14.50 dBm\nstd dev: 0.71 dB\n"
           "loss min: 2.50 dB\nloss mean: 3.00 dB\nloss max: 3.50 dB\n"
               + readingsOutsideLimit.arg(1).arg(2)
        << 7 << "DIR/chart.png" << "1200x700" << -1;
    // The budget's line on the dBm axis is at -12 - 3 = -15 dBm.
    QTest::newRow("svg: the title, the facts and the budget")
        << fast + QStringList{"-n", "2", "--reference", "-12", "--max-loss", "3", "--plot", "DIR/chart.svg"}
        << Sim().level({-15, -15.02}) << "-15.00 dBm  loss 3.00 dB  PASS\n-15.02 dBm  loss 3.02 dB  FAIL\n"
        << readingsOutsideLimit.arg(1).arg(2) << 7 << "DIR/chart.svg"
        << QStringLiteral("1200x700\nOptical power at 850 nm\nPORT   \u00b7   T   \u00b7   2 readings   \u00b7   mean -15.01 "
                          "dBm   \u00b7   std dev 0.01 dB   \u00b7   reference -12.00 dBm\nOptical power (dBm)\n"
                          "max loss 3.00 dB@-15.00")
        << -1;
    // Whatever the line does, only replies to a reading request are readings.
    QTest::newRow("garbage replies; dB readings in CSV against a budget") << fast + QStringList{"-n", "2", "--csv", "--max-loss", "15"} << [] {
        Sim sim;
        sim.decibel = true;
        sim.garbageEvery = 2;
        return sim;
    }() << "time,wavelength_nm,value,unit,mW,loss_dB,result\nT,850,-15.00,dB,,15.00,PASS\nT,850,-15.00,dB,,15.00,PASS\n"
        << "" << 0 << "" << "" << -1;
    QTest::newRow("stray frames") << QStringList{"--port", "PORT", "measure", "-n", "4", "--interval", "20"} << [] {
        Sim sim;
        sim.strayEvery = 2;
        return sim;
    }() << "-15.00 dBm\n-15.00 dBm\n-15.00 dBm\n-15.00 dBm\n" << "" << 0 << "" << "" << -1;
    QTest::newRow("a lost reply is asked again; dB readings in JSON against a budget")
        << fast + QStringList{"-n", "3", "--json", "--max-loss", "15"} << [] {
        Sim sim;
        sim.decibel = true;
        sim.dropEvery = 3;
        return sim;
    }() << QStringLiteral("{\"loss_dB\":15,\"result\":\"PASS\",\"time\":\"T\",\"unit\":\"dB\",\"value\":-15,"
                          "\"wavelength_nm\":850}\n").repeated(3)
        << "" << 0 << "" << "" << -1;
    // Every other reply lost, the wavelength asked again once a second among them.
    QTest::newRow("a lost wavelength reply is asked again")
        << QStringList{"--port", "PORT", "measure", "--interval", "400", "--timeout", "100", "-n", "4"} << [] {
        Sim sim;
        sim.dropEvery = 2;
        return sim;
    }() << "-15.00 dBm\n-15.00 dBm\n-15.00 dBm\n-15.00 dBm\n" << "" << 0 << "" << "" << -1;
}

void CliTest::measure()
{
    QFETCH(QString, file);
    QFETCH(QString, contents);
    QFETCH(int, spanMs);
    Result result;
    runAndCompare(&result);
    if (QTest::currentTestFailed())
        return;
    if (spanMs >= 0) {
        QVERIFY(result.times.size() >= 2);
        const qint64 span = result.times.first().msecsTo(result.times.last());
        // Late by a busy machine, never early; the schedule's clock and the
        // rows' each round down to the millisecond.
        QVERIFY2(span >= spanMs - 2 && span < spanMs + 400, qPrintable(QStringLiteral("%1 ms").arg(span)));
    }
    if (file.isEmpty())
        return;
    if (file == QLatin1String("COMMANDS")) {
        QCOMPARE(QString::fromLatin1(sim->received().toHex(' ')), contents);
        return;
    }
    file = substituted(file);
    if (file.endsWith(QLatin1String(".png"))) {
        const QImage image(file);
        QCOMPARE(QStringLiteral("%1x%2").arg(image.width()).arg(image.height()), contents);
    } else if (file.endsWith(QLatin1String(".svg"))) {
        QStringList expected = contents.split(QLatin1Char('\n'));
        const QRect box = QSvgRenderer(file).viewBox();
        QCOMPARE(QStringLiteral("%1x%2").arg(box.width()).arg(box.height()), expected.takeFirst());
        QFile svg(file);
        QVERIFY(svg.open(QIODevice::ReadOnly));
        QStringList texts;
        QVector<double> heights;
        QXmlStreamReader xml(&svg);
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement || xml.name() != QLatin1String("text"))
                continue;
            heights << xml.attributes().value(QStringLiteral("y")).toDouble();
            texts << masked(xml.readElementText());
        }
        QCOMPARE(wrongTimes, QStringList());
        for (const QString &line : qAsConst(expected)) {
            const QString text = line.section(QLatin1Char('@'), 0, 0);
            const QString level = line.section(QLatin1Char('@'), 1);
            for (const QString &drawn : {text, level})
                QVERIFY2(drawn.isEmpty() || texts.contains(drawn),
                         qPrintable(drawn + QStringLiteral(" is not drawn; drawn: ") + texts.join(QStringLiteral(" | "))));
            if (!level.isEmpty()) {
                QCOMPARE(heights.at(texts.indexOf(text)), heights.at(texts.indexOf(level)));
            }
        }
    } else {
        QFile written(file);
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QString text = masked(QString::fromUtf8(written.readAll()));
        QCOMPARE(text, contents);
        QCOMPARE(wrongTimes, QStringList());
        QCOMPARE(inventedRows(text), QStringList());
        QCOMPARE(unevenRows(text), QStringList());
    }
}

void CliTest::hostileLines_data()
{
    addColumns();
    const QStringList measure = {"--port", "PORT", "measure", "-n", "4", "--csv", "--interval", "0"};
    const auto with = [](auto change) {
        Sim sim;
        sim.levels = {-12.34};
        change(sim);
        return sim;
    };
    // On a busy machine the program may first look after the rest has come,
    // and take the wavelength whole: the readings are refused all the same.
    QTest::newRow("split reply, at the real deadline and gap")
        << measure + QStringList{"--gap", "50"} << with([](Sim &sim) { sim.splitFirst = 1, sim.splitPauseMs = 60; })
        << "^(time,wavelength_nm,value,unit,mW\n)?$"
        << "zerak-cli: PORT: replies arrive broken up: 3 frames shorter than 4 bytes (3 requests in a row)\n" << 5;
    // Against a pause longer than the user's gap; the chatter likewise. Two
    // bytes read together on a busy machine are a wavelength of 2 bytes.
    QTest::newRow("bytes 60 ms apart") << measure + QStringList{"--timeout", "200", "--gap", "50"}
                                       << with([](Sim &sim) { sim.trickleMs = 60; })
                                       << "^(time,wavelength_nm,value,unit,mW\n)?$"
                                       << "^zerak-cli: PORT: replies arrive broken up: [1-3] frames shorter than 4 "
                                          "bytes \\(3 requests in a row\\)\n$"
                                       << 5;
    // Its late answer to the query is its wavelength all the same; readings are refused.
    QTest::newRow("a meter slower than the deadline")
        << measure + QStringList{"--timeout", "60"} << with([](Sim &sim) { sim.delayMs = 80; })
        << "time,wavelength_nm,value,unit,mW\n"
        << "^zerak-cli: PORT: the meter answered \\d+ ms after the request; the deadline is 60 ms \\(--timeout\\) "
           "\\(3 requests in a row\\)\n$"
        << 5;
    QTest::newRow("the deadline raised to suit it")
        << QStringList{"--port", "PORT", "measure", "-n", "1", "--timeout", "150"}
        << with([](Sim &sim) { sim.delayMs = 80; }) << "-12.34 dBm\n" << "" << 0;
    // 30 ms behind every 2nd reply, from a meter answering in 20 ms: the stray
    // comes when the next reply is due and is taken by the link for it.
    QTest::newRow("stray frames where replies are due")
        << measure + QStringList{"--timeout", "200"} << with([](Sim &sim) { sim.delayMs = 20, sim.strayEvery = 2, sim.strayAfterMs = 30; })
        << "time,wavelength_nm,value,unit,mW\nT,850,-12.34,dBm,0.05834\nT,850,-12.34,dBm,0.05834\n"
           "T,850,-12.34,dBm,0.05834\nT,850,-12.34,dBm,0.05834\n"
        << "" << 0;
    // The frame (12.34 dB) comes when the reply is due, not early: taken for
    // it, but in another unit than the last, it waits for a quiet line, and
    // the reply right behind it shows it answered nothing.
    QTest::newRow("a frame in another unit where a reply is due")
        << measure + QStringList{"--timeout", "100"} << with([](Sim &sim) { sim.delayMs = 30, sim.strayAheadMs = 6; })
        << "time,wavelength_nm,value,unit,mW\n" + QStringLiteral("T,850,-12.34,dBm,0.05834\n").repeated(4) << "" << 0;
    QTest::newRow("a chattering line") << measure + QStringList{"--timeout", "100", "--gap", "50"}
                                       << with([](Sim &sim) { sim.chatterMs = 30; }) << ""
                                       << "^zerak-cli: PORT: the line never went quiet: [1-9] frames that answered "
                                          "nothing in 0.1 s \\(3 requests in a row\\)\n$"
                                       << 5;
    const QString impossible = QStringLiteral(
        "zerak-cli: PORT: the meter reports 20000 nm, which no optical power meter uses (3 requests in a row)\n");
    QTest::newRow("impossible wavelength") << QStringList{"--port", "PORT", "wavelength"}
                                           << with([](Sim &sim) { sim.wavelengths = {20000}; }) << "" << impossible
                                           << 5;
    QTest::newRow("impossible wavelength, measure")
        << measure << with([](Sim &sim) { sim.wavelengths = {20000}; }) << "" << impossible << 5;
    QTest::newRow("full disk") << measure + QStringList{"--output", "/dev/full"} << with([](Sim &) {}) << ""
                               << "zerak-cli: cannot write to /dev/full: No space left on device\n" << 1;
    QTest::newRow("stdout to a full disk") << measure << with([](Sim &sim) { sim.stdoutToFull = true; }) << ""
                                           << "zerak-cli: cannot write to stdout (/dev/full): No space left on device\n" << 1;
    QTest::newRow("wavelength to a full disk") << QStringList{"--port", "PORT", "wavelength"}
                                               << with([](Sim &sim) { sim.stdoutToFull = true; }) << ""
                                               << "zerak-cli: cannot write to stdout (/dev/full): No space left on device\n" << 1;
}

void CliTest::hostileLines()
{
    runAndCompare();
}

void CliTest::failures_data()
{
    addColumns();
    const QString stats = QStringLiteral("count: 2\nmin: -15.00 dBm\nmean: -15.00 dBm\nmax: -15.00 dBm\n"
                                         "std dev: 0.00 dB\n");
    const auto with = [](auto change) {
        Sim sim;
        change(sim);
        return sim;
    };
    const Sim silent = with([](Sim &sim) { sim.answerReadings = 0; });
    const Sim twoThenSilent = with([](Sim &sim) { sim.answerReadings = 2; });
    QTest::newRow("no such port") << QStringList{"--port", "DIR/no-such-port", "wavelength"} << Sim() << ""
                                  << "zerak-cli: DIR/no-such-port: no such port\n" << 3;
    QTest::newRow("port busy") << QStringList{"--port", "PORT", "measure"} << with([](Sim &sim) { sim.busy = true; })
                               << "" << "zerak-cli: PORT: port busy: process PID (tst_cli) holds its lock file LOCK\n" << 4;
    QTest::newRow("no reply") << QStringList{"--port", "PORT", "wavelength", "--timeout", "100"} << silent << ""
                              << "zerak-cli: PORT: no reply within 100 ms (--timeout)\n" << 5;
    QTest::newRow("no reply to a step") << QStringList{"--port", "PORT", "next-wavelength", "--timeout", "100"}
                                        << silent << "" << "zerak-cli: PORT: no reply within 100 ms (--timeout)\n" << 5;
    QTest::newRow("no reply mid-run")
        << QStringList{"--port", "PORT", "measure", "--interval", "0", "--stats", "--timeout", "50"} << twoThenSilent
        << "-15.00 dBm\n-15.00 dBm\n" + stats
        << "zerak-cli: PORT: no reply within 50 ms (--timeout) (3 requests in a row)\n" << 5;
    QTest::newRow("device lost") << QStringList{"--port", "PORT", "measure", "--interval", "0", "--stats"}
                                 << with([](Sim &sim) { sim.hangUpAfter = 3; }) << "-15.00 dBm\n-15.00 dBm\n" + stats
                                 << "zerak-cli: PORT: device lost mid-run (unplugged or switched off)\n" << 6;
    QTest::newRow("Ctrl-C") << QStringList{"--port", "PORT", "measure", "--interval", "0", "--stats"}
                            << with([](Sim &sim) { sim.answerReadings = 2, sim.signal = Sim::Interrupt; })
                            << "-15.00 dBm\n-15.00 dBm\n" + stats << "" << 0;
    QTest::newRow("terminal closed") << QStringList{"--port", "PORT", "measure", "--interval", "0", "--stats"}
                                     << with([](Sim &sim) { sim.answerReadings = 2, sim.signal = Sim::HangUp; })
                                     << "-15.00 dBm\n-15.00 dBm\n" + stats << "" << 0;
    // | head: the rows stop, the summary goes to stderr and the chart is written.
    QTest::newRow("reader gone") << QStringList{"--port", "PORT", "measure", "--interval", "20", "--stats", "-n",
                                                "10", "--plot", "DIR/gone.png"}
                                 << with([](Sim &sim) { sim.signal = Sim::ReaderGone; }) << "-15.00 dBm\n-15.00 dBm\n"
                                 << "^count: [2-4]\nmin: -15.00 dBm\nmean: -15.00 dBm\nmax: -15.00 dBm\n"
                                    "std dev: 0.00 dB\n$"
                                 << 0;
    QTest::newRow("Ctrl-C before a reading") << QStringList{"--port", "PORT", "measure", "--stats"}
                                             << with([](Sim &sim) {
                                                    sim.answerReadings = 0, sim.signal = Sim::InterruptAtOnce;
                                                }) << "" << "" << 9;
    QTest::newRow("Ctrl-C during a reference") << QStringList{"--port", "PORT", "reference", "--output", "DIR/ref.json"}
                                               << with([](Sim &sim) {
                                                      sim.answerReadings = 0, sim.signal = Sim::InterruptAtOnce;
                                                  })
                                               << ""
                                               << "zerak-cli: interrupted: the reference was not saved; run "
                                                  "reference again\n"
                                               << 9;
    // SIGTERM as Ctrl-C: the readings judged, the verdict in the exit code.
    QTest::newRow("SIGTERM after a reading outside the limit")
        << QStringList{"--port", "PORT", "measure", "--interval", "0", "--limit", "-14.99"}
        << with([](Sim &sim) { sim.answerReadings = 2, sim.signal = Sim::Terminate; })
        << "-15.00 dBm  FAIL\n-15.00 dBm  FAIL\n" << readingsOutsideLimit.arg(2).arg(2) << 7;
    QTest::newRow("--max-loss on dBm readings without --reference")
        << QStringList{"--port", "PORT", "measure", "--max-loss", "3", "--interval", "0"} << Sim() << ""
        << "zerak-cli: PORT: the meter reports dBm: --max-loss needs --reference DBM to compute the loss\n" << 2;
    // Named well after the readings: the readings stay, the run fails.
    const QString longChart = QStringLiteral("DIR/") + QString(300, QLatin1Char('c')) + QStringLiteral(".png");
    QTest::newRow("a chart that cannot be written")
        << QStringList{"--port", "PORT", "measure", "-n", "1", "--interval", "0", "--plot", longChart} << Sim()
        << "-15.00 dBm\n" << "zerak-cli: cannot write the plot to " + longChart + ": File name too long\n" << 1;
    QTest::newRow("a wavelength the meter does not offer")
        << QStringList{"--port", "PORT", "measure", "--wavelength", "1600", "--timeout", "100"}
        << Sim().offering({1550, 850, 1310}) << "" << "zerak-cli: PORT: the meter offers 850, 1310, 1550 nm; not 1600\n"
        << 8;
    QTest::newRow("--reference with dB readings")
        << QStringList{"--port", "PORT", "measure", "--reference", "-12", "--interval", "0"}
        << with([](Sim &sim) { sim.decibel = true; }) << ""
        << "zerak-cli: PORT: the meter reports dB, a loss against its own stored reference: --reference applies "
           "to dBm readings only; leave it out (--max-loss then applies to -reading)\n"
        << 2;
    const QString longName = QString(240, QLatin1Char('p'));
    QTest::newRow("a path too long for its lock file")
        << QStringList{"--port", "DIR/" + longName, "wavelength"} << Sim() << ""
        << "zerak-cli: DIR/" + longName + ": the port's path is too long: its lock file would be named with LENGTH "
              "characters, more than the 255 a file name may have; use a shorter path or link to it\n"
        << 3;
    QTest::newRow("the stale lock of a process that has ended, another user's")
        << QStringList{"--port", "PORT", "wavelength"} << Sim() << ""
        << "zerak-cli: PORT: a stale lock file LOCK of user root blocks the port (process 99999999 has ended); "
           "remove it: sudo rm LOCK\n"
        << 4;
    QTest::newRow("not permitted, a port of root's") << QStringList{"--port", "PORT", "wavelength"} << Sim() << ""
        << "zerak-cli: PORT: not permitted to open the port: it belongs to group root; give the device to the "
           "dialout group (a udev rule) and add your user to it: sudo usermod -aG dialout $USER, then log in again\n"
        << 4;
    QTest::newRow("not permitted, a port of group dialout") << QStringList{"--port", "PORT", "wavelength"} << Sim()
        << "" << "zerak-cli: PORT: not permitted to open the port: it belongs to group dialout; add your user to the "
                 "dialout group: sudo usermod -aG dialout $USER, then log in again\n"
        << 4;

    QTest::newRow("no command") << QStringList{} << Sim() << ""
                                << "zerak-cli: no command given: expected ports, detect, wavelength, "
                                   "next-wavelength, measure, reference, loss, job or serve" + tryHelp
                                << 2;
    QTest::newRow("unknown option") << QStringList{"measure", "--colour"} << Sim() << ""
                                    << "zerak-cli: Unknown option 'colour'." + tryHelp << 2;
    QTest::newRow("no port") << QStringList{"measure"} << Sim() << "" << "zerak-cli: measure needs --port" + tryHelp
                             << 2;
    QTest::newRow("option of another command") << QStringList{"--port", "PORT", "wavelength", "--csv"} << Sim() << ""
                                               << "zerak-cli: --csv applies only to measure and job export" + tryHelp << 2;
    QTest::newRow("limits upside down") << QStringList{"--port", "PORT", "measure", "--limit", "3:1"} << Sim() << ""
                                        << "zerak-cli: bad value '3:1' for --limit: LOW is above HIGH" + tryHelp << 2;
    QTest::newRow("plot format") << QStringList{"--port", "PORT", "measure", "--plot", "chart.gif"} << Sim() << ""
                                 << "zerak-cli: bad value 'chart.gif' for --plot: expected a file name ending in "
                                    ".png, .svg or .pdf" + tryHelp
                                 << 2;
}

void CliTest::failures()
{
    const QByteArray tag = QTest::currentDataTag();
    QFETCH(QStringList, arguments);
    QFETCH(Sim, setup);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(int, exitCode);
    const QString lock = QStringLiteral("/var/lock/LCK..") + sim->portPath().mid(5).replace(QLatin1Char('/'),
                                                                                            QLatin1Char('_'));
    QStringList command;
    const QStringList asNobody = {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                  QStringLiteral("--clear-groups"), QStringLiteral(ZERAK_CLI)};
    const bool canBeNobody = ::geteuid() == 0 && !QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty();
    if (tag.startsWith("a path too long")) {
        const QString link = dir.filePath(arguments.at(1).mid(4));
        QVERIFY(QFile::link(sim->portPath(), link));
        err.replace(QStringLiteral("LENGTH"),
                    QString::number(QStringLiteral("LCK..").size() + link.size()));
    } else if (tag.startsWith("the stale lock")) {
        // Qt removes a stale lock its own user may remove; another user's
        // (here root's, in the sticky lock directory) it cannot.
        if (!canBeNobody || !QFileInfo(QStringLiteral("/var/lock")).isWritable())
            QSKIP("needs root, /var/lock and setpriv to leave a lock that zerak-cli, as nobody, cannot remove");
        QFile file(lock);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("99999999\nzerak-cli\n" + QSysInfo::machineHostName().toUtf8() + "\n");
        file.close();
        QCOMPARE(::chmod(QFile::encodeName(sim->portPath()).constData(), 0666), 0);
        command = asNobody;
    } else if (tag.startsWith("not permitted")) {
        if (!canBeNobody)
            QSKIP("needs root and setpriv to try the port as a user it does not let in");
        const QByteArray port = QFile::encodeName(sim->portPath());
        const group *dialout = tag.endsWith("dialout") ? ::getgrnam("dialout") : nullptr;
        if (tag.endsWith("dialout") && !dialout)
            QSKIP("needs a dialout group");
        QCOMPARE(::chown(port.constData(), 0, dialout ? dialout->gr_gid : 0), 0);
        QCOMPARE(::chmod(port.constData(), dialout ? 0660 : 0600), 0);
        command = asNobody;
    }
    Result result;
    if (command.isEmpty()) {
        result = run(arguments, setup);
    } else {
        // Run as nobody through setpriv; the simulator still answers from here.
        QProcess process;
        QStringList args = command;
        for (const QString &argument : qAsConst(arguments))
            args << substituted(argument);
        process.start(QStringLiteral("setpriv"), args);
        result.ended = testsupport::waitUntil([&] { return process.state() == QProcess::NotRunning; }, 10000);
        result.exitCode = process.exitCode();
        result.out = masked(QString::fromUtf8(process.readAllStandardOutput()));
        result.err = masked(QString::fromUtf8(process.readAllStandardError()));
        QFile::remove(lock);
    }
    QVERIFY2(result.ended, "the run did not end");
    QCOMPARE(result.out, out);
    if (err.startsWith(QLatin1Char('^')))
        QVERIFY2(QRegularExpression(err).match(result.err).hasMatch(), qPrintable(result.err));
    else
        QCOMPARE(result.err, err);
    QCOMPARE(result.exitCode, exitCode);
    if (tag == "reader gone")
        QCOMPARE(QImage(dir.filePath(QStringLiteral("gone.png"))).size(), QSize(1200, 700));
}

namespace {

// One run of a loss test: the meter, the arguments, what it prints, and a
// file it writes (its contents; NONE: it is not there). SAVED AGE, alone,
// leaves a reference as a run of reference would have, AGE seconds ago.
struct Step
{
    Sim setup;
    QStringList arguments;
    QString out;
    QString err;
    int exitCode;
    QString file;
    QString contents;
};

// A page's facts, table and verdict, a line each, its cells as
// "cell | cell", a cell's or the verdict's colour behind it.
QString pageDigest(const QString &html)
{
    static const QRegularExpression row(QStringLiteral("^(?:<thead>)?<tr>(.*)</tr>(?:</thead>)?$"));
    static const QRegularExpression cell(QStringLiteral("<t[dh]([^>]*)>(.*?)</t[dh]>"));
    static const QRegularExpression colour(QStringLiteral("color:(#[0-9a-f]{6})"));
    static const QRegularExpression tag(QStringLiteral("<[^>]*>"));
    static const QRegularExpression verdict(QStringLiteral("^<h2 style=\"color:(#[0-9a-f]{6})\">(.*)</h2>$"));
    QStringList lines;
    for (const QString &line : html.split(QLatin1Char('\n'))) {
        if (const QRegularExpressionMatch heading = verdict.match(line); heading.hasMatch()) {
            lines << heading.captured(2) + QLatin1Char(' ') + heading.captured(1);
            continue;
        }
        const QRegularExpressionMatch cells = row.match(line);
        if (!cells.hasMatch())
            continue;
        QStringList texts;
        QRegularExpressionMatchIterator each = cell.globalMatch(cells.captured(1));
        while (each.hasNext()) {
            const QRegularExpressionMatch one = each.next();
            const QRegularExpressionMatch painted = colour.match(one.captured(1));
            texts << QString(one.captured(2)).remove(tag)
                         + (painted.hasMatch() ? QLatin1Char(' ') + painted.captured(1) : QString());
        }
        lines << texts.join(QStringLiteral(" | "));
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

// What a PDF shows, as pdftotext lays it out, its columns as "cell | cell";
// then its title, creator, pages and paper, as pdfinfo tells them.
QString pdfDigest(const QString &fileName, QString *problem)
{
    QStringList lines;
    for (const QString &tool : {QStringLiteral("pdftotext"), QStringLiteral("pdfinfo")}) {
        QProcess process;
        process.start(tool, tool == QLatin1String("pdftotext") ? QStringList{"-layout", fileName, "-"}
                                                             : QStringList{fileName});
        if (!process.waitForFinished(10000) || process.exitCode() != 0) {
            *problem = tool + QStringLiteral(" (poppler-utils, scripts/deps.sh) did not read the PDF: ")
                       + QString::fromLocal8Bit(process.readAllStandardError());
            return QString();
        }
        static const QRegularExpression columns(QStringLiteral("\\s{2,}"));
        static const QRegularExpression paper(QStringLiteral("^Page size:.*\\((\\w+)\\)$"));
        for (QString line : QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'))) {
            line = line.trimmed();
            if (line.isEmpty())
                continue;
            if (tool == QLatin1String("pdftotext")) {
                lines << line.replace(columns, QStringLiteral(" | "));
            } else if (const QRegularExpressionMatch size = paper.match(line); size.hasMatch()) {
                lines << QStringLiteral("Page size: ") + size.captured(1);
            } else if (line.startsWith(QLatin1String("Title:")) || line.startsWith(QLatin1String("Creator:"))
                       || line.startsWith(QLatin1String("Pages:"))) {
                lines << line.section(QLatin1Char(':'), 0, 0) + QStringLiteral(": ")
                             + line.section(QLatin1Char(':'), 1).trimmed();
            }
        }
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

} // namespace

Q_DECLARE_METATYPE(QVector<Step>)

// The file as written, every timestamp in it checked: JSON compared as
// values, CSV as text, with as many fields in each row as in its header,
// HTML and PDF by what they show.
void CliTest::compareFile(const QString &fileName, const QString &expected)
{
    const QString path = substituted(fileName);
    if (expected == QLatin1String("NONE")) {
        QVERIFY2(!QFile::exists(path), qPrintable(fileName + QStringLiteral(" was written")));
        return;
    }
    QString contents;
    if (path.endsWith(QLatin1String(".pdf"))) {
        QString problem;
        contents = masked(pdfDigest(path, &problem));
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    } else {
        QFile file(path);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(fileName));
        QByteArray bytes = file.readAll();
        // The reference a report names, at the time the reference has.
        QJsonObject root = QJsonDocument::fromJson(bytes).object();
        QJsonObject reference = root.value(QStringLiteral("reference")).toObject();
        if (!referenceTime.isEmpty() && reference.value(QStringLiteral("time")) == referenceTime) {
            reference.insert(QStringLiteral("time"), QStringLiteral("REFTIME"));
            root.insert(QStringLiteral("reference"), reference);
            bytes = QJsonDocument(root).toJson();
        }
        contents = masked(QString::fromUtf8(bytes));
    }
    QCOMPARE(wrongTimes, QStringList());
    if (path.endsWith(QLatin1String(".json"))) {
        QJsonParseError error;
        const QJsonDocument written = QJsonDocument::fromJson(contents.toUtf8(), &error);
        QVERIFY2(!written.isNull(), qPrintable(error.errorString()));
        const QJsonDocument wanted = QJsonDocument::fromJson(expected.toUtf8(), &error);
        QVERIFY2(!wanted.isNull(), qPrintable(QStringLiteral("the expected JSON: ") + error.errorString()));
        QCOMPARE(QString::fromUtf8(written.toJson(QJsonDocument::Compact)),
                 QString::fromUtf8(wanted.toJson(QJsonDocument::Compact)));
    } else if (path.endsWith(QLatin1String(".html"))) {
        QCOMPARE(pageDigest(contents), expected);
    } else {
        QCOMPARE(contents, expected);
        QCOMPARE(unevenRows(contents), QStringList());
    }
}

void CliTest::lossTest_data()
{
    QTest::addColumn<QVector<Step>>("steps");
    using Levels = QMap<quint16, QVector<double>>;
    const Sim meter = Sim().offering({1310, 1550});
    const auto with = [&meter](const Levels &levels) { return Sim(meter).levelsAt(levels); };
    // Means -12.50 and -11.00 dBm, each with a deviation of 0.02 dB.
    const Step takeReference{with({{1310, {-12.48, -12.5, -12.52}}, {1550, {-10.98, -11, -11.02}}}),
                             {"--port", "PORT", "reference", "--wavelengths", "1310,1550", "-n", "3", "--timeout",
                              "100", "--output", "DIR/ref.json"},
                             "1310 nm  -12.50 dBm  std dev 0.02 dB  (3 readings)\n"
                             "1550 nm  -11.00 dBm  std dev 0.02 dB  (3 readings)\n",
                             "",
                             0,
                             "DIR/ref.json",
                             "{\"levels\": [{\"mean_dBm\": -12.5, \"readings\": 3, \"std_dev_dB\": 0.02, "
                             "\"wavelength_nm\": 1310}, {\"mean_dBm\": -11, \"readings\": 3, \"std_dev_dB\": 0.02, "
                             "\"wavelength_nm\": 1550}], \"port\": \"PORT\", \"time\": \"T\", \"tool\": \"zerak-cli 1.0\"}"};
    // That reference, saved some time ago on another port, with -10.996 dBm at 1550 nm.
    const auto saved = [](qint64 ageSeconds) {
        return Step{Sim(), {"SAVED", QString::number(ageSeconds)}, "", "", 0, "", ""};
    };
    const auto loss = [](const char *n) {
        return QStringList{"--port", "PORT", "loss", "--reference", "DIR/ref.json", "-n", n, "--timeout", "100"};
    };
    const QString header = QStringLiteral("wavelength  reference   reading     loss     budget   result\n");
    const QString facts = QStringLiteral("Date | T\nPort | PORT\nTool | zerak-cli 1.0\n"
                                         "Reference | DIR/ref.json, taken REFTIME on PORT\n");
    const QString columns = QStringLiteral("Wavelength | Reference | Reading | Std dev | Loss | Budget | Result\n");
    const QString warning = QStringLiteral("zerak-cli: warning: the reference in DIR/ref.json was taken REFTIME, %1 "
                                           "ago; take a new one\n");
    // Each loss exactly at its budget. The reference named as a user in its
    // directory would, so that its line fits on the page unbroken.
    QStringList lossInDir = loss("3");
    lossInDir.replace(4, QStringLiteral("ref.json"));
    QTest::newRow("reference, then a pass with a PDF report")
        << QVector<Step>{takeReference,
                         {with({{1310, {-15.48, -15.5, -15.52}}, {1550, {-13.4}}}),
                          lossInDir + QStringList{"--max-loss", "1310:3.0,1550:2.4", "--report", "DIR/report.pdf"},
                          header + "1310 nm     -12.50 dBm  -15.50 dBm  3.00 dB  3.00 dB  PASS\n"
                                   "1550 nm     -11.00 dBm  -13.40 dBm  2.40 dB  2.40 dB  PASS\n"
                                   "PASS: every wavelength within its budget\n",
                          "", 0, "DIR/report.pdf",
                          "Optical loss test\n" + QString(facts).replace(QStringLiteral("DIR/ref.json"), QStringLiteral("ref.json"))
                              + "Readings | 3 per wavelength\n" + columns
                              + "1310 nm | -12.50 dBm | -15.50 dBm | 0.02 dB | 3.00 dB | 3.00 dB | PASS\n"
                                "1550 nm | -11.00 dBm | -13.40 dBm | 0.00 dB | 2.40 dB | 2.40 dB | PASS\n"
                                "PASS: every wavelength within its budget\n"
                                "Title: Optical loss test\nCreator: zerak-cli 1.0\nPages: 1\nPage size: A4\n"}};
    // 1310 nm: readings of -15.50, -15.50 and -15.51 dBm, a mean of -15.5033
    // and a deviation of 0.0058 dB: a loss of 3.0033 dB, over 3 by less than
    // a hundredth. 1550 nm: -13.40 dBm on average against -10.996, 2.404 dB.
    QTest::newRow("a FAIL at 1310 nm by less than a hundredth beside a PASS at 1550 nm, a JSON report")
        << QVector<Step>{saved(3 * day + 3600),
                         {with({{1310, {-15.5, -15.5, -15.51}}, {1550, {-13.38, -13.4, -13.42}}}),
                          loss("3") + QStringList{"--max-loss", "1310:3,1550:2.5", "--report", "DIR/report.json"},
                          header + "1310 nm     -12.50 dBm  -15.50 dBm  3.003 dB 3.00 dB  FAIL\n"
                                   "1550 nm     -11.00 dBm  -13.40 dBm  2.40 dB  2.50 dB  PASS\n"
                                   "FAIL: 1310 nm over the budget\n",
                          warning.arg("3 days"), 7, "DIR/report.json",
                          "{\"port\": \"PORT\", \"reference\": {\"file\": \"DIR/ref.json\", \"port\": \"/dev/ttyUSB7\", "
                          "\"time\": \"REFTIME\"}, \"time\": \"T\", \"tool\": \"zerak-cli 1.0\", \"verdict\": \"FAIL\", "
                          "\"wavelengths\": ["
                          "{\"budget_dB\": 3, \"loss_dB\": 3.003, \"reading_dBm\": -15.503, \"reading_std_dev_dB\": "
                          "0.006, \"readings\": 3, \"reference_dBm\": -12.5, \"result\": \"FAIL\", \"wavelength_nm\": 1310}, "
                          "{\"budget_dB\": 2.5, \"loss_dB\": 2.404, \"reading_dBm\": -13.4, \"reading_std_dev_dB\": "
                          "0.02, \"readings\": 3, \"reference_dBm\": -10.996, \"result\": \"PASS\", \"wavelength_nm\": 1550}]}"}};
    // Not yet a day old: no warning. 1550 nm deviates by 0.03 dB.
    QTest::newRow("CSV report, a reference a minute short of a day old")
        << QVector<Step>{saved(day - 60),
                         {with({{1310, {-15.5}}, {1550, {-13.37, -13.4, -13.43}}}),
                          loss("3") + QStringList{"--max-loss", "3", "--report", "DIR/report.csv"},
                          header + "1310 nm     -12.50 dBm  -15.50 dBm  3.00 dB  3.00 dB  PASS\n"
                                   "1550 nm     -11.00 dBm  -13.40 dBm  2.40 dB  3.00 dB  PASS\n"
                                   "PASS: every wavelength within its budget\n",
                          "", 0, "DIR/report.csv",
                          "time,port,wavelength_nm,reference_dBm,reading_dBm,std_dev_dB,loss_dB,budget_dB,result\n"
                          "T,PORT,1310,-12.50,-15.50,0.00,3.00,3.00,PASS\n"
                          "T,PORT,1550,-11.00,-13.40,0.03,2.40,3.00,PASS\n"}};
    // Two readings of -15.49 and -15.51 dBm deviate by 0.014 dB.
    QTest::newRow("HTML report without a budget, 2 readings, a reference a minute over a day old")
        << QVector<Step>{saved(day + 60),
                         {with({{1310, {-15.49, -15.51}}}),
                          loss("2") + QStringList{"--wavelengths", "1310", "--report", "DIR/report.html"},
                          header + "1310 nm     -12.50 dBm  -15.50 dBm  3.00 dB  -        n/a\n"
                                   "no budget given (--max-loss): no verdict\n",
                          warning.arg("1 day"), 0, "DIR/report.html",
                          QString(facts).replace(QStringLiteral("on PORT"), QStringLiteral("on /dev/ttyUSB7"))
                              + "Readings | 2 per wavelength\n" + columns
                              + "1310 nm | -12.50 dBm | -15.50 dBm | 0.01 dB | 3.00 dB | &ndash; | n/a #333333\n"
                                "no budget given (--max-loss): no verdict #333333\n"}};
    // Written at the end, after the readings: the results are shown all the same.
    const QString tooLong = QStringLiteral("DIR/") + QString(300, QLatin1Char('r')) + QStringLiteral(".json");
    QTest::newRow("files that cannot be written: the levels and the table still shown")
        << QVector<Step>{{takeReference.setup, takeReference.arguments.mid(0, 9) + QStringList{"--output", tooLong},
                          takeReference.out,
                          "zerak-cli: cannot write the reference to " + tooLong + ": File name too long\n", 1, "", ""},
                         saved(0),
                         {with({{1310, {-15.5}}, {1550, {-13.4}}}),
                          loss("3") + QStringList{"--max-loss", "3", "--report", tooLong},
                          header + "1310 nm     -12.50 dBm  -15.50 dBm  3.00 dB  3.00 dB  PASS\n"
                                   "1550 nm     -11.00 dBm  -13.40 dBm  2.40 dB  3.00 dB  PASS\n"
                                   "PASS: every wavelength within its budget\n",
                          "zerak-cli: cannot write the report to " + tooLong + ": File name too long\n", 1, "", ""}};
    // A % and a digit in a file's name is part of the name, not a place to fill in.
    QStringList lossAgainstPercent = loss("3");
    lossAgainstPercent.replace(4, QStringLiteral("DIR/ref%8.json"));
    QTest::newRow("files named with a % and a digit; a FAIL in the HTML report")
        << QVector<Step>{{takeReference.setup, takeReference.arguments.mid(0, 9) + QStringList{"--output", "DIR/ref%8.json"},
                          takeReference.out, "", 0, "DIR/ref%8.json", takeReference.contents},
                         {with({{1310, {-15.5}}, {1550, {-13.4}}}),
                          lossAgainstPercent + QStringList{"--max-loss", "1310:3,1550:2.39", "--report", "DIR/report%2.html"},
                          header + "1310 nm     -12.50 dBm  -15.50 dBm  3.00 dB  3.00 dB  PASS\n"
                                   "1550 nm     -11.00 dBm  -13.40 dBm  2.40 dB  2.39 dB  FAIL\n"
                                   "FAIL: 1550 nm over the budget\n",
                          "", 7, "DIR/report%2.html",
                          QString(facts).replace(QStringLiteral("ref.json"), QStringLiteral("ref%8.json"))
                              + "Readings | 3 per wavelength\n" + columns
                              + "1310 nm | -12.50 dBm | -15.50 dBm | 0.00 dB | 3.00 dB | 3.00 dB | PASS #1b7a2e\n"
                                "1550 nm | -11.00 dBm | -13.40 dBm | 0.00 dB | 2.40 dB | 2.39 dB | FAIL #b3261e\n"
                                "FAIL: 1550 nm over the budget #b3261e\n"},
                         {meter,
                          QStringList{"--port", "PORT", "loss", "--reference", "DIR/report%2.html"},
                          "",
                          "^zerak-cli: DIR/report%2\\.html is not a reference saved by zerak-cli reference: [a-z ]+\n$",
                          2, "", ""}};
    QTest::newRow("a wavelength missing from the reference, or from the budget")
        << QVector<Step>{saved(0),
                         {meter, loss("3") + QStringList{"--wavelengths", "1310,1625"}, "",
                          "zerak-cli: 1625 nm is not in the reference DIR/ref.json; take a reference at 1625 nm first\n",
                          2, "", ""},
                         {meter, loss("3") + QStringList{"--max-loss", "1310:3"}, "",
                          "zerak-cli: --max-loss gives no budget for 1550 nm\n", 2, "", ""}};
    QTest::newRow("dB readings, at the meter's own wavelength")
        << QVector<Step>{{[&meter] {
                              Sim sim = meter;
                              sim.decibel = true;
                              return sim;
                          }(),
                          QStringList{"--port", "PORT", "reference", "-n", "2", "--output", "DIR/ref.json"}, "",
                          "zerak-cli: PORT: the meter reports dB, a loss against its own stored reference; a "
                          "reference needs absolute levels: switch the meter to dBm\n",
                          2, "DIR/ref.json", "NONE"}};
    // The wavelength is asked again once a second old, and the keypad has
    // moved the meter to 1625 nm by then.
    QTest::newRow("the meter moved on its keypad during a reference: nothing saved")
        << QVector<Step>{{[] {
                              Sim sim = Sim().offering({1310, 1550, 1625});
                              sim.delayMs = 10;
                              sim.stepAfterReadings = 1;
                              return sim;
                          }(),
                          QStringList{"--port", "PORT", "reference", "--wavelengths", "1310", "-n", "100000",
                                      "--timeout", "100", "--output", "DIR/ref.json"},
                          "",
                          "zerak-cli: PORT: the meter changed to 1625 nm while measuring 1310 nm; nothing was saved: "
                          "leave its keys alone and run reference again\n",
                          5, "DIR/ref.json", "NONE"}};
}

void CliTest::lossTest()
{
    QFETCH(QVector<Step>, steps);
    for (const Step &step : qAsConst(steps)) {
        if (step.arguments.first() == QLatin1String("SAVED")) {
            referenceTime = QDateTime::currentDateTimeUtc()
                                .addSecs(-step.arguments.at(1).toLongLong())
                                .toOffsetFromUtc(zoneOffsetSeconds)
                                .toString(Qt::ISODate);
            QFile file(dir.filePath(QStringLiteral("ref.json")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QStringLiteral("{\"levels\": [{\"mean_dBm\": -12.5, \"readings\": 3, \"std_dev_dB\": 0, "
                                      "\"wavelength_nm\": 1310}, {\"mean_dBm\": -10.996, \"readings\": 3, "
                                      "\"std_dev_dB\": 0, \"wavelength_nm\": 1550}], \"port\": \"/dev/ttyUSB7\", "
                                      "\"time\": \"%1\", \"tool\": \"zerak-cli 0.9\"}")
                           .arg(referenceTime)
                           .toUtf8());
            continue;
        }
        if (step.contents == QLatin1String("NONE"))
            QFile::remove(substituted(step.file)); // an earlier row's
        const Result result = run(step.arguments, step.setup);
        QVERIFY2(result.ended, "the run did not end");
        QCOMPARE(result.out, step.out);
        if (step.err.startsWith(QLatin1Char('^')))
            QVERIFY2(QRegularExpression(step.err).match(result.err).hasMatch(), qPrintable(result.err));
        else
            QCOMPARE(result.err, step.err);
        QCOMPARE(result.exitCode, step.exitCode);
        QCOMPARE(wrongTimes, QStringList());
        if (!step.file.isEmpty())
            compareFile(step.file, step.contents);
        if (QTest::currentTestFailed())
            return;
        // The reference saved is the one the next runs name, at its time.
        if (step.arguments.at(2) == QLatin1String("reference") && result.exitCode == 0) {
            QFile file(substituted(step.arguments.at(step.arguments.indexOf(QStringLiteral("--output")) + 1)));
            QVERIFY(file.open(QIODevice::ReadOnly));
            referenceTime = QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("time")).toString();
        }
    }
}

QTEST_MAIN(CliTest)
#include "tst_cli.moc"
