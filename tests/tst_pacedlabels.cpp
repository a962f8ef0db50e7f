// SPDX-License-Identifier: MIT
// Labels fed faster than the screen refreshes: every change readable at once,
// at most one paint a frame, the first change after a pause painted at once,
// and nothing left running once the changes stop.

#include "support/windowtesting.h"
#include "ui/pacedlabels.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QLabel>
#include <QScreen>
#include <QtTest>

namespace {

// Remembers what each label showed at its last paint and how often it painted.
class PaintLog : public QObject
{
public:
    QMap<QObject *, int> paints;
    QMap<QObject *, QString> shown;
    QElapsedTimer sinceLastPaint;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints[watched];
            shown[watched] = static_cast<QLabel *>(watched)->text();
            sinceLastPaint.start();
        }
        return false;
    }
};

} // namespace

class PacedLabelsTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void burstIsPaintedOnceAFrame();
    void firstChangeAfterPauseIsPaintedAtOnce_data();
    void firstChangeAfterPauseIsPaintedAtOnce();
    void newTextLeavesNoTrace_data();
    void newTextLeavesNoTrace();
    void labelDeletedWhileItsChangeWaits();

private:
    void waitForPause();

    QWidget *window = nullptr;
    QLabel *value = nullptr;
    QLabel *unit = nullptr; // overlaps value, as the window's reading labels do
    PacedLabels *paced = nullptr;
    PaintLog log;
};

void PacedLabelsTest::init()
{
    window = new QWidget;
    window->resize(300, 100);
    value = new QLabel(QStringLiteral(" "), window);
    value->setGeometry(10, 10, 141, 71);
    unit = new QLabel(QStringLiteral(" "), window);
    unit->setGeometry(100, 20, 131, 51);
    value->installEventFilter(&log);
    unit->installEventFilter(&log);
    paced = new PacedLabels({value, unit}, window);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QVERIFY(testsupport::waitUntil([this] { return log.paints.value(value) > 0 && log.paints.value(unit) > 0; }));
}

void PacedLabelsTest::cleanup()
{
    delete window;
    log.paints.clear();
    log.shown.clear();
}

void PacedLabelsTest::burstIsPaintedOnceAFrame()
{
    const QMap<QObject *, int> before = log.paints;
    QElapsedTimer clock;
    clock.start();
    int changes = 0;
    while (clock.elapsed() < 200) {
        const QString text = QString::number(changes++);
        paced->setText(value, text);
        paced->setText(unit, text + QStringLiteral(" dB"));
        QCOMPARE(value->text(), text);
        QCOMPARE(unit->text(), text + QStringLiteral(" dB"));
        QCoreApplication::processEvents();
    }
    const int frames = int(clock.elapsed() * 60 / 1000) + 2;
    for (QLabel *label : {value, unit}) {
        const int paints = log.paints.value(label) - before.value(label);
        QVERIFY2(paints >= 2 && paints <= frames,
                 qPrintable(QStringLiteral("%1 paints, %2 frames, %3 changes").arg(paints).arg(frames).arg(changes)));
    }
    // The last change reaches the screen, and then nothing runs.
    QTRY_COMPARE(log.shown.value(value), value->text());
    QTRY_COMPARE(log.shown.value(unit), unit->text());
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    QObjectList objects = paced->findChildren<QObject *>();
    objects.append(paced);
    for (QObject *object : objects)
        QVERIFY(dispatcher->registeredTimers(object).isEmpty());
}

// Two frames since anything was painted.
void PacedLabelsTest::waitForPause()
{
    QTRY_VERIFY(log.sinceLastPaint.elapsed() > 2 * 1000 / 60);
}

void PacedLabelsTest::firstChangeAfterPauseIsPaintedAtOnce_data()
{
    QTest::addColumn<bool>("together");
    QTest::newRow("one label after the other") << false;
    QTest::newRow("both as one change") << true;
}

