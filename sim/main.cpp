// SPDX-License-Identifier: MIT
// zerak-sim: serves a simulated meter on a pseudo-terminal until interrupted.
// The first line on stdout is the port path, for scripts to read.

#include "app/interruption.h"
#include "meter/protocol.h"
#include "sim/metersimulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMap>
#include <QPair>
#include <QRandomGenerator>
#include <QStringList>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

constexpr int exitBadUsage = 2;
constexpr int exitFailure = 1;

struct UsageError
{
    QString message;
};

int intValue(const QCommandLineParser &parser, const QString &name, int min, int max)
{
    bool ok = false;
    const QString text = parser.value(name);
    const int value = text.toInt(&ok);
    if (!ok || value < min || value > max)
        throw UsageError{QStringLiteral("bad value '%1' for --%2: expected a whole number from %3 to %4")
                             .arg(text, name)
                             .arg(min)
                             .arg(max)};
    return value;
}

QVector<quint16> wavelengthList(const QString &text)
{
    QVector<quint16> nanometres;
    const QStringList parts = text.split(QLatin1Char(','));
    for (const QString &part : parts) {
        bool ok = false;
        const uint value = part.trimmed().toUInt(&ok);
        if (!ok || value < 1 || value > 0xFFFF)
            throw UsageError{QStringLiteral("bad value '%1' for --wavelengths: expected wavelengths in nm "
                                            "(1 to 65535) separated by commas, e.g. 850,1310,1550")
                                 .arg(text)};
        nanometres.append(quint16(value));
    }
    return nanometres;
}

const QString powerUsage = QStringLiteral(
    "expected a level from -655.35 to 655.35 (e.g. -15.00), or levels per wavelength NM:LEVEL separated by "
    "commas (e.g. 1310:-12.50,1550:-11.00), with at most one plain level for the other wavelengths");

double powerValue(const QString &text, const QString &whole)
{
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value) || std::fabs(value) > 655.35)
        throw UsageError{QStringLiteral("bad value '%1' for --power: %2").arg(whole, powerUsage)};
    return value;
}

// LEVEL, NM:LEVEL or a mix, separated by commas; --power may be repeated.
void applyPower(MeterSimulator &sim, const QStringList &values)
{
    const QString whole = values.join(QLatin1Char(','));
    QMap<quint16, double> byWavelength;
    bool plainSeen = false;
    for (const QString &item : whole.split(QLatin1Char(','))) {
        const int colon = item.indexOf(QLatin1Char(':'));
        if (colon < 0) {
            if (plainSeen)
                throw UsageError{QStringLiteral("bad value '%1' for --power: %2").arg(whole, powerUsage)};
            plainSeen = true;
            sim.setPowerLevel(powerValue(item, whole));
            continue;
        }
        bool ok = false;
        const uint nanometres = item.left(colon).trimmed().toUInt(&ok);
        if (!ok || byWavelength.contains(quint16(nanometres)))
            throw UsageError{QStringLiteral("bad value '%1' for --power: %2").arg(whole, powerUsage)};
        if (nanometres > 0xFFFF || !sim.wavelengths().contains(quint16(nanometres))) {
            QStringList known;
            for (quint16 listed : sim.wavelengths())
                known.append(QString::number(listed));
            throw UsageError{QStringLiteral("bad value '%1' for --power: %2 nm is not one of the wavelengths "
                                            "(%3); add it to --wavelengths or use one of those")
                                 .arg(whole, item.left(colon).trimmed(), known.join(QLatin1Char(',')))};
        }
        byWavelength.insert(quint16(nanometres), powerValue(item.mid(colon + 1), whole));
    }
    sim.setPowerLevels(byWavelength);
}

// CMD:MS, CMD in hex; --late may be repeated, one command each time.
void applyLate(MeterSimulator &sim, const QStringList &values)
{
    for (const QString &text : values) {
        const QStringList parts = text.split(QLatin1Char(':'));
        bool commandOk = false;
        bool msOk = false;
        const uint command = parts.size() == 2 ? parts.at(0).trimmed().toUInt(&commandOk, 16) : 0;
        const int ms = parts.size() == 2 ? parts.at(1).trimmed().toInt(&msOk) : -1;
        if (!commandOk || !msOk || command > 0xFF || !meter::isCommand(quint8(command)) || ms < 0 || ms > 60000)
            throw UsageError{QStringLiteral("bad value '%1' for --late: expected CMD:MS, a command (7a, 7b or 82, "
                                            "in hex) and a delay in ms up to 60000, e.g. 7b:2500")
                                 .arg(text)};
        sim.setLateReplies(quint8(command), ms);
    }
}

void applySplit(MeterSimulator &sim, const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    bool bytesOk = false;
    bool pauseOk = false;
    const int bytes = parts.size() == 2 ? parts.at(0).toInt(&bytesOk) : 0;
    const int pause = parts.size() == 2 ? parts.at(1).toInt(&pauseOk) : 0;
    if (!bytesOk || !pauseOk || bytes < 1 || pause < 0 || pause > 60000)
        throw UsageError{QStringLiteral("bad value '%1' for --split: expected BYTES:MS, the size of the first "
                                        "part (1 or more) and the pause in ms, e.g. 2:30")
                             .arg(text)};
    sim.setSplitReplies(bytes, pause);
}

