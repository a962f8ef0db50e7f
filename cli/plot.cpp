#include "cli/plot.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSvgGenerator>

#include <cmath>

namespace cli {

namespace {

const QColor paper(250, 250, 248);
const QColor ink(40, 44, 52);
const QColor faint(110, 116, 128);
const QColor gridColour(222, 225, 230);
const QColor traceColour(22, 82, 160);
const QColor failColour(200, 30, 30);
const QColor limitColour(200, 30, 30);

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

QFont fontOf(int pixels, bool bold = false)
{
    QFont font = QGuiApplication::font();
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

struct Line
{
    double level; // in the unit of the y axis
    QString label;
};

void drawChart(QPainter &painter, const QVector<Reading> &readings, const PlotInfo &info)
{
    const QRectF page(QPointF(0, 0), QSizeF(plotSize));
    const QRectF area(page.left() + 96, page.top() + 92, page.width() - 96 - 36, page.height() - 92 - 78);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(page, paper);
    painter.fillRect(area, Qt::white);

    const bool decibel = !readings.isEmpty() && readings.first().decibel;
    const QString unit = decibel ? QStringLiteral("dB") : QStringLiteral("dBm");

    // Limits on the loss are levels reference - limit on the power axis.
    QVector<Line> limitLines;
    if (info.limits) {
        const auto add = [&](const std::optional<int> &limit, const QString &which) {
            if (!limit)
                return;
            if (info.reference)
                limitLines.append({(*info.reference - *limit) / 100.0,
                                   QStringLiteral("%1 loss %2 dB").arg(which, hundredthsText(*limit))});
            else
                limitLines.append({*limit / 100.0, QStringLiteral("%1 %2 %3").arg(which, hundredthsText(*limit), unit)});
        };
        add(info.limits->low, QStringLiteral("min"));
        add(info.limits->high, QStringLiteral("max"));
    }

    double low = 0;
    double high = 0;
    double sum = 0;
    for (int i = 0; i < readings.size(); ++i) {
        const double value = readings.at(i).hundredths / 100.0;
        low = i == 0 ? value : std::min(low, value);
        high = i == 0 ? value : std::max(high, value);
        sum += value;
    }
    for (const Line &line : limitLines) {
        low = std::min(low, line.level);
        high = std::max(high, line.level);
    }
    const double padding = std::max(0.05, (high - low) * 0.08);
    const Axis y = niceAxis(low - padding, high + padding, 6);

    const double lastSeconds = readings.isEmpty() ? 0 : readings.last().elapsedMs / 1000.0;
    const double timeScale = lastSeconds <= 180 ? 1 : lastSeconds <= 180 * 60 ? 60 : 3600;
    const QString timeUnit = timeScale == 1 ? QStringLiteral("s") : timeScale == 60 ? QStringLiteral("min")
                                                                                       : QStringLiteral("h");
    const Axis x = niceAxis(0, std::max(lastSeconds / timeScale, 1.0), 10);

    const auto px = [&](double t) { return area.left() + (t - x.from) / (x.to - x.from) * area.width(); };
    const auto py = [&](double v) { return area.bottom() - (v - y.from) / (y.to - y.from) * area.height(); };

    // Grid and tick labels.
    painter.setFont(fontOf(13));
    for (double v = y.from; v <= y.to + y.step / 2; v += y.step) {
        const double at = py(v);
        painter.setPen(QPen(gridColour, 1));
        painter.drawLine(QPointF(area.left(), at), QPointF(area.right(), at));
        painter.setPen(faint);
        painter.drawText(QRectF(area.left() - 84, at - 10, 76, 20), Qt::AlignRight | Qt::AlignVCenter,
                         QString::number(std::fabs(v) < y.step / 2 ? 0.0 : v, 'f', y.decimals));
    }
    for (double t = x.from; t <= x.to + x.step / 2; t += x.step) {
        const double at = px(t);
        painter.setPen(QPen(gridColour, 1));
        painter.drawLine(QPointF(at, area.top()), QPointF(at, area.bottom()));
        painter.setPen(faint);
        painter.drawText(QRectF(at - 40, area.bottom() + 6, 80, 20), Qt::AlignHCenter | Qt::AlignTop,
                         QString::number(t, 'f', x.decimals));
    }

    // Limits, dashed, labelled at the right end; the band between them shaded.
    if (limitLines.size() == 2) {
        const double top = py(std::max(limitLines.at(0).level, limitLines.at(1).level));
        const double bottom = py(std::min(limitLines.at(0).level, limitLines.at(1).level));
        painter.fillRect(QRectF(area.left(), top, area.width(), bottom - top), QColor(40, 160, 70, 22));
    }
    for (const Line &line : limitLines) {
        const double at = py(line.level);
        painter.setPen(QPen(limitColour, 1.5, Qt::DashLine));
        painter.drawLine(QPointF(area.left(), at), QPointF(area.right(), at));
        const QRectF box(area.right() - 306, at - 22, 300, 20);
        const QRectF text = painter.boundingRect(box, Qt::AlignRight | Qt::AlignBottom, line.label);
        painter.fillRect(text.adjusted(-4, 0, 2, 0), QColor(255, 255, 255, 210));
        painter.setPen(limitColour);
        painter.drawText(box, Qt::AlignRight | Qt::AlignBottom, line.label);
    }

    // The trace, with markers while they can be told apart.
    QPainterPath trace;
    for (int i = 0; i < readings.size(); ++i) {
        const QPointF point(px(readings.at(i).elapsedMs / 1000.0 / timeScale), py(readings.at(i).hundredths / 100.0));
        if (i == 0)
            trace.moveTo(point);
        else
            trace.lineTo(point);
    }
    painter.save();
    painter.setClipRect(area);
    painter.setPen(QPen(traceColour, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(trace);
    const bool markers = readings.size() <= 200;
    for (const Reading &reading : readings) {
        const bool failed = reading.pass && !*reading.pass;
        if (!markers && !failed)
            continue;
        const QPointF point(px(reading.elapsedMs / 1000.0 / timeScale), py(reading.hundredths / 100.0));
        painter.setPen(QPen(failed ? failColour : traceColour, 1.5));
        painter.setBrush(failed ? failColour : QColor(Qt::white));
        painter.drawEllipse(point, 3.5, 3.5);
    }
    painter.restore();

    // Frame, axis titles, title.
    painter.setPen(QPen(ink, 1.2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(area);
    painter.setFont(fontOf(15));
    painter.setPen(ink);
    painter.drawText(QRectF(area.left(), area.bottom() + 34, area.width(), 24), Qt::AlignHCenter | Qt::AlignTop,
                     QStringLiteral("Time (%1)").arg(timeUnit));
    painter.save();
    painter.translate(page.left() + 24, area.center().y());
    painter.rotate(-90);
    painter.drawText(QRectF(-area.height() / 2, -12, area.height(), 24), Qt::AlignCenter,
                     decibel ? QStringLiteral("Relative power (dB)") : QStringLiteral("Optical power (dBm)"));
    painter.restore();

    painter.setFont(fontOf(22, true));
    painter.drawText(QRectF(area.left(), page.top() + 18, area.width(), 30), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("Optical power at %1 nm").arg(info.wavelengthNm));
    painter.setFont(fontOf(14));
    painter.setPen(faint);
    QStringList facts = {info.port};
    if (!readings.isEmpty()) {
        facts << readings.first().at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t"))
              << QStringLiteral("%1 readings").arg(readings.size())
              << QStringLiteral("mean %1 %2").arg(QString::number(sum / readings.size(), 'f', 2), unit);
        double squares = 0;
        for (const Reading &reading : readings)
            squares += std::pow(reading.hundredths / 100.0 - sum / readings.size(), 2);
        if (readings.size() > 1)
            facts << QStringLiteral("std dev %1 dB").arg(std::sqrt(squares / (readings.size() - 1)), 0, 'f', 2);
    }
    if (info.reference)
        facts << QStringLiteral("reference %1 dBm").arg(hundredthsText(*info.reference));
    painter.drawText(QRectF(area.left(), page.top() + 52, area.width(), 22), Qt::AlignLeft | Qt::AlignVCenter,
                     facts.join(QStringLiteral("   ·   ")));
}

} // namespace

bool writePlot(const QString &fileName, const QVector<Reading> &readings, const PlotInfo &info, QString *error)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (QFileInfo(fileName).suffix().toLower() == QLatin1String("svg")) {
        QSvgGenerator svg;
        svg.setOutputDevice(&buffer);
        svg.setSize(plotSize);
        svg.setViewBox(QRect(QPoint(0, 0), plotSize));
        svg.setResolution(96); // what browsers take a CSS pixel to be: shown at plotSize
        svg.setTitle(QStringLiteral("Optical power at %1 nm").arg(info.wavelengthNm));
        svg.setDescription(QStringLiteral("Power against time, logged by zerak-cli"));
        QPainter painter(&svg);
        drawChart(painter, readings, info);
    } else {
        QImage image(plotSize, QImage::Format_ARGB32_Premultiplied);
        QPainter painter(&image);
        drawChart(painter, readings, info);
        painter.end();
        image.save(&buffer, "PNG");
    }
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace cli
