// SPDX-License-Identifier: MIT
#include "port/lineport.h"
#include "sim/metersimulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QSerialPort>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>

using SetUp = std::function<void(MeterSimulator &)>;
using Levels = QMap<quint16, double>;
Q_DECLARE_METATYPE(SetUp)
Q_DECLARE_METATYPE(Levels)

namespace {

// Runs the event loop until done() holds, waking on every event instead of
// every 10 ms as QTest::qWaitFor does: a test takes as long as its line.
bool waitUntil(const std::function<bool()> &done, int timeoutMs = 3000)
{
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(timeoutMs);
    while (!done()) {
        if (!deadline.isActive())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

bool waitForReceived(MeterSimulator &sim, int byteCount)
{
    return waitUntil([&] { return sim.received().size() >= byteCount; });
}

// The window's side of the line: a real QSerialPort that keeps each delivery.
struct Peer
{
    QSerialPort port;
    QVector<QByteArray> deliveries;
    QVector<qint64> arrivals;
    QElapsedTimer clock;

    Peer()
    {
        // Qt 6 refuses unique connections to lambdas: connect once, here.
        QObject::connect(&port, &QSerialPort::readyRead, &port, [this] {
            deliveries.append(port.readAll());
            arrivals.append(clock.elapsed());
        });
    }

    bool open(const QString &path)
    {
        port.setPortName(path);
        applyMeterLineSettings(port);
        clock.start();
        return port.open(QIODevice::ReadWrite);
    }
    QByteArray all() const
    {
        QByteArray bytes;
        for (const QByteArray &delivery : deliveries)
            bytes += delivery;
        return bytes;
    }
    bool waitForBytes(int count, int timeoutMs = 3000)
    {
        return waitUntil([&] { return all().size() >= count; }, timeoutMs);
    }
    // When the byte at index came, on clock; -1 if it has not.
    qint64 arrivalOf(int index) const
    {
        int seen = 0;
        for (int i = 0; i < deliveries.size(); ++i) {
            seen += deliveries.at(i).size();
            if (seen > index)
                return arrivals.at(i);
        }
        return -1;
    }
};

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QString simulatorBinary()
{
    const QString dir = QCoreApplication::applicationDirPath();
    for (const QString &candidate : {dir + QStringLiteral("/zerak-sim"), dir + QStringLiteral("/../zerak-sim")})
        if (QFileInfo(candidate).isExecutable())
            return candidate;
    return QString();
}

#ifdef Q_OS_LINUX
// 1 when the port is exclusive, 0 when not, -1 when that cannot be told.
// Root opens it either way, and then the flag itself tells. The probe's own
// close reaches the simulator too; it is awaited, so that the next check
// sees what the simulator made of it.
int exclusiveFlag(const QString &path, QSignalSpy &closes)
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY ? 1 : -1;
    int flag = -1;
    if (::ioctl(fd, TIOCGEXCL, &flag) != 0)
        flag = -1;
    const int before = closes.count();
    ::close(fd);
    return waitUntil([&] { return closes.count() > before; }) ? flag : -1;
}
#endif

// A frame's arrival, in ms after the write, against the earliest it may come.
// Both clocks count whole ms.
constexpr int clockSlackMs = 3;

} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void answersEachCommand_data();
    void answersEachCommand();
    void noiseStaysNearLevelAndRepeatsWithSeed();
    void replyTiming_data();
    void replyTiming();
    void deliveries_data();
    void deliveries();
    void splitPausesWithinEachReply();
    void replyFaults_data();
    void replyFaults();
    void hangUp_data();
    void hangUp();
    void logRecordsBothDirections();
    void peerCanCloseAndReopen();
    void killedClientLeavesThePortFree();
    void commandLineUsage_data();
    void commandLineUsage();
    void commandLineServesUntilInterrupted_data();
    void commandLineServesUntilInterrupted();
    void slowerThanTheReplyDeadline();

private:
    // A meter slower than the 1 s reply deadline. Its exchange starts in
    // initTestCase and is checked last, so its seconds pass during the rest.
    std::unique_ptr<MeterSimulator> slowMeter;
    std::unique_ptr<Peer> slowPeer;
};

void TestSimulator::initTestCase()
{
    slowMeter = std::make_unique<MeterSimulator>();
    slowMeter->setReplyDelay(1100);
    QVERIFY(slowMeter->start());
    slowPeer = std::make_unique<Peer>();
    QVERIFY(slowPeer->open(slowMeter->portPath()));
    slowPeer->port.write(hex("7a"));
    QTimer::singleShot(100, &slowPeer->port, [this] { slowPeer->port.write(hex("7b")); });
}

