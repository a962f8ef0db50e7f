// SPDX-License-Identifier: MIT
#include "cli/jobcommands.h"

#include "cli/console.h"
#include "job/cablereport.h"
#include "report/document.h"

#include <QFileInfo>

namespace cli {

namespace {

// The job as it is now, or the exit code its failure gives.
std::optional<job::CableRecord> readJob(const QString &fileName, int *exitCode)
{
    job::JobError error;
    const std::unique_ptr<job::JobStore> store = job::JobStore::open(fileName, job::JobStore::Access::Read, &error);
    if (!store) {
        printError(error.message);
        *exitCode = job::exitCodeFor(error);
        return std::nullopt;
    }
    return job::cableRecord(*store);
}

// Every line, or exit 1 naming where they did not go.
bool printed(const QStringList &lines)
{
    for (const QString &line : lines)
        if (!printLine(line)) {
            printError(stdoutError());
            return false;
        }
    return true;
}

} // namespace

int exitCodeOf(const job::JobStatus &status)
{
    switch (status.outcome()) {
    case job::JobStatus::SomeFailed:
        return exitOutsideLimit;
    case job::JobStatus::SomeUntested:
        return job::exitUntested;
    case job::JobStatus::AllPassed:
        break;
    }
    return exitOk;
}

int jobNew(const Options &options)
{
    job::JobDefinition definition = options.job;
    definition.tool = toolName();
    definition.created = QDateTime::currentDateTimeUtc();
    job::JobError error;
    if (!job::JobStore::create(options.jobFile, definition, &error)) {
        printError(error.message);
        return job::exitCodeFor(error);
    }
    QStringList lines{QStringLiteral("%1: cable %2, fibres %3 (%4), %5")
                          .arg(options.jobFile, definition.cable, job::fibresText(definition.fibres))
                          .arg(definition.fibres.size())
                          .arg(definition.bidirectional ? QStringLiteral("both directions")
                                                        : QStringLiteral("one direction"))};
    for (const job::WavelengthLimit &limit : qAsConst(definition.budget.limits))
        lines << QStringLiteral("%1 nm  limit %2 dB: %3")
                     .arg(limit.wavelengthNm)
                     .arg(job::decibelText(limit.limit), limit.formula);
    lines << QStringLiteral("basis: ") + definition.budget.basis;
    return printed(lines) ? exitOk : exitFailure;
}

int jobStatus(const Options &options)
{
    int exitCode = exitOk;
    const std::optional<job::CableRecord> record = readJob(options.jobFile, &exitCode);
    if (!record)
        return exitCode;
    const bool shown = options.json ? printed({QString::fromUtf8(job::statusJson(*record)).trimmed()})
                                    : printed(job::statusLines(*record));
    return shown ? exitCodeOf(record->status) : exitFailure;
}

int jobReport(const Options &options)
{
    int exitCode = exitOk;
    const std::optional<job::CableRecord> record = readJob(options.jobFile, &exitCode);
    if (!record)
        return exitCode;
    QString error;
    if (!job::writeCableReport(options.outputFile, *record, &error)) {
        printError(QStringLiteral("cannot write the report to %1: %2; nothing was written").arg(options.outputFile, error));
        return exitFailure;
    }
    QStringList lines{QStringLiteral("%1: the report of %2").arg(options.outputFile, options.jobFile)};
    lines << job::countLines(record->status);
    return printed(lines) ? exitCodeOf(record->status) : exitFailure;
}

int jobExport(const Options &options)
{
    int exitCode = exitOk;
    const std::optional<job::CableRecord> record = readJob(options.jobFile, &exitCode);
    if (!record)
        return exitCode;
    const QByteArray bytes = options.csv ? job::exportCsv(*record) : job::exportJson(*record);
    if (options.outputFile.isEmpty()) {
        QString text = QString::fromUtf8(bytes);
        text.chop(1); // printLine ends the line
        return printed({text}) ? exitOk : exitFailure;
    }
    QString error;
    if (!report::saveFile(options.outputFile, bytes, &error)) {
        printError(QStringLiteral("cannot write the export to %1: %2; nothing was written").arg(options.outputFile, error));
        return exitFailure;
    }
    return exitOk;
}

} // namespace cli
