// SPDX-License-Identifier: MIT
#include "cli/plot.h"

#include "report/chart.h"

namespace cli {

namespace {

// The limits as levels on a unit's axis: limits on the loss become
// reference - limit on the dBm axis, a budget on dB readings -budget.
QVector<report::LimitLine> limitLevels(const PlotInfo &info, bool decibel, quint16 wavelengthNm)
{
    QVector<report::LimitLine> levels;
    const auto add = [&](double hundredths, const QString &label) { levels.append({hundredths / 100.0, label}); };
    const QString unit = session::unitOf(decibel);
    const bool onLoss = !decibel && info.reference;
    if (info.limits) {
        const auto addLimit = [&](const std::optional<double> &limit, const QString &which) {
            if (!limit)
                return;
            if (onLoss)
                add(*info.reference - *limit, QStringLiteral("%1 loss %2 dB").arg(which, hundredthsText(*limit)));
            else
                add(*limit, QStringLiteral("%1 %2 %3").arg(which, hundredthsText(*limit), unit));
        };
        addLimit(info.limits->low, QStringLiteral("min"));
        addLimit(info.limits->high, QStringLiteral("max"));
    }
    if (info.maxLoss) {
        if (const std::optional<double> budget = info.maxLoss->at(wavelengthNm)) {
            const QString label = QStringLiteral("max loss %1 dB").arg(hundredthsText(*budget));
            if (decibel)
                add(-*budget, label);
            else if (info.reference)
                add(*info.reference - *budget, label);
        }
    }
    return levels;
}

QString wavelengthsText(const QVector<quint16> &wavelengths)
{
    QStringList texts;
    for (quint16 nm : wavelengths)
        texts << QString::number(nm);
    return texts.join(QStringLiteral(", ")) + QStringLiteral(" nm");
}

QStringList facts(const ChartData &data, const PlotInfo &info)
{
    QStringList facts = {info.port, data.firstAt().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t")),
                         data.count() == 1 ? QStringLiteral("1 reading")
                                           : QStringLiteral("%1 readings").arg(data.count())};
    for (bool decibel : {false, true}) {
        const ReadingStats &stats = data.stats(decibel);
        if (stats.isEmpty())
            continue;
        const QString unit = session::unitOf(decibel);
        facts << QStringLiteral("mean %1 %2").arg(hundredthsText(stats.mean()), unit);
        if (stats.count() > 1)
            facts << QStringLiteral("std dev %1 dB").arg(hundredthsText(stats.deviation()));
    }
    if (info.reference)
        facts << QStringLiteral("reference %1 dBm").arg(hundredthsText(*info.reference));
    return facts;
}

} // namespace

void ChartData::add(const Reading &reading)
{
    if (count() == 0)
        first = reading.at;
    traces[reading.decibel ? 1 : 0].append({reading.elapsedMs, reading.hundredths, reading.pass == false});
    levels[reading.decibel ? 1 : 0].add(reading.hundredths);
    if (!seen.contains(reading.wavelengthNm))
        seen.append(reading.wavelengthNm);
    last = std::max(last, reading.elapsedMs);
}

bool writePlot(const QString &fileName, const ChartData &data, const PlotInfo &info, QString *error)
{
    report::Chart chart;
    chart.title = QStringLiteral("Optical power at ") + wavelengthsText(data.wavelengths());
    chart.facts = facts(data, info);
    chart.creator = QStringLiteral("zerak-cli");
    const quint16 firstNm = data.wavelengths().isEmpty() ? 0 : data.wavelengths().first();
    for (bool decibel : {false, true}) {
        const QVector<ChartData::Point> &points = data.points(decibel);
        if (points.isEmpty())
            continue;
        report::Series series;
        series.colour = report::seriesColour(decibel ? 1 : 0);
        series.points.reserve(points.size());
        for (const ChartData::Point &point : points)
            series.points.append({double(point.ms), point.hundredths / 100.0, point.failed});
        report::Panel panel;
        panel.axisTitle = decibel ? QStringLiteral("Relative power (dB)") : QStringLiteral("Optical power (dBm)");
        panel.series << series;
        panel.limits = limitLevels(info, decibel, firstNm);
        panel.passBand = panel.limits.size() == 2;
        chart.panels << panel;
    }
    return report::writeChart(fileName, chart, error);
}

} // namespace cli
