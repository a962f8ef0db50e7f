// SPDX-License-Identifier: MIT
#include "session/values.h"

#include <QRegularExpression>

#include <cmath>

namespace session {

bool Limits::contains(double value) const
{
    return (!low || value >= *low) && (!high || value <= *high);
}

std::optional<double> Budget::at(quint16 nanometres) const
{
    if (all)
        return all;
    if (byWavelength.contains(nanometres))
        return byWavelength.value(nanometres);
    return std::nullopt;
}

// Without going through a rounded binary fraction first.
std::optional<double> hundredths(const QString &text)
{
    static const QRegularExpression decimal(QStringLiteral("^\\s*([+-]?)(\\d*)(?:\\.(\\d*))?\\s*$"));
    const QRegularExpressionMatch match = decimal.match(text);
    if (!match.hasMatch() || (match.captured(2).isEmpty() && match.captured(3).isEmpty()))
        return std::nullopt;
    const QString digits = match.captured(2) + match.captured(3);
    if (digits.size() > 15)
        return std::nullopt;
    const double mantissa = digits.toDouble();
    const int decimals = match.captured(3).size();
    double value = decimals <= 2 ? mantissa * std::pow(10.0, 2 - decimals) : mantissa / std::pow(10.0, decimals - 2);
    if (match.captured(1) == QLatin1String("-"))
        value = -value;
    if (std::fabs(value) > 100000.0)
        return std::nullopt;
    return value;
}

QString hundredthsText(double hundredths)
{
    const QString text = QString::number(std::round(hundredths) / 100.0, 'f', 2);
    return text == QLatin1String("-0.00") ? QStringLiteral("0.00") : text;
}

} // namespace session
