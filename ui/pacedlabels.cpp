// SPDX-License-Identifier: MIT
#include "ui/pacedlabels.h"

#include <QEvent>
#include <QLabel>
#include <QTimer>

namespace {

constexpr qint64 frameNs = 1000000000 / 60;

// Where the label's text lies, with a margin for antialiased edges.
QRect textArea(const QLabel *label)
{
    return label->fontMetrics()
        .boundingRect(label->contentsRect(), int(label->alignment()), label->text())
        .adjusted(-2, -2, 2, 2);
}

// A new text makes QLabel repaint its whole box, and with it each sibling
// the box overlaps: the reading's unit and sign, on every reading. Only
// where the old and the new text lie needs it.
void setTextRepaintingText(QLabel *label, const QString &text)
{
    const QRect before = textArea(label);
    label->setAttribute(Qt::WA_UpdatesDisabled);
    label->setText(text);
    label->setAttribute(Qt::WA_UpdatesDisabled, false);
    label->update(before.united(textArea(label)));
}

} // namespace

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
    }
}

void PacedLabels::setText(QLabel *label, const QString &text)
{
    if (label->text() == text)
        return;
    const bool withinFrame = sinceLastPaint.isValid() && sinceLastPaint.nsecsElapsed() < frameNs;
    if (!withinFrame) {
        release(); // what was held shows with this change
        setTextRepaintingText(label, text);
        return;
    }
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
    if (event->type() == QEvent::Paint)
        sinceLastPaint.start();
    return QObject::eventFilter(watched, event);
}
