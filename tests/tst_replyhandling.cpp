// SPDX-License-Identifier: MIT
#include "app/sharedstate.h"
#include "support/windowharness.h"

#include <QSignalSpy>
#include <QtTest>

using namespace testsupport;

namespace {

QString powerLabels(const WindowHarness &h)
{
    return h.text("label_9") + QLatin1Char('|') + h.text("label_7") + QLatin1Char('|') + h.text("label_8");
}

const QString blankPower = QStringLiteral(" | | ");

// Opens the port on a simulator that answers nothing more after the query.
bool openSilent(WindowHarness &h)
{
    if (!h.openSimulatedPort())
        return false;
    h.sim.setAnswering(false);
    h.sim.clearLog();
    return true;
}

// Once the simulator has read `bytes` bytes, whatever else was written with
// them has arrived too: the link writes nothing more until the line moves.
QByteArray receivedOnceIn(WindowHarness &h, int bytes)
{
    waitForReceived(h.sim, bytes);
    QCoreApplication::processEvents();
    return h.sim.received();
}

} // namespace

class ReplyHandlingTest : public QObject
{
    Q_OBJECT

private slots:
    void replyShownInItsRole_data();
    void replyShownInItsRole();
    void measurementLoopKeepsOneRequestInFlight();
    void secondClickStopsAndBlanks();
    void splitReplyShownOnce();
    void twoFramesInOneDelivery();
    void lostReplyIsAskedForAgain();
    void silentMeterBlanksStaleReading();
    void emptyDeliveryChangesNothing();
    void garbageIsShownButLoopGoesOn();
    void reopenResumesMeasurement();
};

// Each frame is shown in the role of the command it answers, short frames
// after the gap included; a frame that answered nothing takes the role of the
// last command written, whatever the flag says.
void ReplyHandlingTest::replyShownInItsRole_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("wavelength");
    QTest::addColumn<QString>("power");
    QTest::addColumn<QByteArray>("written");

    const QString none;
    const QString measure = QStringLiteral("pushButton_read");
    const QString lambda = QStringLiteral("pushButton_SendTo_lamda");
    QTest::newRow("measurement") << measure << QByteArray::fromHex("05DC0100") << "850 nm" << "-|15.00|dBm"
                                 << QByteArray("\x82\x82");
    QTest::newRow("one byte as power") << measure << QByteArray::fromHex("05") << "850 nm" << " |12.80|dBm"
                                       << QByteArray("\x82\x82");
    QTest::newRow("three bytes stay dBm") << measure << QByteArray::fromHex("05DC01") << "850 nm"
                                          << "-|15.00|dBm" << QByteArray("\x82\x82");
    QTest::newRow("two-byte wavelength") << lambda << QByteArray::fromHex("060E") << "1550 nm" << blankPower
                                         << QByteArray("\x7B");
    QTest::newRow("frame answering nothing is shown in no role")
        << none << QByteArray::fromHex("051E0101") << "850 nm" << blankPower << QByteArray();
}

void ReplyHandlingTest::replyShownInItsRole()
{
    QFETCH(QString, button);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, wavelength);
    QFETCH(QString, power);
    QFETCH(QByteArray, written);
    WindowHarness h;
    QVERIFY(openSilent(h));
    QTRY_COMPARE(h.text("label_5"), QStringLiteral("850 nm"));
    wavelengthMode = 0;
    if (!button.isEmpty()) {
        h.click(button.toLatin1().constData());
        QVERIFY(waitForReceived(h.sim, 1));
    }

    QSignalSpy delivered(h.port(), &QSerialPort::readyRead);
    h.sim.sendRaw(bytes);
    QVERIFY(delivered.wait());
    if (bytes.size() < meter::frameSize)
        QVERIFY(QSignalSpy(h.link(), &meter::MeterLink::replyReceived).wait()); // at the gap
    QCOMPARE(h.text("label_5"), wavelength);
    QCOMPARE(powerLabels(h), power);
    QCOMPARE(receivedOnceIn(h, written.size()), written);
}

