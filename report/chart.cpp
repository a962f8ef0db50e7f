// SPDX-License-Identifier: MIT
#include "report/chart.h"

#include "report/canvas.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImage>
#include <QPageLayout>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

namespace report {

namespace {

const QColor paper(250, 250, 248);
const QColor ink(40, 44, 52);
const QColor faint(110, 116, 128);
const QColor gridColour(222, 225, 230);
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

// The x axis in its unit: x / perUnit is placed on `axis`.
struct Scale
{
    Axis axis;
    double perUnit;
    QString title;
};

// Fitted to the readings: from the first (0 ms) to the last, in a unit that suits the span.
Scale timeScale(double lastMs)
{
    const double seconds = lastMs / 1000.0;
    const double perUnit = seconds < 2 ? 1 : seconds <= 180 ? 1000 : seconds <= 3 * 3600 ? 60000 : 3600000;
    const QString unit = perUnit == 1 ? QStringLiteral("ms") : perUnit == 1000 ? QStringLiteral("s")
                         : perUnit == 60000                  ? QStringLiteral("min")
                                                              : QStringLiteral("h");
    const double span = lastMs / perUnit;
    return {niceAxis(0, span > 0 ? span : 1000.0 / perUnit, 10), perUnit, QStringLiteral("Time (%1)").arg(unit)};
}

// From the lowest number to the highest; a single one in the middle.
Scale numberScale(double low, double high, const XAxis &x)
{
    if (high <= low) {
        low -= 1;
        high += 1;
    }
    Axis axis = niceAxis(low, high, 10);
    if (x.wholeNumbers && axis.step < 1)
        axis = {std::floor(low), std::ceil(high), 1, 0};
    return {axis, 1, x.title};
}

Scale scaleOf(const Chart &chart)
{
    double low = 0;
    double high = 0;
    bool any = false;
    for (const Panel &panel : chart.panels)
        for (const Series &series : panel.series)
            for (const Point &point : series.points) {
                low = any ? std::min(low, point.x) : point.x;
                high = any ? std::max(high, point.x) : point.x;
                any = true;
            }
    if (chart.x.kind == XAxis::Time)
        return timeScale(std::max(0.0, high));
    return numberScale(low, high, chart.x);
}

struct Area
{
    QRectF rect;
    Axis y;
};

double xOf(const Area &area, const Scale &scale, double x)
{
    const Axis &axis = scale.axis;
    return area.rect.left() + (x / scale.perUnit - axis.from) / (axis.to - axis.from) * area.rect.width();
}

double yOf(const Area &area, double y)
{
    return area.rect.bottom() - (y - area.y.from) / (area.y.to - area.y.from) * area.rect.height();
}

Axis levelAxis(const Panel &panel)
{
    double low = 0;
    double high = 0;
    bool any = false;
    const auto take = [&](double y) {
        low = any ? std::min(low, y) : y;
        high = any ? std::max(high, y) : y;
        any = true;
    };
    for (const Series &series : panel.series)
        for (const Point &point : series.points)
            take(point.y);
    for (const LimitLine &limit : panel.limits)
        take(limit.y);
    const double padding = std::max(0.05, (high - low) * 0.08);
    return niceAxis(low - padding, high + padding, 6);
}

void drawAxes(Canvas &canvas, const Area &area, const Panel &panel, const Scale &scale, bool xLabels)
{
    const TextStyle tick{13, false, faint};
    canvas.fill(area.rect, Qt::white);
    const Axis &y = area.y;
    for (double v = y.from; v <= y.to + y.step / 2; v += y.step) {
        const double at = yOf(area, v);
        canvas.line({area.rect.left(), at}, {area.rect.right(), at}, gridColour, 1, false);
        canvas.text(QRectF(area.rect.left() - 84, at - 10, 76, 20), Qt::AlignRight | Qt::AlignVCenter,
                    QString::number(std::fabs(v) < y.step / 2 ? 0.0 : v, 'f', y.decimals), tick);
    }
    const Axis &x = scale.axis;
    for (double t = x.from; t <= x.to + x.step / 2; t += x.step) {
        const double at = xOf(area, scale, t * scale.perUnit);
        canvas.line({at, area.rect.top()}, {at, area.rect.bottom()}, gridColour, 1, false);
        if (xLabels)
            canvas.text(QRectF(at - 40, area.rect.bottom() + 6, 80, 20), Qt::AlignHCenter | Qt::AlignTop,
                        QString::number(t, 'f', x.decimals), tick);
    }
    canvas.upwardText({area.rect.left() - 72, area.rect.center().y()}, panel.axisTitle, TextStyle{15, false, ink});
}

// Dashed across the panel, labelled in the right margin, where no reading goes.
void drawLimits(Canvas &canvas, const Area &area, const Panel &panel)
{
    const QVector<LimitLine> &limits = panel.limits;
    if (panel.passBand && limits.size() == 2) {
        const double top = yOf(area, std::max(limits.at(0).y, limits.at(1).y));
        const double bottom = yOf(area, std::min(limits.at(0).y, limits.at(1).y));
        canvas.fill(QRectF(area.rect.left(), top, area.rect.width(), bottom - top), QColor(40, 160, 70, 22));
    }
    const TextStyle label{13, false, failColour};
    double previous = -1e9;
    QVector<LimitLine> sorted = limits;
    std::sort(sorted.begin(), sorted.end(), [](const LimitLine &a, const LimitLine &b) { return a.y > b.y; });
    for (const LimitLine &limit : sorted) {
        const double at = yOf(area, limit.y);
        canvas.line({area.rect.left(), at}, {area.rect.right(), at}, failColour, 1.5, true);
        const double labelAt = std::max(at, previous + 18);
        previous = labelAt;
        canvas.text(QRectF(area.rect.right() + 8, labelAt - 10, 200, 20), Qt::AlignLeft | Qt::AlignVCenter,
                    limit.label, label);
    }
}

void drawSeries(Canvas &canvas, const Area &area, const Scale &scale, const Series &series)
{
    const QVector<Point> &points = series.points;
    QVector<QPointF> line;
    line.reserve(points.size());
    for (const Point &point : points)
        line << QPointF(xOf(area, scale, point.x), yOf(area, point.y));
    if (series.joined && line.size() > 1)
        canvas.polyline(line, series.colour, 2);
    // Markers while they can be told apart, and smaller beyond; failed
    // points always. Points with no line through them are nothing else.
    const bool markers = !series.joined || points.size() <= 200;
    const double radius = points.size() <= 200 ? 3.5 : 2.2;
    for (int i = 0; i < points.size(); ++i) {
        const bool failed = points.at(i).failed;
        if (markers || failed)
            canvas.dot(line.at(i), failed ? 3.5 : radius, failed ? failColour : series.colour,
                       failed ? failColour : QColor(Qt::white));
    }
}

void drawPanel(Canvas &canvas, const Area &area, const Panel &panel, const Scale &scale, bool xLabels)
{
    drawAxes(canvas, area, panel, scale, xLabels);
    drawLimits(canvas, area, panel);
    canvas.clipTo(area.rect.adjusted(-5, -5, 5, 5));
    for (const Series &series : panel.series)
        drawSeries(canvas, area, scale, series);
    canvas.unclip();
    canvas.frame(area.rect, ink, 1.2);
}

// Right-aligned on the title's line, once a panel holds more than one series.
void drawLegend(Canvas &canvas, const Chart &chart, double right)
{
    QVector<const Series *> named;
    bool several = false;
    for (const Panel &panel : chart.panels) {
        several = several || panel.series.size() > 1;
        for (const Series &series : panel.series)
            if (!series.name.isEmpty())
                named << &series;
    }
    if (!several)
        return;
    const TextStyle style{14, false, ink};
    double x = right;
    for (int i = named.size() - 1; i >= 0; --i) {
        const double width = Canvas::textSize(named.at(i)->name, style).width() + 4;
        x -= width;
        canvas.text(QRectF(x, 18, width, 30), Qt::AlignLeft | Qt::AlignVCenter, named.at(i)->name, style);
        canvas.line({x - 30, 33}, {x - 8, 33}, named.at(i)->colour, 2, false);
        canvas.dot({x - 19, 33}, 3.5, named.at(i)->colour, QColor(Qt::white));
        x -= 30 + 18;
    }
}

} // namespace

void drawChart(Canvas &canvas, const Chart &chart)
{
    const QRectF page(QPointF(0, 0), QSizeF(chartSize));
    canvas.fill(page, paper);
    const QRectF area(page.left() + 100, page.top() + 92, page.width() - 100 - 170, page.height() - 92 - 78);
    const double width = page.width() - area.left() - 24;
    canvas.text(QRectF(area.left(), 18, width, 30), Qt::AlignLeft | Qt::AlignVCenter, chart.title,
                TextStyle{22, true, ink});
    drawLegend(canvas, chart, area.left() + width);
    canvas.text(QRectF(area.left(), 52, width, 22), Qt::AlignLeft | Qt::AlignVCenter,
                chart.facts.join(QStringLiteral("   ·   ")), TextStyle{14, false, faint});

    const Scale scale = scaleOf(chart);
    const int count = chart.panels.size();
    const double gap = 28;
    const double height = (area.height() - gap * (count - 1)) / std::max<int>(1, count);
    for (int i = 0; i < count; ++i) {
        const Panel &panel = chart.panels.at(i);
        const Area panelArea{QRectF(area.left(), area.top() + i * (height + gap), area.width(), height),
                             levelAxis(panel)};
        drawPanel(canvas, panelArea, panel, scale, i == count - 1);
    }
    canvas.text(QRectF(area.left(), area.bottom() + 34, area.width(), 24), Qt::AlignHCenter | Qt::AlignTop,
                scale.title, TextStyle{15, false, ink});
}

namespace {

bool commit(QSaveFile &file, QString *error)
{
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace

QColor seriesColour(int index)
{
    static const QColor colours[] = {QColor(22, 82, 160), QColor(170, 90, 10), QColor(30, 130, 90),
                                     QColor(120, 60, 160), QColor(90, 90, 90)};
    return colours[std::abs(index) % int(sizeof colours / sizeof *colours)];
}

QByteArray chartSvg(const Chart &chart)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    SvgCanvas canvas(&buffer, QSizeF(chartSize), chart.title);
    drawChart(canvas, chart);
    canvas.finish();
    return bytes;
}

bool writeChart(const QString &fileName, const Chart &chart, QString *error)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("svg")) {
        SvgCanvas canvas(&file, QSizeF(chartSize), chart.title);
        drawChart(canvas, chart);
        if (!canvas.finish()) {
            *error = file.errorString();
            return false;
        }
    } else if (suffix == QLatin1String("pdf")) {
        QPdfWriter writer(&file);
        writer.setTitle(chart.title);
        writer.setCreator(chart.creator);
        // A page the chart's shape, 1 px = 1/96 in, as browsers take a pixel to be.
        writer.setPageLayout(QPageLayout(QPageSize(QSizeF(chartSize) * 72.0 / 96.0, QPageSize::Point),
                                         QPageLayout::Portrait, QMarginsF()));
        writer.setResolution(96);
        QPainter painter(&writer);
        PainterCanvas canvas(painter);
        drawChart(canvas, chart);
        if (!painter.end()) {
            *error = QStringLiteral("the PDF could not be drawn");
            return false;
        }
    } else {
        QImage image(chartSize, QImage::Format_ARGB32_Premultiplied);
        {
            QPainter painter(&image);
            PainterCanvas canvas(painter);
            drawChart(canvas, chart);
        }
        if (!image.save(&file, "PNG")) {
            *error = file.errorString().isEmpty() ? QStringLiteral("the PNG could not be encoded") : file.errorString();
            return false;
        }
    }
    return commit(file, error);
}

} // namespace report