void TestSimulator::answersEachCommand_data()
{
    QTest::addColumn<int>("wavelengthIndex");
    QTest::addColumn<double>("level");
    QTest::addColumn<Levels>("levels");
    QTest::addColumn<bool>("decibel");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QByteArray>("expected");

    const Levels none;
    const Levels two{{1310, -12.5}, {1550, -11.0}};
    QTest::newRow("0x7A current wavelength") << 0 << -15.0 << none << false << hex("7a") << hex("03520000");
    QTest::newRow("0x7A after index set") << 4 << -15.0 << none << false << hex("7a") << hex("060e0000");
    QTest::newRow("0x7B steps") << 0 << -15.0 << none << false << hex("7b") << hex("05140000");
    QTest::newRow("0x7B wraps to the first") << 5 << -15.0 << none << false << hex("7b") << hex("03520000");
    QTest::newRow("0x7B then 0x7A stays")
        << 1 << -15.0 << none << false << hex("7b7a") << hex("051e0000 051e0000");
    QTest::newRow("0x82 negative dBm") << 0 << -15.0 << none << false << hex("82") << hex("05dc0100");
    QTest::newRow("0x82 positive dB") << 0 << 3.21 << none << true << hex("82") << hex("01410001");
    QTest::newRow("0x82 rounds to hundredths") << 0 << -0.456 << none << false << hex("82") << hex("002e0100");
    QTest::newRow("0x82 zero has no sign") << 0 << 0.0 << none << false << hex("82") << hex("00000000");
    QTest::newRow("0x82 clamps the magnitude") << 0 << -700.0 << none << true << hex("82") << hex("ffff0101");
    QTest::newRow("0x82 level of the current wavelength")
        << 2 << -15.0 << two << false << hex("82") << hex("04e20100");
    QTest::newRow("0x82 wavelength without a level of its own")
        << 0 << -15.0 << two << false << hex("82") << hex("05dc0100");
    QTest::newRow("0x7B then 0x82 reads at the new wavelength")
        << 3 << -15.0 << two << false << hex("7b82") << hex("060e0000 044c0100");
    QTest::newRow("0x82 sign of the wavelength's level")
        << 0 << -15.0 << Levels{{850, 3.21}} << true << hex("82") << hex("01410001");
    QTest::newRow("unknown byte alone") << 0 << -15.0 << none << false << hex("ff") << QByteArray();
    QTest::newRow("unknown bytes skipped") << 0 << -15.0 << none << false << hex("41007a7f") << hex("03520000");
    QTest::newRow("several in one write")
        << 0 << -15.0 << none << false << hex("7a827b") << hex("03520000 05dc0100 05140000");
}

void TestSimulator::answersEachCommand()
{
    QFETCH(int, wavelengthIndex);
    QFETCH(double, level);
    QFETCH(Levels, levels);
    QFETCH(bool, decibel);
    QFETCH(QByteArray, written);
    QFETCH(QByteArray, expected);

    MeterSimulator sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    sim.setWavelengthIndex(wavelengthIndex);
    sim.setPowerLevel(level);
    sim.setPowerLevels(levels);
    sim.setPowerInDecibel(decibel);
    sim.setNoise(0);
    Peer peer;
    QVERIFY2(peer.open(sim.portPath()), qPrintable(peer.port.errorString()));

    peer.port.write(written);
    QVERIFY(waitForReceived(sim, written.size()));
    QCOMPARE(sim.received(), written);
    QCOMPARE(sim.sent().toHex(), expected.toHex());
    QVERIFY(peer.waitForBytes(expected.size()));
    QCOMPARE(peer.all().toHex(), expected.toHex());
}

void TestSimulator::noiseStaysNearLevelAndRepeatsWithSeed()
{
    const QByteArray requests(100, char(0x82));
    QVector<QByteArray> runs;
    for (int run = 0; run < 2; ++run) {
        MeterSimulator sim;
        QVERIFY(sim.start());
        sim.setPowerLevel(-15.0);
        sim.setNoise(3);
        sim.setNoiseSeed(42);
        Peer peer;
        QVERIFY(peer.open(sim.portPath()));
        peer.port.write(requests);
        QVERIFY(peer.waitForBytes(4 * requests.size()));
        runs.append(peer.all());
    }
    QCOMPARE(runs.at(0), runs.at(1));

    QSet<int> values;
    for (int i = 0; i < runs.at(0).size(); i += 4) {
        const QByteArray frame = runs.at(0).mid(i, 4);
        const int value = quint8(frame.at(0)) << 8 | quint8(frame.at(1));
        QVERIFY2(value >= 1497 && value <= 1503, qPrintable(QString::number(value)));
        QCOMPARE(frame.mid(2).toHex(), QByteArray("0100"));
        values.insert(value);
    }
    QVERIFY(values.size() > 1);
}

