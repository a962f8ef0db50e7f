// SPDX-License-Identifier: MIT
#include "cli/losstest.h"

#include "session/values.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPageLayout>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>
#include <QTextDocument>

#include <cmath>

namespace cli {

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

bool save(const QString &fileName, const QByteArray &bytes, QString *error)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

QString readable(const QDateTime &time)
{
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t"));
}

QString html(const LossRecord &record)
{
    const auto escaped = [](const QString &text) { return text.toHtmlEscaped(); };
    QString rows;
    for (const LossRow &row : record.rows) {
        const QString colour = !row.pass ? QStringLiteral("#333333") : *row.pass ? QStringLiteral("#1b7a2e")
                                                                               : QStringLiteral("#b3261e");
        rows += QStringLiteral("<tr><td nowrap>%1 nm</td><td align=\"right\" nowrap>%2 dBm</td>"
                               "<td align=\"right\" nowrap>%3 dBm</td><td align=\"right\" nowrap>%4 dB</td>"
                               "<td align=\"right\" nowrap><b>%5 dB</b></td><td align=\"right\" nowrap>%6</td>"
                               "<td align=\"center\" style=\"color:%7\"><b>%8</b></td></tr>\n")
                    .arg(row.wavelengthNm)
                    .arg(hundredthsText(row.reference), hundredthsText(row.reading.mean()),
                         hundredthsText(row.reading.deviation()), lossText(row),
                         row.budget ? hundredthsText(*row.budget) + QStringLiteral(" dB") : QStringLiteral("&ndash;"),
                         colour, verdictOf(row.pass));
    }
    const std::optional<bool> pass = record.pass();
    const QString verdictColour = !pass ? QStringLiteral("#333333") : *pass ? QStringLiteral("#1b7a2e")
                                                                           : QStringLiteral("#b3261e");
    return QStringLiteral(
               "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Loss test</title>\n"
               "<style>body{font-family:sans-serif;color:#222} table{border-collapse:collapse}"
               " th,td{border:1px solid #999;padding:4px 10px} th{background:#e8ebf0}</style></head>\n"
               "<body>\n<h1>Optical loss test</h1>\n"
               "<table cellpadding=\"4\" cellspacing=\"0\" border=\"0\" style=\"border:none\">\n"
               "<tr><td style=\"border:none\">Date</td><td style=\"border:none\">%1</td></tr>\n"
               "<tr><td style=\"border:none\">Port</td><td style=\"border:none\">%2</td></tr>\n"
               "<tr><td style=\"border:none\">Tool</td><td style=\"border:none\">%3</td></tr>\n"
               "<tr><td style=\"border:none\">Reference</td><td style=\"border:none\">%4, taken %5 on %6</td></tr>\n"
               "<tr><td style=\"border:none\">Readings</td><td style=\"border:none\">%7 per wavelength</td></tr>\n"
               "</table>\n<p></p>\n"
               "<table cellpadding=\"6\" cellspacing=\"0\" border=\"1\" width=\"100%\">\n"
               "<tr><th>Wavelength</th><th>Reference</th><th>Reading</th><th>Std dev</th><th>Loss</th>"
               "<th>Budget</th><th>Result</th></tr>\n%8</table>\n"
               "<h2 style=\"color:%9\">%10</h2>\n</body></html>\n")
        .arg(escaped(readable(record.at)), escaped(record.port), escaped(record.tool), escaped(record.referenceFile),
             escaped(readable(record.reference.taken)), escaped(record.reference.port))
        .arg(record.rows.isEmpty() ? 0 : record.rows.first().reading.count())
        .arg(rows, verdictColour, escaped(record.verdict()));
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
        text += QStringLiteral("%1,%2,%3,%4,%5,%6,%7,%8,%9\n")
                    .arg(stamp(record.at), record.port)
                    .arg(row.wavelengthNm)
                    .arg(hundredthsText(row.reference), hundredthsText(row.reading.mean()),
                         hundredthsText(row.reading.deviation()), lossText(row),
                         row.budget ? hundredthsText(*row.budget) : QString(), verdictOf(row.pass));
    return text.toUtf8();
}

// One A4 page: the same document as the HTML report, laid out by Qt's text engine.
bool pdf(const QString &fileName, const LossRecord &record, QString *error)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    {
        QPdfWriter writer(&file);
        writer.setTitle(QStringLiteral("Optical loss test"));
        writer.setCreator(record.tool);
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                         QMarginsF(18, 18, 18, 18), QPageLayout::Millimeter));
        writer.setResolution(300);
        QTextDocument document;
        QFont font = document.defaultFont();
        font.setPixelSize(13);
        document.setDefaultFont(font);
        document.setHtml(html(record));
        QPainter painter(&writer);
        const QRectF page = writer.pageLayout().paintRectPixels(writer.resolution());
        // Laid out at 96 dpi and scaled to the page: the fonts keep their size.
        const double scale = writer.resolution() / 96.0;
        document.setTextWidth(page.width() / scale);
        painter.scale(scale, scale);
        document.drawContents(&painter);
        if (!painter.end()) {
            *error = QStringLiteral("the PDF could not be drawn");
            return false;
        }
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace

const ReferenceLevel *ReferenceRecord::at(quint16 nanometres) const
{
    for (const ReferenceLevel &level : levels)
        if (level.wavelengthNm == nanometres)
            return &level;
    return nullptr;
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
    return save(fileName, QJsonDocument(document).toJson(), error);
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
    const QString notReference = QStringLiteral("%1 is not a reference saved by zerak-cli reference: %2")
                                     .arg(fileName);
    if (document.isNull()) {
        *error = notReference.arg(parseError.errorString());
        return std::nullopt;
    }
    const QJsonObject root = document.object();
    ReferenceRecord record;
    record.taken = QDateTime::fromString(root.value(QStringLiteral("time")).toString(), Qt::ISODate);
    record.port = root.value(QStringLiteral("port")).toString();
    record.tool = root.value(QStringLiteral("tool")).toString();
    if (!record.taken.isValid()) {
        *error = notReference.arg(QStringLiteral("no valid \"time\""));
        return std::nullopt;
    }
    const QJsonArray levels = root.value(QStringLiteral("levels")).toArray();
    for (const QJsonValue &value : levels) {
        const QJsonObject level = value.toObject();
        const int nm = level.value(QStringLiteral("wavelength_nm")).toInt(-1);
        const QJsonValue mean = level.value(QStringLiteral("mean_dBm"));
        if (nm < 0 || nm > 0xFFFF || !mean.isDouble()) {
            *error = notReference.arg(QStringLiteral("a level without \"wavelength_nm\" or \"mean_dBm\""));
            return std::nullopt;
        }
        record.levels << ReferenceLevel{quint16(nm), mean.toDouble() * 100.0,
                                        level.value(QStringLiteral("std_dev_dB")).toDouble() * 100.0,
                                        qint64(level.value(QStringLiteral("readings")).toDouble())};
    }
    if (record.levels.isEmpty()) {
        *error = notReference.arg(QStringLiteral("no levels"));
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
        row.pass = row.loss <= *budget + 1e-9; // only the division of a mean rounds
    return row;
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
        return pdf(fileName, record, error);
    if (suffix == QLatin1String("json"))
        return save(fileName, json(record), error);
    if (suffix == QLatin1String("csv"))
        return save(fileName, csv(record), error);
    return save(fileName, html(record).toUtf8(), error);
}

} // namespace cli
