#include "meter/linediscipline.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace meter;

namespace {

QByteArray bytesOf(const char *hex)
{
    return QByteArray::fromHex(hex);
}

} // namespace

class ProtocolTest : public QObject
{
    Q_OBJECT

private slots:
    void readingTexts_data();
    void readingTexts();
    void magnitudeIsExactForEveryValue();
    void framesSurviveEncoding_data();
    void framesSurviveEncoding();
    void assemblerGivesSameFramesHoweverSplit_data();
    void assemblerGivesSameFramesHoweverSplit();
    void lineDiscipline_data();
    void lineDiscipline();
    void replyKinds_data();
    void replyKinds();
};

// Each delivery decoded on its own, as the window does for a short frame.
void ProtocolTest::readingTexts_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("wavelength");
    QTest::addColumn<QString>("magnitude");
    QTest::addColumn<QString>("sign");
    QTest::addColumn<QString>("unit");

    QTest::newRow("negative dBm") << bytesOf("05DC0100") << "1500 nm" << "15.00" << "-" << "dBm";
    QTest::newRow("positive dB") << bytesOf("05DC0001") << "1500 nm" << "15.00" << " " << "dB";
    QTest::newRow("largest") << bytesOf("FFFF0107") << "65535 nm" << "655.35" << "-" << "dB";
    QTest::newRow("below one") << bytesOf("002D0100") << "45 nm" << "0.45" << "-" << "dBm";
    QTest::newRow("sign flag 0x02 is no sign") << bytesOf("05DC0200") << "1500 nm" << "15.00" << " " << "dBm";
    QTest::newRow("sign flag 0xFF is no sign") << bytesOf("05DCFF00") << "1500 nm" << "15.00" << " " << "dBm";
    QTest::newRow("1310 nm") << bytesOf("051E") << "1310 nm" << "13.10" << " " << "dBm";
    QTest::newRow("1550 nm") << bytesOf("060E") << "1550 nm" << "15.50" << " " << "dBm";
    QTest::newRow("850 nm") << bytesOf("0352") << "850 nm" << "8.50" << " " << "dBm";
    QTest::newRow("flags ignored for wavelength") << bytesOf("051E0101") << "1310 nm" << "13.10" << "-" << "dB";
    QTest::newRow("one byte is the high byte") << bytesOf("05") << "1280 nm" << "12.80" << " " << "dBm";
    QTest::newRow("three bytes keep dBm") << bytesOf("05DC01") << "1500 nm" << "15.00" << "-" << "dBm";
    QTest::newRow("nothing is zero") << QByteArray() << "0 nm" << "0.00" << " " << "dBm";
    QTest::newRow("bytes after the fourth ignored") << bytesOf("05DC010007D00001") << "1500 nm" << "15.00" << "-" << "dBm";
    QTest::newRow("zero reading") << bytesOf("00000000") << "0 nm" << "0.00" << " " << "dBm";
    QTest::newRow("one hundredth") << bytesOf("00010100") << "1 nm" << "0.01" << "-" << "dBm";
}

void ProtocolTest::readingTexts()
{
    QFETCH(QByteArray, bytes);
    const Frame frame = decodeFrame(bytes);
    QTEST(wavelengthText(frame), "wavelength");
    QTEST(magnitudeText(frame), "magnitude");
    QTEST(signText(frame), "sign");
    QTEST(unitText(frame), "unit");
}

// Binary floating point must never show in the text: 0.29 stays 0.29.
void ProtocolTest::magnitudeIsExactForEveryValue()
{
    for (int value = 0; value <= 0xFFFF; ++value) {
        Frame frame;
        frame.value = quint16(value);
        const QString expected = QString::number(value / 100) + QLatin1Char('.')
                                 + QStringLiteral("%1").arg(value % 100, 2, 10, QLatin1Char('0'));
        if (magnitudeText(frame) != expected)
            QFAIL(qPrintable(QStringLiteral("value %1 shows %2").arg(value).arg(magnitudeText(frame))));
        if (wavelengthText(frame) != QString::number(value) + QStringLiteral(" nm"))
            QFAIL(qPrintable(QStringLiteral("wavelength %1 shows %2").arg(value).arg(wavelengthText(frame))));
    }
}

void ProtocolTest::framesSurviveEncoding_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("sign");
    QTest::addColumn<int>("unit");

    QTest::newRow("wavelength 1625") << wavelengthFrame(1625) << 1625 << 0 << 0;
    QTest::newRow("power -15.00 dBm") << powerFrame(1500, true, false) << 1500 << 1 << 0;
    QTest::newRow("power 3.07 dB") << powerFrame(307, false, true) << 307 << 0 << 1;
    QTest::newRow("power 655.35") << powerFrame(65535, true, true) << 65535 << 1 << 1;
}

