// SPDX-License-Identifier: MIT
// What the line does, end to end through the simulated meter: whatever
// happens, every reading shown is one the meter sent in that role, one
// command at most waits at the meter, the wavelength shown ends as the
// meter's and the live display goes on.

#include "support/windowharness.h"

#include <QMessageBox>
#include <QSet>
#include <QSignalSpy>
#include <QtTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using namespace testsupport;

namespace {

enum class Fault {
    LateReply,
    StrayFrame,
    TwoByteWavelengths,
    SplitReplies,
    LateLambda,
    LambdaAndQueryLost,
};

QString powerText(const meter::Frame &frame)
{
    return meter::signText(frame) + QLatin1Char('|') + meter::magnitudeText(frame) + QLatin1Char('|')
           + meter::unitText(frame);
}

QString wavelengthOf(const MeterSimulator &sim)
{
    return QString::number(sim.currentWavelength()) + QStringLiteral(" nm");
}

// Records the reading labels' texts after every reply and every given-up
// command: each state the window put up, however briefly.
class ShownReadings : public QObject
{
public:
    explicit ShownReadings(WindowHarness &h) : h(h)
    {
        connect(h.link(), &meter::MeterLink::replyReceived, this, &ShownReadings::record);
        connect(h.link(), &meter::MeterLink::commandGivenUp, this, &ShownReadings::record);
    }

    // Every state shown was sent by the meter in that role; frames that
    // answer nothing count as power only where strays may be taken for replies.
    void verifyAgainst(const MeterSimulator &sim, bool straysMayShow) const
    {
        QSet<QString> sentWavelengths{meter::blankText};
        QSet<QString> sentPowers{QStringLiteral(" | | ")};
        for (const MeterSimulator::Answer &answer : sim.answers()) {
            const meter::Frame frame = meter::decodeFrame(answer.bytes);
            if (answer.command == meter::cmdMeasure || (answer.command == 0 && straysMayShow))
                sentPowers.insert(powerText(frame));
            else if (answer.command != 0)
                sentWavelengths.insert(meter::wavelengthText(frame));
        }
        QVERIFY(powerReadings > 1);
        const QSet<QString> wrongWavelengths = wavelengths - sentWavelengths;
        const QSet<QString> wrongPowers = powers - sentPowers;
        QVERIFY2(wrongWavelengths.isEmpty(), qPrintable(QStringList(wrongWavelengths.values()).join(", ")));
        QVERIFY2(wrongPowers.isEmpty(), qPrintable(QStringList(wrongPowers.values()).join(", ")));
    }

    int powerReadings = 0;

private:
    void record()
    {
        wavelengths.insert(h.text("label_5"));
        const QString power = h.text("label_9") + QLatin1Char('|') + h.text("label_7") + QLatin1Char('|')
                              + h.text("label_8");
        if (power != lastPower)
            ++powerReadings;
        lastPower = power;
        powers.insert(power);
    }

    WindowHarness &h;
    QSet<QString> wavelengths;
    QSet<QString> powers;
    QString lastPower;
};

// A serial line's flow stopped from a second handle on the port: the
// program's writes cannot leave until it is started again.
class StoppedLine
{
public:
    explicit StoppedLine(const QString &path)
        : fd(::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
    }
    ~StoppedLine()
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool stop() { return fd >= 0 && ::tcflow(fd, TCOOFF) == 0; }
    bool start() { return ::tcflow(fd, TCOON) == 0; }

private:
    int fd;
};

bool measuring(WindowHarness &h)
{
    if (!h.openSimulatedPort())
        return false;
    h.click("pushButton_read");
    return h.waitForWritten(meter::cmdMeasure, 10);
}

// Long enough at the meter's new pace for the link to know its latency.
bool pacedAt(WindowHarness &h, int replyDelayMs)
{
    h.sim.setReplyDelay(replyDelayMs);
    return h.waitForWritten(meter::cmdMeasure, h.written(meter::cmdMeasure) + 20);
}

// Runs until the meter has answered `count` more times.
bool answersGoOn(WindowHarness &h, int count, int timeoutMs = 5000)
{
    const int before = h.sim.answers().size();
    return waitUntil([&] { return h.sim.answers().size() >= before + count; }, timeoutMs);
}

} // namespace

Q_DECLARE_METATYPE(Fault)

class LineEventsTest : public QObject
{
    Q_OBJECT

private slots:
    void readingsKeepTheirRole_data();
    void readingsKeepTheirRole();
    void stalledLineReportsEachOutageOnce();
    void heldRequestsReplyShownUnderTheBox_data();
    void heldRequestsReplyShownUnderTheBox();
    void silentPortGetsNothingMore();
    void realTimings();
};

