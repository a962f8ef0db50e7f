// SPDX-License-Identifier: MIT
#include "job/jobdata.h"

#include <QRegularExpression>

#include <algorithm>

namespace job {

QString directionName(Direction direction)
{
    return direction == Direction::AToB ? QStringLiteral("A-B") : QStringLiteral("B-A");
}

std::optional<Direction> directionFrom(const QString &text)
{
    if (text == QLatin1String("A-B"))
        return Direction::AToB;
    if (text == QLatin1String("B-A"))
        return Direction::BToA;
    return std::nullopt;
}

QString methodName(Method method)
{
    switch (method) {
    case Method::OneCord:
        return QStringLiteral("1-cord");
    case Method::TwoCord:
        return QStringLiteral("2-cord");
    case Method::ThreeCord:
        break;
    }
    return QStringLiteral("3-cord");
}

std::optional<Method> methodFrom(const QString &text)
{
    for (Method method : {Method::OneCord, Method::TwoCord, Method::ThreeCord})
        if (text == methodName(method))
            return method;
    return std::nullopt;
}

std::optional<QVector<int>> fibresFrom(const QString &text, QString *error)
{
    static const QRegularExpression item(QStringLiteral("^\\s*(\\d{1,9})\\s*(?:-\\s*(\\d{1,9})\\s*)?$"));
    const QString expected = QStringLiteral("expected fibre numbers from 1 to %1 and ranges, separated by commas, "
                                            "e.g. 1-48 or 1-12,25-36")
                                 .arg(maxFibre);
    QVector<int> fibres;
    for (const QString &part : text.split(QLatin1Char(','))) {
        const QRegularExpressionMatch match = item.match(part);
        if (!match.hasMatch()) {
            *error = QStringLiteral("'%1' is not a fibre or a range: %2").arg(part.trimmed(), expected);
            return std::nullopt;
        }
        const int first = match.captured(1).toInt();
        const int last = match.captured(2).isEmpty() ? first : match.captured(2).toInt();
        if (first < 1 || last > maxFibre || first > last) {
            *error = QStringLiteral("'%1': %2").arg(part.trimmed(), expected);
            return std::nullopt;
        }
        for (int fibre = first; fibre <= last; ++fibre)
            fibres << fibre;
    }
    std::sort(fibres.begin(), fibres.end());
    const auto twice = std::adjacent_find(fibres.begin(), fibres.end());
    if (twice != fibres.end()) {
        *error = QStringLiteral("fibre %1 is listed twice in '%2'").arg(*twice).arg(text);
        return std::nullopt;
    }
    return fibres;
}

QString fibresText(const QVector<int> &fibres)
{
    QStringList ranges;
    for (int i = 0; i < fibres.size();) {
        int j = i;
        while (j + 1 < fibres.size() && fibres.at(j + 1) == fibres.at(j) + 1)
            ++j;
        ranges << (i == j ? QString::number(fibres.at(i))
                          : QStringLiteral("%1-%2").arg(fibres.at(i)).arg(fibres.at(j)));
        i = j + 1;
    }
    return ranges.join(QLatin1Char(','));
}

QString problemWith(const JobDefinition &definition)
{
    if (definition.cable.trimmed().isEmpty())
        return QStringLiteral("the job needs a cable ID");
    if (definition.fibres.isEmpty())
        return QStringLiteral("the job needs at least one fibre");
    if (definition.wavelengths.isEmpty())
        return QStringLiteral("the job needs at least one wavelength");
    for (int i = 0; i < definition.wavelengths.size(); ++i) {
        const quint16 nm = definition.wavelengths.at(i);
        if (definition.wavelengths.indexOf(nm) != i)
            return QStringLiteral("%1 nm is listed twice").arg(nm);
        if (!definition.budget.at(nm))
            return QStringLiteral("the budget gives no limit at %1 nm").arg(nm);
    }
    for (int i = 1; i < definition.fibres.size(); ++i)
        if (definition.fibres.at(i) <= definition.fibres.at(i - 1))
            return QStringLiteral("the fibres must be listed once each, in ascending order");
    return QString();
}

QString timeText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

} // namespace job
