// SPDX-License-Identifier: MIT
#pragma once

#include <QElapsedTimer>
#include <QFont>
#include <QList>
#include <QObject>
#include <QRect>
#include <QRegion>
#include <QSize>
#include <QString>
#include <QVector>

#include <array>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

class QFontMetricsF;
class QLabel;
class QTimer;

// Sets the texts of labels that may change thousands of times a second.
// text() is current at once, so whoever reads a label gets the latest value;
// the screen is repainted at most once a frame (1/60 s): a change within a
// frame of the labels' last paint is held, and shown with the first change
// after the frame, or by a timer when no change comes. The first change after
// a pause is painted at once: once the event being handled is done, before
// the event loop sleeps. While changes keep coming the timer never fires: a
// wakeup of its own for each frame would cost as much as a reading.
//
// The labels may overlap, and QLabel repaints its whole box for a new text,
// and with it every neighbour the box reaches into. Here only where the old
// and the new text lie is repainted, and a label is painted only where its
// own text lies. While paced, a label keeps the frame, margin, indent, word
// wrap, buddy and background it had when this was created; its text, font,
// size and alignment may change, by this or by anyone else.
class PacedLabels : public QObject
{
public:
    // The labels keep the size they have now: create this once they are laid out.
    PacedLabels(const QList<QLabel *> &labels, QObject *parent = nullptr);

    void setText(QLabel *label, const QString &text);
    // Changes shown together, painted in one pass where the labels share a
    // parent.
    void setTexts(std::initializer_list<std::pair<QLabel *, QString>> changes);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    static constexpr int printableCount = 95; // space to tilde

    // What the labels need of a font, learnt once for each character of
    // printable ASCII, what readings are made of.
    struct FontFacts
    {
        explicit FontFacts(const QFont &font);
        void learn(const QFontMetricsF &metrics, int at);
        bool addUp(const QFontMetricsF &metrics, int first, int second);

        struct Glyph
        {
            qreal advance = -1; // laid out alone; < 0 until learnt
            int reach = 0;      // how far it reaches out of its box, in pixels
        };
        QFont font;
        qreal ascent;
        qreal descent;
        std::array<Glyph, printableCount> glyphs;
        std::vector<quint8> pairs; // each pair: 0 until known, 1 the advances add up, 2 not
    };

    // Where a label's text lies, found once for each text it shows.
    struct Shown
    {
        QLabel *label;
        QWidget *parent;
        bool textOnly; // it paints nothing but its text
        QString text;  // the text the area was found for
        QFont font;    // and the rest it depends on
        QSize size;
        Qt::Alignment alignment;
        QRect area; // in the label's coordinates; null until found
    };

    // Where labels need repainting, to be painted in one pass where they
    // share a parent.
    struct Dirty
    {
        void add(QLabel *label, const QRect &area);
        void paint();
        QWidget *parent = nullptr;
        QRegion region;
        QVector<std::pair<QLabel *, QRect>> alone;
    };
    // A label whose text changed within the frame, and where the screen still
    // shows the one before.
    struct Held
    {
        QLabel *label;
        QRect shown;
    };

    QRect textArea(const QLabel *label);
    QRect findTextArea(const QLabel *label, const QString &text, const QFont &font, Qt::Alignment alignment);
    FontFacts &factsOf(const QFont &font);
    static void setTextQuietly(QLabel *label, const QString &text);
    void setTextKeepingScreen(QLabel *label, const QString &text, Dirty &dirty);
    bool withinFrame() const;
    void hold(QLabel *label, const QString &text);
    void release(Dirty &dirty);
    void releaseNow();
    void forget(QObject *label);
    void paintLater();
    void paintNow();

    QVector<Held> held;
    QTimer *releaseTimer;
    Dirty pending;         // to be painted once the event being handled is done
    bool paintDue = false; // pending holds something
    QTimer *paintTimer;
    QElapsedTimer sinceLastPaint; // of any of the labels; invalid before the first
    QVector<Shown> shown;         // one for each label
    std::vector<std::unique_ptr<FontFacts>> fonts;
};
