// SPDX-License-Identifier: MIT
// The session's pieces a server and jobs build on: the wavelength stepper
// against the simulated meter, and how a reading is judged.

#include "session/exitcode.h"
#include "session/metersession.h"
#include "session/readings.h"
#include "session/stepper.h"
#include "sim/metersimulator.h"
#include "support/waiting.h"

#include <QtTest>

#include <memory>

using Wavelengths = QVector<quint16>;

namespace {

// What the stepper ended in.
struct Outcome
{
    bool ended = false;
    QString signal; // "reached", "surveyed" or "failed"
    quint16 reached = 0;
    Wavelengths surveyed;
    int exitCode = -1;
    QString reason;
};

meter::Frame frameOf(int hundredths, bool decibel)
{
    meter::Frame frame;
    frame.value = quint16(std::abs(hundredths));
    frame.signFlag = hundredths < 0 ? 0x01 : 0x00;
    frame.unitFlag = decibel ? 0x01 : 0x00;
    return frame;
}

} // namespace

class SessionTest : public QObject
{
    Q_OBJECT

private slots:
    void stepper_data();
    void stepper();
    void judged_data();
    void judged();
};

void SessionTest::stepper_data()
{
    QTest::addColumn<Wavelengths>("offered");
    QTest::addColumn<int>("startIndex");
    QTest::addColumn<QString>("operation"); // "to NM", "once" or "survey"
    QTest::addColumn<QString>("signal");
    QTest::addColumn<quint16>("reached");
    QTest::addColumn<Wavelengths>("went"); // offered() at the end, in the meter's order
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<quint16>("meterAt"); // the simulator's wavelength afterwards

    const Wavelengths four = {850, 1300, 1310, 1550};
    QTest::newRow("to one offered, from where the meter is")
        << four << 0 << "to 850" << "reached" << quint16(850) << Wavelengths{850} << -1 << "" << quint16(850);
    QTest::newRow("to one offered, over the end of the cycle")
        << four << 2 << "to 1300" << "reached" << quint16(1300) << Wavelengths{1310, 1550, 850, 1300} << -1 << ""
        << quint16(1300);
    QTest::newRow("to one not offered: once around, exit 8")
        << four << 1 << "to 1625" << "failed" << quint16(0) << Wavelengths{1300, 1310, 1550, 850}
        << int(session::exitNoSuchWavelength) << "the meter offers 850, 1300, 1310, 1550 nm; not 1625"
        << quint16(1300);
    QTest::newRow("once")
        << four << 3 << "once" << "reached" << quint16(850) << Wavelengths{} << -1 << "" << quint16(850);
    QTest::newRow("survey: back where it began")
        << four << 2 << "survey" << "surveyed" << quint16(0) << Wavelengths{1310, 1550, 850, 1300} << -1 << ""
        << quint16(1310);
    QTest::newRow("survey of a meter with one wavelength")
        << Wavelengths{1310} << 0 << "survey" << "surveyed" << quint16(0) << Wavelengths{1310} << -1 << ""
        << quint16(1310);
}

void SessionTest::stepper()
{
    QFETCH(Wavelengths, offered);
    QFETCH(int, startIndex);
    QFETCH(QString, operation);

    MeterSimulator sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    sim.setWavelengths(offered);
    sim.setWavelengthIndex(startIndex);
    session::MeterSession meterSession(sim.portPath(), meter::Timing{10, 100});
    QVERIFY(!meterSession.open());
    session::WavelengthStepper stepper(&meterSession);
    Outcome outcome;
    connect(&stepper, &session::WavelengthStepper::reached, this, [&](quint16 nm) {
        outcome = {true, QStringLiteral("reached"), nm, {}, -1, {}};
    });
    connect(&stepper, &session::WavelengthStepper::surveyed, this, [&](const Wavelengths &list) {
        outcome = {true, QStringLiteral("surveyed"), 0, list, -1, {}};
    });
    connect(&stepper, &session::WavelengthStepper::failed, this, [&](int code, const QString &reason) {
        outcome = {true, QStringLiteral("failed"), 0, {}, code, reason};
    });
    connect(&meterSession, &session::MeterSession::failed, this, [&](int code, const QString &reason) {
        outcome = {true, QStringLiteral("session failed"), 0, {}, code, reason};
    });
    if (operation.startsWith(QLatin1String("to ")))
        stepper.stepTo(quint16(operation.mid(3).toUInt()));
    else if (operation == QLatin1String("once"))
        stepper.stepOnce();
    else
        stepper.survey();
    QVERIFY(testsupport::waitUntil([&] { return outcome.ended; }));

    QTEST(outcome.signal, "signal");
    QTEST(outcome.reached, "reached");
    QTEST(outcome.exitCode, "exitCode");
    QTEST(outcome.reason, "reason");
    QTEST(sim.currentWavelength(), "meterAt");
    QFETCH(Wavelengths, went);
    if (operation != QLatin1String("once"))
        QCOMPARE(stepper.offered(), went);
    if (outcome.signal == QLatin1String("surveyed"))
        QCOMPARE(outcome.surveyed, went);
}

