// SPDX-License-Identifier: MIT
#include "meter/protocol.h"

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
                const QByteArray delivery = stream.mid(start, i + 1 - start);
                assembler.append(delivery.constData(), delivery.size());
                while (const std::optional<QByteArray> frame = assembler.takeFrame())
                    frames += *frame;
                start = i + 1;
            }
        }
        assembler.append("", 0); // an empty delivery changes nothing
        QVERIFY(!assembler.takeFrame());
        QCOMPARE(frames, expected);
        QCOMPARE(assembler.takePartial(), stream.mid(whole));
        QVERIFY(!assembler.hasPartial());
    }
}

QTEST_APPLESS_MAIN(ProtocolTest)
#include "tst_protocol.moc"
