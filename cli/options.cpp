#include "cli/options.h"

#include "port/lineport.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include <cmath>

namespace cli {

namespace {

const QStringList measureOnly = {QStringLiteral("n"),     QStringLiteral("interval"),  QStringLiteral("csv"),
                                 QStringLiteral("stats"), QStringLiteral("reference"), QStringLiteral("limit"),
                                 QStringLiteral("plot")};

QString dashed(const QString &name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

int wholeNumber(const QCommandLineParser &parser, const QString &name, int min, int max)
{
    bool ok = false;
    const QString text = parser.value(name);
    const int value = text.toInt(&ok);
    if (!ok || value < min || value > max)
        throw UsageError{QStringLiteral("bad value '%1' for %2: expected a whole number from %3 to %4")
                             .arg(text, dashed(name))
                             .arg(min)
                             .arg(max)};
    return value;
}

// A level in dB or dBm, to the hundredth.
std::optional<int> hundredths(const QString &text)
{
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value) || std::fabs(value) > 1000.0)
        return std::nullopt;
    return int(std::lround(value * 100.0));
}

Limits limitsFrom(const QString &text)
{
    const UsageError error{QStringLiteral("bad value '%1' for --limit: expected LOW[:HIGH] in dB or dBm, "
                                          "e.g. -20:-10, -20 or :3.5")
                               .arg(text)};
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() > 2)
        throw error;
    Limits limits;
    if (!parts.at(0).isEmpty() && !(limits.low = hundredths(parts.at(0))))
        throw error;
    if (parts.size() == 2 && !parts.at(1).isEmpty() && !(limits.high = hundredths(parts.at(1))))
        throw error;
    if (!limits.low && !limits.high)
        throw error;
    if (limits.low && limits.high && *limits.low > *limits.high)
        throw UsageError{QStringLiteral("bad value '%1' for --limit: LOW is above HIGH").arg(text)};
    return limits;
}

Command commandFrom(const QStringList &positional)
{
    if (positional.isEmpty())
        throw UsageError{QStringLiteral("no command given: expected ports, detect, wavelength, "
                                        "next-wavelength or measure")};
    if (positional.size() > 1)
        throw UsageError{QStringLiteral("unexpected argument '%1'").arg(positional.at(1))};
    const QString name = positional.first();
    if (name == QLatin1String("ports"))
        return Command::Ports;
    if (name == QLatin1String("detect"))
        return Command::Detect;
    if (name == QLatin1String("wavelength"))
        return Command::Wavelength;
    if (name == QLatin1String("next-wavelength"))
        return Command::NextWavelength;
    if (name == QLatin1String("measure"))
        return Command::Measure;
    throw UsageError{QStringLiteral("unknown command '%1'").arg(name)};
}

} // namespace

ExitCode exitCodeFor(const OpenFailure &failure)
{
    switch (failure.kind) {
    case OpenFailure::Busy:
    case OpenFailure::NotPermitted:
        return exitPortBusy;
    case OpenFailure::NoSuchPort:
    case OpenFailure::NotSerialPort:
        break;
    }
    return exitNoSuchPort;
}

bool Limits::contains(int value) const
{
    return (!low || value >= *low) && (!high || value <= *high);
}

void addOptions(QCommandLineParser &parser)
{
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("ports, detect, wavelength, next-wavelength or measure."));
    parser.addOptions({
        {QStringLiteral("port"), QStringLiteral("The meter's port: a name such as ttyUSB0, or a path."),
         QStringLiteral("P")},
        {QStringLiteral("n"), QStringLiteral("measure: take N readings (default: until interrupted)."),
         QStringLiteral("N")},
        {QStringLiteral("interval"), QStringLiteral("measure: ms from one reading to the next (default 1000; "
                                                    "0: as fast as the meter answers)."),
         QStringLiteral("MS"), QStringLiteral("1000")},
        {QStringLiteral("csv"), QStringLiteral("measure: write CSV: a header, then one row per reading.")},
        {QStringLiteral("stats"), QStringLiteral("measure: print count, min, mean, max and standard deviation "
                                                 "at the end (to stderr with --csv).")},
        {QStringLiteral("reference"), QStringLiteral("measure: reference level; adds the loss in dB "
                                                     "(reference minus reading)."),
         QStringLiteral("DBM")},
        {QStringLiteral("limit"), QStringLiteral("measure: PASS or FAIL for each reading (its loss, with "
                                                 "--reference) against LOW and/or HIGH, inclusive."),
         QStringLiteral("LOW[:HIGH]")},
        {QStringLiteral("plot"), QStringLiteral("measure: draw power against time to FILE (.png or .svg)."),
         QStringLiteral("FILE")},
    });
}

