// SPDX-License-Identifier: MIT
#include "job/losstest.h"

#include "job/jobdata.h"

#include "report/document.h"
#include "session/values.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace job {

using session::hundredthsText;

namespace {

// Means of several readings to a thousandth: finer than the meter, as a mean is.
double decibels(double hundredths)
{
    return std::round(hundredths * 10.0) / 1000.0;
}

// Compared unrounded: a loss that would print as its budget and fail shows
// the digit that fails it.
QString lossText(const LossRow &row)
{
    const QString text = hundredthsText(row.loss);
    if (row.budget && row.pass == false && text == hundredthsText(*row.budget))
        return QString::number(std::round(row.loss * 10.0) / 1000.0, 'f', 3);
    return text;
}

QString verdictOf(const std::optional<bool> &pass)
{
    return !pass ? QStringLiteral("n/a") : *pass ? QStringLiteral("PASS") : QStringLiteral("FAIL");
}

QString stamp(const QDateTime &time)
{
    return time.toString(Qt::ISODate);
}

QString readable(const QDateTime &time)
{
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t"));
}

QString colourOf(const std::optional<bool> &pass)
{
    return !pass ? QStringLiteral("#333333") : *pass ? QStringLiteral("#1b7a2e") : QStringLiteral("#b3261e");
}

QString html(const LossRecord &record)
{
    using report::Cell;
    using report::escaped;
    QVector<QVector<Cell>> rows;
    for (const LossRow &row : record.rows)
        rows << QVector<Cell>{
            {QStringLiteral("%1 nm").arg(row.wavelengthNm)},
            {hundredthsText(row.reference) + QStringLiteral(" dBm"), Cell::Right},
            {hundredthsText(row.reading.mean()) + QStringLiteral(" dBm"), Cell::Right},
            {hundredthsText(row.reading.deviation()) + QStringLiteral(" dB"), Cell::Right},
            {lossText(row) + QStringLiteral(" dB"), Cell::Right, true},
            {row.budget ? hundredthsText(*row.budget) + QStringLiteral(" dB") : QStringLiteral("&ndash;"), Cell::Right},
            {verdictOf(row.pass), Cell::Centre, true, false, colourOf(row.pass)}};
    const QVector<QPair<QString, QString>> facts = {
        {QStringLiteral("Date"), escaped(readable(record.at))},
        {QStringLiteral("Port"), escaped(record.port)},
        {QStringLiteral("Tool"), escaped(record.tool)},
        {QStringLiteral("Reference"), QStringLiteral("%1, taken %2 on %3")
                                          .arg(escaped(record.referenceFile), escaped(readable(record.reference.taken)),
                                               escaped(record.reference.port))},
        {QStringLiteral("Readings"),
         QStringLiteral("%1 per wavelength").arg(record.rows.isEmpty() ? 0 : record.rows.first().reading.count())}};
    const QStringList headers = {QStringLiteral("Wavelength"), QStringLiteral("Reference"), QStringLiteral("Reading"),
                                 QStringLiteral("Std dev"),    QStringLiteral("Loss"),      QStringLiteral("Budget"),
                                 QStringLiteral("Result")};
    return report::htmlPage(QStringLiteral("Loss test"),
                            QStringLiteral("<h1>Optical loss test</h1>\n") + report::htmlFacts(facts)
                                + QStringLiteral("<p></p>\n") + report::htmlTable(headers, rows)
                                + QStringLiteral("<h2 style=\"color:%1\">%2</h2>\n")
                                      .arg(colourOf(record.pass()), escaped(record.verdict())));
}

QByteArray json(const LossRecord &record)
{
    QJsonArray rows;
    for (const LossRow &row : record.rows) {
        QJsonObject object{{QStringLiteral("wavelength_nm"), row.wavelengthNm},
                           {QStringLiteral("reference_dBm"), decibels(row.reference)},
                           {QStringLiteral("reading_dBm"), decibels(row.reading.mean())},
                           {QStringLiteral("reading_std_dev_dB"), decibels(row.reading.deviation())},
                           {QStringLiteral("readings"), row.reading.count()},
                           {QStringLiteral("loss_dB"), decibels(row.loss)},
                           {QStringLiteral("result"), verdictOf(row.pass)}};
        if (row.budget)
            object.insert(QStringLiteral("budget_dB"), decibels(*row.budget));
        rows.append(object);
    }
    const QJsonObject reference{{QStringLiteral("file"), record.referenceFile},
                                {QStringLiteral("time"), stamp(record.reference.taken)},
                                {QStringLiteral("port"), record.reference.port}};
    const QJsonObject document{{QStringLiteral("time"), stamp(record.at)},
                               {QStringLiteral("port"), record.port},
                               {QStringLiteral("tool"), record.tool},
                               {QStringLiteral("reference"), reference},
                               {QStringLiteral("wavelengths"), rows},
                               {QStringLiteral("verdict"), verdictOf(record.pass())}};
    return QJsonDocument(document).toJson();
}

QByteArray csv(const LossRecord &record)
{
    QString text = QStringLiteral("time,port,wavelength_nm,reference_dBm,reading_dBm,std_dev_dB,loss_dB,budget_dB,"
                                  "result\n");
    for (const LossRow &row : record.rows)
        // In one go: a port named with a % and a digit is not filled in again.
        text += QStringLiteral("%1,%2,%3,%4,%5,%6,%7,%8,%9\n")
                    .arg(stamp(record.at), record.port, QString::number(row.wavelengthNm),
                         hundredthsText(row.reference), hundredthsText(row.reading.mean()),
                         hundredthsText(row.reading.deviation()), lossText(row),
                         row.budget ? hundredthsText(*row.budget) : QString(), verdictOf(row.pass));
    return text.toUtf8();
}

} // namespace

