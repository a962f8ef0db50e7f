// SPDX-License-Identifier: MIT
#pragma once

// What a chart needs of a surface: QPainter draws it into PNG and PDF, and
// SvgCanvas writes SVG itself, so no program needs QtSvg or widgets for it.
// Text is measured with Qt's font metrics either way (needs a QGuiApplication).

#include <QColor>
#include <QRectF>
#include <QString>
#include <QVector>
#include <QXmlStreamWriter>

class QPainter;
class QIODevice;

namespace report {

struct TextStyle
{
    int pixels = 13;
    bool bold = false;
    QColor colour = Qt::black;
};

class Canvas
{
public:
    virtual ~Canvas() = default;
    virtual void fill(const QRectF &rect, const QColor &colour) = 0;
    virtual void frame(const QRectF &rect, const QColor &colour, double width) = 0;
    virtual void line(const QPointF &from, const QPointF &to, const QColor &colour, double width, bool dashed) = 0;
    virtual void polyline(const QVector<QPointF> &points, const QColor &colour, double width) = 0;
    virtual void dot(const QPointF &centre, double radius, const QColor &stroke, const QColor &fill) = 0;
    // Text aligned in a box, or turned a quarter left around its centre.
    virtual void text(const QRectF &box, Qt::Alignment alignment, const QString &text, const TextStyle &style) = 0;
    virtual void upwardText(const QPointF &centre, const QString &text, const TextStyle &style) = 0;
    virtual void clipTo(const QRectF &rect) = 0;
    virtual void unclip() = 0;

    static QSizeF textSize(const QString &text, const TextStyle &style);
};

class PainterCanvas : public Canvas
{
public:
    explicit PainterCanvas(QPainter &painter);
    void fill(const QRectF &rect, const QColor &colour) override;
    void frame(const QRectF &rect, const QColor &colour, double width) override;
    void line(const QPointF &from, const QPointF &to, const QColor &colour, double width, bool dashed) override;
    void polyline(const QVector<QPointF> &points, const QColor &colour, double width) override;
    void dot(const QPointF &centre, double radius, const QColor &stroke, const QColor &fill) override;
    void text(const QRectF &box, Qt::Alignment alignment, const QString &text, const TextStyle &style) override;
    void upwardText(const QPointF &centre, const QString &text, const TextStyle &style) override;
    void clipTo(const QRectF &rect) override;
    void unclip() override;

private:
    QPainter &painter;
};

class SvgCanvas : public Canvas
{
public:
    SvgCanvas(QIODevice *device, const QSizeF &size, const QString &title);
    ~SvgCanvas() override;
    void fill(const QRectF &rect, const QColor &colour) override;
    void frame(const QRectF &rect, const QColor &colour, double width) override;
    void line(const QPointF &from, const QPointF &to, const QColor &colour, double width, bool dashed) override;
    void polyline(const QVector<QPointF> &points, const QColor &colour, double width) override;
    void dot(const QPointF &centre, double radius, const QColor &stroke, const QColor &fill) override;
    void text(const QRectF &box, Qt::Alignment alignment, const QString &text, const TextStyle &style) override;
    void upwardText(const QPointF &centre, const QString &text, const TextStyle &style) override;
    void clipTo(const QRectF &rect) override;
    void unclip() override;
    bool finish(); // false when the device would not take it

private:
    void textElement(double x, double baseline, const QString &anchor, const QString &text, const TextStyle &style,
                     const QString &transform = QString());
    QXmlStreamWriter xml;
    int clips = 0;
    bool clipped = false;
};

} // namespace report
