#include "cli/readings.h"

#include <cmath>
#include <cstdlib>

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

QString meanText(double value)
{
    const QString text = QString::number(value, 'f', 2);
    return text == QLatin1String("-0.00") ? QStringLiteral("0.00") : text;
}

} // namespace

Reading readingFrom(const meter::Frame &frame, const Options &options, const QDateTime &at, qint64 elapsedMs)
{
    Reading reading;
    reading.frame = frame;
    reading.at = at;
    reading.elapsedMs = elapsedMs;
    reading.hundredths = frame.signFlag == 0x01 ? -int(frame.value) : int(frame.value);
    reading.decibel = frame.unitFlag != 0;
    // A dB reading is already relative to the meter's own reference.
    if (options.reference && !reading.decibel)
        reading.loss = *options.reference - reading.hundredths;
    if (options.limits) {
        if (options.reference)
            reading.pass = reading.loss && options.limits->contains(*reading.loss);
        else
            reading.pass = options.limits->contains(reading.hundredths);
    }
    return reading;
}

QString hundredthsText(int hundredths)
{
    const int magnitude = std::abs(hundredths);
    return (hundredths < 0 ? QStringLiteral("-") : QString()) + QString::number(magnitude / 100)
           + QLatin1Char('.') + QStringLiteral("%1").arg(magnitude % 100, 2, 10, QLatin1Char('0'));
}

QString valueText(const Reading &reading)
{
    // The meter may send a negative zero; show what it sent.
    return meter::signText(reading.frame).trimmed() + meter::magnitudeText(reading.frame);
}

QString readingLine(const Reading &reading, const Options &options)
{
    QString line = valueText(reading) + QLatin1Char(' ') + meter::unitText(reading.frame);
    if (options.reference)
        line += reading.loss ? QStringLiteral("  loss %1 dB").arg(hundredthsText(*reading.loss))
                             : QStringLiteral("  loss n/a");
    if (reading.pass)
        line += QStringLiteral("  ") + verdict(*reading.pass);
    return line;
}

QString csvHeader(const Options &options)
{
    QString header = QStringLiteral("time,wavelength_nm,value,unit,mW");
    if (options.reference)
        header += QStringLiteral(",loss_dB");
    if (options.limits)
        header += QStringLiteral(",result");
    return header;
}

QString csvRow(const Reading &reading, quint16 wavelengthNm, const Options &options)
{
    QStringList fields = {reading.at.toString(Qt::ISODateWithMs), QString::number(wavelengthNm),
                          valueText(reading), meter::unitText(reading.frame)};
    fields << (reading.decibel ? QString() : QString::number(std::pow(10.0, reading.hundredths / 1000.0), 'g', 4));
    if (options.reference)
        fields << (reading.loss ? hundredthsText(*reading.loss) : QString());
    if (reading.pass)
        fields << verdict(*reading.pass);
    return fields.join(QLatin1Char(','));
}

QStringList statsLines(const QVector<Reading> &readings)
{
    QStringList lines;
    for (bool decibel : {false, true}) {
        int count = 0;
        int min = 0;
        int max = 0;
        double sum = 0;
        for (const Reading &reading : readings) {
            if (reading.decibel != decibel)
                continue;
            min = count == 0 ? reading.hundredths : std::min(min, reading.hundredths);
            max = count == 0 ? reading.hundredths : std::max(max, reading.hundredths);
            sum += reading.hundredths;
            ++count;
        }
        if (count == 0)
            continue;
        const double mean = sum / count;
        double squares = 0;
        for (const Reading &reading : readings)
            if (reading.decibel == decibel)
                squares += (reading.hundredths - mean) * (reading.hundredths - mean);
        const double deviation = count > 1 ? std::sqrt(squares / (count - 1)) : 0.0;
        const QString unit = unitOf(decibel);
        lines << QStringLiteral("count: %1").arg(count)
              << QStringLiteral("min: %1 %2").arg(hundredthsText(min), unit)
              << QStringLiteral("mean: %1 %2").arg(meanText(mean / 100.0), unit)
              << QStringLiteral("max: %1 %2").arg(hundredthsText(max), unit)
              << QStringLiteral("std dev: %1 dB").arg(meanText(deviation / 100.0));
    }

    int losses = 0;
    int minLoss = 0;
    int maxLoss = 0;
    double lossSum = 0;
    for (const Reading &reading : readings) {
        if (!reading.loss)
            continue;
        minLoss = losses == 0 ? *reading.loss : std::min(minLoss, *reading.loss);
        maxLoss = losses == 0 ? *reading.loss : std::max(maxLoss, *reading.loss);
        lossSum += *reading.loss;
        ++losses;
    }
    if (losses > 0)
        lines << QStringLiteral("loss min: %1 dB").arg(hundredthsText(minLoss))
              << QStringLiteral("loss mean: %1 dB").arg(meanText(lossSum / losses / 100.0))
              << QStringLiteral("loss max: %1 dB").arg(hundredthsText(maxLoss));
    return lines;
}

} // namespace cli
