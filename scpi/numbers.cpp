// SPDX-License-Identifier: MIT
#include "scpi/numbers.h"

#include <QString>

namespace scpi {

QByteArray nr3(double value)
{
    // Adding 0.0 turns -0 into 0: a reading of zero has no sign.
    const QByteArray text = QString::number(value + 0.0, 'E', 8).toLatin1();
    return text.startsWith('-') ? text : '+' + text;
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
