// SPDX-License-Identifier: MIT
#pragma once

// What a job says about its cable: the status per fibre, the report to hand
// over (PDF, HTML, CSV or JSON) and every result for other tools.

#include "job/jobstatus.h"
#include "job/jobstore.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace job {

// The job as stored, at one moment.
struct CableRecord
{
    QString fileName;
    JobDefinition job;
    QVector<StoredReference> references;
    QVector<StoredResult> results;
    JobStatus status;
    QDateTime made; // UTC
    const StoredReference *reference(qint64 id) const;
};

CableRecord cableRecord(const JobStore &store);

// Two header lines, one line per fibre, then the counts.
QStringList statusLines(const CableRecord &record);
QByteArray statusJson(const CableRecord &record);
// "48 fibres: 40 passed, 1 failed, 7 untested", and the worst margin per wavelength.
QStringList countLines(const JobStatus &status);
// A fibre just measured, in one direction: "fibre 7  A-B  1310 nm 0.37 dB PASS  1550 nm ...".
QString testedLine(const QVector<StoredResult> &results);
// Where both directions are in at a wavelength, what counts: "fibre 7  average  1310 nm 0.39 dB PASS ...
// : FAIL". Empty where one direction is all there is.
QString averageLine(const FibreStatus &fibre);

// By the file's extension: .pdf, .html, .csv or .json; written whole or not
// at all. PDF and HTML draw a chart: they need a QGuiApplication.
bool writeCableReport(const QString &fileName, const CableRecord &record, QString *error);

// Every result, history included, in the order committed.
QByteArray exportCsv(const CableRecord &record);
QByteArray exportJson(const CableRecord &record);

// "45 s", "12 min", "3 h 5 min", "2 d 3 h".
QString ageText(qint64 seconds);

} // namespace job
