// SPDX-License-Identifier: MIT
#pragma once

// Readings as zerak-cli prints, tabulates and sums them up.

#include "cli/options.h"
#include "cli/stats.h"
#include "meter/protocol.h"

#include <QDateTime>
#include <QMap>
#include <QStringList>

#include <optional>

namespace cli {

struct Reading
{
    meter::Frame frame;
    QDateTime at;       // local time with its UTC offset
    qint64 elapsedMs;   // since the first reading
    quint16 wavelengthNm;
    int hundredths;     // signed level in hundredths of dB or dBm
    bool decibel;       // a relative reading in dB rather than dBm
    std::optional<double> loss; // hundredths of a dB: reference - reading, or -reading in dB
    std::optional<bool> pass;   // with --limit or --max-loss
};

Reading readingFrom(const meter::Frame &frame, quint16 wavelengthNm, const Options &options, const QDateTime &at,
                    qint64 elapsedMs);

QString valueText(const Reading &reading); // as the window shows it, e.g. "-15.00"
// "-15.00 dBm", then "  loss 3.00 dB" and "  PASS" or "  FAIL" as asked.
QString readingLine(const Reading &reading, const Options &options);
QString csvHeader(const Options &options);
QString csvRow(const Reading &reading, const Options &options);
QString jsonRow(const Reading &reading, const Options &options);

// count, min, mean, max and deviation per wavelength and unit, and the
// loss's, over the whole run in constant memory.
class Summary
{
public:
    void add(const Reading &reading);
    qint64 count() const { return total; }
    qint64 outsideLimit() const { return failed; }
    QStringList lines() const;

private:
    struct Block
    {
        ReadingStats levels[2]; // dBm, dB
        ReadingStats losses;
    };
    QMap<quint16, Block> blocks;
    qint64 total = 0;
    qint64 failed = 0;
};

} // namespace cli
