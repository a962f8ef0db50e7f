// SPDX-License-Identifier: MIT
#include "ui/pacedlabels.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QLabel>
#include <QPaintEvent>
#include <QRegion>
#include <QStyle>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

constexpr qint64 frameNs = 1000000000 / 60;
constexpr int firstPrintable = 0x20;

// A label that paints nothing but its plain text, laid out in its contents
// rectangle: where that text lies is all it ever draws on.
bool paintsOnlyText(const QLabel *label)
{
    return label->textFormat() == Qt::PlainText && label->frameWidth() == 0 && label->margin() == 0
        && label->indent() <= 0 && !label->wordWrap() && !label->buddy() && !label->autoFillBackground()
        && !label->testAttribute(Qt::WA_StyledBackground);
}

// Where a line of this width and height lies in the rectangle, aligned as
// QPainter::drawText() aligns it.
QRect lineBox(const QRect &laidIn, Qt::Alignment alignment, qreal width, qreal height)
{
    qreal x = laidIn.x();
    if (alignment & Qt::AlignRight)
        x += laidIn.width() - width;
    else if (alignment & Qt::AlignHCenter)
        x += (laidIn.width() - width) / 2;
    qreal y = laidIn.y();
    if (alignment & Qt::AlignBottom)
        y += laidIn.height() - height;
    else if (alignment & Qt::AlignVCenter)
        y += (laidIn.height() - height) / 2;
    return QRectF(x, y, width, height).toAlignedRect();
}

} // namespace

PacedLabels::FontFacts::FontFacts(const QFont &font)
    : font(font)
    , pairs(printableCount * printableCount, 0)
{
    const QFontMetricsF metrics(font);
    ascent = metrics.ascent();
    descent = metrics.descent();
}

void PacedLabels::FontFacts::learn(const QFontMetricsF &metrics, int at)
{
    const QChar c(firstPrintable + at);
    Glyph &glyph = glyphs[size_t(at)];
    glyph.advance = metrics.horizontalAdvance(QString(c));
    // The glyph from its pen position on the baseline.
    const QRectF ink = metrics.boundingRect(c);
    glyph.reach = int(std::ceil(std::max(
        {qreal(0), -ink.left(), ink.right() - glyph.advance, -ascent - ink.top(), ink.bottom() - descent})));
}

// Whether the two laid out together are as wide as each alone: no kerning,
// no ligature between them.
bool PacedLabels::FontFacts::addUp(const QFontMetricsF &metrics, int first, int second)
{
    quint8 &pair = pairs[size_t(first * printableCount + second)];
    if (pair == 0) {
        const QString both = QString(QChar(firstPrintable + first)) + QChar(firstPrintable + second);
        const qreal apart = glyphs[size_t(first)].advance + glyphs[size_t(second)].advance;
        pair = qAbs(metrics.horizontalAdvance(both) - apart) < qreal(1) / 64 ? 1 : 2;
    }
    return pair == 1;
}

PacedLabels::PacedLabels(const QList<QLabel *> &labels, QObject *parent)
    : QObject(parent)
    , releaseTimer(new QTimer(this))
{
    releaseTimer->setSingleShot(true);
    releaseTimer->setTimerType(Qt::PreciseTimer);
    connect(releaseTimer, &QTimer::timeout, this, &PacedLabels::release);
    for (QLabel *label : labels) {
        // The labels may overlap, so a paint of one paints its neighbours
        // too: the frame counts from the last paint of any of them.
        label->installEventFilter(this);
        // A label whose text changes asks its parent to lay out again unless
        // its size is fixed: one more pass of the event loop for every change.
        label->setFixedSize(label->size());
        // Readings are numbers: no need to look for markup in each one.
        label->setTextFormat(Qt::PlainText);
        shown.append({label, paintsOnlyText(label), QString(), QFont(), QSize(), Qt::Alignment(), QRect()});
    }
}

PacedLabels::FontFacts &PacedLabels::factsOf(const QFont &font)
{
    for (const std::unique_ptr<FontFacts> &facts : fonts) {
        if (facts->font == font)
            return *facts;
    }
    fonts.push_back(std::make_unique<FontFacts>(font));
    return *fonts.back();
}

// Laying a text out costs as much as painting it. Each text is measured
// once, for the repaint it needs and for the one that replaces it; and
// asking a label several things it knows costs a reading more than it seems.
QRect PacedLabels::textArea(const QLabel *label)
{
    Shown *known = nullptr;
    for (Shown &entry : shown) {
        if (entry.label == label)
            known = &entry;
    }
    if (!known)
        return label->rect();
    if (!known->area.isNull() && known->size == label->size() && known->alignment == label->alignment()
        && known->font == label->font() && known->text == label->text())
        return known->area;
    known->text = label->text();
    known->font = label->font();
    known->size = label->size();
    known->alignment = label->alignment();
    known->area =
        known->textOnly ? findTextArea(label, known->text, known->font, known->alignment) : label->rect();
    return known->area;
}

