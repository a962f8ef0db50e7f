// SPDX-License-Identifier: MIT
#include "session/readings.h"

namespace session {

QString unitOf(bool decibel)
{
    return decibel ? QStringLiteral("dB") : QStringLiteral("dBm");
}

int levelOf(const meter::Frame &frame)
{
    return frame.signFlag == 0x01 ? -int(frame.value) : int(frame.value);
}

QDateTime nowWithOffset()
{
    const QDateTime now = QDateTime::currentDateTime();
    return now.toOffsetFromUtc(now.offsetFromUtc());
}

Reading readingFrom(const meter::Frame &frame, quint16 wavelengthNm, const ReadingRules &rules, const QDateTime &at,
                    qint64 elapsedMs)
{
    Reading reading;
    reading.frame = frame;
    reading.at = at;
    reading.elapsedMs = elapsedMs;
    reading.wavelengthNm = wavelengthNm;
    reading.hundredths = levelOf(frame);
    reading.decibel = frame.unitFlag != 0;
    // A dB reading is already a loss against the meter's own stored reference.
    if (reading.decibel)
        reading.loss = rules.maxLoss ? std::optional<double>(-reading.hundredths) : std::nullopt;
    else if (rules.reference)
        reading.loss = *rules.reference - reading.hundredths;
    if (rules.limits) {
        // A dB reading against a reference has no loss to judge: the run refuses it.
        if (!rules.reference || reading.loss)
            reading.pass = rules.limits->contains(rules.reference ? *reading.loss : double(reading.hundredths));
    } else if (rules.maxLoss && reading.loss) {
        if (const std::optional<double> budget = rules.maxLoss->at(wavelengthNm))
            reading.pass = *reading.loss <= *budget; // a wavelength it gives no budget for has no verdict
    }
    return reading;
}

QString valueText(const Reading &reading)
{
    // The meter may send a negative zero; show what it sent.
    return meter::signText(reading.frame).trimmed() + meter::magnitudeText(reading.frame);
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

} // namespace session
