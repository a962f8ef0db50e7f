// SPDX-License-Identifier: MIT
#include "scpi/numbers.h"

#include <cstdio>

namespace scpi {

QByteArray nr3(double value)
{
    // Adding 0.0 turns -0 into 0: a reading of zero has no sign. The C
    // library's own formatting, not Qt's: a reply per query is its hot path.
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%+.8E", value + 0.0);
    return QByteArray(text, length);
}

std::optional<double> suffixFactor(const QByteArray &suffix, const QByteArray &unit)
{
    if (!suffix.endsWith(unit))
        return std::nullopt;
    const QByteArray multiplier = suffix.left(suffix.size() - unit.size());
    if (multiplier.isEmpty())
        return 1.0;
    if (multiplier == "K")
        return 1e3;
    if (multiplier == "M")
        return 1e-3;
    if (multiplier == "U")
        return 1e-6;
    if (multiplier == "N")
        return 1e-9;
    if (multiplier == "P")
        return 1e-12;
    return std::nullopt;
}

} // namespace scpi