// N:MS, or N alone when the pause may be left out (it is 0 then).
QPair<int, int> countAndMs(const QCommandLineParser &parser, const QString &name, bool msRequired)
{
    const QString text = parser.value(name);
    const QStringList parts = text.split(QLatin1Char(':'));
    bool countOk = false;
    bool msOk = parts.size() == 1 && !msRequired;
    const int count = parts.at(0).toInt(&countOk);
    const int ms = parts.size() == 2 ? parts.at(1).toInt(&msOk) : 0;
    if (!countOk || !msOk || parts.size() > 2 || count < 1 || ms < 0 || ms > 60000)
        throw UsageError{QStringLiteral("bad value '%1' for --%2: expected N%3, a count of 1 or more and a "
                                        "time in ms up to 60000, e.g. 50:1200")
                             .arg(text, name, msRequired ? QStringLiteral(":MS") : QStringLiteral("[:MS]"))};
    return {count, ms};
}

void configure(MeterSimulator &sim, const QCommandLineParser &parser)
{
    if (!parser.positionalArguments().isEmpty())
        throw UsageError{QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first())};
    if (parser.isSet(QStringLiteral("wavelengths")))
        sim.setWavelengths(wavelengthList(parser.value(QStringLiteral("wavelengths"))));
    applyPower(sim, parser.values(QStringLiteral("power")));
    sim.setPowerInDecibel(parser.isSet(QStringLiteral("db")));
    sim.setNoise(intValue(parser, QStringLiteral("noise"), 0, 0xFFFF));
    if (parser.isSet(QStringLiteral("seed"))) {
        bool ok = false;
        const QString text = parser.value(QStringLiteral("seed"));
        const uint seed = text.toUInt(&ok);
        if (!ok)
            throw UsageError{QStringLiteral("bad value '%1' for --seed: expected a whole number from 0 to %2")
                                 .arg(text)
                                 .arg(UINT32_MAX)};
        sim.setNoiseSeed(seed);
    } else {
        sim.setNoiseSeed(QRandomGenerator::global()->generate());
    }
    sim.setReplyDelay(intValue(parser, QStringLiteral("delay"), 0, 60000));
    const int wavelengthBytes = intValue(parser, QStringLiteral("wavelength-bytes"), 2, 4);
    if (wavelengthBytes == 3)
        throw UsageError{QStringLiteral("bad value '3' for --wavelength-bytes: expected 2 or 4")};
    sim.setWavelengthReplyLength(wavelengthBytes);
    if (parser.isSet(QStringLiteral("split")))
        applySplit(sim, parser.value(QStringLiteral("split")));
    sim.setTrickle(intValue(parser, QStringLiteral("trickle"), 0, 60000));
    sim.setPairReplies(parser.isSet(QStringLiteral("pair")));
    if (parser.isSet(QStringLiteral("drop-every")))
        sim.setDropEvery(intValue(parser, QStringLiteral("drop-every"), 0, INT_MAX));
    if (parser.isSet(QStringLiteral("garbage-every")))
        sim.setGarbageEvery(intValue(parser, QStringLiteral("garbage-every"), 0, INT_MAX));
    if (parser.isSet(QStringLiteral("late-every"))) {
        const QPair<int, int> late = countAndMs(parser, QStringLiteral("late-every"), true);
        sim.setLateEvery(late.first, late.second);
    }
    applyLate(sim, parser.values(QStringLiteral("late")));
    if (parser.isSet(QStringLiteral("stray-every"))) {
        const QPair<int, int> stray = countAndMs(parser, QStringLiteral("stray-every"), false);
        sim.setStrayEvery(stray.first, stray.second);
    }
    sim.setChatter(intValue(parser, QStringLiteral("chatter"), 0, 60000));
    if (parser.isSet(QStringLiteral("hang-up-after")))
        sim.setHangUpAfter(intValue(parser, QStringLiteral("hang-up-after"), 1, INT_MAX));
}

