// SPDX-License-Identifier: MIT
#include "app/sharedstate.h"
#include "support/windowharness.h"

#include <QApplication>
#include <QComboBox>
#include <QMessageBox>
#include <QPointer>
#include <QTextEdit>
#include <QtTest>

using namespace testsupport;

class ConnectionLossTest : public QObject
{
    Q_OBJECT

private slots:
    void pulledCableClosesThePort_data();
    void pulledCableClosesThePort();
    void lossWhileOpenBoxIsShown();
};

void ConnectionLossTest::pulledCableClosesThePort_data()
{
    QTest::addColumn<bool>("measuring");
    QTest::newRow("idle") << false;
    QTest::newRow("measuring") << true;
}

void ConnectionLossTest::pulledCableClosesThePort()
{
    QFETCH(bool, measuring);
    WindowHarness h;
    h.sim.setPowerLevel(-15.0);
    QVERIFY(h.openSimulatedPort());
    QTRY_COMPARE(h.text("label_5"), QStringLiteral("850 nm"));
    if (measuring) {
        h.sim.setReplyDelay(5);
        h.click("pushButton_read");
        QVERIFY(h.waitForWritten(meter::cmdMeasure, 5));
    }
    const QString portPath = h.sim.portPath();
    const QString readingBefore = h.text("label_7") + h.text("label_8") + h.text("label_9");
    const int boxesBefore = h.boxes.boxes().size();
    bool portClosedWhileBoxShown = false;
    h.boxes.setBeforeDismiss([&](QMessageBox *) { portClosedWhileBoxShown = !h.port()->isOpen(); });

    // (The CPU left burning after the loss is measured in bench_meter.)
    h.sim.hangUp();
    QVERIFY(h.boxes.waitForBoxes(boxesBefore + 1));
    QCoreApplication::processEvents();
    QCOMPARE(h.boxes.boxes().size(), boxesBefore + 1);
    const SeenBox box = h.boxes.boxes().last();
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.title, QStringLiteral("Ошибка"));
    QCOMPARE(box.text, QStringLiteral("Связь с прибором потеряна: порт ") + portPath + QStringLiteral(" закрыт"));
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parent, h.window.get());
    QVERIFY(portClosedWhileBoxShown);

    QVERIFY(!h.port()->isOpen());
    QVERIFY(h.button("pushButton_OpenPort")->isEnabled());
    QVERIFY(!h.button("pushButton_ClosePort")->isEnabled());
    QVERIFY(!h.button("pushButton_SendTo_lamda")->isEnabled());
    QVERIFY(!h.button("pushButton_read")->isEnabled());
    QVERIFY(widget<QComboBox>(h.window.get(), "cmbPort")->isEnabled());
    QVERIFY(widget<QTextEdit>(h.window.get(), "txtOutput")->isEnabled());
    QVERIFY(h.label("label_2")->isVisible());
    QCOMPARE(measureState, measuring ? 1 : 0);
    QCOMPARE(h.text("label_5"), QStringLiteral("850 nm"));
    QCOMPARE(h.text("label_7") + h.text("label_8") + h.text("label_9"), readingBefore);

    // A fresh meter on another port: open works and measuring resumes as after a reopen.
    h.boxes.setBeforeDismiss(nullptr);
    MeterSimulator fresh;
    fresh.setNoise(0);
    fresh.setPowerLevel(-4.0);
    QVERIFY(fresh.start());
    selectPort(h.window.get(), fresh.portPath());
    h.click("pushButton_OpenPort");
    QVERIFY(h.boxes.waitForBoxes(boxesBefore + 2));
    QCOMPARE(h.boxes.boxes().last().title, QStringLiteral("Сообщение"));
    QTRY_VERIFY(h.button("pushButton_read")->isEnabled());
    QTRY_COMPARE(h.text("label_5"), QStringLiteral("850 nm"));
    if (measuring)
        QTRY_COMPARE(h.text("label_7"), QStringLiteral("4.00"));
    QCOMPARE(h.boxes.boxes().size(), boxesBefore + 2);
}

// The success box runs its own event loop: the loss is handled inside it, and
// Open must not then switch the controls to the open state. The loss box
// opens on top of the success box and takes the keyboard from it.
void ConnectionLossTest::lossWhileOpenBoxIsShown()
{
    WindowHarness h;
    QPointer<QMessageBox> openBox;
    bool openBoxStillUp = false;
    bool lossBoxOnTop = false;
    bool lossBoxActive = false;
    bool lossBoxHasKeyboard = false;
    h.boxes.setBeforeDismiss([&](QMessageBox *box) {
        if (box->text().endsWith(QStringLiteral(" успешно открыт : )"))) {
            openBox = box;
            h.sim.hangUp();
            // The loss box is checked and dismissed in here, by the watcher.
            if (!h.boxes.waitForBoxes(2, 3000))
                qWarning("no box while the success box was up");
            return;
        }
        openBoxStillUp = openBox && openBox->isVisible();
        lossBoxOnTop = QApplication::activeModalWidget() == box;
        lossBoxActive = QTest::qWaitFor([&] { return QApplication::activeWindow() == box; }, 2000);
        const QWidget *focus = QApplication::focusWidget();
        lossBoxHasKeyboard = focus && box->isAncestorOf(focus);
    });
    selectPort(h.window.get(), h.sim.portPath());
    h.click("pushButton_OpenPort");
    QVERIFY(h.boxes.waitForBoxes(2));
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QCOMPARE(h.boxes.boxes().size(), 2);
    QCOMPARE(h.boxes.boxes().at(1).text,
             QStringLiteral("Связь с прибором потеряна: порт ") + h.sim.portPath() + QStringLiteral(" закрыт"));
    QCOMPARE(h.boxes.boxes().at(1).parent, h.window.get());
    QVERIFY(openBoxStillUp);
    QVERIFY(lossBoxOnTop);
    QVERIFY(lossBoxActive);
    QVERIFY(lossBoxHasKeyboard);
    QVERIFY(!h.port()->isOpen());
    QVERIFY(h.button("pushButton_OpenPort")->isEnabled());
    QVERIFY(!h.button("pushButton_ClosePort")->isEnabled());
    QVERIFY(widget<QComboBox>(h.window.get(), "cmbPort")->isEnabled());
    QVERIFY(widget<QTextEdit>(h.window.get(), "txtOutput")->isEnabled());
    QVERIFY(h.label("label_2")->isVisible());
}

QTEST_MAIN(ConnectionLossTest)
#include "tst_connectionloss.moc"