Options optionsFrom(const QCommandLineParser &parser)
{
    Options options;
    options.command = commandFrom(parser.positionalArguments());
    const bool needsPort = options.command == Command::Wavelength || options.command == Command::NextWavelength
                           || options.command == Command::Measure;
    if (needsPort && !parser.isSet(QStringLiteral("port")))
        throw UsageError{QStringLiteral("%1 needs --port").arg(parser.positionalArguments().first())};
    if (!needsPort && parser.isSet(QStringLiteral("port")))
        throw UsageError{QStringLiteral("--port does not apply to %1").arg(parser.positionalArguments().first())};
    options.port = parser.value(QStringLiteral("port"));
    if (needsPort && options.port.isEmpty())
        throw UsageError{QStringLiteral("--port needs a port name or path")};
    if (options.command != Command::Measure) {
        for (const QString &name : measureOnly)
            if (parser.isSet(name))
                throw UsageError{QStringLiteral("%1 applies only to measure").arg(dashed(name))};
        return options;
    }

    if (parser.isSet(QStringLiteral("n")))
        options.count = wholeNumber(parser, QStringLiteral("n"), 1, 100000000);
    options.intervalMs = wholeNumber(parser, QStringLiteral("interval"), 0, 24 * 3600 * 1000);
    options.csv = parser.isSet(QStringLiteral("csv"));
    options.stats = parser.isSet(QStringLiteral("stats"));
    if (parser.isSet(QStringLiteral("reference"))) {
        const QString text = parser.value(QStringLiteral("reference"));
        options.reference = hundredths(text);
        if (!options.reference)
            throw UsageError{QStringLiteral("bad value '%1' for --reference: expected a level in dBm, e.g. -7.5")
                                 .arg(text)};
    }
    if (parser.isSet(QStringLiteral("limit")))
        options.limits = limitsFrom(parser.value(QStringLiteral("limit")));
    if (parser.isSet(QStringLiteral("plot"))) {
        options.plotFile = parser.value(QStringLiteral("plot"));
        const QFileInfo file(options.plotFile);
        const QString suffix = file.suffix().toLower();
        if (suffix != QLatin1String("png") && suffix != QLatin1String("svg"))
            throw UsageError{QStringLiteral("bad value '%1' for --plot: expected a file name ending in .png or .svg")
                                 .arg(options.plotFile)};
        // Found out now rather than after an hour of logging.
        const QFileInfo directory(file.absolutePath());
        if (!directory.isDir() || !directory.isWritable())
            throw UsageError{QStringLiteral("bad value '%1' for --plot: cannot write to %2")
                                 .arg(options.plotFile, directory.filePath())};
    }
    return options;
}

QString helpEpilogue()
{
    return QStringLiteral(
        "\nCommands:\n"
        "  ports                    The serial ports: eight lines each, as the window's port report.\n"
        "  detect                   Ask every port (and each path in ZERAK_EXTRA_PORTS, separated by ':')\n"
        "                           for its wavelength; list those that answered: \"/dev/ttyUSB0  1310 nm\".\n"
        "  wavelength               Print the meter's wavelength, e.g. \"1310 nm\".\n"
        "  next-wavelength          Step the meter to its next wavelength and print it.\n"
        "  measure                  Print one reading per line, e.g. \"-15.00 dBm\"; with --reference\n"
        "                           \"-15.00 dBm  loss 3.00 dB\", with --limit \"...  PASS\" or \"...  FAIL\".\n"
        "                           CSV columns: time (ISO 8601, ms, UTC offset), wavelength_nm, value,\n"
        "                           unit, mW (dBm readings), loss_dB, result.\n"
        "\n"
        "Exit codes:\n"
        "  0  done, or interrupted (Ctrl-C) with no reading outside the limit\n"
        "  1  other failure, e.g. the plot could not be written\n"
        "  2  bad arguments\n"
        "  3  no such port\n"
        "  4  port busy or not permitted\n"
        "  5  no reply within the deadline (detect: no meter answered)\n"
        "  6  device lost mid-run\n"
        "  7  a reading outside --limit\n");
}

} // namespace cli
