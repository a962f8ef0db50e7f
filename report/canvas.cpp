// SPDX-License-Identifier: MIT
#include "report/canvas.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QIODevice>
#include <QPainter>

namespace report {

namespace {

QFont fontOf(const TextStyle &style)
{
    QFont font = QGuiApplication::font();
    font.setPixelSize(style.pixels);
    font.setBold(style.bold);
    return font;
}

QString number(double value)
{
    return QString::number(value, 'f', 2);
}

QString colourText(const QColor &colour)
{
    return colour.name(QColor::HexRgb);
}

} // namespace

QSizeF Canvas::textSize(const QString &text, const TextStyle &style)
{
    const QFontMetricsF metrics(fontOf(style));
    return {metrics.horizontalAdvance(text), metrics.height()};
}

PainterCanvas::PainterCanvas(QPainter &painter) : painter(painter)
{
    painter.setRenderHint(QPainter::Antialiasing);
}

void PainterCanvas::fill(const QRectF &rect, const QColor &colour)
{
    painter.fillRect(rect, colour);
}

void PainterCanvas::frame(const QRectF &rect, const QColor &colour, double width)
{
    painter.setPen(QPen(colour, width));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect);
}

void PainterCanvas::line(const QPointF &from, const QPointF &to, const QColor &colour, double width, bool dashed)
{
    painter.setPen(QPen(colour, width, dashed ? Qt::DashLine : Qt::SolidLine));
    painter.drawLine(from, to);
}

void PainterCanvas::polyline(const QVector<QPointF> &points, const QColor &colour, double width)
{
    painter.setPen(QPen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPolyline(points.constData(), points.size());
}

void PainterCanvas::dot(const QPointF &centre, double radius, const QColor &stroke, const QColor &fill)
{
    painter.setPen(QPen(stroke, 1.5));
    painter.setBrush(fill);
    painter.drawEllipse(centre, radius, radius);
}

void PainterCanvas::text(const QRectF &box, Qt::Alignment alignment, const QString &text, const TextStyle &style)
{
    painter.setFont(fontOf(style));
    painter.setPen(style.colour);
    painter.drawText(box, int(alignment), text);
}

void PainterCanvas::upwardText(const QPointF &centre, const QString &text, const TextStyle &style)
{
    painter.save();
    painter.translate(centre);
    painter.rotate(-90);
    const QSizeF size = textSize(text, style);
    this->text(QRectF(-size.width() / 2 - 2, -size.height() / 2, size.width() + 4, size.height()), Qt::AlignCenter,
               text, style);
    painter.restore();
}

void PainterCanvas::clipTo(const QRectF &rect)
{
    painter.save();
    painter.setClipRect(rect);
}

void PainterCanvas::unclip()
{
    painter.restore();
}

SvgCanvas::SvgCanvas(QIODevice *device, const QSizeF &size, const QString &title) : xml(device)
{
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("svg"));
    xml.writeDefaultNamespace(QStringLiteral("http://www.w3.org/2000/svg"));
    xml.writeAttribute(QStringLiteral("width"), QString::number(size.width()));
    xml.writeAttribute(QStringLiteral("height"), QString::number(size.height()));
    xml.writeAttribute(QStringLiteral("viewBox"), QStringLiteral("0 0 %1 %2").arg(size.width()).arg(size.height()));
    xml.writeTextElement(QStringLiteral("title"), title);
}

SvgCanvas::~SvgCanvas() = default;

bool SvgCanvas::finish()
{
    unclip();
    xml.writeEndElement();
    xml.writeEndDocument();
    return !xml.hasError();
}

void SvgCanvas::fill(const QRectF &rect, const QColor &colour)
{
    xml.writeEmptyElement(QStringLiteral("rect"));
    xml.writeAttribute(QStringLiteral("x"), number(rect.x()));
    xml.writeAttribute(QStringLiteral("y"), number(rect.y()));
    xml.writeAttribute(QStringLiteral("width"), number(rect.width()));
    xml.writeAttribute(QStringLiteral("height"), number(rect.height()));
    xml.writeAttribute(QStringLiteral("fill"), colourText(colour));
    if (colour.alpha() < 255)
        xml.writeAttribute(QStringLiteral("fill-opacity"), QString::number(colour.alphaF(), 'f', 3));
}

void SvgCanvas::frame(const QRectF &rect, const QColor &colour, double width)
{
    xml.writeEmptyElement(QStringLiteral("rect"));
    xml.writeAttribute(QStringLiteral("x"), number(rect.x()));
    xml.writeAttribute(QStringLiteral("y"), number(rect.y()));
    xml.writeAttribute(QStringLiteral("width"), number(rect.width()));
    xml.writeAttribute(QStringLiteral("height"), number(rect.height()));
    xml.writeAttribute(QStringLiteral("fill"), QStringLiteral("none"));
    xml.writeAttribute(QStringLiteral("stroke"), colourText(colour));
    xml.writeAttribute(QStringLiteral("stroke-width"), number(width));
}