void PacedLabelsTest::firstChangeAfterPauseIsPaintedAtOnce()
{
    QFETCH(bool, together);
    paced->setText(value, QStringLiteral("1.00"));
    QTRY_COMPARE(log.shown.value(value), QStringLiteral("1.00"));
    waitForPause();
    if (together) {
        paced->setTexts({{value, QStringLiteral("2.00")}, {unit, QStringLiteral("dBm")}});
    } else {
        paced->setText(value, QStringLiteral("2.00"));
        paced->setText(unit, QStringLiteral("dBm"));
    }
    QCoreApplication::processEvents(); // no waiting
    QCOMPARE(log.shown.value(value), QStringLiteral("2.00"));
    QCOMPARE(log.shown.value(unit), QStringLiteral("dBm"));
}

// Only where the old and new texts lie is repainted, and the neighbour only
// where its own text lies: what the screen shows must still be exactly the
// new texts, as on labels that never showed another. Each step is a text
// set through PacedLabels, "=text" set on the label directly, "pt:N" a new
// font size and "m:N" a new left contents margin set on it directly;
// "frame" waits a frame since the last paint: what is held shows with the
// next change.
void PacedLabelsTest::newTextLeavesNoTrace_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("alignment");
    QTest::addColumn<bool>("italic");
    QTest::addColumn<int>("letterSpacing"); // percent
    QTest::addColumn<bool>("together");     // with the unit, as one change
    QTest::addColumn<bool>("paused");       // a pause before each step: else most are held

    const int left = Qt::AlignLeft | Qt::AlignVCenter;
    QTest::newRow("shorter") << QStringList{"188.88", "8.88"} << left << false << 100 << false << true;
    QTest::newRow("longer, aligned right") << QStringList{"8.88", "188.88"} << int(Qt::AlignRight | Qt::AlignVCenter)
                                           << false << 100 << false << true;
    QTest::newRow("centred at the bottom") << QStringList{"1.5", "12345.67", "7"}
                                           << int(Qt::AlignHCenter | Qt::AlignBottom) << false << 100 << false << true;
    QTest::newRow("at the top") << QStringList{"-88.8", "1"} << int(Qt::AlignLeft | Qt::AlignTop) << false << 100
                                << false << true;
    QTest::newRow("italic, its glyphs past their advance") << QStringList{"188.88", "ffff", "1", "jjjj", "."} << left << true
                                                           << 100 << false << true;
    QTest::newRow("letter-spaced") << QStringList{"188.88", "8.88"} << left << false << 150 << false << true;
    QTest::newRow("kerned pairs") << QStringList{"AVAVAV", "A", "To.Yo"} << left << false << 100 << false << true;
    QTest::newRow("beyond ASCII") << QStringList{QStringLiteral("\u221212.5 \u00b5W"), QStringLiteral("3 \u00b0")}
                                  << left << false << 100 << false << true;
    QTest::newRow("beyond ASCII, italic") << QStringList{QStringLiteral("ffff\u00b0"), QStringLiteral("1\u00b0")} << left
                                          << true << 100 << false << true;
    QTest::newRow("set by someone else between") << QStringList{"188.88", "=77.77", "8.88"} << left << false << 100
                                                 << false << true;
    QTest::newRow("a new font between") << QStringList{"188.88", "pt:30", "8.8"} << left << false << 100 << false << true;
    QTest::newRow("a new margin between") << QStringList{"188.88", "m:30", "8.8"} << left << false << 100 << false << true;
    QTest::newRow("held within a frame") << QStringList{"188.88", "1", "frame", "88888.8", "2", "frame", "-", "18.8"} << left << false
                                         << 100 << false << false;
    QTest::newRow("held within a frame, with the unit") << QStringList{"188.88", "1", "frame", "88888.8", "2", "18.8"} << left
                                                        << false << 100 << true << false;
    QTest::newRow("with the unit, as one change") << QStringList{"188.88", "8.88", "1"} << left << false << 100
                                                  << true << true;
}

