// SPDX-License-Identifier: MIT
#include "cli/options.h"

#include "meter/protocol.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QRegularExpression>

namespace cli {

using session::hundredths;

namespace {

using Commands = QVector<Command>;
const Commands jobMeasuring = {Command::JobReference, Command::JobTest, Command::JobRun};
const Commands portCommands = Commands{Command::Wavelength, Command::NextWavelength, Command::Measure,
                                       Command::Reference, Command::Loss}
                              + jobMeasuring + Commands{Command::Serve};

// Which commands each option applies to.
const QVector<QPair<QString, Commands>> applicable = {
    {QStringLiteral("port"), portCommands},
    {QStringLiteral("timeout"), portCommands + Commands{Command::Detect}},
    {QStringLiteral("gap"), portCommands + Commands{Command::Detect}},
    {QStringLiteral("n"), Commands{Command::Measure, Command::Reference, Command::Loss} + jobMeasuring},
    {QStringLiteral("interval"), {Command::Measure}},
    {QStringLiteral("duration"), {Command::Measure}},
    {QStringLiteral("csv"), {Command::Measure, Command::JobExport}},
    {QStringLiteral("json"), {Command::Measure, Command::JobStatus, Command::JobExport}},
    {QStringLiteral("stats"), {Command::Measure}},
    {QStringLiteral("limit"), {Command::Measure}},
    {QStringLiteral("plot"), {Command::Measure}},
    {QStringLiteral("wavelength"), {Command::Measure}},
    {QStringLiteral("output"), {Command::Measure, Command::Reference, Command::JobReport, Command::JobExport}},
    {QStringLiteral("reference"), {Command::Measure, Command::Loss}},
    {QStringLiteral("max-loss"), {Command::Measure, Command::Loss, Command::JobNew}},
    {QStringLiteral("wavelengths"), Commands{Command::Reference, Command::Loss, Command::JobNew} + jobMeasuring},
    {QStringLiteral("no-prompt"), Commands{Command::Reference, Command::Loss} + jobMeasuring},
    {QStringLiteral("report"), {Command::Loss}},
    {QStringLiteral("cable"), {Command::JobNew}},
    {QStringLiteral("fibres"), {Command::JobNew}},
    {QStringLiteral("end-a"), {Command::JobNew}},
    {QStringLiteral("end-b"), {Command::JobNew}},
    {QStringLiteral("operator"), {Command::JobNew}},
    {QStringLiteral("method"), {Command::JobNew}},
    {QStringLiteral("bidirectional"), {Command::JobNew}},
    {QStringLiteral("budget"), {Command::JobNew}},
    {QStringLiteral("length"), {Command::JobNew}},
    {QStringLiteral("connectors"), {Command::JobNew}},
    {QStringLiteral("splices"), {Command::JobNew}},
    {QStringLiteral("budget-file"), {Command::JobNew}},
    {QStringLiteral("fibre"), {Command::JobTest}},
    {QStringLiteral("next"), {Command::JobTest}},
    {QStringLiteral("direction"), {Command::JobTest, Command::JobRun}},
    {QStringLiteral("listen"), {Command::Serve}},
    {QStringLiteral("max-clients"), {Command::Serve}},
};

const QStringList commandNames = {QStringLiteral("ports"),         QStringLiteral("detect"),
                                  QStringLiteral("wavelength"),    QStringLiteral("next-wavelength"),
                                  QStringLiteral("measure"),       QStringLiteral("reference"),
                                  QStringLiteral("loss"),          QStringLiteral("job new"),
                                  QStringLiteral("job reference"), QStringLiteral("job test"),
                                  QStringLiteral("job run"),       QStringLiteral("job status"),
                                  QStringLiteral("job report"),    QStringLiteral("job export"),
                                  QStringLiteral("serve")};
const QStringList jobCommandNames = {QStringLiteral("new"),    QStringLiteral("reference"), QStringLiteral("test"),
                                     QStringLiteral("run"),    QStringLiteral("status"),    QStringLiteral("report"),
                                     QStringLiteral("export")};

QString dashed(const QString &name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

QString namesOf(const Commands &commands)
{
    QStringList names;
    for (Command command : commands)
        names << commandNames.at(int(command));
    if (names.size() == 1)
        return names.first();
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
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

quint16 wavelengthFrom(const QString &text, const QString &option)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || !meter::plausibleWavelength(value))
        throw UsageError{QStringLiteral("bad value '%1' for %2: expected a wavelength in nm from 400 to 1700, "
                                        "e.g. 1310")
                             .arg(text, option)};
    return quint16(value);
}

// Seconds as written, in milliseconds, a fraction of one rounded up.
// Not through hundredths(), which ends at 1000: an hour is a usual run.
std::optional<qint64> millisecondsFrom(const QString &text)
{
    static const QRegularExpression decimal(QStringLiteral("^\\s*\\+?(\\d*)(?:\\.(\\d*))?\\s*$"));
    static const QRegularExpression nonZero(QStringLiteral("[1-9]"));
    const QRegularExpressionMatch match = decimal.match(text);
    const QString whole = match.captured(1);
    const QString fraction = match.captured(2);
    if (!match.hasMatch() || (whole.isEmpty() && fraction.isEmpty()) || whole.size() > 12)
        return std::nullopt;
    qint64 ms = whole.toLongLong() * 1000 + fraction.left(3).leftJustified(3, QLatin1Char('0')).toLongLong();
    if (fraction.mid(3).contains(nonZero))
        ++ms;
    return ms;
}

Limits limitsFrom(const QString &text)
{
    const UsageError error{QStringLiteral("bad value '%1' for --limit: expected LOW:HIGH, LOW: or :HIGH in dB or "
                                          "dBm, e.g. -20:-10 or :3.5 (a single X means X:)")
                               .arg(text)};
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() > 2)
        throw error;
    Limits limits;
    if (!parts.at(0).trimmed().isEmpty() && !(limits.low = hundredths(parts.at(0))))
        throw error;
    if (parts.size() == 2 && !parts.at(1).trimmed().isEmpty() && !(limits.high = hundredths(parts.at(1))))
        throw error;
    if (!limits.low && !limits.high)
        throw error;
    if (limits.low && limits.high && *limits.low > *limits.high)
        throw UsageError{QStringLiteral("bad value '%1' for --limit: LOW is above HIGH").arg(text)};
    return limits;
}

Budget budgetFrom(const QString &text)
{
    const UsageError error{QStringLiteral("bad value '%1' for --max-loss: expected a loss in dB (e.g. 3.5), or one "
                                          "per wavelength NM:DB separated by commas (e.g. 1310:0.5,1550:0.4)")
                               .arg(text)};
    Budget budget;
    if (!text.contains(QLatin1Char(':'))) {
        budget.all = hundredths(text);
        if (!budget.all || *budget.all < 0)
            throw error;
        return budget;
    }
    for (const QString &item : text.split(QLatin1Char(','))) {
        const QStringList parts = item.split(QLatin1Char(':'));
        if (parts.size() != 2)
            throw error;
        const quint16 nm = wavelengthFrom(parts.at(0), QStringLiteral("--max-loss"));
        const std::optional<double> loss = hundredths(parts.at(1));
        if (!loss || *loss < 0 || budget.byWavelength.contains(nm))
            throw error;
        budget.byWavelength.insert(nm, *loss);
    }
    return budget;
}

QVector<quint16> wavelengthListFrom(const QString &text)
{
    QVector<quint16> list;
    for (const QString &item : text.split(QLatin1Char(','))) {
        const quint16 nm = wavelengthFrom(item, QStringLiteral("--wavelengths"));
        if (list.contains(nm))
            throw UsageError{QStringLiteral("bad value '%1' for --wavelengths: %2 nm is listed twice").arg(text).arg(nm)};
        list << nm;
    }
    return list;
}

Command commandFrom(const QStringList &positional)
{
    if (positional.isEmpty())
        throw UsageError{QStringLiteral("no command given: expected ports, detect, wavelength, next-wavelength, "
                                        "measure, reference, loss, job or serve")};
    if (positional.first() == QLatin1String("job")) {
        const QString expected = QStringLiteral("expected job new, reference, test, run, status, report or export, "
                                                "then the job's file, e.g. job status cable-A.zjob");
        if (positional.size() < 2)
            throw UsageError{QStringLiteral("job needs a command: %1").arg(expected)};
        const int index = jobCommandNames.indexOf(positional.at(1));
        if (index < 0)
            throw UsageError{QStringLiteral("unknown job command '%1': %2").arg(positional.at(1), expected)};
        if (positional.size() < 3 || positional.at(2).isEmpty())
            throw UsageError{QStringLiteral("job %1 needs the job's file, e.g. job %1 cable-A.zjob")
                                 .arg(positional.at(1))};
        if (positional.size() > 3)
            throw UsageError{QStringLiteral("unexpected argument '%1'").arg(positional.at(3))};
        return Command(int(Command::JobNew) + index);
    }
    if (positional.size() > 1)
        throw UsageError{QStringLiteral("unexpected argument '%1'").arg(positional.at(1))};
    const int index = commandNames.indexOf(positional.first());
    if (index < 0)
        throw UsageError{QStringLiteral("unknown command '%1'").arg(positional.first())};
    return Command(index);
}

// Found out now rather than after an hour of logging.
void checkWritable(const QString &fileName, const QString &option)
{
    const QFileInfo directory(QFileInfo(fileName).absolutePath());
    if (!directory.isDir() || !directory.isWritable())
        throw UsageError{QStringLiteral("bad value '%1' for %2: cannot write to %3")
                             .arg(fileName, option, directory.filePath())};
}

QString fileWithSuffix(const QCommandLineParser &parser, const QString &name, const QStringList &suffixes)
{
    const QString fileName = parser.value(name);
    if (!suffixes.contains(QFileInfo(fileName).suffix().toLower())) {
        QStringList dotted;
        for (const QString &suffix : suffixes)
            dotted << QLatin1Char('.') + suffix;
        const QString last = dotted.takeLast();
        throw UsageError{QStringLiteral("bad value '%1' for %2: expected a file name ending in %3 or %4")
                             .arg(fileName, dashed(name), dotted.join(QStringLiteral(", ")), last)};
    }
    checkWritable(fileName, dashed(name));
    return fileName;
}

int count(const QCommandLineParser &parser, const QString &name)
{
    if (!parser.isSet(name))
        throw UsageError{QStringLiteral("--budget needs %1 N").arg(dashed(name))};
    return wholeNumber(parser, name, 0, 10000);
}

// The budget as the options give it, worked out for the job's wavelengths.
job::JobBudget jobBudgetFrom(const QCommandLineParser &parser, const QVector<quint16> &wavelengths)
{
    const bool fixed = parser.isSet(QStringLiteral("max-loss"));
    const bool computed = parser.isSet(QStringLiteral("budget"));
    if (fixed == computed)
        throw UsageError{QStringLiteral("job new needs a budget: --max-loss DB (or NM:DB,...), or --budget TYPE "
                                        "--length KM --connectors N --splices N")};
    for (const QString &name : {QStringLiteral("length"), QStringLiteral("connectors"), QStringLiteral("splices"),
                                QStringLiteral("budget-file")})
        if (fixed && parser.isSet(name))
            throw UsageError{QStringLiteral("%1 applies only with --budget").arg(dashed(name))};
    QString error;
    if (fixed) {
        const Budget budget = budgetFrom(parser.value(QStringLiteral("max-loss")));
        const std::optional<job::JobBudget> made =
            job::fixedBudget(budget.all, budget.byWavelength, wavelengths,
                             QStringLiteral("--max-loss ") + parser.value(QStringLiteral("max-loss")), &error);
        if (!made)
            throw UsageError{error};
        return *made;
    }
    if (!parser.isSet(QStringLiteral("length")))
        throw UsageError{QStringLiteral("--budget needs --length KM, the length of the cable")};
    const QString lengthText = parser.value(QStringLiteral("length"));
    const std::optional<double> length = hundredths(lengthText);
    if (!length || *length < 0 || *length > 100000)
        throw UsageError{QStringLiteral("bad value '%1' for --length: expected the cable's length in km, from 0 to "
                                        "1000, e.g. 2 or 0.35")
                             .arg(lengthText)};
    const int connectors = count(parser, QStringLiteral("connectors"));
    const int splices = count(parser, QStringLiteral("splices"));
    std::optional<job::BudgetTable> table = job::builtInTable();
    QString given = QStringLiteral("--budget %1 --length %2 --connectors %3 --splices %4")
                        .arg(parser.value(QStringLiteral("budget")), lengthText.trimmed())
                        .arg(connectors)
                        .arg(splices);
    if (parser.isSet(QStringLiteral("budget-file"))) {
        table = job::loadTable(parser.value(QStringLiteral("budget-file")), &error);
        if (!table)
            throw UsageError{error};
        given += QStringLiteral(" --budget-file ") + parser.value(QStringLiteral("budget-file"));
    }
    const std::optional<job::JobBudget> made = job::computedBudget(
        *table, {parser.value(QStringLiteral("budget")), *length, connectors, splices}, wavelengths, given, &error);
    if (!made)
        throw UsageError{error};
    return *made;
}

void jobOptionsFrom(const QCommandLineParser &parser, Options &options)
{
    options.jobFile = parser.positionalArguments().at(2);
    if (parser.isSet(QStringLiteral("direction"))) {
        const std::optional<job::Direction> direction = job::directionFrom(parser.value(QStringLiteral("direction")));
        if (!direction)
            throw UsageError{QStringLiteral("bad value '%1' for --direction: expected A-B (light from end A) or B-A")
                                 .arg(parser.value(QStringLiteral("direction")))};
        options.direction = *direction;
    }
    if (options.command == Command::JobTest) {
        const bool next = parser.isSet(QStringLiteral("next"));
        if (next == parser.isSet(QStringLiteral("fibre")))
            throw UsageError{QStringLiteral("job test needs --fibre N or --next (the lowest fibre untested in "
                                            "that direction)")};
        if (!next)
            options.fibre = wholeNumber(parser, QStringLiteral("fibre"), 1, job::maxFibre);
    }
    if (options.command == Command::JobStatus)
        options.json = parser.isSet(QStringLiteral("json"));
    if (options.command == Command::JobExport) {
        options.csv = parser.isSet(QStringLiteral("csv"));
        options.json = parser.isSet(QStringLiteral("json"));
        if (options.csv == options.json)
            throw UsageError{QStringLiteral("job export needs --csv or --json")};
        if (parser.isSet(QStringLiteral("output")))
            options.outputFile = fileWithSuffix(parser, QStringLiteral("output"),
                                                {options.csv ? QStringLiteral("csv") : QStringLiteral("json")});
    }
    if (options.command == Command::JobReport) {
        if (!parser.isSet(QStringLiteral("output")))
            throw UsageError{QStringLiteral("job report needs --output FILE: .pdf, .html, .csv or .json")};
        options.outputFile = fileWithSuffix(parser, QStringLiteral("output"),
                                            {QStringLiteral("pdf"), QStringLiteral("html"), QStringLiteral("csv"),
                                             QStringLiteral("json")});
    }
    // A report or an export written over the job would lose every result.
    if (!options.outputFile.isEmpty()) {
        const QFileInfo output(options.outputFile);
        const QFileInfo jobFile(options.jobFile);
        if (output.absoluteFilePath() == jobFile.absoluteFilePath()
            || (output.exists() && output.canonicalFilePath() == jobFile.canonicalFilePath()))
            throw UsageError{QStringLiteral("bad value '%1' for --output: that is the job itself").arg(options.outputFile)};
    }
    if (options.command != Command::JobNew)
        return;
    job::JobDefinition &job = options.job;
    job.cable = parser.value(QStringLiteral("cable")).trimmed();
    if (job.cable.isEmpty())
        throw UsageError{QStringLiteral("job new needs --cable ID, the cable's name")};
    if (!parser.isSet(QStringLiteral("fibres")))
        throw UsageError{QStringLiteral("job new needs --fibres, e.g. 1-48 or 1-12,25-36")};
    QString error;
    const std::optional<QVector<int>> fibres = job::fibresFrom(parser.value(QStringLiteral("fibres")), &error);
    if (!fibres)
        throw UsageError{QStringLiteral("bad value '%1' for --fibres: %2").arg(parser.value(QStringLiteral("fibres")), error)};
    job.fibres = *fibres;
    job.wavelengths = parser.isSet(QStringLiteral("wavelengths"))
                          ? wavelengthListFrom(parser.value(QStringLiteral("wavelengths")))
                          : QVector<quint16>{1310, 1550};
    if (parser.isSet(QStringLiteral("end-a")))
        job.endA = parser.value(QStringLiteral("end-a"));
    if (parser.isSet(QStringLiteral("end-b")))
        job.endB = parser.value(QStringLiteral("end-b"));
    job.operatorName = parser.value(QStringLiteral("operator"));
    if (parser.isSet(QStringLiteral("method"))) {
        const std::optional<job::Method> method = job::methodFrom(parser.value(QStringLiteral("method")));
        if (!method)
            throw UsageError{QStringLiteral("bad value '%1' for --method: expected 1-cord, 2-cord or 3-cord")
                                 .arg(parser.value(QStringLiteral("method")))};
        job.method = *method;
    }
    job.bidirectional = parser.isSet(QStringLiteral("bidirectional"));
    job.budget = jobBudgetFrom(parser, job.wavelengths);
}

// "127.0.0.1:5025", "[::1]:5025", "localhost:5025".
void listenFrom(const QString &text, Options &options)
{
    const UsageError error{QStringLiteral("bad value '%1' for --listen: expected an address and a TCP port, "
                                          "e.g. 127.0.0.1:5025 or [::1]:5025")
                               .arg(text)};
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        throw error;
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(QLatin1Char(':')))
        throw error; // an IPv6 address goes in brackets
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    if (!ok || port > 65535)
        throw error;
    QHostAddress address;
    if (host == QLatin1String("localhost"))
        address = QHostAddress(QHostAddress::LocalHost);
    else if (!address.setAddress(host))
        throw error;
    options.listenAddress = address;
    options.listenPort = quint16(port);
}

} // namespace

