#pragma once

// Readings as zerak-cli prints, tabulates and sums them up.

#include "cli/options.h"
#include "meter/protocol.h"

#include <QDateTime>
#include <QStringList>
#include <QVector>

#include <optional>

namespace cli {

struct Reading
{
    meter::Frame frame;
    QDateTime at;      // local time with its UTC offset
    qint64 elapsedMs;  // since the first reading
    int hundredths;    // signed level in hundredths of dB or dBm
    bool decibel;      // a relative reading in dB rather than dBm
    std::optional<int> loss; // with a reference: reference minus reading, dBm readings only
    std::optional<bool> pass; // with limits; a reading that has no loss to check fails
};

Reading readingFrom(const meter::Frame &frame, const Options &options, const QDateTime &at, qint64 elapsedMs);

QString hundredthsText(int hundredths); // -1500 -> "-15.00"
QString valueText(const Reading &reading); // as the window shows it, e.g. "-15.00"
// "-15.00 dBm", then "  loss 3.00 dB" and "  PASS" or "  FAIL" as asked.
QString readingLine(const Reading &reading, const Options &options);
QString csvHeader(const Options &options);
QString csvRow(const Reading &reading, quint16 wavelengthNm, const Options &options);
// count, min, mean, max and sample standard deviation for each unit seen,
// and the loss's min, mean and max when there is one.
QStringList statsLines(const QVector<Reading> &readings);

} // namespace cli
