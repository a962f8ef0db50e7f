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

// Bordered, the width of the page, a header row over the rows.
QString htmlTable(const QStringList &headers, const QVector<QVector<Cell>> &rows);
// Label and value, one pair a line, without borders.
QString htmlFacts(const QVector<QPair<QString, QString>> &facts);
// A whole page: title, style and body.
QString htmlPage(const QString &title, const QString &body);

// Through QSaveFile. False with the reason on failure.
bool saveFile(const QString &fileName, const QByteArray &bytes, QString *error);
// The HTML laid out by Qt's text engine on one A4 page; needs a QGuiApplication.
bool writePdf(const QString &fileName, const QString &html, const QString &title, const QString &creator,
              QString *error);

} // namespace report