void SessionTest::judged_data()
{
    QTest::addColumn<int>("level"); // hundredths
    QTest::addColumn<bool>("decibel");
    QTest::addColumn<QString>("rules"); // "ref R", "limit L:H", "loss B" or "loss 1310:B", space-separated
    QTest::addColumn<QString>("loss");  // hundredths, or "none"
    QTest::addColumn<QString>("pass");  // "PASS", "FAIL" or "none"

    QTest::newRow("a level within limits") << -1500 << false << "limit -2000:-1000" << "none" << "PASS";
    QTest::newRow("a level on a limit passes") << -2000 << false << "limit -2000:-1000" << "none" << "PASS";
    QTest::newRow("a loss against the reference, over the limit")
        << -1600 << false << "ref -1200 limit 0:300" << "400" << "FAIL";
    QTest::newRow("a loss on the budget passes") << -1500 << false << "ref -1200 loss 300" << "300" << "PASS";
    QTest::newRow("dB readings: the loss is -reading") << 250 << true << "loss 300" << "-250" << "PASS";
    QTest::newRow("no budget for the wavelength: no verdict")
        << -1500 << false << "ref -1200 loss 1550:300" << "300" << "none";
    // The run refuses these; until then nothing is judged on a loss it does not have.
    QTest::newRow("dB readings against a reference and limits: nothing to judge")
        << 250 << true << "ref -1200 limit 0:300" << "none" << "none";
}

void SessionTest::judged()
{
    QFETCH(int, level);
    QFETCH(bool, decibel);
    QFETCH(QString, rules);

    session::ReadingRules judgedBy;
    const QStringList words = rules.split(QLatin1Char(' '));
    for (int i = 0; i + 1 < words.size(); i += 2) {
        const QString &value = words.at(i + 1);
        if (words.at(i) == QLatin1String("ref")) {
            judgedBy.reference = value.toDouble();
        } else if (words.at(i) == QLatin1String("limit")) {
            const QStringList bounds = value.split(QLatin1Char(':'));
            judgedBy.limits = session::Limits{bounds.at(0).toDouble(), bounds.at(1).toDouble()};
        } else if (value.contains(QLatin1Char(':'))) {
            session::Budget budget;
            budget.byWavelength.insert(quint16(value.section(QLatin1Char(':'), 0, 0).toUInt()),
                                       value.section(QLatin1Char(':'), 1).toDouble());
            judgedBy.maxLoss = budget;
        } else {
            judgedBy.maxLoss = session::Budget{value.toDouble(), {}};
        }
    }
    const session::Reading reading =
        session::readingFrom(frameOf(level, decibel), 1310, judgedBy, QDateTime::currentDateTime(), 0);
    QCOMPARE(reading.hundredths, level);
    QTEST(reading.loss ? QString::number(*reading.loss) : QStringLiteral("none"), "loss");
    QTEST(!reading.pass ? QStringLiteral("none") : *reading.pass ? QStringLiteral("PASS") : QStringLiteral("FAIL"),
          "pass");
}

QTEST_GUILESS_MAIN(SessionTest)
#include "tst_session.moc"