const ReferenceLevel *ReferenceRecord::at(quint16 nanometres) const
{
    for (const ReferenceLevel &level : levels)
        if (level.wavelengthNm == nanometres)
            return &level;
    return nullptr;
}

ReferenceRecord referenceRecord(const QVector<WavelengthLevel> &levels)
{
    ReferenceRecord record;
    for (const WavelengthLevel &level : levels)
        record.levels << ReferenceLevel{level.wavelengthNm, level.level.mean(), level.level.deviation(),
                                        level.level.count()};
    return record;
}

QStringList referenceLines(const ReferenceRecord &record)
{
    QStringList lines;
    for (const ReferenceLevel &level : record.levels)
        lines << QStringLiteral("%1 nm  %2 dBm  std dev %3 dB  (%4 readings)")
                     .arg(level.wavelengthNm)
                     .arg(hundredthsText(level.mean), hundredthsText(level.deviation))
                     .arg(level.count);
    return lines;
}

bool saveReference(const QString &fileName, const ReferenceRecord &record, QString *error)
{
    QJsonArray levels;
    for (const ReferenceLevel &level : record.levels)
        levels.append(QJsonObject{{QStringLiteral("wavelength_nm"), level.wavelengthNm},
                                  {QStringLiteral("mean_dBm"), decibels(level.mean)},
                                  {QStringLiteral("std_dev_dB"), decibels(level.deviation)},
                                  {QStringLiteral("readings"), level.count}});
    const QJsonObject document{{QStringLiteral("time"), stamp(record.taken)},
                               {QStringLiteral("port"), record.port},
                               {QStringLiteral("tool"), record.tool},
                               {QStringLiteral("levels"), levels}};
    return report::saveFile(fileName, QJsonDocument(document).toJson(), error);
}

