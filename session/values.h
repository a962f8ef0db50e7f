// SPDX-License-Identifier: MIT
#pragma once

// Levels, limits and budgets in hundredths of a dB, taken from the decimal
// text as written: a limit is never rounded to the meter's resolution.

#include <QMap>
#include <QString>

#include <optional>

namespace session {

struct Limits
{
    std::optional<double> low;
    std::optional<double> high;
    bool contains(double hundredths) const;
};

// The loss budget: one for every wavelength, or one per wavelength.
struct Budget
{
    std::optional<double> all; // hundredths of a dB
    QMap<quint16, double> byWavelength;
    std::optional<double> at(quint16 nanometres) const;
};

// A decimal as written, in hundredths: "2.955" is 295.5. Nothing for text
// that is not one, or beyond +-1000.
std::optional<double> hundredths(const QString &text);
// "-15.00" from hundredths, rounded to the hundredth; never "-0.00".
QString hundredthsText(double hundredths);

} // namespace session
