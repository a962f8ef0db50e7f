// SPDX-License-Identifier: MIT
#include "scpi/numbers.h"

#include <QByteArray>

namespace scpi {

QByteArray nr3(double value)
{
    // Adding 0.0 turns -0 into 0: a reading of zero has no sign. Not the C
    // library's printf: Qt sets the user's locale, whose decimal point may
    // be a comma. Formatted as bytes, with no QString on a reply's way.
    const QByteArray text = QByteArray::number(value + 0.0, 'E', 8);
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