void TestSimulator::replyTiming_data()
{
    QTest::addColumn<SetUp>("setUp");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QByteArray>("sentAtOnce"); // before any timer ran
    QTest::addColumn<QByteArray>("expected");   // the first bytes the peer gets
    QTest::addColumn<QVector<int>>("earliestMs"); // each frame, after the write
    QTest::addColumn<QVector<int>>("commands");   // answered, in order; 0: answers nothing

    QTest::newRow("reply delay keeps order")
        << SetUp([](MeterSimulator &sim) { sim.setReplyDelay(60); }) << hex("7a7b") << QByteArray()
        << hex("03520000 05140000") << QVector<int>{60, 60} << QVector<int>{0x7a, 0x7b};
    QTest::newRow("late every 2nd, the replies behind it wait")
        << SetUp([](MeterSimulator &sim) { sim.setLateEvery(2, 60); }) << hex("7a7a7a") << hex("03520000")
        << hex("03520000 03520000 03520000") << QVector<int>{0, 60, 60} << QVector<int>{0x7a, 0x7a, 0x7a};
    QTest::newRow("late 0x7B, the replies behind it wait")
        << SetUp([](MeterSimulator &sim) { sim.setLateReplies(0x7b, 60); }) << hex("7a7b82") << hex("03520000")
        << hex("03520000 05140000 05dc0100") << QVector<int>{0, 60, 60} << QVector<int>{0x7a, 0x7b, 0x82};
    QTest::newRow("late 0x7B held for its pair")
        << SetUp([](MeterSimulator &sim) {
               sim.setPairReplies(true);
               sim.setLateReplies(0x7b, 60);
           })
        << hex("7b7a") << QByteArray() << hex("05140000 05140000") << QVector<int>{60, 60}
        << QVector<int>{0x7b, 0x7a};
    QTest::newRow("chatter with no command")
        << SetUp([](MeterSimulator &sim) { sim.setChatter(30, hex("00010000")); }) << QByteArray() << QByteArray()
        << hex("00010000 00010000") << QVector<int>{30, 60} << QVector<int>{0, 0};
    QTest::newRow("chatter goes ahead of a late reply")
        << SetUp([](MeterSimulator &sim) {
               sim.setLateReplies(0x7b, 75);
               sim.setChatter(30);
           })
        << hex("7b") << QByteArray() << hex("04d20001 04d20001 05140000") << QVector<int>{30, 60, 75}
        << QVector<int>{0x7b, 0, 0};
    QTest::newRow("chatter waits for a reply part-way out")
        << SetUp([](MeterSimulator &sim) {
               sim.setTrickle(30);
               sim.setChatter(45);
           })
        << hex("7a") << hex("03") << hex("03520000 04d20001") << QVector<int>{90, 90} << QVector<int>{0x7a, 0};
}

void TestSimulator::replyTiming()
{
    QFETCH(SetUp, setUp);
    QFETCH(QByteArray, written);
    QFETCH(QByteArray, sentAtOnce);
    QFETCH(QByteArray, expected);
    QFETCH(QVector<int>, earliestMs);
    QFETCH(QVector<int>, commands);

    MeterSimulator sim;
    QVERIFY(sim.start());
    sim.setNoise(0);
    QSignalSpy answered(&sim, &MeterSimulator::answered);
    Peer peer;
    QVERIFY(peer.open(sim.portPath()));

    setUp(sim);
    const qint64 writtenAt = peer.clock.elapsed();
    peer.port.write(written);
    QVERIFY(waitForReceived(sim, written.size()));
    QCOMPARE(sim.sent().toHex(), sentAtOnce.toHex());
    QVERIFY(peer.waitForBytes(expected.size()));
    QCOMPARE(peer.all().left(expected.size()).toHex(), expected.toHex());
    for (int frame = 0; frame < earliestMs.size(); ++frame) {
        const qint64 after = peer.arrivalOf(4 * frame + 3) - writtenAt;
        QVERIFY2(after >= earliestMs.at(frame) - clockSlackMs,
                 qPrintable(QStringLiteral("frame %1 after %2 ms").arg(frame).arg(after)));
    }
    const QVector<MeterSimulator::Answer> answers = sim.answers();
    QVERIFY(answers.size() >= commands.size());
    QVERIFY(answered.size() >= commands.size());
    for (int i = 0; i < commands.size(); ++i) {
        QCOMPARE(int(answers.at(i).command), commands.at(i));
        QCOMPARE(answered.at(i).at(0).value<quint8>(), answers.at(i).command);
        QCOMPARE(answered.at(i).at(1).toByteArray().toHex(), answers.at(i).bytes.toHex());
    }
}