// A reading is a few characters of printable ASCII on one line: its width is
// the sum of theirs, as long as each pair of them adds up so. Any other text
// is laid out.
QRect PacedLabels::findTextArea(const QLabel *label, const QString &text, const QFont &font,
                                Qt::Alignment alignment)
{
    const QRect laidIn = label->contentsRect();
    FontFacts &facts = factsOf(font);
    const QFontMetricsF metrics(font);
    qreal width = 0;
    int reach = 0;
    int previous = -1;
    bool summed = true;
    for (const QChar c : text) {
        const int at = int(c.unicode()) - firstPrintable;
        if (at < 0 || at >= printableCount) {
            summed = false;
            break;
        }
        if (facts.glyphs[size_t(at)].advance < 0)
            facts.learn(metrics, at);
        if (previous >= 0 && !facts.addUp(metrics, previous, at)) {
            summed = false;
            break;
        }
        width += facts.glyphs[size_t(at)].advance;
        reach = std::max(reach, facts.glyphs[size_t(at)].reach);
        previous = at;
    }
    if (summed) {
        // Left to right, all of it. 2 more for the antialiased edges.
        return lineBox(laidIn, alignment, width, facts.ascent + facts.descent)
            .adjusted(-reach - 2, -reach - 2, reach + 2, reach + 2);
    }
    if (text.contains(QLatin1Char('\n')))
        return label->rect();
    const Qt::LayoutDirection direction = text.isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight;
    const int flags = int(QStyle::visualAlignment(direction, alignment))
        | (direction == Qt::LeftToRight ? Qt::TextForceLeftToRight : Qt::TextForceRightToLeft);
    const QFontMetrics laidOut(font);
    const QRect logical = laidOut.boundingRect(laidIn, flags, text);
    // Glyphs may reach past their advance: what they cover, from the line's
    // start on its baseline.
    const QRect inked = laidOut.boundingRect(text).translated(logical.left(), logical.top() + laidOut.ascent());
    return logical.united(inked).adjusted(-2, -2, 2, 2);
}

// QLabel would repaint its whole box for the new text: only where the old
// and the new text lie needs it. That is returned, in the label's
// coordinates, to be repainted.
QRect PacedLabels::setTextKeepingScreen(QLabel *label, const QString &text)
{
    const QRect before = textArea(label);
    label->setAttribute(Qt::WA_UpdatesDisabled);
    label->setText(text);
    label->setAttribute(Qt::WA_UpdatesDisabled, false);
    return before.united(textArea(label));
}

bool PacedLabels::withinFrame() const
{
    return sinceLastPaint.isValid() && sinceLastPaint.nsecsElapsed() < frameNs;
}

void PacedLabels::hold(QLabel *label, const QString &text)
{
    if (!held.contains(label)) {
        // Updates off: the text changes, the screen waits for the frame's end.
        label->setUpdatesEnabled(false);
        held.append(label);
        if (!releaseTimer->isActive()) {
            // Late enough that a change coming soon after the frame gets there first.
            const qint64 restNs = frameNs - sinceLastPaint.nsecsElapsed();
            releaseTimer->start(int((restNs + frameNs + 999999) / 1000000));
        }
    }
    label->setText(text);
}

void PacedLabels::setText(QLabel *label, const QString &text)
{
    if (label->text() == text)
        return;
    if (withinFrame()) {
        hold(label, text);
        return;
    }
    release(); // what was held shows with this change
    label->update(setTextKeepingScreen(label, text));
}

void PacedLabels::setTexts(std::initializer_list<std::pair<QLabel *, QString>> changes)
{
    bool changed = false;
    for (const auto &change : changes)
        changed = changed || change.first->text() != change.second;
    if (!changed)
        return;
    if (withinFrame()) {
        for (const auto &change : changes) {
            if (change.first->text() != change.second)
                hold(change.first, change.second);
        }
        return;
    }
    release();
    QWidget *parent = changes.begin()->first->parentWidget();
    QRegion dirty;
    for (const auto &change : changes) {
        QLabel *label = change.first;
        if (label->text() == change.second)
            continue;
        // Nothing of a label shows outside its box.
        const QRect area = setTextKeepingScreen(label, change.second) & label->rect();
        if (parent && label->parentWidget() == parent)
            dirty += area.translated(label->pos());
        else
            label->repaint(area);
    }
    if (parent)
        parent->repaint(dirty);
}

void PacedLabels::release()
{
    if (held.isEmpty())
        return;
    releaseTimer->stop();
    const QList<QLabel *> labels = held;
    held.clear();
    for (QLabel *label : labels)
        label->setUpdatesEnabled(true); // and repaints it
}

bool PacedLabels::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ContentsRectChange) {
        for (Shown &entry : shown) {
            if (entry.label == watched)
                entry.area = QRect(); // the text moves
        }
    }
    if (event->type() != QEvent::Paint)
        return QObject::eventFilter(watched, event);
    sinceLastPaint.start();
    // A neighbour's repaint reaches into this label's box, but not where its
    // text lies: what is painted beneath is what shows there.
    const auto *label = static_cast<const QLabel *>(watched);
    return !static_cast<const QPaintEvent *>(event)->region().intersects(textArea(label));
}
