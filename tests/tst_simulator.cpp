#include "sim/metersimulator.h"
#include "support/windowtesting.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

using testsupport::waitForReceived;

namespace {

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
        port.setBaudRate(QSerialPort::Baud115200);
        port.setDataBits(QSerialPort::Data8);
        port.setParity(QSerialPort::NoParity);
        port.setStopBits(QSerialPort::OneStop);
        port.setFlowControl(QSerialPort::NoFlowControl);
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
        return QTest::qWaitFor([&] { return all().size() >= count; }, timeoutMs);
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

} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
    void answersEachCommand_data();
    void answersEachCommand();
    void noiseStaysNearLevelAndRepeatsWithSeed();
    void replyDelayKeepsOrder();
    void deliveries_data();
    void deliveries();
    void splitPausesWithinEachReply();
    void replyFaults_data();
    void replyFaults();
    void hangUp_data();
    void hangUp();
    void logRecordsBothDirections();
    void peerCanCloseAndReopen();
    void commandLineUsage_data();
    void commandLineUsage();
    void commandLineServesUntilInterrupted();
};

void TestSimulator::answersEachCommand_data()
{
    QTest::addColumn<int>("wavelengthIndex");
    QTest::addColumn<double>("level");
    QTest::addColumn<bool>("decibel");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("0x7A current wavelength") << 0 << -15.0 << false << hex("7a") << hex("03520000");
    QTest::newRow("0x7A after index set") << 4 << -15.0 << false << hex("7a") << hex("060e0000");
    QTest::newRow("0x7B steps") << 0 << -15.0 << false << hex("7b") << hex("05140000");
    QTest::newRow("0x7B wraps to the first") << 5 << -15.0 << false << hex("7b") << hex("03520000");
    QTest::newRow("0x7B then 0x7A stays") << 1 << -15.0 << false << hex("7b7a") << hex("051e0000 051e0000");
    QTest::newRow("0x82 negative dBm") << 0 << -15.0 << false << hex("82") << hex("05dc0100");
    QTest::newRow("0x82 positive dB") << 0 << 3.21 << true << hex("82") << hex("01410001");
    QTest::newRow("0x82 rounds to hundredths") << 0 << -0.456 << false << hex("82") << hex("002e0100");
    QTest::newRow("0x82 zero has no sign") << 0 << 0.0 << false << hex("82") << hex("00000000");
    QTest::newRow("0x82 clamps the magnitude") << 0 << -700.0 << true << hex("82") << hex("ffff0101");
    QTest::newRow("unknown byte alone") << 0 << -15.0 << false << hex("ff") << QByteArray();
    QTest::newRow("unknown bytes skipped") << 0 << -15.0 << false << hex("41007a7f") << hex("03520000");
    QTest::newRow("several in one write")
        << 0 << -15.0 << false << hex("7a827b") << hex("03520000 05dc0100 05140000");
}

