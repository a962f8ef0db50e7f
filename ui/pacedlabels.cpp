// SPDX-License-Identifier: MIT
#include "ui/pacedlabels.h"

#include <QAbstractEventDispatcher>
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
    , paintTimer(new QTimer(this))
{
    paintTimer->setSingleShot(true);
    connect(paintTimer, &QTimer::timeout, this, &PacedLabels::paintNow);
    connect(QAbstractEventDispatcher::instance(thread()), &QAbstractEventDispatcher::aboutToBlock, this,
            &PacedLabels::paintNow);
    releaseTimer->setSingleShot(true);
    releaseTimer->setTimerType(Qt::PreciseTimer);
    connect(releaseTimer, &QTimer::timeout, this, &PacedLabels::releaseNow);
    for (QLabel *label : labels) {
        // The labels may overlap, so a paint of one paints its neighbours
        // too: the frame counts from the last paint of any of them.
        label->installEventFilter(this);
        // A label whose text changes asks its parent to lay out again unless
        // its size is fixed: one more pass of the event loop for every change.
        label->setFixedSize(label->size());
        // Readings are numbers: no need to look for markup in each one.
        label->setTextFormat(Qt::PlainText);
        shown.append({label, label->parentWidget(), paintsOnlyText(label), QString(), QFont(), QSize(),
                      Qt::Alignment(), QRect()});
        connect(label, &QObject::destroyed, this, &PacedLabels::forget);
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

// QLabel would repaint its whole box for a new text, and with it every
// neighbour the box reaches into: here the text changes and nothing is
// repainted.
void PacedLabels::setTextQuietly(QLabel *label, const QString &text)
{
    label->setAttribute(Qt::WA_UpdatesDisabled);
    label->setText(text);
    label->setAttribute(Qt::WA_UpdatesDisabled, false);
}

// Only where the old and the new text lie needs repainting.
void PacedLabels::setTextKeepingScreen(QLabel *label, const QString &text, Dirty &dirty)
{
    const QRect before = textArea(label);
    setTextQuietly(label, text);
    dirty.add(label, before.united(textArea(label)));
}

void PacedLabels::Dirty::add(QLabel *label, const QRect &area)
{
    const QRect inBox = area & label->rect(); // nothing of a label shows outside its box
    if (!parent)
        parent = label->parentWidget();
    if (parent && label->parentWidget() == parent)
        region += inBox.translated(label->pos());
    else
        alone.append({label, inBox});
}

void PacedLabels::Dirty::paint()
{
    if (parent && !region.isEmpty())
        parent->repaint(region);
    for (const auto &label : alone)
        label.first->repaint(label.second);
}

bool PacedLabels::withinFrame() const
{
    return sinceLastPaint.isValid() && sinceLastPaint.nsecsElapsed() < frameNs;
}

// The text changes, the screen waits for the frame's end.
void PacedLabels::hold(QLabel *label, const QString &text)
{
    const bool already = std::any_of(held.cbegin(), held.cend(), [label](const Held &h) { return h.label == label; });
    if (!already) {
        held.append({label, textArea(label)}); // what the screen shows
        if (!releaseTimer->isActive()) {
            // Late enough that a change coming soon after the frame gets there first.
            const qint64 restNs = frameNs - sinceLastPaint.nsecsElapsed();
            releaseTimer->start(int((restNs + frameNs + 999999) / 1000000));
        }
    }
    setTextQuietly(label, text);
}

// What was held shows with this change.
void PacedLabels::release(Dirty &dirty)
{
    if (held.isEmpty())
        return;
    releaseTimer->stop();
    for (const Held &h : held)
        dirty.add(h.label, h.shown.united(textArea(h.label)));
    held.clear();
}

// A label deleted while its change waits to be painted is painted no more,
// nor its parent once all its labels are gone.
void PacedLabels::forget(QObject *label)
{
    const auto same = [label](const auto &entry) { return entry.label == label; };
    held.erase(std::remove_if(held.begin(), held.end(), same), held.end());
    shown.erase(std::remove_if(shown.begin(), shown.end(), same), shown.end());
    pending.alone.erase(std::remove_if(pending.alone.begin(), pending.alone.end(),
                                       [label](const auto &entry) { return entry.first == label; }),
                        pending.alone.end());
    if (std::none_of(shown.cbegin(), shown.cend(), [this](const Shown &s) { return s.parent == pending.parent; })) {
        pending.parent = nullptr;
        pending.region = QRegion();
    }
}

// Changes from the handling of one event are painted together, once it is
// done, before the event loop sleeps: after whatever that handling wrote to
// the meter, and with no event posted for it, which would wake the loop once
// more. The timer only paints when the loop runs on without sleeping.
void PacedLabels::paintLater()
{
    if (paintDue)
        return;
    paintDue = true;
    paintTimer->start(0);
}

void PacedLabels::paintNow()
{
    if (!paintDue)
        return;
    paintDue = false;
    paintTimer->stop();
    Dirty dirty = std::move(pending);
    pending = Dirty();
    dirty.paint();
}

void PacedLabels::releaseNow()
{
    release(pending);
    paintDue = true;
    paintNow();
}

void PacedLabels::setText(QLabel *label, const QString &text)
{
    setTexts({{label, text}});
}

void PacedLabels::setTexts(std::initializer_list<std::pair<QLabel *, QString>> changes)
{
    bool changed = false;
    for (const auto &change : changes)
        changed = changed || change.first->text() != change.second;
    if (!changed)
        return;
    if (!paintDue && withinFrame()) {
        for (const auto &change : changes) {
            if (change.first->text() != change.second)
                hold(change.first, change.second);
        }
        return;
    }
    release(pending);
    for (const auto &change : changes) {
        if (change.first->text() != change.second)
            setTextKeepingScreen(change.first, change.second, pending);
    }
    paintLater();
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
    QRect area = textArea(label);
    for (const Held &h : held) {
        if (h.label == label)
            area |= h.shown; // its text before, still on the screen
    }
    return !static_cast<const QPaintEvent *>(event)->region().intersects(area);
}