void TestSimulator::deliveries_data()
{
    QTest::addColumn<int>("splitBytes");
    QTest::addColumn<int>("pauseMs");
    QTest::addColumn<int>("trickleMs");
    QTest::addColumn<bool>("pair");
    QTest::addColumn<QByteArrayList>("writes"); // each awaited at the simulator
    QTest::addColumn<QVector<int>>("sentAfterEach");
    QTest::addColumn<QByteArrayList>("expected");

    QTest::newRow("split after one byte")
        << 1 << 50 << 0 << false << QByteArrayList{hex("7a")} << QVector<int>{1}
        << QByteArrayList{hex("03"), hex("520000")};
    QTest::newRow("split after three bytes")
        << 3 << 50 << 0 << false << QByteArrayList{hex("82")} << QVector<int>{3}
        << QByteArrayList{hex("05dc01"), hex("00")};
    QTest::newRow("split no shorter than the reply is off")
        << 4 << 50 << 0 << false << QByteArrayList{hex("7a")} << QVector<int>{4}
        << QByteArrayList{hex("03520000")};
    QTest::newRow("pair holds the first reply")
        << 0 << 0 << 0 << true << QByteArrayList{hex("7a"), hex("7b")} << QVector<int>{0, 8}
        << QByteArrayList{hex("0352000005140000")};
    QTest::newRow("pair leaves an odd reply held")
        << 0 << 0 << 0 << true << QByteArrayList{hex("7a7b7b")} << QVector<int>{8}
        << QByteArrayList{hex("0352000005140000")};
    QTest::newRow("trickle a byte at a time")
        << 0 << 0 << 40 << false << QByteArrayList{hex("7a")} << QVector<int>{1}
        << QByteArrayList{hex("03"), hex("52"), hex("00"), hex("00")};
}

void TestSimulator::deliveries()
{
    QFETCH(int, splitBytes);
    QFETCH(int, pauseMs);
    QFETCH(int, trickleMs);
    QFETCH(bool, pair);
    QFETCH(QByteArrayList, writes);
    QFETCH(QVector<int>, sentAfterEach);
    QFETCH(QByteArrayList, expected);

    MeterSimulator sim;
    QVERIFY(sim.start());
    sim.setNoise(0);
    sim.setSplitReplies(splitBytes, pauseMs);
    sim.setTrickle(trickleMs);
    sim.setPairReplies(pair);
    Peer peer;
    QVERIFY(peer.open(sim.portPath()));

    int written = 0;
    for (int i = 0; i < writes.size(); ++i) {
        peer.port.write(writes.at(i));
        written += writes.at(i).size();
        QVERIFY(waitForReceived(sim, written));
        QCOMPARE(sim.sent().size(), sentAfterEach.at(i));
    }
    QVERIFY(peer.waitForBytes(expected.join().size()));
    QCOMPARE(peer.deliveries, expected.toVector());
    for (int i = 1; i < peer.arrivals.size(); ++i)
        QVERIFY(peer.arrivals.at(i) - peer.arrivals.at(i - 1) >= qMax(pauseMs, trickleMs) - 20);
}

void TestSimulator::splitPausesWithinEachReply()
{
    MeterSimulator sim;
    QVERIFY(sim.start());
    sim.setSplitReplies(1, 40);
    Peer peer;
    QVERIFY(peer.open(sim.portPath()));

    peer.port.write(hex("7a7a"));
    QVERIFY(peer.waitForBytes(8));
    QVector<MeterSimulator::LogEntry> writes;
    for (const MeterSimulator::LogEntry &entry : sim.log())
        if (entry.direction == MeterSimulator::LogEntry::Sent)
            writes.append(entry);
    QCOMPARE(writes.size(), 4);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(writes.at(i).bytes.toHex(), hex(i % 2 ? "520000" : "03").toHex());
    QVERIFY(writes.at(1).msecs - writes.at(0).msecs >= 35);
    QVERIFY(writes.at(3).msecs - writes.at(2).msecs >= 35);
}

