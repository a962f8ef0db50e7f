// SPDX-License-Identifier: MIT
// The meter link's rules, step by step, over a scripted line and a clock the
// test sets: what is written when, what each frame answers and in which
// role, what is given up.

#include "meter/meterlink.h"
#include "support/scripteddevice.h"

#include <QTimer>
#include <QtTest>

using namespace meter;

class MeterLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void rules_data();
    void rules();
};

// Scripts, read left to right. Steps: @ms sets the clock; Rxx sends command
// xx; Wxx.. expects exactly these bytes written since the last W (W-:
// none); D<hex> delivers bytes; Y<hex> makes them arrive during the next
// write's wait; A fires the link's timer; Nms expects the next wakeup (N-:
// none); C resets; S stalls the line and s frees it (u frees it, but the
// device tells that only at b, as a serial port does); M makes every reply
// and give-up ask for the next reading, as the live display does; Tg,d sets
// the gap and deadline. Reported: =xx a reply to xx in its role, Lxx:ms a
// reply to xx that may be late and its latency, ? a frame shown in no role,
// Xxx a command given up, Qxx:n one given up unwritten after n frames that
// answered nothing, Fxx a write that did not complete.
namespace {

// Reading requests from `at` on, each written at once (W82 right after R82)
// and answered after its latency.
QString pacedReadings(qint64 &at, const QVector<int> &latencies)
{
    QStringList steps;
    for (int latency : latencies) {
        at += latency;
        steps << QStringLiteral("R82 W82 @%1 D05DC0100").arg(at);
    }
    return steps.join(QLatin1Char(' '));
}

QString replies(int count)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list << QStringLiteral("=82");
    return list.join(QLatin1Char(' '));
}

QVector<int> times(int count, int latency)
{
    return QVector<int>(count, latency);
}

} // namespace

