// SPDX-License-Identifier: MIT
#pragma once

// The pieces of a report as a document: an HTML page with a table of facts
// and a table of results, the same page as one A4 PDF, and files written
// whole or not at all. Everything passed in is HTML: text goes through
// escaped() first.

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

namespace report {

QString escaped(const QString &text);

struct Cell
{
    enum Align { Left, Right, Centre };
    Cell(const QString &html, Align align = Left, bool bold = false, bool nowrap = true,
         const QString &colour = QString())
        : html(html), align(align), bold(bold), nowrap(nowrap), colour(colour)
    {
    }
    QString html;
    Align align;
    bool bold;
    bool nowrap;
    QString colour; // CSS, e.g. "#b3261e"; none when empty
};

// Bordered, the width of the page, a header row over the rows (repeated on
// each page of a paged report).
QString htmlTable(const QStringList &headers, const QVector<QVector<Cell>> &rows, int padding = 6);
// Label and value, one pair a line, without borders.
QString htmlFacts(const QVector<QPair<QString, QString>> &facts);
// A whole page: title, style and body.
QString htmlPage(const QString &title, const QString &body);

// Through QSaveFile. False with the reason on failure.
bool saveFile(const QString &fileName, const QByteArray &bytes, QString *error);
// The HTML laid out by Qt's text engine on one A4 page; needs a QGuiApplication.
bool writePdf(const QString &fileName, const QString &html, const QString &title, const QString &creator,
              QString *error);

struct Chart;

// A report over as many A4 pages as it takes: the opening and the chart
// under it on the first page, then the body from the next page on, its
// table rows kept whole and a table's <thead> repeated on every page. Each
// page carries the running line at its top and "page i of n" at its foot.
struct PagedReport
{
    QString title;   // the document's metadata
    QString creator;
    QString running; // plain text
    QString opening; // HTML
    const Chart *chart = nullptr;
    QString body;    // HTML
};
// Needs a QGuiApplication.
bool writePagedPdf(const QString &fileName, const PagedReport &report, QString *error);

} // namespace report
