#include "ui/pacedlabels.h"

#include <QEvent>
#include <QLabel>
#include <QTimer>

namespace {

constexpr qint64 frameNs = 1000000000 / 60;

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
    if (!held.contains(label)
        && (releaseTimer->isActive()
            || (sinceLastPaint.isValid() && sinceLastPaint.nsecsElapsed() < frameNs))) {
        // Updates off: the text changes, the screen waits for the frame's end.
        label->setUpdatesEnabled(false);
        held.append(label);
        if (!releaseTimer->isActive()) {
            const qint64 restNs = frameNs - sinceLastPaint.nsecsElapsed();
            releaseTimer->start(int(qMax<qint64>(0, (restNs + 999999) / 1000000)));
        }
    }
    label->setText(text);
}

void PacedLabels::release()
{
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