void TestSimulator::replyFaults_data()
{
    QTest::addColumn<int>("wavelengthBytes");
    QTest::addColumn<int>("dropEvery");
    QTest::addColumn<int>("garbageEvery");
    QTest::addColumn<bool>("answering");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("repliesSent");
    QTest::addColumn<int>("finalWavelength");

    QTest::newRow("2-byte wavelength replies")
        << 2 << 0 << 0 << true << hex("7a7b82") << hex("0352 0514 05dc0100") << 3 << 1300;
    QTest::newRow("drop every 2nd, still stepping")
        << 4 << 2 << 0 << true << hex("7a7b7b7b") << hex("03520000 051e0000") << 2 << 1490;
    QTest::newRow("drop every reply") << 4 << 1 << 0 << true << hex("7a7a") << QByteArray() << 0 << 850;
    QTest::newRow("garbage every 2nd")
        << 4 << 0 << 2 << true << hex("7a7a7a") << hex("03520000 aa55aa 03520000") << 3 << 850;
    QTest::newRow("not answering does nothing") << 4 << 0 << 0 << false << hex("7a7b82") << QByteArray() << 0 << 850;
}

void TestSimulator::replyFaults()
{
    QFETCH(int, wavelengthBytes);
    QFETCH(int, dropEvery);
    QFETCH(int, garbageEvery);
    QFETCH(bool, answering);
    QFETCH(QByteArray, written);
    QFETCH(QByteArray, expected);
    QFETCH(int, repliesSent);
    QFETCH(int, finalWavelength);

    MeterSimulator sim;
    QVERIFY(sim.start());
    sim.setNoise(0);
    sim.setWavelengthReplyLength(wavelengthBytes);
    sim.setDropEvery(dropEvery);
    sim.setGarbageEvery(garbageEvery);
    sim.setAnswering(answering);
    QSignalSpy commands(&sim, &MeterSimulator::commandReceived);
    Peer peer;
    QVERIFY(peer.open(sim.portPath()));

    peer.port.write(written);
    QVERIFY(waitForReceived(sim, written.size()));
    QCOMPARE(commands.count(), written.size());
    QCOMPARE(sim.sent().toHex(), expected.toHex());
    QCOMPARE(sim.repliesSent(), repliesSent);
    QCOMPARE(int(sim.currentWavelength()), finalWavelength);
    QVERIFY(peer.waitForBytes(expected.size()));
    QCOMPARE(peer.all().toHex(), expected.toHex());
}

void TestSimulator::hangUp_data()
{
    QTest::addColumn<int>("after"); // -1: hang up by hand once the replies are in
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("after the 2nd reply") << 2 << hex("03520000 05140000");
    QTest::newRow("by hand") << -1 << hex("03520000 05140000 051e0000");
}

void TestSimulator::hangUp()
{
    QFETCH(int, after);
    QFETCH(QByteArray, expected);

    MeterSimulator sim;
    QVERIFY(sim.start());
    sim.setHangUpAfter(after);
    QSignalSpy hungUp(&sim, &MeterSimulator::hungUp);
    Peer peer;
    QVERIFY(peer.open(sim.portPath()));
    bool portFailed = false;
    QObject::connect(&peer.port, &QSerialPort::errorOccurred, [&](QSerialPort::SerialPortError error) {
        if (error != QSerialPort::NoError && peer.port.isOpen()) {
            portFailed = true;
            peer.port.close(); // as the window does; a hung-up tty keeps reporting
        }
    });

    peer.port.write(hex("7a7b7b"));
    QVERIFY(peer.waitForBytes(expected.size()));
    if (after < 0)
        sim.hangUp();
    QVERIFY(hungUp.count() == 1 || hungUp.wait(2000));
    QVERIFY(!sim.isRunning());
    QVERIFY(QTest::qWaitFor([&] { return portFailed; }, 3000));
    QCOMPARE(peer.all().toHex(), expected.toHex());
    QCOMPARE(hungUp.count(), 1);
}

