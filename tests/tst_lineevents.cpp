// What the line does, end to end through the simulated meter: whatever
// happens, every reading shown is one the meter sent in that role, one
// command at most waits at the meter, and the live display goes on.

#include "app/sharedstate.h"
#include "support/windowharness.h"

#include <QMessageBox>
#include <QSet>
#include <QtTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using namespace testsupport;

namespace {

enum class LineEvent {
    LateReply,
    StrayFrame,
    TwoByteWavelengths,
    SplitReplies,
    StalledLine,
    SilentAfterReopen,
};

QString powerText(const meter::Frame &frame)
{
    return meter::signText(frame) + QLatin1Char('|') + meter::magnitudeText(frame) + QLatin1Char('|')
           + meter::unitText(frame);
}

// Records the reading labels' texts after every reply and every given-up
// command: each state the window put up, however briefly.
class ShownReadings : public QObject
{
public:
    explicit ShownReadings(WindowHarness &h) : h(h)
    {
        auto *link = h.window->findChild<meter::MeterLink *>();
        connect(link, &meter::MeterLink::replyReceived, this, &ShownReadings::record);
        connect(link, &meter::MeterLink::commandGivenUp, this, &ShownReadings::record);
    }

    QSet<QString> wavelengths;
    QSet<QString> powers;
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
    ~StoppedLine() { if (fd >= 0) ::close(fd); }
    bool stop() { return fd >= 0 && ::tcflow(fd, TCOOFF) == 0; }
    bool start() { return ::tcflow(fd, TCOON) == 0; }

private:
    int fd;
};

} // namespace

Q_DECLARE_METATYPE(LineEvent)

class LineEventsTest : public QObject
{
    Q_OBJECT

private slots:
    void readingsKeepTheirRole_data();
    void readingsKeepTheirRole();
};

void LineEventsTest::readingsKeepTheirRole_data()
{
    QTest::addColumn<LineEvent>("event");
    QTest::addColumn<bool>("pressLambda"); // now and then, while measuring
    QTest::newRow("late reply") << LineEvent::LateReply << true;
    QTest::newRow("stray frame") << LineEvent::StrayFrame << false;
    QTest::newRow("2-byte wavelengths, Lambda while measuring") << LineEvent::TwoByteWavelengths << true;
    QTest::newRow("reply split by a pause") << LineEvent::SplitReplies << true;
    QTest::newRow("stalled line, replies under its box") << LineEvent::StalledLine << false;
    QTest::newRow("silent port after reopening") << LineEvent::SilentAfterReopen << false;
}

void LineEventsTest::readingsKeepTheirRole()
{
    QFETCH(LineEvent, event);
    QFETCH(bool, pressLambda);
    WindowHarness h;
    h.sim.setNoise(40); // a reading that changes with every reply
    ShownReadings shown(h);
    QVERIFY(h.openSimulatedPort());
    h.click("pushButton_read");
    QVERIFY(h.waitForWritten(meter::cmdMeasure, 20));

    switch (event) {
    case LineEvent::LateReply:
        h.sim.setLateEvery(40, meter::replyDeadlineMs + 300);
        break;
    case LineEvent::StrayFrame:
        // A meter slow enough that a stray frame lands while the next
        // request awaits its reply, and is taken for that reply.
        h.sim.setReplyDelay(20);
        h.sim.setStrayEvery(20, 5);
        break;
    case LineEvent::TwoByteWavelengths:
        h.sim.setWavelengthReplyLength(2);
        break;
    case LineEvent::SplitReplies:
        h.sim.setSplitReplies(2, meter::replyGapMs / 2);
        break;
    case LineEvent::StalledLine: {
        StoppedLine line(h.sim.portPath());
        int writeErrors = 0;
        int readingsUnderBox = 0;
        h.boxes.setBeforeDismiss([&](QMessageBox *) {
            ++writeErrors;
            QTest::qWait(2 * meter::replyDeadlineMs + 500); // no second box meanwhile
            const int readingsBefore = shown.powerReadings;
            QVERIFY(line.start());
            QVERIFY(QTest::qWaitFor([&] { return shown.powerReadings > readingsBefore + 5; }, 3000));
            readingsUnderBox = shown.powerReadings - readingsBefore;
        });
        QVERIFY(line.stop());
        QVERIFY(h.boxes.waitForBoxes(2, 3000));
        QTRY_VERIFY(writeErrors == 1 && readingsUnderBox > 0);
        QCOMPARE(h.boxes.boxes().last().text, QStringLiteral("Ошибка записи в порт ") + h.sim.portPath());
        h.boxes.setBeforeDismiss(nullptr);
        break;
    }
    case LineEvent::SilentAfterReopen:
        h.click("pushButton_ClosePort");
        QVERIFY(h.boxes.waitForBoxes(2));
        h.sim.setAnswering(false);
        h.sim.clearLog();
        selectPort(h.window.get(), h.sim.portPath());
        h.click("pushButton_OpenPort");
        QVERIFY(h.boxes.waitForBoxes(3));
        QTest::qWait(2 * meter::replyDeadlineMs + 500);
        QCOMPARE(h.sim.received(), QByteArray("\x7A"));
        QCOMPARE(h.boxes.boxes().size(), 3);
        return;
    }

    QElapsedTimer running;
    running.start();
    while (running.elapsed() < 2000) {
        QTest::qWait(250);
        if (pressLambda)
            h.click("pushButton_SendTo_lamda");
    }
    h.sim.setLateEvery(0, 0);
    h.sim.setStrayEvery(0);
    h.sim.setSplitReplies(0, 0);

    // Settled after the next exchanges: one command at most at the meter.
    QTest::qWait(2 * meter::replyDeadlineMs);
    int mostWaiting = 0;
    for (int sample = 0; sample < 100; ++sample) {
        mostWaiting = qMax(mostWaiting, h.unanswered());
        QTest::qWait(2);
    }
    QVERIFY2(mostWaiting <= 1, qPrintable(QString::number(mostWaiting)));
    const int answersBefore = h.sim.answers().size();
    QTRY_VERIFY(h.sim.answers().size() > answersBefore + 20);

    QSet<QString> sentWavelengths{meter::blankText};
    QSet<QString> sentPowers{QStringLiteral(" | | ")};
    for (const MeterSimulator::Answer &answer : h.sim.answers()) {
        const meter::Frame frame = meter::decodeFrame(answer.bytes);
        if (answer.command == meter::cmdMeasure || answer.command == 0)
            sentPowers.insert(powerText(frame));
        else
            sentWavelengths.insert(meter::wavelengthText(frame));
    }
    QVERIFY(!shown.powers.isEmpty());
    const QSet<QString> wrongWavelengths = shown.wavelengths - sentWavelengths;
    const QSet<QString> wrongPowers = shown.powers - sentPowers;
    QVERIFY2(wrongWavelengths.isEmpty(), qPrintable(QStringList(wrongWavelengths.values()).join(", ")));
    QVERIFY2(wrongPowers.isEmpty(), qPrintable(QStringList(wrongPowers.values()).join(", ")));
    if (pressLambda)
        QTRY_COMPARE(h.text("label_5"), QString::number(h.sim.currentWavelength()) + QStringLiteral(" nm"));
}

QTEST_MAIN(LineEventsTest)
#include "tst_lineevents.moc"