void ProtocolTest::framesSurviveEncoding()
{
    QFETCH(QByteArray, bytes);
    QCOMPARE(bytes.size(), frameSize);
    const Frame frame = decodeFrame(bytes);
    QTEST(int(frame.value), "value");
    QTEST(int(frame.signFlag), "sign");
    QTEST(int(frame.unitFlag), "unit");
    QCOMPARE(encodeFrame(frame), bytes);
}

void ProtocolTest::assemblerGivesSameFramesHoweverSplit_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one byte") << bytesOf("05");
    QTest::newRow("one frame") << bytesOf("05DC0100");
    QTest::newRow("frame and a half") << bytesOf("05DC0100051E");
    QTest::newRow("two frames") << bytesOf("05DC010007D00001");
    QTest::newRow("three frames and three bytes") << bytesOf("000102030405060708090A0B0C0D0E");
    QByteArray zeros(13, '\0');
    QTest::newRow("zero bytes count") << zeros;
}

// Every way of cutting the stream into deliveries yields the same frames.
void ProtocolTest::assemblerGivesSameFramesHoweverSplit()
{
    QFETCH(QByteArray, stream);
    const int whole = stream.size() / frameSize * frameSize;
    QVector<QByteArray> expected;
    for (int i = 0; i < whole; i += frameSize)
        expected.append(stream.mid(i, frameSize));

    const int gaps = qMax(0, stream.size() - 1);
    for (quint32 cuts = 0; cuts < (1u << gaps); ++cuts) {
        FrameAssembler assembler;
        QVector<QByteArray> frames;
        int start = 0;
        for (int i = 0; i < stream.size(); ++i) {
            const bool cutAfter = i == stream.size() - 1 || (cuts >> i & 1u);
            if (cutAfter) {
                frames += assembler.push(stream.mid(start, i + 1 - start));
                start = i + 1;
            }
        }
        frames += assembler.push(QByteArray()); // an empty delivery changes nothing
        QCOMPARE(frames, expected);
        QCOMPARE(assembler.takePartial(), stream.mid(whole));
        QVERIFY(!assembler.hasPartial());
    }
}

// Scripts of line events, read left to right: @ms sets the clock, Rxx
// requests command xx, Wxx expects xx to be writable now and writes it (W-:
// nothing may be written yet), D<hex> delivers bytes, A lets time act (gaps
// and deadlines), Nms expects the next wakeup (N-: none), C resets, Kms starts
// a new line checked for quiet every ms. What the
// line reports: =xx a reply to xx, ~P/~W/~? a frame that answered nothing
// shown as power, wavelength or by the flag, Xxx a command given up.
void ProtocolTest::lineDiscipline_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("reported");

    QTest::newRow("query answered") << "R7A W7A D051E0000" << "=7A";
    QTest::newRow("one command on the line, quiet before another role")
        << "R82 W82 R7B W- D05DC0100 W- N50 @49 W- @50 W7B" << "=82";
    QTest::newRow("measurement requests share the one queued")
        << "R82 W82 R82 R82 D05DC0100 W82 D05DC0100 W- N-" << "=82 =82";
    QTest::newRow("commands keep their order") << "R82 W82 R7B R7B D05DC0100 @50 W7B D051E0000 W7B"
                                               << "=82 =7B";
    QTest::newRow("two-byte wavelength while measuring")
        << "R82 W82 R7B D05DC0100 R82 @50 W7B D051E @99 A W- @100 A W82" << "=82 =7B";
    QTest::newRow("split reply answers once") << "R82 W82 D05 DDC0100" << "=82";
    QTest::newRow("short frame after the gap") << "R7B W7B D051E N50 @49 A @50 A" << "=7B";
    QTest::newRow("reply begun is not given up") << "R82 W82 @990 D05 @1000 A @1040 A" << "=82";
    QTest::newRow("second frame of a delivery answered nothing")
        << "R82 W82 D05DC010007D00001 R82 W- @50 W82" << "=82 ~P";
    QTest::newRow("frame before any command") << "D05DC0100" << "~?";
    QTest::newRow("empty delivery forms no frame") << "R82 W82 D" << "";
    QTest::newRow("deadline") << "R82 W82 N1000 @999 A @1000 A N-" << "X82";
    QTest::newRow("re-sent at once, late reply shown as power, the next exchange checked")
        << "R82 W82 @1000 A R82 W82 @1030 D05DC0100 R82 W- D07D00100 @1079 W- @1080 W82 D05DC0100 R82 W- @1130 W82"
        << "X82 =82 ~P =82";
    QTest::newRow("after giving up, another role waits for the late reply")
        << "R82 W82 @1000 A R7B R82 W82 @1300 D05DC0100 D05DC0100 R82 @1349 W- @1350 W7B D051E0000 @1400 W82"
        << "X82 =82 ~P =7B";
    QTest::newRow("or for one deadline more")
        << "R7B W7B @1000 A R82 @1999 W- N2000 @2000 A W82" << "X7B";
    QTest::newRow("late reply before the next command")
        << "R82 W82 @1000 A @1020 D05DC0100 R82 W- @1069 W- @1070 W82" << "X82 ~P";
    QTest::newRow("stray frame found by the regular check")
        << "K10 R82 W82 @5 D05DC0100 R82 W82 @10 D05DC0100 R82 W- D05DC0100 @59 W- @60 W82" << "=82 =82 ~P";
    QTest::newRow("the regular check waits four latencies, not the gap")
        << "K10 R82 W82 @5 D05DC0100 R82 W82 @10 D05DC0100 R82 W- N32 @31 W- @32 W82" << "=82 =82";
    QTest::newRow("slow meter: quiet lasts twice its latency")
        << "R82 W82 @100 D05DC0100 R7B @299 W- @300 W7B" << "=82";
    QTest::newRow("frame begun before a held-up command left, same millisecond")
        << "R82 W82 @5 D05DC01 L82 D00 W- @1005 A" << "~P X82";
    QTest::newRow("reset drops the line and the partial frame")
        << "R82 W82 D05DC C D0100 N50 @50 A W-" << "~?";
}

