// SPDX-License-Identifier: MIT
#include "cli/plot.h"

#include "cli/canvas.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImage>
#include <QPageLayout>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

namespace cli {

namespace {

const QColor paper(250, 250, 248);
const QColor ink(40, 44, 52);
const QColor faint(110, 116, 128);
const QColor gridColour(222, 225, 230);
const QColor traceColours[2] = {QColor(22, 82, 160), QColor(170, 90, 10)};
const QColor failColour(200, 30, 30);

struct Axis
{
    double from;
    double to;
    double step;
    int decimals;
};

// Round steps of 1, 2 or 5 times a power of ten, about `ticks` of them.
Axis niceAxis(double low, double high, int ticks)
{
    const double raw = (high - low) / ticks;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double normalised = raw / magnitude;
    const double step = (normalised < 1.5 ? 1 : normalised < 3 ? 2 : normalised < 7 ? 5 : 10) * magnitude;
    const int decimals = std::max(0, int(-std::floor(std::log10(step) + 1e-9)));
    return {std::floor(low / step + 1e-9) * step, std::ceil(high / step - 1e-9) * step, step, decimals};
}

struct TimeAxis
{
    Axis axis;
    double msPerUnit;
    QString unit;
};

// Fitted to the readings: from the first to the last, in a unit that suits the span.
TimeAxis timeAxis(qint64 lastMs)
{
    const double seconds = lastMs / 1000.0;
    const double perUnit = seconds < 2 ? 1 : seconds <= 180 ? 1000 : seconds <= 3 * 3600 ? 60000 : 3600000;
    const QString unit = perUnit == 1 ? QStringLiteral("ms") : perUnit == 1000 ? QStringLiteral("s")
                         : perUnit == 60000                  ? QStringLiteral("min")
                                                              : QStringLiteral("h");
    const double span = lastMs / perUnit;
    return {niceAxis(0, span > 0 ? span : 1000.0 / perUnit, 10), perUnit, unit};
}

struct Level
{
    double hundredths;
    QString label;
};

// The limits as levels on a unit's axis: limits on the loss become
// reference - limit on the dBm axis, a budget on dB readings -budget.
QVector<Level> limitLevels(const PlotInfo &info, bool decibel, quint16 wavelengthNm)
{
    QVector<Level> levels;
    const QString unit = decibel ? QStringLiteral("dB") : QStringLiteral("dBm");
    const bool onLoss = !decibel && info.reference;
    if (info.limits) {
        const auto add = [&](const std::optional<double> &limit, const QString &which) {
            if (!limit)
                return;
            if (onLoss)
                levels.append({*info.reference - *limit,
                               QStringLiteral("%1 loss %2 dB").arg(which, hundredthsText(*limit))});
            else
                levels.append({*limit, QStringLiteral("%1 %2 %3").arg(which, hundredthsText(*limit), unit)});
        };
        add(info.limits->low, QStringLiteral("min"));
        add(info.limits->high, QStringLiteral("max"));
    }
    if (info.maxLoss) {
        if (const std::optional<double> budget = info.maxLoss->at(wavelengthNm)) {
            const QString label = QStringLiteral("max loss %1 dB").arg(hundredthsText(*budget));
            if (decibel)
                levels.append({-*budget, label});
            else if (info.reference)
                levels.append({*info.reference - *budget, label});
        }
    }
    return levels;
}

struct Panel
{
    QRectF area;
    bool decibel;
    Axis y;
};

double xOf(const Panel &panel, const TimeAxis &time, double ms)
{
    const Axis &x = time.axis;
    return panel.area.left() + (ms / time.msPerUnit - x.from) / (x.to - x.from) * panel.area.width();
}

double yOf(const Panel &panel, double hundredths)
{
    return panel.area.bottom() - (hundredths / 100.0 - panel.y.from) / (panel.y.to - panel.y.from) * panel.area.height();
}

Axis levelAxis(const ChartData &data, bool decibel, const QVector<Level> &limits)
{
    const ReadingStats &stats = data.stats(decibel);
    double low = stats.min() / 100.0;
    double high = stats.max() / 100.0;
    for (const Level &level : limits) {
        low = std::min(low, level.hundredths / 100.0);
        high = std::max(high, level.hundredths / 100.0);
    }
    const double padding = std::max(0.05, (high - low) * 0.08);
    return niceAxis(low - padding, high + padding, 6);
}

void drawAxes(Canvas &canvas, const Panel &panel, const TimeAxis &time, bool timeLabels)
{
    const TextStyle tick{13, false, faint};
    canvas.fill(panel.area, Qt::white);
    const Axis &y = panel.y;
    for (double v = y.from; v <= y.to + y.step / 2; v += y.step) {
        const double at = yOf(panel, v * 100);
        canvas.line({panel.area.left(), at}, {panel.area.right(), at}, gridColour, 1, false);
        canvas.text(QRectF(panel.area.left() - 84, at - 10, 76, 20), Qt::AlignRight | Qt::AlignVCenter,
                    QString::number(std::fabs(v) < y.step / 2 ? 0.0 : v, 'f', y.decimals), tick);
    }
    const Axis &x = time.axis;
    for (double t = x.from; t <= x.to + x.step / 2; t += x.step) {
        const double at = xOf(panel, time, t * time.msPerUnit);
        canvas.line({at, panel.area.top()}, {at, panel.area.bottom()}, gridColour, 1, false);
        if (timeLabels)
            canvas.text(QRectF(at - 40, panel.area.bottom() + 6, 80, 20), Qt::AlignHCenter | Qt::AlignTop,
                        QString::number(t, 'f', x.decimals), tick);
    }
    canvas.upwardText({panel.area.left() - 72, panel.area.center().y()},
                      panel.decibel ? QStringLiteral("Relative power (dB)") : QStringLiteral("Optical power (dBm)"),
                      TextStyle{15, false, ink});
}

// Dashed across the panel, labelled in the right margin, where no reading goes.
void drawLimits(Canvas &canvas, const Panel &panel, const QVector<Level> &limits)
{
    if (limits.size() == 2) {
        const double top = yOf(panel, std::max(limits.at(0).hundredths, limits.at(1).hundredths));
        const double bottom = yOf(panel, std::min(limits.at(0).hundredths, limits.at(1).hundredths));
        canvas.fill(QRectF(panel.area.left(), top, panel.area.width(), bottom - top), QColor(40, 160, 70, 22));
    }
    const TextStyle label{13, false, failColour};
    double previous = -1e9;
    QVector<Level> sorted = limits;
    std::sort(sorted.begin(), sorted.end(), [](const Level &a, const Level &b) { return a.hundredths > b.hundredths; });
    for (const Level &level : sorted) {
        const double at = yOf(panel, level.hundredths);
        canvas.line({panel.area.left(), at}, {panel.area.right(), at}, failColour, 1.5, true);
        const double labelAt = std::max(at, previous + 18);
        previous = labelAt;
        canvas.text(QRectF(panel.area.right() + 8, labelAt - 10, 200, 20), Qt::AlignLeft | Qt::AlignVCenter,
                    level.label, label);
    }
}

void drawTrace(Canvas &canvas, const Panel &panel, const TimeAxis &time, const QVector<ChartData::Point> &points)
{
    const QColor colour = traceColours[panel.decibel ? 1 : 0];
    QVector<QPointF> line;
    line.reserve(points.size());
    for (const ChartData::Point &point : points)
        line << QPointF(xOf(panel, time, point.ms), yOf(panel, point.hundredths));
    canvas.clipTo(panel.area.adjusted(-5, -5, 5, 5));
    if (line.size() > 1)
        canvas.polyline(line, colour, 2);
    // Markers while they can be told apart; failed readings always.
    const bool markers = points.size() <= 200;
    for (int i = 0; i < points.size(); ++i) {
        const bool failed = points.at(i).failed;
        if (markers || failed)
            canvas.dot(line.at(i), 3.5, failed ? failColour : colour, failed ? failColour : QColor(Qt::white));
    }
    canvas.unclip();
    canvas.frame(panel.area, ink, 1.2);
}

QString wavelengthsText(const QVector<quint16> &wavelengths)
{
    QStringList texts;
    for (quint16 nm : wavelengths)
        texts << QString::number(nm);
    return texts.join(QStringLiteral(", ")) + QStringLiteral(" nm");
}

QString title(const ChartData &data)
{
    return QStringLiteral("Optical power at ") + wavelengthsText(data.wavelengths());
}

void drawHeading(Canvas &canvas, const ChartData &data, const PlotInfo &info, double left, double width)
{
    canvas.text(QRectF(left, 18, width, 30), Qt::AlignLeft | Qt::AlignVCenter, title(data), TextStyle{22, true, ink});
    QStringList facts = {info.port, data.firstAt().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t")),
                         data.count() == 1 ? QStringLiteral("1 reading")
                                           : QStringLiteral("%1 readings").arg(data.count())};
    for (bool decibel : {false, true}) {
        const ReadingStats &stats = data.stats(decibel);
        if (stats.isEmpty())
            continue;
        const QString unit = decibel ? QStringLiteral("dB") : QStringLiteral("dBm");
        facts << QStringLiteral("mean %1 %2").arg(hundredthsText(stats.mean()), unit);
        if (stats.count() > 1)
            facts << QStringLiteral("std dev %1 dB").arg(hundredthsText(stats.deviation()));
    }
    if (info.reference)
        facts << QStringLiteral("reference %1 dBm").arg(hundredthsText(*info.reference));
    canvas.text(QRectF(left, 52, width, 22), Qt::AlignLeft | Qt::AlignVCenter, facts.join(QStringLiteral("   ·   ")),
                TextStyle{14, false, faint});
}

void drawChart(Canvas &canvas, const ChartData &data, const PlotInfo &info)
{
    const QRectF page(QPointF(0, 0), QSizeF(plotSize));
    canvas.fill(page, paper);
    const QRectF area(page.left() + 100, page.top() + 92, page.width() - 100 - 170, page.height() - 92 - 78);
    drawHeading(canvas, data, info, area.left(), page.width() - area.left() - 24);

    QVector<bool> units;
    for (bool decibel : {false, true})
        if (!data.points(decibel).isEmpty())
            units << decibel;
    const TimeAxis time = timeAxis(data.lastMs());
    const double gap = 28;
    const double height = (area.height() - gap * (units.size() - 1)) / std::max<int>(1, units.size());
    const quint16 firstNm = data.wavelengths().isEmpty() ? 0 : data.wavelengths().first();
    for (int i = 0; i < units.size(); ++i) {
        const QVector<Level> limits = limitLevels(info, units.at(i), firstNm);
        const Panel panel{QRectF(area.left(), area.top() + i * (height + gap), area.width(), height), units.at(i),
                          levelAxis(data, units.at(i), limits)};
        drawAxes(canvas, panel, time, i == units.size() - 1);
        drawLimits(canvas, panel, limits);
        drawTrace(canvas, panel, time, data.points(units.at(i)));
    }
    canvas.text(QRectF(area.left(), area.bottom() + 34, area.width(), 24), Qt::AlignHCenter | Qt::AlignTop,
                QStringLiteral("Time (%1)").arg(time.unit), TextStyle{15, false, ink});
}

bool commit(QSaveFile &file, QString *error)
{
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
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
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("svg")) {
        SvgCanvas canvas(&file, QSizeF(plotSize), title(data));
        drawChart(canvas, data, info);
        if (!canvas.finish()) {
            *error = file.errorString();
            return false;
        }
    } else if (suffix == QLatin1String("pdf")) {
        QPdfWriter writer(&file);
        writer.setTitle(title(data));
        writer.setCreator(QStringLiteral("zerak-cli"));
        // A page the chart's shape, 1 px = 1/96 in, as browsers take a pixel to be.
        writer.setPageLayout(QPageLayout(QPageSize(QSizeF(plotSize) * 72.0 / 96.0, QPageSize::Point),
                                         QPageLayout::Portrait, QMarginsF()));
        writer.setResolution(96);
        QPainter painter(&writer);
        PainterCanvas canvas(painter);
        drawChart(canvas, data, info);
        if (!painter.end()) {
            *error = QStringLiteral("the PDF could not be drawn");
            return false;
        }
    } else {
        QImage image(plotSize, QImage::Format_ARGB32_Premultiplied);
        {
            QPainter painter(&image);
            PainterCanvas canvas(painter);
            drawChart(canvas, data, info);
        }
        if (!image.save(&file, "PNG")) {
            *error = file.errorString().isEmpty() ? QStringLiteral("the PNG could not be encoded") : file.errorString();
            return false;
        }
    }
    return commit(file, error);
}

} // namespace cli