bool isJobCommand(Command command)
{
    return int(command) >= int(Command::JobNew) && int(command) <= int(Command::JobExport);
}

void addOptions(QCommandLineParser &parser)
{
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("ports, detect, wavelength, "
                                                                           "next-wavelength, measure, reference, "
                                                                           "loss, serve, or job COMMAND FILE."));
    parser.addOptions({
        {QStringLiteral("port"), QStringLiteral("The meter's port: a name such as ttyUSB0, or a path."),
         QStringLiteral("P")},
        {QStringLiteral("timeout"),
         QStringLiteral("How long to wait for each reply (default 1000; detect: 300); three requests in a row "
                        "without a usable reply end the run. serve: also how long the rest of a query's line "
                        "may take."),
         QStringLiteral("MS"), QStringLiteral("1000")},
        {QStringLiteral("gap"),
         QStringLiteral("The silence that ends a reply cut short (default 50); raise it for an adapter that "
                        "pauses within a reply."),
         QStringLiteral("MS"), QString::number(meter::replyGapMs)},
        {QStringLiteral("n"),
         QStringLiteral("measure: take N readings (default: until interrupted); reference, loss, job reference, "
                        "test, run: N readings per wavelength (default 5)."),
         QStringLiteral("N")},
        {QStringLiteral("interval"),
         QStringLiteral("measure: reading k at start + k * MS (default 1000; a late one is caught up); 0: "
                        "as fast as the meter answers."),
         QStringLiteral("MS"), QStringLiteral("1000")},
        {QStringLiteral("duration"),
         QStringLiteral("measure: stop S seconds after the first reading (one asked for by then is taken)."),
         QStringLiteral("S")},
        {QStringLiteral("wavelength"),
         QStringLiteral("measure: step the meter to NM first (exit 8 if it does not offer it)."),
         QStringLiteral("NM")},
        {QStringLiteral("csv"), QStringLiteral("measure: write CSV: a header, then one row per reading. job export: "
                                               "every result as CSV.")},
        {QStringLiteral("json"),
         QStringLiteral("measure: write JSON Lines: one object per reading, with the CSV's fields. job status: one "
                        "JSON object. job export: every result as JSON.")},
        {QStringLiteral("output"),
         QStringLiteral("measure: write the rows to FILE, each flushed as it is taken; reference: the file to "
                        "save the reference to (.json); job report: the report (.pdf, .html, .csv or .json); job "
                        "export: the file instead of stdout."),
         QStringLiteral("FILE")},
        {QStringLiteral("stats"),
         QStringLiteral("measure: print count, min, mean, max and standard deviation at the end, per wavelength "
                        "(to stderr with --csv or --json).")},
        {QStringLiteral("reference"),
         QStringLiteral("measure: reference level in dBm; adds the loss in dB (reference minus reading); dBm "
                        "readings only. loss: the file that reference saved."),
         QStringLiteral("DBM|FILE")},
        {QStringLiteral("max-loss"),
         QStringLiteral("The loss budget in dB, or one per wavelength (1310:0.5,1550:0.4): a loss up to it "
                        "passes. measure: the loss against --reference, or -reading for dB readings. job new: a "
                        "fixed limit, instead of --budget."),
         QStringLiteral("DB|NM:DB,...")},
        {QStringLiteral("limit"),
         QStringLiteral("measure: PASS or FAIL for each reading (its loss, with --reference) against LOW:HIGH, "
                        "LOW: or :HIGH, inclusive; a single X means X:, at least X."),
         QStringLiteral("LOW:HIGH")},
        {QStringLiteral("plot"), QStringLiteral("measure: draw power against time to FILE (.png, .svg or .pdf)."),
         QStringLiteral("FILE")},
        {QStringLiteral("wavelengths"),
         QStringLiteral("reference, loss: the wavelengths to measure, in nm (reference default: the meter's "
                        "current one; loss default: those of the reference). job new: the job's (default "
                        "1310,1550); job reference, test, run: some of them (default all)."),
         QStringLiteral("NM,...")},
        {QStringLiteral("no-prompt"),
         QStringLiteral("reference, loss, job reference: do not wait for Enter before each wavelength; job test, "
                        "run: before each fibre (never waited for when stdin is not a terminal).")},
        {QStringLiteral("report"),
         QStringLiteral("loss: write the record of the test to FILE: .json, .csv, .pdf or .html."),
         QStringLiteral("FILE")},
        {QStringLiteral("cable"), QStringLiteral("job new: the cable's ID."), QStringLiteral("ID")},
        {QStringLiteral("fibres"), QStringLiteral("job new: the fibres, as numbers and ranges: 1-48, 1-12,25-36."),
         QStringLiteral("LIST")},
        {QStringLiteral("end-a"), QStringLiteral("job new: the name of end A (default A)."), QStringLiteral("NAME")},
        {QStringLiteral("end-b"), QStringLiteral("job new: the name of end B (default B)."), QStringLiteral("NAME")},
        {QStringLiteral("operator"), QStringLiteral("job new: who tests the cable."), QStringLiteral("NAME")},
        {QStringLiteral("method"),
         QStringLiteral("job new: how the reference is taken: 1-cord (default), 2-cord or 3-cord."),
         QStringLiteral("METHOD")},
        {QStringLiteral("bidirectional"),
         QStringLiteral("job new: a fibre is done only when both directions, A-B and B-A, are in.")},
        {QStringLiteral("budget"),
         QStringLiteral("job new: the limit computed for the cable: multimode, singlemode-inside or "
                        "singlemode-outside (or a type of --budget-file); needs --length, --connectors, --splices."),
         QStringLiteral("TYPE")},
        {QStringLiteral("length"), QStringLiteral("job new, --budget: the cable's length in km."), QStringLiteral("KM")},
        {QStringLiteral("connectors"), QStringLiteral("job new, --budget: the connector pairs on the link."),
         QStringLiteral("N")},
        {QStringLiteral("splices"), QStringLiteral("job new, --budget: the splices on the link."), QStringLiteral("N")},
        {QStringLiteral("budget-file"),
         QStringLiteral("job new, --budget: a table of attenuations of one's own, shaped as "
                        "share/zerak/loss-budgets.json."),
         QStringLiteral("FILE")},
        {QStringLiteral("fibre"), QStringLiteral("job test: the fibre to test."), QStringLiteral("N")},
        {QStringLiteral("next"), QStringLiteral("job test: the lowest fibre with no result in that direction.")},
        {QStringLiteral("direction"),
         QStringLiteral("job test, run: A-B (default: light in at end A) or B-A."), QStringLiteral("DIR")},
        {QStringLiteral("listen"),
         QStringLiteral("serve: the address and TCP port to take SCPI clients on (default 127.0.0.1:5025; "
                        "[::1]:5025 for IPv6; port 0: any free one, named on stderr). Any other than "
                        "loopback lets whoever reaches it drive the meter."),
         QStringLiteral("HOST:PORT"), QStringLiteral("127.0.0.1:5025")},
        {QStringLiteral("max-clients"),
         QStringLiteral("serve: clients at once (default 8); one more is closed, with a line on stderr."),
         QStringLiteral("N"), QStringLiteral("8")},
    });
}

