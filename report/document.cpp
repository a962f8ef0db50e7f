// SPDX-License-Identifier: MIT
#include "report/document.h"

#include "report/canvas.h"
#include "report/chart.h"

#include <QPageLayout>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>
#include <QAbstractTextDocumentLayout>
#include <QTextDocument>

#include <algorithm>
#include <memory>

namespace report {

QString escaped(const QString &text)
{
    return text.toHtmlEscaped();
}

namespace {

QString cellHtml(const Cell &cell)
{
    QString html = QStringLiteral("<td");
    if (cell.align == Cell::Right)
        html += QStringLiteral(" align=\"right\"");
    else if (cell.align == Cell::Centre)
        html += QStringLiteral(" align=\"center\"");
    if (cell.nowrap)
        html += QStringLiteral(" nowrap");
    if (!cell.colour.isEmpty())
        html += QStringLiteral(" style=\"color:%1\"").arg(cell.colour);
    html += QLatin1Char('>');
    html += cell.bold ? QStringLiteral("<b>%1</b>").arg(cell.html) : cell.html;
    return html + QStringLiteral("</td>");
}

} // namespace

QString htmlTable(const QStringList &headers, const QVector<QVector<Cell>> &rows, int padding)
{
    // The header row in <thead>: a table over several pages repeats it on each.
    QString html = QStringLiteral("<table cellpadding=\"%1\" cellspacing=\"0\" border=\"1\" width=\"100%\">\n"
                                  "<thead><tr>")
                       .arg(padding);
    for (const QString &header : headers)
        html += QStringLiteral("<th>%1</th>").arg(header);
    html += QStringLiteral("</tr></thead>\n");
    for (const QVector<Cell> &row : rows) {
        html += QStringLiteral("<tr>");
        for (const Cell &cell : row)
            html += cellHtml(cell);
        html += QStringLiteral("</tr>\n");
    }
    return html + QStringLiteral("</table>\n");
}

QString htmlFacts(const QVector<QPair<QString, QString>> &facts)
{
    QString html = QStringLiteral("<table cellpadding=\"4\" cellspacing=\"0\" border=\"0\" style=\"border:none\">\n");
    for (const auto &fact : facts)
        html += QStringLiteral("<tr><td style=\"border:none\">%1</td><td style=\"border:none\">%2</td></tr>\n")
                    .arg(fact.first, fact.second);
    return html + QStringLiteral("</table>\n");
}

QString htmlPage(const QString &title, const QString &body)
{
    return QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>%1</title>\n"
                          "<style>body{font-family:sans-serif;color:#222} table{border-collapse:collapse}"
                          " th,td{border:1px solid #999;padding:4px 10px} th{background:#e8ebf0}</style></head>\n"
                          "<body>\n%2</body></html>\n")
        .arg(title, body);
}

bool saveFile(const QString &fileName, const QByteArray &bytes, QString *error)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

bool writePdf(const QString &fileName, const QString &html, const QString &title, const QString &creator,
              QString *error)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    {
        QPdfWriter writer(&file);
        writer.setTitle(title);
        writer.setCreator(creator);
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                         QMarginsF(18, 18, 18, 18), QPageLayout::Millimeter));
        writer.setResolution(300);
        QTextDocument document;
        QFont font = document.defaultFont();
        font.setPixelSize(13);
        document.setDefaultFont(font);
        document.setHtml(html);
        QPainter painter(&writer);
        const QRectF page = writer.pageLayout().paintRectPixels(writer.resolution());
        // Laid out at 96 dpi and scaled to the page: the fonts keep their size.
        const double scale = writer.resolution() / 96.0;
        document.setTextWidth(page.width() / scale);
        painter.scale(scale, scale);
        document.drawContents(&painter);
        if (!painter.end()) {
            *error = QStringLiteral("the PDF could not be drawn");
            return false;
        }
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

namespace {

// Laid out at 96 dpi, as the one-page report is: the fonts keep their size.
std::unique_ptr<QTextDocument> laidOut(const QString &html, double width, double pageHeight)
{
    auto document = std::make_unique<QTextDocument>();
    QFont font = document->defaultFont();
    font.setPixelSize(13);
    document->setDefaultFont(font);
    document->setHtml(html);
    document->setTextWidth(width);
    if (pageHeight > 0)
        document->setPageSize(QSizeF(width, pageHeight));
    return document;
}

} // namespace

bool writePagedPdf(const QString &fileName, const PagedReport &report, QString *error)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    {
        QPdfWriter writer(&file);
        writer.setTitle(report.title);
        writer.setCreator(report.creator);
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                         QMarginsF(15, 12, 15, 12), QPageLayout::Millimeter));
        writer.setResolution(300);
        const double scale = writer.resolution() / 96.0;
        const QRectF paint = writer.pageLayout().paintRectPixels(writer.resolution());
        const double width = paint.width() / scale;
        const double height = paint.height() / scale;
        const double band = 26; // the running line above, the page number below
        const double bodyHeight = height - 2 * band;

        const std::unique_ptr<QTextDocument> opening = laidOut(report.opening, width, 0);
        const double openingHeight = opening->documentLayout()->documentSize().height();
        // The chart under the opening, made smaller to fit there if need be
        // but not below two thirds of the width; else on a page of its own.
        const double room = bodyHeight - openingHeight - 12;
        const double fullScale = width / chartSize.width();
        const double fittedScale = std::min(fullScale, room / chartSize.height());
        const bool chartApart = report.chart && fittedScale < fullScale * 2 / 3;
        const double chartScale = chartApart ? fullScale : fittedScale;
        const std::unique_ptr<QTextDocument> body = laidOut(report.body, width, bodyHeight);
        const int bodyPages = report.body.isEmpty() ? 0 : body->pageCount();
        const int pages = 1 + (chartApart ? 1 : 0) + bodyPages;

        QPainter painter(&writer);
        painter.scale(scale, scale);
        const TextStyle small{11, false, QColor(90, 96, 108)};
        PainterCanvas canvas(painter);
        const auto frame = [&](int page) {
            canvas.text(QRectF(0, 0, width, band - 8), Qt::AlignLeft | Qt::AlignVCenter, report.running, small);
            canvas.line(QPointF(0, band - 6), QPointF(width, band - 6), QColor(200, 204, 210), 0.8, false);
            canvas.text(QRectF(0, height - band + 8, width, band - 8), Qt::AlignRight | Qt::AlignVCenter,
                        QStringLiteral("page %1 of %2").arg(page).arg(pages), small);
        };
        const auto drawChartAt = [&](double top) {
            painter.save();
            painter.translate((width - chartSize.width() * chartScale) / 2, top);
            painter.scale(chartScale, chartScale);
            drawChart(canvas, *report.chart);
            painter.restore();
        };
        int page = 1;
        frame(page);
        painter.save();
        painter.translate(0, band);
        opening->drawContents(&painter, QRectF(0, 0, width, bodyHeight));
        painter.restore();
        if (report.chart && !chartApart)
            drawChartAt(band + openingHeight + 12);
        if (chartApart) {
            writer.newPage();
            frame(++page);
            drawChartAt(band);
        }
        for (int i = 0; i < bodyPages; ++i) {
            writer.newPage();
            frame(++page);
            painter.save();
            painter.translate(0, band - i * bodyHeight);
            body->drawContents(&painter, QRectF(0, i * bodyHeight, width, bodyHeight));
            painter.restore();
        }
        if (!painter.end()) {
            *error = QStringLiteral("the PDF could not be drawn");
            return false;
        }
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace report
