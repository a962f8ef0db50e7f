#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>

class QLabel;
class QTimer;

// Sets the texts of labels that may change thousands of times a second.
// text() is current at once, so whoever reads a label gets the latest value;
// the screen is repainted at most once a frame (1/60 s): a change within a
// frame of the labels' last paint is held until the frame is over. The first
// change after a pause is painted at once. Nothing runs while nothing changes.
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
