// SPDX-License-Identifier: MIT
#pragma once

// The loss test of a fibre link: the reference saved per wavelength, the
// losses against it, the verdict over every wavelength, and the record
// handed over, as JSON, CSV, PDF or HTML.

#include "session/stats.h"
#include "session/values.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

namespace job {

using session::ReadingStats;

// What was measured at one wavelength.
struct WavelengthLevel
{
    quint16 wavelengthNm = 0;
    ReadingStats level; // hundredths of a dBm
};

// Levels in hundredths of a dB or dBm.
struct ReferenceLevel
{
    quint16 wavelengthNm = 0;
    double mean = 0;
    double deviation = 0;
    qint64 count = 0;
};

struct ReferenceRecord
{
    QDateTime taken;
    QString port;
    QString tool;
    QVector<ReferenceLevel> levels;
    const ReferenceLevel *at(quint16 nanometres) const;
};

// The levels as a reference; its time, port and tool are the caller's.
ReferenceRecord referenceRecord(const QVector<WavelengthLevel> &levels);
// "1310 nm  -12.50 dBm  std dev 0.02 dB  (5 readings)", one line per wavelength.
QStringList referenceLines(const ReferenceRecord &record);
bool saveReference(const QString &fileName, const ReferenceRecord &record, QString *error);
// Nothing, with the reason, when the file is missing or not a reference.
std::optional<ReferenceRecord> loadReference(const QString &fileName, QString *error);

struct LossRow
{
    quint16 wavelengthNm = 0;
    double reference = 0; // dBm
    ReadingStats reading; // dBm
    double loss = 0;      // dB
    std::optional<double> budget;
    std::optional<bool> pass;
};

struct LossRecord
{
    QDateTime at;
    QString port;
    QString tool;
    QString referenceFile;
    ReferenceRecord reference;
    QVector<LossRow> rows;
    std::optional<bool> pass() const; // none without a budget
    QString verdict() const;
};

LossRow lossRow(quint16 nanometres, const ReferenceLevel &reference, const ReadingStats &reading,
                std::optional<double> budget);
// A row per level against the reference; nothing when the reference lacks
// one of their wavelengths. The time, port, tool and file are the caller's.
std::optional<LossRecord> lossRecord(const ReferenceRecord &reference, const QVector<WavelengthLevel> &levels,
                      const std::optional<session::Budget> &budget);
// The table as printed: a header line and one line per wavelength.
QStringList lossTable(const LossRecord &record);
// By the file's extension: .json, .csv, .pdf or .html. PDF needs a QGuiApplication.
bool writeReport(const QString &fileName, const LossRecord &record, QString *error);

} // namespace job
