// SPDX-License-Identifier: MIT
#pragma once

// A chart of series against time or against a plain number (a fibre, say):
// one panel per unit, stacked, each with its own axis and labelled limit
// lines. PNG and PDF through QPainter, SVG written directly. Text needs a
// QGuiApplication.

#include <QColor>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVector>

namespace report {

struct Point
{
    double x; // ms on a time axis, else the number itself
    double y; // in the panel's unit
    bool failed = false; // marked whatever the series' size
};

struct Series
{
    QString name; // in the legend, shown when a panel has more than one series
    QVector<Point> points;
    QColor colour;
    bool joined = true; // a line through the points, in their order
};

struct LimitLine
{
    double y;
    QString label; // in the right margin
};

struct Panel
{
    QString axisTitle; // e.g. "Optical power (dBm)"
    QVector<Series> series;
    QVector<LimitLine> limits;
    bool passBand = false; // the area between two limit lines is where a value passes
};

struct XAxis
{
    enum Kind { Time, Number } kind = Time;
    QString title;   // Number: e.g. "Fibre"; Time: "Time (s)", its unit fitted to the span
    bool wholeNumbers = true; // Number: ticks on whole numbers only
};

struct Chart
{
    QString title;
    QStringList facts; // one line under the title
    XAxis x;
    QVector<Panel> panels; // top to bottom; the last one carries the x labels
    QString creator;       // PDF metadata
};

constexpr QSize chartSize(1200, 700);

// The palette series are drawn in, by index: blue, orange, then others.
QColor seriesColour(int index);

// By the file's extension: .png, .svg or .pdf; written whole or not at all.
// False with a reason on failure.
bool writeChart(const QString &fileName, const Chart &chart, QString *error);

class Canvas;
// Onto any canvas, in chartSize pixels: a page of a larger document, say.
void drawChart(Canvas &canvas, const Chart &chart);
// The chart as an SVG document, e.g. to go inside an HTML page.
QByteArray chartSvg(const Chart &chart);

} // namespace report
