// SPDX-License-Identifier: MIT
#pragma once

// Readings as the meter gave them, judged by the rules asked for, and their
// statistics per wavelength.

#include "meter/protocol.h"
#include "session/stats.h"
#include "session/values.h"

#include <QDateTime>
#include <QMap>
#include <QStringList>

#include <optional>

namespace session {

struct Reading
{
    meter::Frame frame;
    QDateTime at;       // local time with its UTC offset
    qint64 elapsedMs;   // since the first reading
    quint16 wavelengthNm;
    int hundredths;     // signed level in hundredths of dB or dBm
    bool decibel;       // a relative reading in dB rather than dBm
    std::optional<double> loss; // hundredths of a dB: reference - reading, or -reading in dB
    std::optional<bool> pass;   // with limits or a loss budget
};

// What a reading is judged by; at most one of limits and maxLoss.
struct ReadingRules
{
    std::optional<double> reference; // dBm, in hundredths
    std::optional<Limits> limits;    // on the loss with a reference, else on the level
    std::optional<Budget> maxLoss;
};

Reading readingFrom(const meter::Frame &frame, quint16 wavelengthNm, const ReadingRules &rules, const QDateTime &at,
                    qint64 elapsedMs);
// The signed level in hundredths of dB or dBm.
int levelOf(const meter::Frame &frame);
QString valueText(const Reading &reading); // as the window shows it, e.g. "-15.00"
QString unitOf(bool decibel);              // "dB" or "dBm"
// Now in local time, with its UTC offset written out.
QDateTime nowWithOffset();

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

} // namespace session