void ReplyHandlingTest::measurementLoopKeepsOneRequestInFlight()
{
    WindowHarness h;
    h.sim.setPowerLevel(-15.0);
    QVERIFY(h.openSimulatedPort());
    QTRY_COMPARE(h.text("label_5"), QStringLiteral("850 nm"));
    h.sim.setReplyDelay(5);
    h.click("pushButton_read");
    QVERIFY(h.waitForWritten(meter::cmdMeasure, 20));
    QCOMPARE(powerLabels(h), QStringLiteral("-|15.00|dBm"));
    QCOMPARE(h.text("label_5"), QStringLiteral("850 nm"));

    // Stop the meter: exactly one request stays unanswered until it is given up.
    h.sim.setAnswering(false);
    int requests = -1;
    int replies = -1;
    connect(h.link(), &meter::MeterLink::commandGivenUp, this, [&] {
        requests = h.written(meter::cmdMeasure);
        replies = h.sim.repliesSent();
    });
    QVERIFY(QSignalSpy(h.link(), &meter::MeterLink::commandGivenUp).wait());
    QCOMPARE(replies, requests); // the query's reply and every request's but one
}

void ReplyHandlingTest::secondClickStopsAndBlanks()
{
    WindowHarness h;
    h.sim.setPowerLevel(-3.25);
    QVERIFY(h.openSimulatedPort());
    QTRY_COMPARE(h.text("label_5"), QStringLiteral("850 nm"));
    h.sim.setReplyDelay(10);
    h.click("pushButton_read");
    QVERIFY(h.waitForWritten(meter::cmdMeasure, 5));
    QCOMPARE(powerLabels(h), QStringLiteral("-|3.25|dBm"));

    h.click("pushButton_read");
    QCOMPARE(measureState, 0);
    QTRY_COMPARE(powerLabels(h), blankPower);
    // All answered, none pending, nothing more to come.
    QVERIFY(waitUntil([&] { return h.sim.received().size() == h.sim.repliesSent() && !h.link()->nextWakeup(); }));
    QCOMPARE(powerLabels(h), blankPower);
    QCOMPARE(h.text("label_5"), QStringLiteral("850 nm"));
}

// 15.00 dBm arriving as 0x05, then 0xDC 0x01 0x00 is one reading.
void ReplyHandlingTest::splitReplyShownOnce()
{
    WindowHarness h;
    QVERIFY(openSilent(h));
    h.click("pushButton_read");
    QVERIFY(waitForReceived(h.sim, 1));
    h.sim.clearLog();

    QSignalSpy delivered(h.port(), &QSerialPort::readyRead);
    h.sim.sendRaw(QByteArray::fromHex("05"));
    QVERIFY(delivered.wait());
    QCOMPARE(powerLabels(h), blankPower);
    h.sim.sendRaw(QByteArray::fromHex("DC0100"));
    QTRY_COMPARE(powerLabels(h), QStringLiteral("-|15.00|dBm"));
    QCOMPARE(receivedOnceIn(h, 1), QByteArray("\x82"));
    QCOMPARE(powerLabels(h), QStringLiteral("-|15.00|dBm"));
}

void ReplyHandlingTest::twoFramesInOneDelivery()
{
    WindowHarness h;
    QVERIFY(openSilent(h));
    h.click("pushButton_read");
    QVERIFY(waitForReceived(h.sim, 1));

    h.sim.sendRaw(QByteArray::fromHex("05DC010007D00001"));
    QTRY_COMPARE(powerLabels(h), QStringLiteral("-|15.00|dBm")); // the second answered nothing
    // One more request once the line is quiet, none before the silent meter's deadline.
    QElapsedTimer quiet;
    quiet.start();
    QCOMPARE(receivedOnceIn(h, 2), QByteArray("\x82\x82"));
    QVERIFY(quiet.elapsed() < h.timing().deadlineMs);
}