void logVerbosely(MeterSimulator &sim)
{
    static QElapsedTimer clock;
    clock.start();
    QObject::connect(&sim, &MeterSimulator::commandReceived, [](quint8 command) {
        std::fprintf(stderr, "%8lld ms  <- %02x\n", static_cast<long long>(clock.elapsed()), command);
    });
    QObject::connect(&sim, &MeterSimulator::replySent, [](const QByteArray &bytes) {
        std::fprintf(stderr, "%8lld ms  -> %s\n", static_cast<long long>(clock.elapsed()),
                     bytes.toHex(' ').constData());
    });
    QObject::connect(&sim, &MeterSimulator::portClosed, [](bool freed) {
        std::fprintf(stderr, "%8lld ms  port closed%s\n", static_cast<long long>(clock.elapsed()),
                     freed ? "; the client that held it is gone, so it is free again" : "");
    });
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zerak-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZERAK_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated optical power meter on a pseudo-terminal. Prints the port path on the first line "
        "of stdout, then answers the meter's commands on it until interrupted (Ctrl+C)."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {QStringLiteral("wavelengths"), QStringLiteral("Wavelengths stepped through, in nm."),
         QStringLiteral("850,1310,...")},
        {QStringLiteral("power"),
         QStringLiteral("Power level, signed (default -15.00), or a level per wavelength: 1310:-12.50,1550:-11.00 "
                        "(the others get the plain level)."),
         QStringLiteral("level|NM:LEVEL,..."), QStringLiteral("-15.00")},
        {QStringLiteral("db"), QStringLiteral("Report power in dB instead of dBm.")},
        {QStringLiteral("noise"), QStringLiteral("Uniform noise on readings, in hundredths (default 3)."),
         QStringLiteral("N"), QStringLiteral("3")},
        {QStringLiteral("seed"), QStringLiteral("Seed of the noise, for repeatable runs."), QStringLiteral("N")},
        {QStringLiteral("delay"), QStringLiteral("Delay before each reply, in ms (default 20)."),
         QStringLiteral("MS"), QStringLiteral("20")},
        {QStringLiteral("wavelength-bytes"), QStringLiteral("Length of wavelength replies: 2 or 4 (default)."),
         QStringLiteral("2|4"), QStringLiteral("4")},
        {QStringLiteral("split"), QStringLiteral("Write each reply in two parts: BYTES first, a pause of MS, the rest."),
         QStringLiteral("BYTES:MS")},
        {QStringLiteral("trickle"),
         QStringLiteral("Write each reply a byte at a time, MS apart (e.g. 60, longer than the 50 ms gap that ends "
                        "a short frame)."),
         QStringLiteral("MS"), QStringLiteral("0")},
        {QStringLiteral("pair"), QStringLiteral("Hold each reply back and send it together with the next one.")},
        {QStringLiteral("drop-every"), QStringLiteral("Leave every Nth reply unsent."), QStringLiteral("N")},
        {QStringLiteral("garbage-every"), QStringLiteral("Send garbage (aa 55 aa) instead of every Nth reply."),
         QStringLiteral("N")},
        {QStringLiteral("late-every"),
         QStringLiteral("Send every Nth reply MS late; the replies after it wait for it."), QStringLiteral("N:MS")},
        {QStringLiteral("late"),
         QStringLiteral("Send every reply to command CMD (7a, 7b or 82) MS late; the replies after it wait for it. "
                        "May be given once per command."),
         QStringLiteral("CMD:MS")},
        {QStringLiteral("stray-every"),
         QStringLiteral("After every Nth reply (and a pause of MS), send a frame that answers nothing (04 d2 00 01)."),
         QStringLiteral("N[:MS]")},
        {QStringLiteral("chatter"),
         QStringLiteral("Every MS, whatever the commands, send a frame that answers nothing (04 d2 00 01), as a "
                        "worn cable or another program on the line would."),
         QStringLiteral("MS"), QStringLiteral("0")},
        {QStringLiteral("hang-up-after"),
         QStringLiteral("Hang up after the Nth reply has been sent, then exit."), QStringLiteral("N")},
        {QStringLiteral("verbose"),
         QStringLiteral("Log each byte received and each write sent, in hex, and each close of the port, to stderr.")},
    });

    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "zerak-sim: %s\nTry 'zerak-sim --help'.\n", qPrintable(parser.errorText()));
        return exitBadUsage;
    }
    // Parsed: --help, --help-all and --version print and exit 0 here, before
    // anything is opened.
    parser.process(QCoreApplication::arguments());

    MeterSimulator sim;
    sim.setLogging(false); // it would grow for as long as the simulator runs
    try {
        configure(sim, parser);
    } catch (const UsageError &error) {
        std::fprintf(stderr, "zerak-sim: %s\nTry 'zerak-sim --help'.\n", qPrintable(error.message));
        return exitBadUsage;
    }
    if (parser.isSet(QStringLiteral("verbose")))
        logVerbosely(sim);
    QObject::connect(&sim, &MeterSimulator::hungUp, &app, [&app, &sim] {
        std::fprintf(stderr, "zerak-sim: hung up after %d replies\n", sim.repliesSent());
        app.quit();
    });

    // Ctrl+C and kill end the event loop normally, so the master is closed
    // and the exit code is 0.
    if (!onInterrupt(app, [&app] { app.quit(); })) {
        std::perror("zerak-sim: signal handling");
        return exitFailure;
    }
    if (!sim.start()) {
        std::fprintf(stderr, "zerak-sim: cannot open a pseudo-terminal: %s\n", qPrintable(sim.errorString()));
        return exitFailure;
    }
    std::printf("%s\n", qPrintable(sim.portPath()));
    std::fflush(stdout);
    return app.exec();
}