void TestSimulator::logRecordsBothDirections()
{
    MeterSimulator sim;
    QVERIFY(sim.start());
    sim.setNoise(0);
    QSignalSpy replies(&sim, &MeterSimulator::replySent);
    Peer peer;
    QVERIFY(peer.open(sim.portPath()));

    peer.port.write(hex("7a"));
    QVERIFY(waitForReceived(sim, 1));
    peer.port.write(hex("ff82"));
    QVERIFY(waitForReceived(sim, 3));
    sim.sendRaw(hex("0102"));

    const QVector<MeterSimulator::LogEntry> log = sim.log();
    QCOMPARE(log.size(), 5);
    const QVector<MeterSimulator::LogEntry::Direction> directions{
        MeterSimulator::LogEntry::Received, MeterSimulator::LogEntry::Sent, MeterSimulator::LogEntry::Received,
        MeterSimulator::LogEntry::Sent, MeterSimulator::LogEntry::Sent};
    const QByteArrayList bytes{hex("7a"), hex("03520000"), hex("ff82"), hex("05dc0100"), hex("0102")};
    for (int i = 0; i < log.size(); ++i) {
        QCOMPARE(log.at(i).direction, directions.at(i));
        QCOMPARE(log.at(i).bytes.toHex(), bytes.at(i).toHex());
        if (i > 0)
            QVERIFY(log.at(i).msecs >= log.at(i - 1).msecs);
    }
    QCOMPARE(sim.received().toHex(), QByteArray("7aff82"));
    QCOMPARE(replies.count(), 2); // raw bytes are not replies
    QCOMPARE(sim.repliesSent(), 2);
    QVERIFY(peer.waitForBytes(10));
    QCOMPARE(peer.all().right(2).toHex(), QByteArray("0102"));

    sim.clearLog();
    QVERIFY(sim.log().isEmpty());
    QVERIFY(sim.received().isEmpty());
    QCOMPARE(sim.repliesSent(), 2);
}

void TestSimulator::peerCanCloseAndReopen()
{
    MeterSimulator sim;
    QVERIFY(sim.start());
    Peer peer;
    for (int round = 1; round <= 3; ++round) {
        QVERIFY2(peer.open(sim.portPath()), qPrintable(peer.port.errorString()));
        peer.port.write(hex("7a"));
        QVERIFY(peer.waitForBytes(4 * round));
        // A master left with no slave open would have woken at once after
        // the last round's close, while this round waited for its reply.
        QCOMPARE(sim.idleWakeups(), 0);
        peer.port.close();
    }
    QCOMPARE(peer.all().toHex(), QByteArray("035200000352000003520000"));
}

void TestSimulator::killedClientLeavesThePortFree()
{
#ifndef Q_OS_LINUX
    QSKIP("the simulator watches for closes of the port on Linux only");
#else
    MeterSimulator sim;
    QVERIFY(sim.start());
    QSignalSpy closes(&sim, &MeterSimulator::portClosed);
    QProcess client;
    client.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--hold"), sim.portPath()});
    QVERIFY(waitUntil([&] { return client.canReadLine() || client.state() == QProcess::NotRunning; }, 5000));
    QVERIFY2(client.readLine() == "open\n", client.readAllStandardError().constData());

    // While it lives the port is its own, however often others try.
    QCOMPARE(exclusiveFlag(sim.portPath(), closes), 1);
    QCOMPARE(exclusiveFlag(sim.portPath(), closes), 1);

    ::kill(pid_t(client.processId()), SIGKILL);
    QVERIFY(client.waitForFinished(3000));
    QVERIFY(waitUntil([&] { return !closes.isEmpty() && closes.last().at(0).toBool(); }));
    QCOMPARE(exclusiveFlag(sim.portPath(), closes), 0);

    Peer next;
    QVERIFY2(next.open(sim.portPath()), qPrintable(next.port.errorString()));
    QCOMPARE(exclusiveFlag(sim.portPath(), closes), 1);
    next.port.write(hex("7a"));
    QVERIFY(next.waitForBytes(4));
    QCOMPARE(next.all().toHex(), QByteArray("03520000"));
#endif
}