std::optional<ReferenceRecord> loadReference(const QString &fileName, QString *error)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the reference %1: %2").arg(fileName, file.errorString());
        return std::nullopt;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.read(1 << 20), &parseError);
    // The file's name as it is, whatever % it holds.
    const auto notReference = [&fileName](const QString &why) {
        return QStringLiteral("%1 is not a reference saved by zerak-cli reference: %2").arg(fileName, why);
    };
    if (document.isNull()) {
        *error = notReference(parseError.errorString());
        return std::nullopt;
    }
    const QJsonObject root = document.object();
    ReferenceRecord record;
    record.taken = QDateTime::fromString(root.value(QStringLiteral("time")).toString(), Qt::ISODate);
    record.port = root.value(QStringLiteral("port")).toString();
    record.tool = root.value(QStringLiteral("tool")).toString();
    if (!record.taken.isValid()) {
        *error = notReference(QStringLiteral("no valid \"time\""));
        return std::nullopt;
    }
    const QJsonArray levels = root.value(QStringLiteral("levels")).toArray();
    for (const QJsonValue &value : levels) {
        const QJsonObject level = value.toObject();
        const int nm = level.value(QStringLiteral("wavelength_nm")).toInt(-1);
        const QJsonValue mean = level.value(QStringLiteral("mean_dBm"));
        if (nm < 0 || nm > 0xFFFF || !mean.isDouble()) {
            *error = notReference(QStringLiteral("a level without \"wavelength_nm\" or \"mean_dBm\""));
            return std::nullopt;
        }
        record.levels << ReferenceLevel{quint16(nm), mean.toDouble() * 100.0,
                                        level.value(QStringLiteral("std_dev_dB")).toDouble() * 100.0,
                                        qint64(level.value(QStringLiteral("readings")).toDouble())};
    }
    if (record.levels.isEmpty()) {
        *error = notReference(QStringLiteral("no levels"));
        return std::nullopt;
    }
    return record;
}

LossRow lossRow(quint16 nanometres, const ReferenceLevel &reference, const ReadingStats &reading,
                std::optional<double> budget)
{
    LossRow row;
    row.wavelengthNm = nanometres;
    row.reference = reference.mean;
    row.reading = reading;
    row.loss = reference.mean - reading.mean();
    row.budget = budget;
    if (budget)
        row.pass = withinLimit(row.loss, *budget);
    return row;
}

std::optional<LossRecord> lossRecord(const ReferenceRecord &reference, const QVector<WavelengthLevel> &levels,
                                     const std::optional<session::Budget> &budget)
{
    LossRecord record;
    record.reference = reference;
    for (const WavelengthLevel &level : levels) {
        const quint16 nm = level.wavelengthNm;
        const ReferenceLevel *against = reference.at(nm);
        if (!against)
            return std::nullopt; // a wavelength left out would let the rest pass for the whole link
        record.rows << lossRow(nm, *against, level.level, budget ? budget->at(nm) : std::nullopt);
    }
    return record;
}

std::optional<bool> LossRecord::pass() const
{
    std::optional<bool> all;
    for (const LossRow &row : rows)
        if (row.pass)
            all = all.value_or(true) && *row.pass;
    return all;
}

QString LossRecord::verdict() const
{
    const std::optional<bool> verdict = pass();
    if (!verdict)
        return QStringLiteral("no budget given (--max-loss): no verdict");
    if (*verdict)
        return QStringLiteral("PASS: every wavelength within its budget");
    QStringList over;
    for (const LossRow &row : rows)
        if (row.pass == false)
            over << QStringLiteral("%1 nm").arg(row.wavelengthNm);
    return QStringLiteral("FAIL: %1 over the budget").arg(over.join(QStringLiteral(", ")));
}

QStringList lossTable(const LossRecord &record)
{
    QStringList lines{QStringLiteral("wavelength  reference   reading     loss     budget   result")};
    for (const LossRow &row : record.rows)
        lines << QStringLiteral("%1 %2 %3 %4 %5 %6")
                     .arg(QStringLiteral("%1 nm").arg(row.wavelengthNm), -11)
                     .arg(hundredthsText(row.reference) + QStringLiteral(" dBm"), -11)
                     .arg(hundredthsText(row.reading.mean()) + QStringLiteral(" dBm"), -11)
                     .arg(lossText(row) + QStringLiteral(" dB"), -8)
                     .arg(row.budget ? hundredthsText(*row.budget) + QStringLiteral(" dB") : QStringLiteral("-"), -8)
                     .arg(verdictOf(row.pass));
    return lines;
}

bool writeReport(const QString &fileName, const LossRecord &record, QString *error)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("pdf"))
        return report::writePdf(fileName, html(record), QStringLiteral("Optical loss test"), record.tool, error);
    if (suffix == QLatin1String("json"))
        return report::saveFile(fileName, json(record), error);
    if (suffix == QLatin1String("csv"))
        return report::saveFile(fileName, csv(record), error);
    return report::saveFile(fileName, html(record).toUtf8(), error);
}

} // namespace job
