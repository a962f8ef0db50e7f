// SPDX-License-Identifier: MIT
#include "cli/rows.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace cli {

using session::Reading;

namespace {

QString verdict(bool pass)
{
    return pass ? QStringLiteral("PASS") : QStringLiteral("FAIL");
}

std::optional<QString> milliwatts(const Reading &reading)
{
    if (reading.decibel)
        return std::nullopt;
    return QString::number(std::pow(10.0, reading.hundredths / 1000.0), 'g', 4);
}

} // namespace

QString readingLine(const Reading &reading, const Options &options)
{
    QString line = valueText(reading) + QLatin1Char(' ') + meter::unitText(reading.frame);
    if (reading.loss && (options.reference || options.maxLoss))
        line += QStringLiteral("  loss %1 dB").arg(hundredthsText(*reading.loss));
    if (reading.pass)
        line += QStringLiteral("  ") + verdict(*reading.pass);
    return line;
}

QString csvHeader(const Options &options)
{
    QString header = QStringLiteral("time,wavelength_nm,value,unit,mW");
    if (options.reference || options.maxLoss)
        header += QStringLiteral(",loss_dB");
    if (options.limits || options.maxLoss)
        header += QStringLiteral(",result");
    return header;
}

QString csvRow(const Reading &reading, const Options &options)
{
    QStringList fields = {reading.at.toString(Qt::ISODateWithMs), QString::number(reading.wavelengthNm),
                          valueText(reading), meter::unitText(reading.frame), milliwatts(reading).value_or(QString())};
    if (options.reference || options.maxLoss)
        fields << (reading.loss ? hundredthsText(*reading.loss) : QString());
    if (options.limits || options.maxLoss)
        fields << (reading.pass ? verdict(*reading.pass) : QString());
    return fields.join(QLatin1Char(','));
}

QString jsonRow(const Reading &reading, const Options &options)
{
    QJsonObject row{{QStringLiteral("time"), reading.at.toString(Qt::ISODateWithMs)},
                    {QStringLiteral("wavelength_nm"), reading.wavelengthNm},
                    {QStringLiteral("value"), reading.hundredths / 100.0},
                    {QStringLiteral("unit"), meter::unitText(reading.frame)}};
    if (const std::optional<QString> mW = milliwatts(reading))
        row.insert(QStringLiteral("mW"), mW->toDouble());
    if ((options.reference || options.maxLoss) && reading.loss)
        row.insert(QStringLiteral("loss_dB"), hundredthsText(*reading.loss).toDouble());
    if (reading.pass)
        row.insert(QStringLiteral("result"), verdict(*reading.pass));
    return QString::fromUtf8(QJsonDocument(row).toJson(QJsonDocument::Compact));
}

} // namespace cli