void LineEventsTest::readingsKeepTheirRole_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("latePercent"); // of the deadline
    QTest::addColumn<bool>("pressLambda"); // now and then, while measuring
    QTest::newRow("late reply") << Fault::LateReply << 130 << true;
    QTest::newRow("stray frame") << Fault::StrayFrame << 0 << false;
    QTest::newRow("2-byte wavelengths, Lambda while measuring") << Fault::TwoByteWavelengths << 0 << true;
    QTest::newRow("reply split by a pause") << Fault::SplitReplies << 0 << true;
    QTest::newRow("Lambda reply 1.2 deadlines late") << Fault::LateLambda << 120 << false;
    QTest::newRow("Lambda reply 2.5 deadlines late") << Fault::LateLambda << 250 << false;
    QTest::newRow("Lambda reply 4 deadlines late") << Fault::LateLambda << 400 << false;
    QTest::newRow("Lambda reply lost, and the query after it") << Fault::LambdaAndQueryLost << 0 << false;
}

void LineEventsTest::readingsKeepTheirRole()
{
    QFETCH(Fault, fault);
    QFETCH(int, latePercent);
    QFETCH(bool, pressLambda);
    int lost = 0; // replies the meter dropped
    WindowHarness h;
    h.sim.setNoise(40); // a reading that changes with every reply
    ShownReadings shown(h);
    QVERIFY(measuring(h));
    const int deadline = h.timing().deadlineMs;

    switch (fault) {
    case Fault::LateReply:
        h.sim.setLateEvery(12, deadline * latePercent / 100);
        break;
    case Fault::StrayFrame:
        // A meter slow enough that a stray frame lands while the next
        // request awaits its reply, and is taken for that reply.
        QVERIFY(pacedAt(h, 6));
        h.sim.setStrayEvery(8, 3);
        break;
    case Fault::TwoByteWavelengths:
        h.sim.setWavelengthReplyLength(2);
        break;
    case Fault::SplitReplies:
        h.sim.setSplitReplies(2, h.timing().gapMs / 3);
        break;
    case Fault::LambdaAndQueryLost: {
        // The meter steps, but neither that reply nor the next comes.
        int sinceLambda = -1;
        const QMetaObject::Connection losing =
            connect(&h.sim, &MeterSimulator::commandReceived, this, [&](quint8 command) {
                if (command == meter::cmdNextWavelength)
                    sinceLambda = 0;
                else if (sinceLambda >= 0)
                    ++sinceLambda;
                h.sim.setDropEvery(sinceLambda == 0 || sinceLambda == 1 ? 1 : 0);
                lost += sinceLambda == 0 || sinceLambda == 1;
            });
        h.click("pushButton_SendTo_lamda");
        QTRY_COMPARE_WITH_TIMEOUT(h.text("label_5"), wavelengthOf(h.sim), deadline * 12);
        QVERIFY(answersGoOn(h, 10));
        disconnect(losing);
        break;
    }
    case Fault::LateLambda: {
        h.sim.setLateReplies(meter::cmdNextWavelength, deadline * latePercent / 100);
        QSignalSpy lambdaSent(&h.sim, &MeterSimulator::replySent);
        h.click("pushButton_SendTo_lamda");
        // Late, then caught up: the meter's own wavelength, and readings again.
        QTRY_COMPARE_WITH_TIMEOUT(h.text("label_5"), wavelengthOf(h.sim), deadline * (latePercent / 100 + 8));
        QVERIFY(answersGoOn(h, 10));
        break;
    }
    }
    for (int round = 0; round < 4 && fault != Fault::LateLambda && fault != Fault::LambdaAndQueryLost; ++round) {
        QVERIFY(answersGoOn(h, 6));
        if (pressLambda)
            h.click("pushButton_SendTo_lamda");
    }
    h.sim.setLateEvery(0, 0);
    h.sim.setLateReplies(meter::cmdNextWavelength, 0);
    h.sim.setStrayEvery(0);
    h.sim.setSplitReplies(0, 0);

    // Settled: each command reaches a meter that has answered the one before.
    QVERIFY(answersGoOn(h, 6, 10 * deadline));
    int mostWaiting = 0;
    connect(&h.sim, &MeterSimulator::commandReceived, this,
            [&] { mostWaiting = qMax(mostWaiting, h.sim.received().size() - 1 - h.sim.repliesSent() - lost); });
    QVERIFY(answersGoOn(h, 12));
    QCOMPARE(mostWaiting, 0);
    shown.verifyAgainst(h.sim, fault == Fault::StrayFrame);
    QTRY_COMPARE(h.text("label_5"), wavelengthOf(h.sim));
}