void ProtocolTest::lineDiscipline()
{
    QFETCH(QString, script);
    LineDiscipline line;
    QStringList reported;
    const auto report = [&reported](const LineEvents &events) {
        for (const LineEvent &event : events) {
            const QString command = QString::number(event.command, 16).toUpper();
            if (event.kind == LineEvent::GivenUp)
                reported << QLatin1Char('X') + command;
            else if (event.command != 0)
                reported << QLatin1Char('=') + command;
            else
                reported << QStringLiteral("~")
                                + (!event.role ? QLatin1Char('?')
                                   : *event.role == ReplyKind::Power ? QLatin1Char('P') : QLatin1Char('W'));
        }
    };
    qint64 now = 0;
    for (const QString &step : script.split(QLatin1Char(' '))) {
        const QString argument = step.mid(1);
        switch (step.at(0).toLatin1()) {
        case '@':
            now = argument.toLongLong();
            break;
        case 'R':
            line.request(quint8(argument.toUInt(nullptr, 16)));
            break;
        case 'W':
            if (argument == QLatin1String("-")) {
                QVERIFY2(!line.writable(now), qPrintable(step + QLatin1String(" at ") + QString::number(now)));
            } else {
                QVERIFY2(line.writable(now) == quint8(argument.toUInt(nullptr, 16)),
                         qPrintable(step + QLatin1String(" at ") + QString::number(now)));
                line.takeWritable(now);
            }
            break;
        case 'D':
            report(line.bytesArrived(QByteArray::fromHex(argument.toLatin1()), now));
            break;
        case 'A':
            report(line.advance(now));
            break;
        case 'N':
            if (argument == QLatin1String("-"))
                QVERIFY(!line.nextWakeup());
            else
                QCOMPARE(line.nextWakeup(), std::optional<qint64>(argument.toLongLong()));
            break;
        case 'L':
            line.commandLeft(quint8(argument.toUInt(nullptr, 16)), now);
            break;
        case 'C':
            line.reset();
            break;
        case 'K': {
            LineDiscipline::Timing timing;
            timing.checkEveryMs = argument.toInt();
            line = LineDiscipline(timing);
            break;
        }
        default:
            QFAIL("unknown step");
        }
    }
    QTEST(reported.join(QLatin1Char(' ')), "reported");
}

void ProtocolTest::replyKinds_data()
{
    QTest::addColumn<int>("byte");
    QTest::addColumn<bool>("command");
    QTest::addColumn<bool>("power");
    QTest::newRow("query") << 0x7A << true << false;
    QTest::newRow("next wavelength") << 0x7B << true << false;
    QTest::newRow("measure") << 0x82 << true << true;
    QTest::newRow("other") << 0x7C << false << false;
}

void ProtocolTest::replyKinds()
{
    QFETCH(int, byte);
    QTEST(isCommand(quint8(byte)), "command");
    if (isCommand(quint8(byte)))
        QTEST(replyKindFor(quint8(byte)) == ReplyKind::Power, "power");
}

QTEST_APPLESS_MAIN(ProtocolTest)
#include "tst_protocol.moc"