void TestSimulator::commandLineUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message"); // on stdout for exit 0, else on stderr; SERVES: it serves until SIGTERM

    QTest::newRow("help") << QStringList{"--help"} << 0 << "--late <CMD:MS>";
    QTest::newRow("help-all") << QStringList{"--help-all"} << 0 << "--chatter <MS>";
    QTest::newRow("version") << QStringList{"--version"} << 0 << "zerak-sim 1.0";
    QTest::newRow("unknown option") << QStringList{"--frobnicate"} << 2 << "frobnicate";
    QTest::newRow("missing value") << QStringList{"--delay"} << 2 << "delay";
    QTest::newRow("bad wavelength") << QStringList{"--wavelengths", "850,abc"} << 2 << "--wavelengths";
    QTest::newRow("bad power") << QStringList{"--power", "loud"} << 2 << "--power";
    QTest::newRow("bad level of a wavelength") << QStringList{"--power", "1310:loud"} << 2 << "--power";
    QTest::newRow("two plain levels") << QStringList{"--power", "-10,-12"} << 2 << "at most one plain level";
    QTest::newRow("level of a wavelength not stepped through")
        << QStringList{"--wavelengths", "1310,1550", "--power", "1490:-10"} << 2
        << "1490 nm is not one of the wavelengths (1310,1550)";
    QTest::newRow("3 wavelength bytes") << QStringList{"--wavelength-bytes", "3"} << 2 << "--wavelength-bytes";
    QTest::newRow("split without pause") << QStringList{"--split", "2"} << 2 << "--split";
    QTest::newRow("chatter not a number") << QStringList{"--chatter", "often"} << 2 << "--chatter";
    QTest::newRow("late for no command") << QStringList{"--late", "7c:100"} << 2 << "7a, 7b or 82";
    QTest::newRow("late without a delay") << QStringList{"--late", "7b"} << 2 << "--late";
    QTest::newRow("stray argument") << QStringList{"extra"} << 2 << "extra";

    // Each bound on both sides: every option at its least, then at its
    // most, is taken; one step beyond is refused, naming the option.
    QTest::newRow("the least of each bound")
        << QStringList{"--delay", "0", "--noise", "0", "--wavelengths", "1", "--power=-655.35", "--split", "1:0",
                       "--trickle", "0", "--drop-every", "0", "--garbage-every", "0", "--late-every", "1:0", "--late",
                       "7a:0", "--stray-every", "1:0", "--chatter", "0", "--hang-up-after", "1", "--wavelength-bytes",
                       "2", "--seed", "0"}
        << 0 << "SERVES";
    QTest::newRow("the most of each bound")
        << QStringList{"--delay", "60000", "--noise", "65535", "--wavelengths", "65535", "--power", "655.35",
                       "--split", "1:60000", "--trickle", "60000", "--drop-every", "2147483647", "--garbage-every",
                       "2147483647", "--late-every", "2147483647:60000", "--late", "82:60000", "--stray-every",
                       "2147483647:60000", "--chatter", "60000", "--hang-up-after", "2147483647",
                       "--wavelength-bytes", "4", "--seed", "4294967295"}
        << 0 << "SERVES";
    const auto beyond = [](const QString &option, const QString &value) {
        const QString tag = option + QLatin1Char(' ') + value;
        QTest::newRow(qPrintable(tag)) << QStringList{option + QLatin1Char('=') + value} << 2
                                       << QStringLiteral("bad value '%1' for %2").arg(value, option);
    };
    beyond("--delay", "-1");
    beyond("--delay", "60001");
    beyond("--noise", "-1");
    beyond("--noise", "65536");
    beyond("--wavelengths", "0");
    beyond("--wavelengths", "65536");
    beyond("--power", "655.36");
    beyond("--power", "-655.36");
    beyond("--split", "0:10");
    beyond("--split", "1:60001");
    beyond("--trickle", "-1");
    beyond("--trickle", "60001");
    beyond("--drop-every", "-1");
    beyond("--garbage-every", "-1");
    beyond("--late-every", "0:10");
    beyond("--late-every", "1:60001");
    beyond("--late", "7a:-1");
    beyond("--late", "7a:60001");
    beyond("--stray-every", "0");
    beyond("--stray-every", "1:60001");
    beyond("--chatter", "-1");
    beyond("--chatter", "60001");
    beyond("--hang-up-after", "0");
    beyond("--wavelength-bytes", "1");
    beyond("--wavelength-bytes", "5");
    beyond("--seed", "4294967296");
}