void ReplyHandlingTest::lostReplyIsAskedForAgain()
{
    WindowHarness h;
    h.sim.setPowerLevel(-15.0);
    QVERIFY(h.openSimulatedPort());
    QTRY_COMPARE(h.text("label_5"), QStringLiteral("850 nm"));
    h.sim.setDropEvery(3); // the query was reply 1: the second request's reply is lost
    h.click("pushButton_read");
    QVERIFY(h.waitForWritten(meter::cmdMeasure, 2));
    QElapsedTimer stalled;
    stalled.start();
    QVERIFY(h.waitForWritten(meter::cmdMeasure, 3));
    QVERIFY2(stalled.elapsed() >= h.timing().deadlineMs * 9 / 10, qPrintable(QString::number(stalled.elapsed())));
    h.sim.setDropEvery(0);
    QVERIFY(h.waitForWritten(meter::cmdMeasure, 6));
    QCOMPARE(powerLabels(h), QStringLiteral("-|15.00|dBm"));
}

// A meter that stops answering must not leave its last reading looking live.
void ReplyHandlingTest::silentMeterBlanksStaleReading()
{
    WindowHarness h;
    h.sim.setPowerLevel(-15.0);
    QVERIFY(h.openSimulatedPort());
    h.click("pushButton_read");
    QVERIFY(h.waitForWritten(meter::cmdMeasure, 3));
    QSignalSpy givenUp(h.link(), &meter::MeterLink::commandGivenUp);
    h.sim.setAnswering(false);
    QVERIFY(givenUp.wait());
    QCOMPARE(powerLabels(h), QStringLiteral("-|15.00|dBm")); // one lost reply is not yet stale
    QVERIFY(givenUp.wait());
    QCOMPARE(powerLabels(h), blankPower);
    QCOMPARE(h.boxes.boxes().size(), 1);

    h.sim.setAnswering(true);
    QTRY_COMPARE(powerLabels(h), QStringLiteral("-|15.00|dBm"));
}

void ReplyHandlingTest::emptyDeliveryChangesNothing()
{
    WindowHarness h;
    QVERIFY(openSilent(h));
    QTRY_COMPARE(h.text("label_5"), QStringLiteral("850 nm"));
    measureState = 1;
    wavelengthMode = 0;
    h.button("pushButton_read")->setEnabled(false);
    h.label("label_2")->show();

    QMetaObject::invokeMethod(h.port(), "readyRead");
    QCOMPARE(h.text("label_5"), QStringLiteral("850 nm"));
    QCOMPARE(powerLabels(h), blankPower);
    QVERIFY(h.button("pushButton_read")->isEnabled());
    QVERIFY(!h.label("label_2")->isVisible());
    QCoreApplication::processEvents();
    QVERIFY(h.sim.received().isEmpty());
}

void ReplyHandlingTest::garbageIsShownButLoopGoesOn()
{
    WindowHarness h;
    h.sim.setPowerLevel(-15.0);
    QVERIFY(h.openSimulatedPort());
    QTRY_COMPARE(h.text("label_5"), QStringLiteral("850 nm"));
    h.sim.setGarbageEvery(4);
    h.click("pushButton_read");
    QVERIFY(h.waitForWritten(meter::cmdMeasure, 12, 5000));
    h.sim.setGarbageEvery(0);
    QTRY_COMPARE(powerLabels(h), QStringLiteral("-|15.00|dBm"));
}

void ReplyHandlingTest::reopenResumesMeasurement()
{
    WindowHarness h;
    h.sim.setPowerLevel(-15.0);
    QVERIFY(h.openSimulatedPort());
    h.click("pushButton_read");
    QVERIFY(h.waitForWritten(meter::cmdMeasure, 3));
    h.click("pushButton_ClosePort");
    QVERIFY(h.boxes.waitForBoxes(2));
    h.sim.setPowerLevel(-20.0);
    h.sim.clearLog();

    QVERIFY(h.openSimulatedPort());
    QTRY_COMPARE(powerLabels(h), QStringLiteral("-|20.00|dBm"));
    QCOMPARE(h.sim.received().left(2), QByteArray("\x7A\x82"));
    QCOMPARE(h.text("label_5"), QStringLiteral("850 nm"));
}

QTEST_MAIN(ReplyHandlingTest)
#include "tst_replyhandling.moc"