// A stalled line raises one write-error box, under which replies are shown
// once it frees; a second stall is a new outage with its own box.
void LineEventsTest::stalledLineReportsEachOutageOnce()
{
    WindowHarness h;
    h.sim.setNoise(40);
    QVERIFY(measuring(h));
    StoppedLine line(h.sim.portPath());
    int readingsUnderBox = 0;
    ShownReadings shown(h);
    h.boxes.setBeforeDismiss([&](QMessageBox *) {
        const int before = shown.powerReadings;
        QVERIFY(line.start());
        QVERIFY(waitUntil([&] { return shown.powerReadings > before + 5; }, 3000));
        readingsUnderBox += shown.powerReadings - before;
    });
    for (int outage = 1; outage <= 2; ++outage) {
        QVERIFY(line.stop());
        QVERIFY(h.boxes.waitForBoxes(1 + outage, 3000));
        QTRY_VERIFY(readingsUnderBox > 5 * outage);
    }
    h.boxes.setBeforeDismiss(nullptr);
    QCOMPARE(h.boxes.boxes().size(), 3);
    for (int box : {1, 2})
        QCOMPARE(h.boxes.boxes().at(box).text, QStringLiteral("Ошибка записи в порт ") + h.sim.portPath());
    shown.verifyAgainst(h.sim, false);
}

// The request held by the line reaches the meter once it flows again; the
// meter's answer to it is shown in its role, while the box is still up, and
// the request is not given up. A slow meter's quiet wait outlasts the hold.
void LineEventsTest::heldRequestsReplyShownUnderTheBox_data()
{
    QTest::addColumn<int>("latencyMs");
    QTest::addColumn<int>("deadlineMs");
    QTest::newRow("prompt meter") << 0 << testsupport::quickTiming.deadlineMs;
    QTest::newRow("meter answering in 150 ms") << 150 << 700;
}

void LineEventsTest::heldRequestsReplyShownUnderTheBox()
{
    QFETCH(int, latencyMs);
    QFETCH(int, deadlineMs);
    WindowHarness h(meter::Timing{testsupport::quickTiming.gapMs, deadlineMs});
    h.sim.setReplyDelay(latencyMs);
    QVERIFY(measuring(h));
    QVERIFY(waitUntil([&] { return h.sim.repliesSent() >= 5; }, 20 * latencyMs + 2000));
    StoppedLine line(h.sim.portPath());
    QSignalSpy givenUp(h.link(), &meter::MeterLink::commandGivenUp);
    bool shown = false;
    h.boxes.setBeforeDismiss([&](QMessageBox *) {
        // A level never sent before, and the held request the meter's last answer.
        h.sim.setPowerLevel(-23.45);
        connect(&h.sim, &MeterSimulator::answered, this, [&] { h.sim.setAnswering(false); });
        QVERIFY(line.start());
        shown = waitUntil([&] { return h.text("label_9") + h.text("label_7") + h.text("label_8") == "-23.45dBm"; },
                          latencyMs + 2000);
    });
    QVERIFY(line.stop());
    QVERIFY(h.boxes.waitForBoxes(2, 3000));
    QVERIFY(shown);
    QCOMPARE(givenUp.count(), 0);
}

// Where nothing answers the query, the link writes nothing more and waits
// for nothing.
void LineEventsTest::silentPortGetsNothingMore()
{
    WindowHarness h;
    QVERIFY(measuring(h));
    h.click("pushButton_ClosePort");
    QVERIFY(h.boxes.waitForBoxes(2));
    h.sim.setAnswering(false);
    h.sim.clearLog();
    QSignalSpy givenUp(h.link(), &meter::MeterLink::commandGivenUp);
    selectPort(h.window.get(), h.sim.portPath());
    h.click("pushButton_OpenPort");
    QVERIFY(h.boxes.waitForBoxes(3));
    QVERIFY(givenUp.wait(3 * h.timing().deadlineMs));
    QVERIFY(!h.link()->nextWakeup());
    QCOMPARE(h.sim.received(), QByteArray("\x7A"));
    QCOMPARE(h.boxes.boxes().size(), 3);
}

// The user's times, end to end: a reply cut by a pause shorter than the
// 50 ms gap is one reading, and a lost one is asked for again after 1 s.
void LineEventsTest::realTimings()
{
    WindowHarness h(meter::Timing{});
    h.sim.setNoise(40);
    ShownReadings shown(h);
    QVERIFY(measuring(h));
    h.sim.setSplitReplies(2, 30);
    QVERIFY(answersGoOn(h, 5));
    h.sim.setSplitReplies(0, 0);
    shown.verifyAgainst(h.sim, false);

    QSignalSpy givenUp(h.link(), &meter::MeterLink::commandGivenUp);
    h.sim.setAnswering(false);
    QVERIFY(givenUp.wait(3000));
    h.sim.setAnswering(true);
    QVERIFY(answersGoOn(h, 1));
    QVector<qint64> heard; // when the meter heard each request
    for (const MeterSimulator::LogEntry &entry : h.sim.log())
        if (entry.direction == MeterSimulator::LogEntry::Received)
            heard.append(entry.msecs);
    QVERIFY(heard.size() >= 2);
    const qint64 repeatedAfter = heard.last() - heard.at(heard.size() - 2);
    QVERIFY2(repeatedAfter >= 950 && repeatedAfter <= 1500, qPrintable(QString::number(repeatedAfter)));
}

QTEST_MAIN(LineEventsTest)
#include "tst_lineevents.moc"