void SvgCanvas::line(const QPointF &from, const QPointF &to, const QColor &colour, double width, bool dashed)
{
    xml.writeEmptyElement(QStringLiteral("line"));
    xml.writeAttribute(QStringLiteral("x1"), number(from.x()));
    xml.writeAttribute(QStringLiteral("y1"), number(from.y()));
    xml.writeAttribute(QStringLiteral("x2"), number(to.x()));
    xml.writeAttribute(QStringLiteral("y2"), number(to.y()));
    xml.writeAttribute(QStringLiteral("stroke"), colourText(colour));
    xml.writeAttribute(QStringLiteral("stroke-width"), number(width));
    if (dashed)
        xml.writeAttribute(QStringLiteral("stroke-dasharray"), QStringLiteral("6 4"));
}

void SvgCanvas::polyline(const QVector<QPointF> &points, const QColor &colour, double width)
{
    QString list;
    list.reserve(points.size() * 16);
    for (const QPointF &point : points)
        list += number(point.x()) + QLatin1Char(',') + number(point.y()) + QLatin1Char(' ');
    xml.writeEmptyElement(QStringLiteral("polyline"));
    xml.writeAttribute(QStringLiteral("points"), list.trimmed());
    xml.writeAttribute(QStringLiteral("fill"), QStringLiteral("none"));
    xml.writeAttribute(QStringLiteral("stroke"), colourText(colour));
    xml.writeAttribute(QStringLiteral("stroke-width"), number(width));
    xml.writeAttribute(QStringLiteral("stroke-linejoin"), QStringLiteral("round"));
    xml.writeAttribute(QStringLiteral("stroke-linecap"), QStringLiteral("round"));
}

void SvgCanvas::dot(const QPointF &centre, double radius, const QColor &stroke, const QColor &fill)
{
    xml.writeEmptyElement(QStringLiteral("circle"));
    xml.writeAttribute(QStringLiteral("cx"), number(centre.x()));
    xml.writeAttribute(QStringLiteral("cy"), number(centre.y()));
    xml.writeAttribute(QStringLiteral("r"), number(radius));
    xml.writeAttribute(QStringLiteral("fill"), colourText(fill));
    xml.writeAttribute(QStringLiteral("stroke"), colourText(stroke));
    xml.writeAttribute(QStringLiteral("stroke-width"), QStringLiteral("1.5"));
}

void SvgCanvas::textElement(double x, double baseline, const QString &anchor, const QString &text,
                            const TextStyle &style, const QString &transform)
{
    xml.writeStartElement(QStringLiteral("text"));
    xml.writeAttribute(QStringLiteral("x"), number(x));
    xml.writeAttribute(QStringLiteral("y"), number(baseline));
    xml.writeAttribute(QStringLiteral("font-family"), QGuiApplication::font().family() + QStringLiteral(", sans-serif"));
    xml.writeAttribute(QStringLiteral("font-size"), QString::number(style.pixels));
    if (style.bold)
        xml.writeAttribute(QStringLiteral("font-weight"), QStringLiteral("bold"));
    xml.writeAttribute(QStringLiteral("fill"), colourText(style.colour));
    xml.writeAttribute(QStringLiteral("text-anchor"), anchor);
    if (!transform.isEmpty())
        xml.writeAttribute(QStringLiteral("transform"), transform);
    xml.writeCharacters(text);
    xml.writeEndElement();
}

void SvgCanvas::text(const QRectF &box, Qt::Alignment alignment, const QString &text, const TextStyle &style)
{
    const QFontMetricsF metrics(fontOf(style));
    double x = box.left();
    QString anchor = QStringLiteral("start");
    if (alignment & Qt::AlignHCenter) {
        x = box.center().x();
        anchor = QStringLiteral("middle");
    } else if (alignment & Qt::AlignRight) {
        x = box.right();
        anchor = QStringLiteral("end");
    }
    double baseline = box.center().y() + (metrics.ascent() - metrics.descent()) / 2;
    if (alignment & Qt::AlignTop)
        baseline = box.top() + metrics.ascent();
    else if (alignment & Qt::AlignBottom)
        baseline = box.bottom() - metrics.descent();
    textElement(x, baseline, anchor, text, style);
}

void SvgCanvas::upwardText(const QPointF &centre, const QString &text, const TextStyle &style)
{
    const QFontMetricsF metrics(fontOf(style));
    const double baseline = centre.y() + (metrics.ascent() - metrics.descent()) / 2;
    textElement(centre.x(), baseline, QStringLiteral("middle"), text, style,
                QStringLiteral("rotate(-90 %1 %2)").arg(number(centre.x()), number(centre.y())));
}

void SvgCanvas::clipTo(const QRectF &rect)
{
    const QString id = QStringLiteral("clip%1").arg(++clips);
    xml.writeStartElement(QStringLiteral("clipPath"));
    xml.writeAttribute(QStringLiteral("id"), id);
    xml.writeEmptyElement(QStringLiteral("rect"));
    xml.writeAttribute(QStringLiteral("x"), number(rect.x()));
    xml.writeAttribute(QStringLiteral("y"), number(rect.y()));
    xml.writeAttribute(QStringLiteral("width"), number(rect.width()));
    xml.writeAttribute(QStringLiteral("height"), number(rect.height()));
    xml.writeEndElement();
    xml.writeStartElement(QStringLiteral("g"));
    xml.writeAttribute(QStringLiteral("clip-path"), QStringLiteral("url(#%1)").arg(id));
    clipped = true;
}

void SvgCanvas::unclip()
{
    if (!clipped)
        return;
    xml.writeEndElement();
    clipped = false;
}

} // namespace report
