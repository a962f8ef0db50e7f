// SPDX-License-Identifier: MIT
#include "report/document.h"

#include <QPageLayout>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>
#include <QTextDocument>

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

QString htmlTable(const QStringList &headers, const QVector<QVector<Cell>> &rows)
{
    QString html = QStringLiteral("<table cellpadding=\"6\" cellspacing=\"0\" border=\"1\" width=\"100%\">\n<tr>");
    for (const QString &header : headers)
        html += QStringLiteral("<th>%1</th>").arg(header);
    html += QStringLiteral("</tr>\n");
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

} // namespace report
