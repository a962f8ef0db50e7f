#include "app/sharedstate.h"
#include "support/windowharness.h"

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

} // namespace

class ReplyHandlingTest : public QObject
{
    Q_OBJECT

private slots:
    void unmatchedFrameFollowsWavelengthMode_data();
    void unmatchedFrameFollowsWavelengthMode();
    void shortFrameAfterGap_data();
    void shortFrameAfterGap();
    void measurementLoopKeepsOneRequestInFlight();
    void secondClickStopsAndBlanks();
    void splitReplyShownOnce();
    void splitRepliesFromTheMeter();
    void twoFramesInOneDelivery();
    void lambdaDuringMeasurement();
    void lostReplyIsAskedForAgain();
    void silentMeterBlanksStaleReading();
    void emptyDeliveryChangesNothing();
    void garbageIsShownButLoopGoesOn();
    void reopenResumesMeasurement();
};

// Frames that answer no awaiting command: wavelengthMode decides, and the
// continuous step runs as before.
void ReplyHandlingTest::unmatchedFrameFollowsWavelengthMode_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("measuring");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("wavelength");
    QTest::addColumn<QString>("power");
    QTest::addColumn<int>("requests");

    const QByteArray minus15 = QByteArray::fromHex("05DC0100");
    QTest::newRow("power, measuring") << 0 << 1 << minus15 << "850 nm" << "-|15.00|dBm" << 1;
    QTest::newRow("power in dB") << 0 << 1 << QByteArray::fromHex("05DC0001") << "850 nm" << " |15.00|dB" << 1;
    QTest::newRow("largest power") << 0 << 1 << QByteArray::fromHex("FFFF0107") << "850 nm" << "-|655.35|dB" << 1;
    QTest::newRow("below one") << 0 << 1 << QByteArray::fromHex("002D0100") << "850 nm" << "-|0.45|dBm" << 1;
    QTest::newRow("sign flag 0x02") << 0 << 1 << QByteArray::fromHex("05DC0200") << "850 nm" << " |15.00|dBm" << 1;
    QTest::newRow("power, not measuring") << 0 << 0 << minus15 << "850 nm" << blankPower << 0;
    QTest::newRow("wavelength 1310") << 1 << 0 << QByteArray::fromHex("051E0101") << "1310 nm" << blankPower << 0;
    QTest::newRow("wavelength 1550") << 1 << 0 << QByteArray::fromHex("060E0000") << "1550 nm" << blankPower << 0;
    QTest::newRow("wavelength, measuring") << 1 << 1 << QByteArray::fromHex("060E0000") << "1550 nm" << " | | " << 1;
}

void ReplyHandlingTest::unmatchedFrameFollowsWavelengthMode()
{
    QFETCH(int, mode);
    QFETCH(int, measuring);
    QFETCH(QByteArray, bytes);
    QFETCH(int, requests);
    WindowHarness h;
    QVERIFY(openSilent(h));
    QTRY_COMPARE(h.text("label_5"), QStringLiteral("850 nm"));
    wavelengthMode = mode;
    measureState = measuring;

    QFETCH(QString, wavelength);
    QFETCH(QString, power);
    h.sim.sendRaw(bytes);
    QTRY_COMPARE(h.text("label_5"), wavelength);
    QTRY_COMPARE(powerLabels(h), power);
    QTest::qWait(80);
    QCOMPARE(h.written(meter::cmdMeasure), requests);
    QCOMPARE(h.sim.received().size(), requests);
    QCOMPARE(wavelengthMode, requests ? 0 : mode);
}

void ReplyHandlingTest::shortFrameAfterGap_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("wavelength");
    QTest::addColumn<QString>("power");

    QTest::newRow("one byte as power") << 0 << QByteArray::fromHex("05") << "850 nm" << " |12.80|dBm";
    QTest::newRow("one byte as wavelength") << 1 << QByteArray::fromHex("05") << "1280 nm" << blankPower;
    QTest::newRow("two bytes as power") << 0 << QByteArray::fromHex("051E") << "850 nm" << " |13.10|dBm";
    QTest::newRow("two bytes as wavelength") << 1 << QByteArray::fromHex("060E") << "1550 nm" << blankPower;
    QTest::newRow("three bytes stay dBm") << 0 << QByteArray::fromHex("05DC01") << "850 nm" << "-|15.00|dBm";
}

