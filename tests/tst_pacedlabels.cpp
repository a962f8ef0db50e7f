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
    void firstChangeAfterPauseIsPaintedAtOnce();
    void shorterTextLeavesNoTrace();

private:
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

void PacedLabelsTest::firstChangeAfterPauseIsPaintedAtOnce()
{
    paced->setText(value, QStringLiteral("1.00"));
    QTRY_COMPARE(log.shown.value(value), QStringLiteral("1.00"));
    // A pause: two frames since anything was painted.
    QTRY_VERIFY(log.sinceLastPaint.elapsed() > 2 * 1000 / 60);
    paced->setText(value, QStringLiteral("2.00"));
    paced->setText(unit, QStringLiteral("dBm"));
    QCoreApplication::processEvents(); // no waiting
    QCOMPARE(log.shown.value(value), QStringLiteral("2.00"));
    QCOMPARE(log.shown.value(unit), QStringLiteral("dBm"));
}

// Only where the old and new texts lie is repainted: what the screen shows
// must still be exactly the new text, as on labels that never showed another.
void PacedLabelsTest::shorterTextLeavesNoTrace()
{
    QFont big = value->font();
    big.setPointSize(20);
    value->setFont(big);
    paced->setText(value, QStringLiteral("188.88"));
    paced->setText(unit, QStringLiteral("dBm"));
    QTRY_COMPARE(log.shown.value(value), QStringLiteral("188.88"));
    QTRY_VERIFY(log.sinceLastPaint.elapsed() > 2 * 1000 / 60);
    paced->setText(value, QStringLiteral("8.88"));
    QTRY_COMPARE(log.shown.value(value), QStringLiteral("8.88"));

    QWidget fresh;
    fresh.resize(window->size());
    auto *freshValue = new QLabel(QStringLiteral("8.88"), &fresh);
    freshValue->setGeometry(value->geometry());
    freshValue->setFont(big);
    auto *freshUnit = new QLabel(QStringLiteral("dBm"), &fresh);
    freshUnit->setGeometry(unit->geometry());
    fresh.show();
    QVERIFY(QTest::qWaitForWindowExposed(&fresh));
    const auto onScreen = [](QWidget *widget) {
        return widget->screen()->grabWindow(widget->winId()).toImage().convertToFormat(QImage::Format_RGB32);
    };
    QTRY_COMPARE(onScreen(window).copy(value->geometry()), onScreen(&fresh).copy(value->geometry()));
}

QTEST_MAIN(PacedLabelsTest)
#include "tst_pacedlabels.moc"
