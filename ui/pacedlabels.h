// SPDX-License-Identifier: MIT
#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>

class QLabel;
class QTimer;

// Sets the texts of labels that may change thousands of times a second.
// text() is current at once, so whoever reads a label gets the latest value;
// the screen is repainted at most once a frame (1/60 s): a change within a
// frame of the labels' last paint is held, and shown with the first change
// after the frame, or by a timer when no change comes. The first change after
// a pause is painted at once. While changes keep coming the timer never fires:
// a wakeup of its own for each frame would cost as much as a reading.
class PacedLabels : public QObject
{
public:
    // The labels keep the size they have now: create this once they are laid out.
    PacedLabels(const QList<QLabel *> &labels, QObject *parent = nullptr);

    void setText(QLabel *label, const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void release();

    QList<QLabel *> held; // updates off until the frame is over
    QTimer *releaseTimer;
    QElapsedTimer sinceLastPaint; // of any of the labels; invalid before the first
};