void PacedLabelsTest::newTextLeavesNoTrace()
{
    QFETCH(QStringList, steps);
    QFETCH(int, alignment);
    QFETCH(bool, italic);
    QFETCH(int, letterSpacing);
    QFETCH(bool, together);
    QFETCH(bool, paused);

    QFont font = value->font();
    font.setPointSize(20);
    font.setItalic(italic);
    font.setLetterSpacing(QFont::PercentageSpacing, letterSpacing);
    value->setFont(font);
    value->setAlignment(Qt::Alignment(alignment));
    int margin = 0;
    paced->setText(unit, QStringLiteral("dBm"));
    QTRY_COMPARE(log.shown.value(unit), QStringLiteral("dBm"));
    waitForPause();
    for (const QString &step : steps) {
        if (paused)
            waitForPause(); // so the change is painted at once, only where it lies
        QString text = step;
        if (step == QLatin1String("frame")) {
            QTRY_VERIFY(log.sinceLastPaint.elapsed() > 1000 / 60);
            continue;
        }
        if (step.startsWith(QLatin1String("pt:")) || step.startsWith(QLatin1String("m:"))) {
            const int number = step.mid(step.indexOf(QLatin1Char(':')) + 1).toInt();
            if (step.startsWith(QLatin1Char('p'))) {
                font.setPointSize(number);
                value->setFont(font);
            } else {
                margin = number;
                value->setContentsMargins(margin, 0, 0, 0);
            }
            text = value->text();
            QTRY_VERIFY(log.sinceLastPaint.elapsed() < 1000 / 60); // repainted
        } else if (step.startsWith(QLatin1Char('='))) {
            text = step.mid(1);
            value->setText(text);
        } else if (together) {
            paced->setTexts({{value, text}, {unit, text.size() > 2 ? QStringLiteral("dB") : QStringLiteral("dBm")}});
        } else {
            paced->setText(value, text);
        }
        if (paused)
            QTRY_COMPARE(log.shown.value(value), text);
    }
    QTRY_COMPARE(log.shown.value(value), value->text());
    QTRY_COMPARE(log.shown.value(unit), unit->text());

    QWidget fresh;
    fresh.resize(window->size());
    auto *freshValue = new QLabel(value->text(), &fresh);
    freshValue->setGeometry(value->geometry());
    freshValue->setFont(font);
    freshValue->setAlignment(Qt::Alignment(alignment));
    freshValue->setContentsMargins(margin, 0, 0, 0);
    auto *freshUnit = new QLabel(unit->text(), &fresh);
    freshUnit->setGeometry(unit->geometry());
    fresh.show();
    QVERIFY(QTest::qWaitForWindowExposed(&fresh));
    const auto onScreen = [](QWidget *widget) {
        return widget->screen()->grabWindow(widget->winId()).toImage().convertToFormat(QImage::Format_RGB32);
    };
    QTRY_COMPARE(onScreen(window), onScreen(&fresh));
}

// One change waits for the loop to be done, the next for the frame's end;
// the labels go meanwhile (a crash, or under the sanitizers a use after
// free, if they were painted still).
void PacedLabelsTest::labelDeletedWhileItsChangeWaits()
{
    waitForPause();
    paced->setTexts({{value, QStringLiteral("1.00")}, {unit, QStringLiteral("dB")}});
    delete value;
    value = nullptr;
    QCoreApplication::processEvents();
    QTRY_COMPARE(log.shown.value(unit), QStringLiteral("dB"));
    paced->setText(unit, QStringLiteral("dBm")); // within the frame: held
    delete unit;
    unit = nullptr;
    QTRY_VERIFY(log.sinceLastPaint.elapsed() > 3 * 1000 / 60); // past the frame's end
    QCoreApplication::processEvents();
}

QTEST_MAIN(PacedLabelsTest)
#include "tst_pacedlabels.moc"