void MeterLinkTest::rules_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("reported");

    QTest::newRow("query answered") << "R7A W7A D051E0000" << "=7A";
    QTest::newRow("one command on the line, quiet before another role")
        << "R82 W82 R7B W- D05DC0100 W- N50 @49 A W- @50 A W7B" << "=82";
    QTest::newRow("reading requests share the one waiting")
        << "R82 W82 R82 R82 D05DC0100 W82 D05DC0100 W- N-" << "=82 =82";
    QTest::newRow("a query on the line answers for another") << "R7A W7A R7A D051E0000 W- N-" << "=7A";
    QTest::newRow("commands keep their order")
        << "R82 W82 R7B R7B D05DC0100 @50 A W7B D051E0000 W7B" << "=82 =7B";
    QTest::newRow("two-byte wavelength while measuring")
        << "R82 W82 R7B D05DC0100 R82 @50 A W7B D051E @99 A W- @100 A W- @149 A W- @150 A W82" << "=82 =7B";
    QTest::newRow("split reply answers once") << "R82 W82 D05 DDC0100" << "=82";
    QTest::newRow("short frame after the gap") << "R7B W7B D051E N50 @49 A @50 A" << "=7B";
    QTest::newRow("reply begun is not given up") << "R82 W82 @990 D05 @1000 A @1040 A" << "=82";
    QTest::newRow("second frame of a delivery answers nothing, then quiet")
        << "R82 W82 D05DC010007D00001 R82 W- @49 A W- @50 A W82" << "=82 ?";
    QTest::newRow("frame before any command") << "D05DC0100" << "?";
    QTest::newRow("frame begun before the command is no reply")
        << "D05DC R82 W- @50 A W- @100 A W82" << "?";
    QTest::newRow("reply split by more than the gap: the rest answers nothing")
        << "R82 W82 D05 @50 A R7B W- @60 DDC0100 @110 A @159 A W- @160 A W7B" << "=82 ?";
    QTest::newRow("empty delivery forms no frame") << "R82 W82 D" << "";
    QTest::newRow("deadline") << "R82 W82 N1000 @999 A @1000 A N-" << "X82";
    QTest::newRow("a reply just before the deadline is in time") << "R82 W82 @999 A D05DC0100 @1000 A" << "=82";
    QTest::newRow("given up, sent again at once; the reply may be the late one")
        << "R82 W82 @1000 A R82 W82 @1030 D05DC0100 R82 W- @1079 A W- @1080 A W82" << "X82 L82:1030";
    QTest::newRow("after a give-up another role waits one deadline more")
        << "R82 W82 @1000 A R7B W- N2000 @1999 A W- @2000 A W7B" << "X82";
    QTest::newRow("... or until the late reply has come")
        << "R82 W82 @1000 A R7B W- @1300 D05DC0100 W- @1350 A W7B" << "X82 L82:1300";
    QTest::newRow("a late reply after one deadline more answers nothing")
        << "R82 W82 @1000 A @2000 A @2500 D05DC0100" << "X82 ?";
    QTest::newRow("lost wavelength reply: 0x7A asked, power waits for it")
        << "R7A W7A D03520000 R7B W7B R82 @1000 A W7A D03520000 W- @1050 A W82" << "=7A X7B L7A:1000";
    QTest::newRow("... and that query lost too: asked again, three in a row at most")
        << "R7A W7A D03520000 R7B W7B R82 @1000 A W7A @2000 A W7A @3000 A W- @9000 A W- N-"
        << "=7A X7B X7A X7A";
    QTest::newRow("... and answered the second time: power after it")
        << "R7A W7A D03520000 R7B W7B R82 @1000 A W7A @2000 A W7A D03520000 W- @2050 A W82"
        << "=7A X7B X7A L7A:1000";
    QTest::newRow("no catch-up where the meter never answered")
        << "R7B W7B @1000 A W- N-" << "X7B";
    QTest::newRow("unanswered 0x7A on a silent line: nothing more until the meter speaks")
        << "R7A W7A @1000 A R82 W- @5000 A W- D03520000 W- @5050 A W7A D03520000 W- @5100 A W82"
        << "X7A ? =7A";
    QTest::newRow("a reply in half the meter's typical latency: quiet before the next write")
        << "R82 W82 @20 D05DC0100 R82 W82 @40 D05DC0100 R82 W82 @60 D05DC0100 R82 W82 @80 D05DC0100 "
           "R82 W82 @85 D05DC0100 R82 W- @134 A W- @135 A W82"
        << "=82 =82 =82 =82 =82";
    QTest::newRow("a frame halfway through the meter's time: quiet, so two requests never wait at the meter")
        << "R82 W82 @20 D05DC0100 R82 W82 @40 D05DC0100 R82 W82 @60 D05DC0100 R82 W82 @80 D05DC0100 "
           "R82 W82 @100 D05DC0100 R82 W82 @120 D05DC0100 R82 W82 @140 D05DC0100 R82 W82 @160 D05DC0100 "
           "R82 W82 @170 D05DC0100 R82 W- @180 D05DC0100 @229 A W- @230 A W82"
        << "=82 =82 =82 =82 =82 =82 =82 =82 =82 ?";
    QTest::newRow("... not even a wavelength command") << "R7A W7A @1000 A R7B W- @3000 A W-" << "X7A";
    QTest::newRow("slow meter: quiet lasts twice its latency")
        << "R82 W82 @100 D05DC0100 R7B @299 A W- @300 A W7B" << "=82";
    QTest::newRow("a line that never goes quiet gives the command up unwritten")
        << "T10,100 R82 W82 D05DC010005DC0100 R82 W- @8 D05DC0100 @16 D05DC0100 @24 D05DC0100 "
           "@32 D05DC0100 @40 D05DC0100 @48 D05DC0100 @56 D05DC0100 @64 D05DC0100 @72 D05DC0100 "
           "@80 D05DC0100 @88 D05DC0100 @96 D05DC0100 @100 A W- N-"
        << "=82 ? ? ? ? ? ? ? ? ? ? ? ? ? Q82:12";
    QTest::newRow("reset drops the line and the partial frame")
        << "R82 W82 D05DC C D0100 N50 @50 A W-" << "?";
    // A reset starts over, as with a meter just plugged in: it forgets a
    // halt, a catch-up owed and a late reply it waited for.
    QTest::newRow("reset forgets a halt") << "R7A W7A @1000 A R82 W- C R82 W82" << "X7A";
    QTest::newRow("reset forgets the wavelength owed after a lost step")
        << "R7A W7A D03520000 R7B W7B @1000 A W7A C R82 W82 D05DC0100 W- N-" << "=7A X7B =82";
    QTest::newRow("reset forgets a late reply waited for")
        << "R82 W82 @1000 A C R82 W82 @1030 D05DC0100" << "X82 =82";
    QTest::newRow("stalled line: nothing more goes, the deadline runs once the byte has left")
        << "S R82 W- @1000 A N- R82 @1500 s W82 N2500 D05DC0100 W82" << "F82 =82";
    QTest::newRow("a command that leaves a stalled line after a frame cut short: the rest is not its reply")
        << "R7A W7A D051E0000 @60 S R82 W- @100 D051E00 @150 A s W82 @160 D00 @210 A "
           "@259 D05DC0100 @309 A @310 D05DC0100"
        << "=7A F82 ? ? ? =82";
    {
        // A meter answering in 5 ms, now and then 150 ms late: no request
        // waits for quiet after a slow reply, and none after the ones
        // behind it, which are no earlier than usual.
        qint64 at = 0;
        const QString slowOnce = pacedReadings(at, times(6, 5) + QVector<int>{150} + times(12, 5));
        QTest::newRow("one slow reply: every request after it goes at once") << "T15,300 " + slowOnce << replies(19);
        at = 0;
        QString slowOften;
        for (int round = 0; round < 4; ++round)
            slowOften += pacedReadings(at, times(9, 5) + QVector<int>{150}) + QLatin1Char(' ');
        QTest::newRow("a slow reply in ten: every request goes at once") << "T15,300 " + slowOften.trimmed()
                                                                         << replies(40);
        at = 0;
        const QString slowFirst = pacedReadings(at, QVector<int>{150} + times(8, 5));
        QTest::newRow("a slow first reply makes no usual one early") << "T15,300 " + slowFirst << replies(9);
        at = 0;
        QString roleChange = pacedReadings(at, times(6, 5) + QVector<int>{150});
        roleChange += QStringLiteral(" R7B W- @%1 A W- @%2 A W7B").arg(at + 14).arg(at + 15);
        QTest::newRow("after a slow reply a change of role waits the gap, not twice that reply")
            << "T15,300 " + roleChange << replies(7);
        at = 0;
        QString early = pacedReadings(at, times(6, 5) + QVector<int>{150} + times(2, 5));
        early += QStringLiteral(" R82 W82 @%1 D05DC0100 R82 W- @%2 A W- @%3 A W82").arg(at + 1).arg(at + 15).arg(at + 16);
        QTest::newRow("after a slow reply one much sooner than usual is still in doubt")
            << "T15,300 " + early << replies(10);
    }
    QTest::newRow("a held request answered before the device tells it has gone: that is its reply")
        << "R82 W82 @5 D05DC0100 S R82 W- @105 u W82 @110 D05DC0100 b W- N-" << "=82 F82 =82";
    QTest::newRow("a request held right behind the reply that asked for it: its reply is not put off")
        << "R82 W82 @100 D05DC0100 S R82 W- @200 s W82 @210 D05DC0100 N-" << "=82 F82 =82";
    QTest::newRow("reply during the write's wait; what the handler asks goes after")
        << "M Y05DC0100 R82 W8282 D05DC0100 W82" << "=82 =82";
}