Options optionsFrom(const QCommandLineParser &parser)
{
    Options options;
    options.command = commandFrom(parser.positionalArguments());
    for (const auto &option : applicable)
        if (parser.isSet(option.first) && !option.second.contains(options.command))
            throw UsageError{QStringLiteral("%1 applies only to %2").arg(dashed(option.first), namesOf(option.second))};
    const bool needsPort = portCommands.contains(options.command);
    if (needsPort && !parser.isSet(QStringLiteral("port")))
        throw UsageError{QStringLiteral("%1 needs --port").arg(commandNames.at(int(options.command)))};
    options.port = parser.value(QStringLiteral("port"));
    if (needsPort && options.port.isEmpty())
        throw UsageError{QStringLiteral("--port needs a port name or path")};
    if (options.command == Command::Detect) {
        // A port that answers at all answers within a few ms.
        options.deadlineMs = parser.isSet(QStringLiteral("timeout"))
                                 ? wholeNumber(parser, QStringLiteral("timeout"), 10, 600000)
                                 : 300;
        options.gapMs = wholeNumber(parser, QStringLiteral("gap"), 1, 1000);
        return options;
    }
    if (isJobCommand(options.command))
        jobOptionsFrom(parser, options);
    if (!needsPort)
        return options;
    options.deadlineMs = wholeNumber(parser, QStringLiteral("timeout"), 10, 600000);
    options.gapMs = wholeNumber(parser, QStringLiteral("gap"), 1, 1000);
    if (options.gapMs >= options.deadlineMs)
        throw UsageError{QStringLiteral("--gap %1 must be shorter than --timeout %2: a reply must be able to end "
                                        "before it is given up")
                             .arg(options.gapMs)
                             .arg(options.deadlineMs)};
    if (options.command == Command::Serve) {
        listenFrom(parser.value(QStringLiteral("listen")), options);
        options.maxClients = wholeNumber(parser, QStringLiteral("max-clients"), 1, 1000);
        return options;
    }
    const bool measure = options.command == Command::Measure;
    if (parser.isSet(QStringLiteral("n")))
        options.count = wholeNumber(parser, QStringLiteral("n"), 1, 100000000);
    else if (!measure)
        options.count = 5;
    options.intervalMs = wholeNumber(parser, QStringLiteral("interval"), 0, 24 * 3600 * 1000);
    if (parser.isSet(QStringLiteral("duration"))) {
        const std::optional<qint64> ms = millisecondsFrom(parser.value(QStringLiteral("duration")));
        if (!ms || *ms <= 0 || *ms > qint64(366) * 24 * 3600 * 1000)
            throw UsageError{QStringLiteral("bad value '%1' for --duration: expected seconds, more than 0, "
                                            "e.g. 30 or 0.5")
                                 .arg(parser.value(QStringLiteral("duration")))};
        options.durationMs = *ms;
    }
    options.csv = options.csv || parser.isSet(QStringLiteral("csv"));
    options.json = options.json || parser.isSet(QStringLiteral("json"));
    if (options.csv && options.json)
        throw UsageError{QStringLiteral("--csv and --json: choose one")};
    options.stats = parser.isSet(QStringLiteral("stats"));
    if (parser.isSet(QStringLiteral("wavelength")))
        options.wavelength = wavelengthFrom(parser.value(QStringLiteral("wavelength")), QStringLiteral("--wavelength"));
    if (parser.isSet(QStringLiteral("wavelengths")))
        options.wavelengths = wavelengthListFrom(parser.value(QStringLiteral("wavelengths")));
    options.noPrompt = parser.isSet(QStringLiteral("no-prompt"));
    if (parser.isSet(QStringLiteral("limit")))
        options.limits = limitsFrom(parser.value(QStringLiteral("limit")));
    if (parser.isSet(QStringLiteral("max-loss")))
        options.maxLoss = budgetFrom(parser.value(QStringLiteral("max-loss")));
    if (options.limits && options.maxLoss)
        throw UsageError{QStringLiteral("--limit and --max-loss: choose one")};
    if (measure && options.maxLoss && !options.maxLoss->all
        && (!options.wavelength || !options.maxLoss->at(*options.wavelength)))
        throw UsageError{QStringLiteral("--max-loss per wavelength needs --wavelength with one of its wavelengths "
                                        "for measure; or give one budget, e.g. --max-loss 3.5")};

    if (parser.isSet(QStringLiteral("reference"))) {
        const QString text = parser.value(QStringLiteral("reference"));
        if (measure) {
            options.reference = hundredths(text);
            if (!options.reference)
                throw UsageError{
                    QStringLiteral("bad value '%1' for --reference: expected a level in dBm, e.g. -7.5").arg(text)};
        } else {
            options.referenceFile = text;
        }
    }
    if (options.command == Command::Loss && options.referenceFile.isEmpty())
        throw UsageError{QStringLiteral("loss needs --reference FILE, the file that reference saved")};
    if (parser.isSet(QStringLiteral("plot")))
        options.plotFile = fileWithSuffix(parser, QStringLiteral("plot"), {QStringLiteral("png"), QStringLiteral("svg"),
                                                                           QStringLiteral("pdf")});
    if (parser.isSet(QStringLiteral("report")))
        options.reportFile = fileWithSuffix(parser, QStringLiteral("report"),
                                            {QStringLiteral("json"), QStringLiteral("csv"), QStringLiteral("pdf"),
                                             QStringLiteral("html")});
    if (parser.isSet(QStringLiteral("output"))) {
        options.outputFile = parser.value(QStringLiteral("output"));
        if (options.command == Command::Reference)
            options.outputFile = fileWithSuffix(parser, QStringLiteral("output"), {QStringLiteral("json")});
        else if (options.outputFile.isEmpty())
            throw UsageError{QStringLiteral("--output needs a file name")};
    }
    if (options.command == Command::Reference && options.outputFile.isEmpty())
        throw UsageError{QStringLiteral("reference needs --output FILE.json, where the reference is saved")};
    return options;
}

QString helpEpilogue()
{
    return QStringLiteral(
        "\nCommands:\n"
        "  ports            The serial ports: eight lines each, as the window's port report.\n"
        "  detect           Ask every port (and each path in ZERAK_EXTRA_PORTS, separated by ':') for its\n"
        "                   wavelength; list those that answered: \"/dev/ttyUSB0  1310 nm\".\n"
        "  wavelength       Print the meter's wavelength, e.g. \"1310 nm\".\n"
        "  next-wavelength  Step the meter to its next wavelength and print it.\n"
        "  measure          Print one reading per line, e.g. \"-15.00 dBm\"; with --reference\n"
        "                   \"-15.00 dBm  loss 3.00 dB\", with --limit or --max-loss \"...  PASS\" or \"...  FAIL\".\n"
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
        "  0  done, or interrupted (Ctrl-C, SIGTERM, SIGHUP, a closed pipe) after a reading; serve: ended so\n"
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
        "fibre fails (job test: that fibre; status, report, run: any).\n");
}

} // namespace cli