void TestSimulator::commandLineUsage()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    const QString binary = simulatorBinary();
    QVERIFY2(!binary.isEmpty(), "zerak-sim is not built next to the tests");
    QProcess process;
    process.start(binary, arguments);
    if (message == QLatin1String("SERVES")) {
        // Its first line is the port, and SIGTERM ends it as Ctrl+C does.
        QVERIFY(waitUntil([&] { return process.canReadLine() || process.state() == QProcess::NotRunning; }, 5000));
        const QString path = QString::fromLocal8Bit(process.readLine()).trimmed();
        QVERIFY2(path.startsWith(QLatin1String("/dev/")), qPrintable(path + process.readAllStandardError()));
        ::kill(pid_t(process.processId()), SIGTERM);
    }
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    if (message == QLatin1String("SERVES"))
        return;
    const QByteArray out = process.readAllStandardOutput();
    const QString output = QString::fromUtf8(exitCode == 0 ? out : process.readAllStandardError());
    QVERIFY2(output.contains(message), qPrintable(output));
    // A pseudo-terminal opened would have printed its path.
    QVERIFY2(!out.contains("/dev/"), out.constData());
}

void TestSimulator::commandLineServesUntilInterrupted_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("lastFrameMs");    // its earliest, after the write
    QTest::addColumn<int>("leastDeliveries"); // 0: any

    QTest::newRow("one power level")
        << QStringList{"--delay", "0", "--noise", "0", "--power", "-12.5", "--db", "--wavelengths", "1310,1550"}
        << hex("7a7b82") << hex("051e0000 060e0000 04e20101") << 0 << 0;
    QTest::newRow("levels per wavelength, late 0x7B")
        << QStringList{"--delay", "0", "--noise", "0", "--wavelengths", "1310,1550", "--power",
                       "1550:-11.00,-12.50", "--late", "7B:60"}
        << hex("7a827b82") << hex("051e0000 04e20100 060e0000 044c0100") << 60 << 0;
    QTest::newRow("trickle, chatter after the reply")
        << QStringList{"--delay", "0", "--trickle", "30", "--chatter", "40"} << hex("7a")
        << hex("03520000 04d20001") << 90 << 4;
}

void TestSimulator::commandLineServesUntilInterrupted()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, written);
    QFETCH(QByteArray, expected);
    QFETCH(int, lastFrameMs);
    QFETCH(int, leastDeliveries);

    const QString binary = simulatorBinary();
    QVERIFY2(!binary.isEmpty(), "zerak-sim is not built next to the tests");
    QProcess process;
    process.start(binary, arguments);
    QVERIFY(waitUntil([&] { return process.canReadLine(); }, 5000));
    const QString path = QString::fromLocal8Bit(process.readLine()).trimmed();
    QVERIFY2(path.startsWith(QLatin1String("/dev/")), qPrintable(path));

    Peer peer;
    QVERIFY2(peer.open(path), qPrintable(peer.port.errorString()));
    const qint64 writtenAt = peer.clock.elapsed();
    peer.port.write(written);
    QVERIFY(peer.waitForBytes(expected.size()));
    QCOMPARE(peer.all().left(expected.size()).toHex(), expected.toHex());
    QVERIFY(peer.arrivalOf(expected.size() - 1) - writtenAt >= lastFrameMs - clockSlackMs);
    QVERIFY(peer.deliveries.size() >= leastDeliveries);

    ::kill(pid_t(process.processId()), SIGINT);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
}

void TestSimulator::slowerThanTheReplyDeadline()
{
    QVERIFY(slowPeer->waitForBytes(8, 5000));
    QCOMPARE(slowPeer->all().toHex(), QByteArray("0352000005140000"));
    // The simulator's own times: the peer may read late while a test blocks.
    QVector<qint64> received;
    QVector<qint64> sent;
    for (const MeterSimulator::LogEntry &entry : slowMeter->log())
        (entry.direction == MeterSimulator::LogEntry::Received ? received : sent).append(entry.msecs);
    QCOMPARE(received.size(), 2);
    QCOMPARE(sent.size(), 2);
    QVERIFY(received.at(1) - received.at(0) >= 50);
    // Each reply 1100 ms after its own command, not both after the first.
    QVERIFY(sent.at(0) - received.at(0) >= 1100);
    QVERIFY(sent.at(1) - received.at(1) >= 1100);
}

// "tst_simulator --hold PATH": a client that opens the port, says so and
// waits to be killed.
static int holdPort(const char *path)
{
    Peer peer;
    if (!peer.open(QString::fromLocal8Bit(path))) {
        std::fprintf(stderr, "%s\n", qPrintable(peer.port.errorString()));
        return 1;
    }
    std::puts("open");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--hold") == 0)
        return holdPort(argv[2]);
    TestSimulator test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_simulator.moc"