void ReplyHandlingTest::shortFrameAfterGap()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, bytes);
    WindowHarness h;
    QVERIFY(openSilent(h));
    QTRY_COMPARE(h.text("label_5"), QStringLiteral("850 nm"));
    wavelengthMode = mode;
    measureState = 1;

    QFETCH(QString, wavelength);
    QFETCH(QString, power);
    h.sim.sendRaw(bytes);
    QTRY_COMPARE(h.text("label_5"), wavelength);
    QTRY_COMPARE(powerLabels(h), power);
    QVERIFY(h.waitForWritten(meter::cmdMeasure, 1));
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

    // Stop the meter: exactly one request stays unanswered.
    h.sim.setAnswering(false);
    QTest::qWait(100);
    const int requests = h.written(meter::cmdMeasure);
    QCOMPARE(h.sim.repliesSent(), requests); // the query's reply and every request's but one
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
    QTest::qWait(150);
    const int requests = h.written(meter::cmdMeasure);
    QTest::qWait(150);
    QCOMPARE(h.written(meter::cmdMeasure), requests);
    QCOMPARE(h.sim.received().size(), h.sim.repliesSent()); // all answered, none pending
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

    h.sim.sendRaw(QByteArray::fromHex("05"));
    QTest::qWait(10);
    QCOMPARE(powerLabels(h), blankPower);
    h.sim.sendRaw(QByteArray::fromHex("DC0100"));
    QTRY_COMPARE(powerLabels(h), QStringLiteral("-|15.00|dBm"));
    QTest::qWait(100);
    QCOMPARE(h.sim.received(), QByteArray("\x82"));
    QCOMPARE(powerLabels(h), QStringLiteral("-|15.00|dBm"));
}

void ReplyHandlingTest::splitRepliesFromTheMeter()
{
    WindowHarness h;
    h.sim.setPowerLevel(-15.0);
    QVERIFY(h.openSimulatedPort());
    QTRY_COMPARE(h.text("label_5"), QStringLiteral("850 nm"));
    h.sim.setSplitReplies(1, 15);
    h.click("pushButton_read");
    for (int sample = 0; sample < 20; ++sample) {
        QTest::qWait(7);
        const QString shown = powerLabels(h);
        QVERIFY2(shown == blankPower || shown == QStringLiteral("-|15.00|dBm"), qPrintable(shown));
    }
    QVERIFY(h.waitForWritten(meter::cmdMeasure, 5));
    h.sim.setAnswering(false);
    QTest::qWait(100);
    QCOMPARE(h.sim.repliesSent(), h.written(meter::cmdMeasure)); // query answered, one request open
}

void ReplyHandlingTest::twoFramesInOneDelivery()
{
    WindowHarness h;
    QVERIFY(openSilent(h));
    h.click("pushButton_read");
    QVERIFY(waitForReceived(h.sim, 1));

    h.sim.sendRaw(QByteArray::fromHex("05DC010007D00001"));
    QTRY_COMPARE(powerLabels(h), QStringLiteral(" |20.00|dB"));
    QTest::qWait(100);
    QCOMPARE(h.sim.received(), QByteArray("\x82\x82"));
}

// Each reply is shown as the kind of the command it answers.
void ReplyHandlingTest::lambdaDuringMeasurement()
{
    WindowHarness h;
    h.sim.setPowerLevel(-15.0);
    QVERIFY(h.openSimulatedPort());
    QTRY_COMPARE(h.text("label_5"), QStringLiteral("850 nm"));
    h.sim.setReplyDelay(30);
    h.click("pushButton_read");
    QVERIFY(h.waitForWritten(meter::cmdMeasure, 3));

    h.click("pushButton_SendTo_lamda");
    QTRY_COMPARE(h.text("label_5"), QStringLiteral("1300 nm"));
    QVERIFY(h.waitForWritten(meter::cmdMeasure, h.written(meter::cmdMeasure) + 3));
    QCOMPARE(h.text("label_5"), QStringLiteral("1300 nm"));
    QCOMPARE(powerLabels(h), QStringLiteral("-|15.00|dBm"));

    h.sim.setAnswering(false);
    QTest::qWait(150);
    QCOMPARE(h.sim.received().size() - h.sim.repliesSent(), 1);
    QCOMPARE(h.sim.received().right(1), QByteArray("\x82"));
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
    QVERIFY(h.waitForWritten(meter::cmdMeasure, 3, 3000));
    const qint64 waited = stalled.elapsed();
    QVERIFY2(waited >= 800 && waited <= 2500, qPrintable(QString::number(waited)));
    QTRY_COMPARE(powerLabels(h), QStringLiteral("-|15.00|dBm"));
}

// A meter that stops answering must not leave its last reading looking live.
void ReplyHandlingTest::silentMeterBlanksStaleReading()
{
    WindowHarness h;
    h.sim.setPowerLevel(-15.0);
    QVERIFY(h.openSimulatedPort());
    h.click("pushButton_read");
    QVERIFY(h.waitForWritten(meter::cmdMeasure, 3));
    h.sim.setAnswering(false);
    QTest::qWait(20);
    const int requestsBefore = h.written(meter::cmdMeasure);

    QVERIFY(h.waitForWritten(meter::cmdMeasure, requestsBefore + 1, 2000));
    QCOMPARE(powerLabels(h), QStringLiteral("-|15.00|dBm")); // one lost reply is not yet stale
    QVERIFY(h.waitForWritten(meter::cmdMeasure, requestsBefore + 2, 2000));
    QTRY_COMPARE(powerLabels(h), blankPower);
    QCOMPARE(h.boxes.boxes().size(), 1);

    h.sim.setAnswering(true);
    QTRY_COMPARE_WITH_TIMEOUT(powerLabels(h), QStringLiteral("-|15.00|dBm"), 3000);
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
    QTest::qWait(100);
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