void MeterLinkTest::rules()
{
    QFETCH(QString, script);
    ScriptedDevice device;
    qint64 now = 0;
    MeterLink link(&device);
    link.setClock([&now] { return now; });
    bool measuring = false;
    QStringList reported;
    const auto hex = [](quint8 command) { return QString::number(command, 16).toUpper(); };
    connect(&device, &QIODevice::readyRead, &link, &MeterLink::readAvailable);
    connect(&link, &MeterLink::replyReceived, this, [&](const Reply &reply) {
        if (!reply.role)
            reported << QStringLiteral("?");
        else if (reply.late)
            reported << QStringLiteral("L%1:%2").arg(hex(reply.command)).arg(reply.latencyMs);
        else
            reported << QLatin1Char('=') + hex(reply.command);
        if (measuring)
            link.send(cmdMeasure);
    });
    connect(&link, &MeterLink::commandGivenUp, this, [&](const GiveUp &giveUp) {
        reported << (giveUp.written ? QLatin1Char('X') + hex(giveUp.command)
                                    : QStringLiteral("Q%1:%2").arg(hex(giveUp.command)).arg(giveUp.strayFrames));
        if (measuring && giveUp.command == cmdMeasure)
            link.send(cmdMeasure);
    });
    connect(&link, &MeterLink::writeFailed, this,
            [&](quint8 command) { reported << QLatin1Char('F') + hex(command); });
    auto *timer = link.findChild<QTimer *>();
    QVERIFY(timer);

    for (const QString &step : script.split(QLatin1Char(' '))) {
        const QString argument = step.mid(1);
        const QString where = step + QStringLiteral(" at ") + QString::number(now);
        switch (step.at(0).toLatin1()) {
        case '@':
            now = argument.toLongLong();
            break;
        case 'R':
            link.send(quint8(argument.toUInt(nullptr, 16)));
            break;
        case 'W':
            QVERIFY2(device.takeWritten() == QByteArray::fromHex(argument == QLatin1String("-") ? "" : argument.toLatin1()),
                     qPrintable(where));
            break;
        case 'D':
            device.arrive(QByteArray::fromHex(argument.toLatin1()));
            emit device.readyRead();
            break;
        case 'Y':
            device.answerDuringNextWrite(QByteArray::fromHex(argument.toLatin1()));
            break;
        case 'A':
            timer->stop(); // as a single-shot timer does when it fires
            QMetaObject::invokeMethod(timer, "timeout");
            break;
        case 'N':
            if (argument == QLatin1String("-"))
                QVERIFY2(!link.nextWakeup(), qPrintable(where));
            else
                QVERIFY2(link.nextWakeup() == std::optional<qint64>(argument.toLongLong()), qPrintable(where));
            break;
        case 'C':
            link.reset();
            break;
        case 'S':
            device.stall();
            break;
        case 's':
            device.unstall();
            break;
        case 'u':
            device.unstall(false);
            break;
        case 'b':
            device.signalWritten();
            break;
        case 'M':
            measuring = true;
            break;
        case 'T': {
            const QStringList times = argument.split(QLatin1Char(','));
            link.setTiming({times.at(0).toInt(), times.at(1).toInt()});
            break;
        }
        default:
            QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
        }
    }
    QTEST(reported.join(QLatin1Char(' ')), "reported");
}

QTEST_GUILESS_MAIN(MeterLinkTest)
#include "tst_meterlink.moc"
