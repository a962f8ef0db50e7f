// SPDX-License-Identifier: MIT
// reference and loss: the sweep over the wavelengths asks for the cord or
// the link at each; what it measured is printed, then saved or reported.

#include "cli/meterrun.h"

#include <QCoreApplication>

namespace cli {

namespace {

// What went wrong printing them, or nothing.
QString printLines(const QStringList &lines)
{
    for (const QString &line : lines)
        if (!printLine(line))
            return stdoutError();
    return QString();
}

} // namespace

// The reference and the budget are checked before the port is opened: they
// need no meter.
bool MeterRun::checkLossTest()
{
    QString error;
    const std::optional<job::ReferenceRecord> loaded = job::loadReference(options.referenceFile, &error);
    if (!loaded) {
        failWith(exitBadArguments, error);
        return false;
    }
    loadedReference = *loaded;
    testWavelengths = options.wavelengths;
    if (testWavelengths.isEmpty())
        for (const job::ReferenceLevel &level : qAsConst(loadedReference.levels))
            testWavelengths << level.wavelengthNm;
    for (quint16 nm : qAsConst(testWavelengths))
        if (!loadedReference.at(nm)) {
            failWith(exitBadArguments, QStringLiteral("%1 nm is not in the reference %2; take a reference at %1 nm "
                                                      "first")
                                           .arg(nm)
                                           .arg(options.referenceFile));
            return false;
        }
    if (options.maxLoss)
        for (quint16 nm : qAsConst(testWavelengths))
            if (!options.maxLoss->at(nm)) {
                failWith(exitBadArguments, QStringLiteral("--max-loss gives no budget for %1 nm").arg(nm));
                return false;
            }
    const qint64 ageSeconds = loadedReference.taken.secsTo(QDateTime::currentDateTime());
    if (ageSeconds > 24 * 3600) {
        const qint64 days = ageSeconds / (24 * 3600);
        printError(QStringLiteral("warning: the reference in %1 was taken %2, %3 ago; take a new one")
                       .arg(options.referenceFile, loadedReference.taken.toString(Qt::ISODate),
                            days == 1 ? QStringLiteral("1 day") : QStringLiteral("%1 days").arg(days)));
    }
    return true;
}

void MeterRun::startLossTest()
{
    const bool reference = options.command == Command::Reference;
    if (reference)
        testWavelengths = options.wavelengths;
    sweep = new job::LevelSweep(session, options.count, reference ? QStringLiteral("reference") : QStringLiteral("loss test"),
                                reference ? QStringLiteral("reference") : QStringLiteral("loss"), this);
    connect(sweep, &job::LevelSweep::failed, this, &MeterRun::fail);
    connect(sweep, &job::LevelSweep::finished, this, reference ? &MeterRun::finishReference : &MeterRun::finishLoss);
    if (!options.noPrompt && LinePrompt::interactive())
        sweep->setPrompt([this, reference](quint16 nm, std::function<void()> ready) {
            const QString what = reference ? QStringLiteral("the reference cord") : QStringLiteral("the link under test");
            waitForEnter(QStringLiteral("Connect %1, set the source to %2 nm and press Enter").arg(what).arg(nm),
                         std::move(ready));
        });
    sweep->start(testWavelengths);
}

void MeterRun::waitForEnter(const QString &prompt, std::function<void()> then)
{
    if (!linePrompt) {
        linePrompt = new LinePrompt(this);
        connect(linePrompt, &LinePrompt::endOfInput, this, &MeterRun::interrupt); // nobody will press Enter
    }
    linePrompt->ask(prompt, [then](const QString &) { then(); });
}

void MeterRun::finishReference(const QVector<job::WavelengthLevel> &levels)
{
    job::ReferenceRecord record = job::referenceRecord(levels);
    record.taken = session::nowWithOffset();
    record.port = options.port;
    record.tool = toolName();
    const QStringList lines = job::referenceLines(record);
    // Shown before the file is written: a file that cannot be written loses no level.
    QString problem = printLines(lines);
    QString error;
    if (!job::saveReference(options.outputFile, record, &error)) {
        if (!problem.isEmpty())
            printError(problem);
        problem = QStringLiteral("cannot write the reference to %1: %2").arg(options.outputFile, error);
    }
    if (!problem.isEmpty()) {
        failWith(exitFailure, problem);
        return;
    }
    finish(exitOk);
}

void MeterRun::finishLoss(const QVector<job::WavelengthLevel> &levels)
{
    // Each wavelength was checked against the reference before the port was opened.
    job::LossRecord record = *job::lossRecord(loadedReference, levels, options.maxLoss);
    record.at = session::nowWithOffset();
    record.port = options.port;
    record.tool = toolName();
    record.referenceFile = options.referenceFile;
    // Shown before the report is written: a report that cannot be written loses no result.
    QString problem = printLines(job::lossTable(record) << record.verdict());
    QString error;
    if (!options.reportFile.isEmpty() && !job::writeReport(options.reportFile, record, &error)) {
        if (!problem.isEmpty())
            printError(problem);
        problem = QStringLiteral("cannot write the report to %1: %2").arg(options.reportFile, error);
    }
    if (!problem.isEmpty()) {
        failWith(exitFailure, problem);
        return;
    }
    finish(record.pass() == false ? exitOutsideLimit : exitOk);
}

} // namespace cli