void TestSimulator::answersEachCommand()
{
    QFETCH(int, wavelengthIndex);
    QFETCH(double, level);
    QFETCH(bool, decibel);
    QFETCH(QByteArray, written);
    QFETCH(QByteArray, expected);

    MeterSimulator sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    sim.setWavelengthIndex(wavelengthIndex);
    sim.setPowerLevel(level);
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

void TestSimulator::replyDelayKeepsOrder()
{
    MeterSimulator sim;
    QVERIFY(sim.start());
    sim.setReplyDelay(150);
    Peer peer;
    QVERIFY(peer.open(sim.portPath()));

    peer.port.write(hex("7a7b"));
    QVERIFY(peer.waitForBytes(8));
    QCOMPARE(peer.all().toHex(), QByteArray("0352000005140000"));
    QVERIFY2(peer.arrivals.first() >= 120, qPrintable(QString::number(peer.arrivals.first())));
}

void TestSimulator::deliveries_data()
{
    QTest::addColumn<int>("splitBytes");
    QTest::addColumn<int>("pauseMs");
    QTest::addColumn<bool>("pair");
    QTest::addColumn<QByteArrayList>("writes"); // each awaited at the simulator
    QTest::addColumn<QVector<int>>("sentAfterEach");
    QTest::addColumn<QByteArrayList>("expected");

    QTest::newRow("split after one byte")
        << 1 << 80 << false << QByteArrayList{hex("7a")} << QVector<int>{1}
        << QByteArrayList{hex("03"), hex("520000")};
    QTest::newRow("split after three bytes")
        << 3 << 80 << false << QByteArrayList{hex("82")} << QVector<int>{3}
        << QByteArrayList{hex("05dc01"), hex("00")};
    QTest::newRow("split no shorter than the reply is off")
        << 4 << 80 << false << QByteArrayList{hex("7a")} << QVector<int>{4}
        << QByteArrayList{hex("03520000")};
    QTest::newRow("pair holds the first reply")
        << 0 << 0 << true << QByteArrayList{hex("7a"), hex("7b")} << QVector<int>{0, 8}
        << QByteArrayList{hex("0352000005140000")};
    QTest::newRow("pair leaves an odd reply held")
        << 0 << 0 << true << QByteArrayList{hex("7a7b7b")} << QVector<int>{8}
        << QByteArrayList{hex("0352000005140000")};
}

void TestSimulator::deliveries()
{
    QFETCH(int, splitBytes);
    QFETCH(int, pauseMs);
    QFETCH(bool, pair);
    QFETCH(QByteArrayList, writes);
    QFETCH(QVector<int>, sentAfterEach);
    QFETCH(QByteArrayList, expected);

    MeterSimulator sim;
    QVERIFY(sim.start());
    sim.setNoise(0);
    sim.setSplitReplies(splitBytes, pauseMs);
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
    if (expected.size() == 2)
        QVERIFY(peer.arrivals.at(1) - peer.arrivals.at(0) >= pauseMs - 20);
}

void TestSimulator::splitPausesWithinEachReply()
{
    MeterSimulator sim;
    QVERIFY(sim.start());
    sim.setSplitReplies(1, 60);
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
    QVERIFY(writes.at(1).msecs - writes.at(0).msecs >= 55);
    QVERIFY(writes.at(3).msecs - writes.at(2).msecs >= 55);
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
        peer.port.close();
        QTest::qWait(30); // a master with no slave open would wake at once
        QCOMPARE(sim.idleWakeups(), 0);
    }
    QCOMPARE(peer.all().toHex(), QByteArray("035200000352000003520000"));
}

void TestSimulator::commandLineUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message"); // on stdout for exit 0, else on stderr

    QTest::newRow("help") << QStringList{"--help"} << 0 << "--hang-up-after";
    QTest::newRow("unknown option") << QStringList{"--frobnicate"} << 2 << "frobnicate";
    QTest::newRow("missing value") << QStringList{"--delay"} << 2 << "delay";
    QTest::newRow("bad wavelength") << QStringList{"--wavelengths", "850,abc"} << 2 << "--wavelengths";
    QTest::newRow("bad power") << QStringList{"--power", "loud"} << 2 << "--power";
    QTest::newRow("3 wavelength bytes") << QStringList{"--wavelength-bytes", "3"} << 2 << "--wavelength-bytes";
    QTest::newRow("split without pause") << QStringList{"--split", "2"} << 2 << "--split";
    QTest::newRow("negative delay") << QStringList{"--delay", "-5"} << 2 << "--delay";
    QTest::newRow("stray argument") << QStringList{"extra"} << 2 << "extra";
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
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    const QString output = QString::fromUtf8(exitCode == 0 ? process.readAllStandardOutput()
                                                           : process.readAllStandardError());
    QVERIFY2(output.contains(message), qPrintable(output));
}

void TestSimulator::commandLineServesUntilInterrupted()
{
    const QString binary = simulatorBinary();
    QVERIFY2(!binary.isEmpty(), "zerak-sim is not built next to the tests");
    QProcess process;
    process.start(binary, {"--delay", "0", "--noise", "0", "--power", "-12.5", "--db", "--wavelengths",
                           "1310,1550"});
    QVERIFY(QTest::qWaitFor([&] { return process.canReadLine(); }, 5000));
    const QString path = QString::fromLocal8Bit(process.readLine()).trimmed();
    QVERIFY2(path.startsWith(QLatin1String("/dev/")), qPrintable(path));

    Peer peer;
    QVERIFY2(peer.open(path), qPrintable(peer.port.errorString()));
    peer.port.write(hex("7a7b82"));
    QVERIFY(peer.waitForBytes(12));
    QCOMPARE(peer.all().toHex(), QByteArray("051e0000060e000004e20101"));

    ::kill(pid_t(process.processId()), SIGINT);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
}

QTEST_MAIN(TestSimulator)
#include "tst_simulator.moc"
