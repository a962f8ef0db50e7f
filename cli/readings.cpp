// SPDX-License-Identifier: MIT
#include "cli/readings.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace cli {

namespace {

QString unitOf(bool decibel)
{
    return decibel ? QStringLiteral("dB") : QStringLiteral("dBm");
}

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

Reading readingFrom(const meter::Frame &frame, quint16 wavelengthNm, const Options &options, const QDateTime &at,
                    qint64 elapsedMs)
{
    Reading reading;
    reading.frame = frame;
    reading.at = at;
    reading.elapsedMs = elapsedMs;
    reading.wavelengthNm = wavelengthNm;
    reading.hundredths = frame.signFlag == 0x01 ? -int(frame.value) : int(frame.value);
    reading.decibel = frame.unitFlag != 0;
    // A dB reading is already a loss against the meter's own stored reference.
    if (reading.decibel)
        reading.loss = options.maxLoss ? std::optional<double>(-reading.hundredths) : std::nullopt;
    else if (options.reference)
        reading.loss = *options.reference - reading.hundredths;
    if (options.limits)
        reading.pass = options.limits->contains(options.reference ? *reading.loss : double(reading.hundredths));
    else if (options.maxLoss && reading.loss)
        if (const std::optional<double> budget = options.maxLoss->at(wavelengthNm))
            reading.pass = *reading.loss <= *budget; // a wavelength it gives no budget for has no verdict
    return reading;
}

QString valueText(const Reading &reading)
{
    // The meter may send a negative zero; show what it sent.
    return meter::signText(reading.frame).trimmed() + meter::magnitudeText(reading.frame);
}

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

void Summary::add(const Reading &reading)
{
    Block &block = blocks[reading.wavelengthNm];
    block.levels[reading.decibel ? 1 : 0].add(reading.hundredths);
    if (reading.loss)
        block.losses.add(*reading.loss);
    ++total;
    if (reading.pass && !*reading.pass)
        ++failed;
}

QStringList Summary::lines() const
{
    QStringList lines;
    const bool perWavelength = blocks.size() > 1;
    for (auto block = blocks.begin(); block != blocks.end(); ++block) {
        const QString indent = perWavelength ? QStringLiteral("  ") : QString();
        if (perWavelength)
            lines << QStringLiteral("%1 nm:").arg(block.key());
        for (bool decibel : {false, true}) {
            const ReadingStats &stats = block->levels[decibel ? 1 : 0];
            if (stats.isEmpty())
                continue;
            const QString unit = unitOf(decibel);
            lines << indent + QStringLiteral("count: %1").arg(stats.count())
                  << indent + QStringLiteral("min: %1 %2").arg(hundredthsText(stats.min()), unit)
                  << indent + QStringLiteral("mean: %1 %2").arg(hundredthsText(stats.mean()), unit)
                  << indent + QStringLiteral("max: %1 %2").arg(hundredthsText(stats.max()), unit)
                  << indent + QStringLiteral("std dev: %1 dB").arg(hundredthsText(stats.deviation()));
        }
        if (!block->losses.isEmpty())
            lines << indent + QStringLiteral("loss min: %1 dB").arg(hundredthsText(block->losses.min()))
                  << indent + QStringLiteral("loss mean: %1 dB").arg(hundredthsText(block->losses.mean()))
                  << indent + QStringLiteral("loss max: %1 dB").arg(hundredthsText(block->losses.max()));
    }
    return lines;
}

} // namespace cli
