// SPDX-License-Identifier: MIT
// The rules of a job without its file: budgets against limits worked out
// by hand, fibre lists, and the status of fibres from their results.

#include "job/budget.h"
#include "job/jobdata.h"
#include "job/jobstatus.h"

#include <QtTest>

using namespace job;

namespace {

// "1 A-B 1310 40; 1 B-A 1310 60": fibre, direction, wavelength, loss in
// hundredths of a dB, in the order committed.
QVector<StoredResult> resultsFrom(const QString &text)
{
    QVector<StoredResult> results;
    for (const QString &item : text.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QStringList parts = item.simplified().split(QLatin1Char(' '));
        StoredResult result;
        result.id = results.size() + 1;
        result.fibre = parts.at(0).toInt();
        result.direction = *directionFrom(parts.at(1));
        result.wavelengthNm = quint16(parts.at(2).toInt());
        result.loss = parts.at(3).toDouble();
        results << result;
    }
    return results;
}

JobDefinition threeFibres(bool bidirectional)
{
    JobDefinition job;
    job.cable = QStringLiteral("C-1");
    job.fibres = {1, 2, 3};
    job.wavelengths = {1310, 1550};
    job.bidirectional = bidirectional;
    QString error;
    job.budget = *fixedBudget(std::nullopt, {{1310, 50}, {1550, 40}}, job.wavelengths,
                              QStringLiteral("--max-loss 1310:0.5,1550:0.4"), &error);
    return job;
}

} // namespace

class JobRulesTest : public QObject
{
    Q_OBJECT

private slots:
    void computedBudget_data();
    void computedBudget();
    void budgetRefused_data();
    void budgetRefused();
    void userTable_data();
    void userTable();
    void fibreLists_data();
    void fibreLists();
    void status_data();
    void status();
    void worstMarginPerWavelength();
    void nextFibre_data();
    void nextFibre();
};

void JobRulesTest::computedBudget_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<double>("length"); // hundredths of a km
    QTest::addColumn<int>("connectors");
    QTest::addColumn<int>("splices");
    QTest::addColumn<int>("nm");
    QTest::addColumn<double>("limit"); // hundredths of a dB, by hand
    QTest::addColumn<QString>("formula");

    QTest::newRow("outside plant, the worked check") << "singlemode-outside" << 200.0 << 2 << 4 << 1310 << 370.0
        << "2 km x 0.50 dB/km + 2 connector pairs x 0.75 dB + 4 splices x 0.30 dB = 1.00 + 1.50 + 1.20 = 3.70 dB";
    QTest::newRow("outside plant at 1550 nm") << "singlemode-outside" << 1250.0 << 2 << 6 << 1550 << 955.0
        << "12.5 km x 0.50 dB/km + 2 connector pairs x 0.75 dB + 6 splices x 0.30 dB = 6.25 + 1.50 + 1.80 = 9.55 dB";
    QTest::newRow("inside plant, no splices") << "singlemode-inside" << 30.0 << 2 << 0 << 1310 << 180.0
        << "0.3 km x 1.00 dB/km + 2 connector pairs x 0.75 dB + 0 splices x 0.30 dB = 0.30 + 1.50 + 0.00 = 1.80 dB";
    QTest::newRow("inside plant at 1550 nm") << "singlemode-inside" << 100.0 << 1 << 1 << 1550 << 205.0
        << "1 km x 1.00 dB/km + 1 connector pairs x 0.75 dB + 1 splices x 0.30 dB = 1.00 + 0.75 + 0.30 = 2.05 dB";
    // A thousandth of a dB is kept, in the sum and in its text.
    QTest::newRow("multimode at 850 nm") << "multimode" << 35.0 << 2 << 1 << 850 << 302.5
        << "0.35 km x 3.50 dB/km + 2 connector pairs x 0.75 dB + 1 splices x 0.30 dB = 1.225 + 1.50 + 0.30 = 3.025 dB";
    QTest::newRow("multimode at 1300 nm") << "multimode" << 35.0 << 2 << 1 << 1300 << 232.5
        << "0.35 km x 1.50 dB/km + 2 connector pairs x 0.75 dB + 1 splices x 0.30 dB = 0.525 + 1.50 + 0.30 = 2.325 dB";
    QTest::newRow("connectors only") << "multimode" << 0.0 << 4 << 0 << 1300 << 300.0
        << "0 km x 1.50 dB/km + 4 connector pairs x 0.75 dB + 0 splices x 0.30 dB = 0.00 + 3.00 + 0.00 = 3.00 dB";
}

void JobRulesTest::computedBudget()
{
    QFETCH(QString, type);
    QFETCH(double, length);
    QFETCH(int, connectors);
    QFETCH(int, splices);
    QFETCH(int, nm);
    QFETCH(double, limit);
    QFETCH(QString, formula);

    QString error;
    const std::optional<JobBudget> budget = job::computedBudget(builtInTable(), {type, length, connectors, splices},
                                                                {quint16(nm)}, QStringLiteral("--budget"), &error);
    QVERIFY2(budget, qPrintable(error));
    QCOMPARE(budget->limits.size(), 1);
    // Exactly: 0.3 dB a splice is 30 hundredths, not 30.000000000000004.
    QVERIFY2(budget->at(quint16(nm))->limit == limit, qPrintable(QString::number(budget->at(quint16(nm))->limit, 'g', 17)));
    QCOMPARE(budget->at(quint16(nm))->formula, formula);
    QVERIFY(budget->basis.contains(QLatin1String("TIA-568-C.3")));
}

void JobRulesTest::budgetRefused_data()
{
    QTest::addColumn<QString>("type"); // empty: a fixed limit of 0.50 dB at 1310 nm only
    QTest::addColumn<QVector<quint16>>("wavelengths");
    QTest::addColumn<QString>("error");

    QTest::newRow("multimode has no 1310 nm")
        << "multimode" << QVector<quint16>{850, 1310}
        << "the multimode budget (the built-in table) gives no attenuation at 1310 nm, a wavelength of the job; it "
           "has 850, 1300 nm";
    QTest::newRow("singlemode has no 850 nm")
        << "singlemode-outside" << QVector<quint16>{850}
        << "the singlemode-outside budget (the built-in table) gives no attenuation at 850 nm, a wavelength of the "
           "job; it has 1310, 1550 nm";
    QTest::newRow("no such type")
        << "singlemode" << QVector<quint16>{1310}
        << "the built-in table has no fibre type 'singlemode'; it has multimode, singlemode-inside, singlemode-outside";
    QTest::newRow("a fixed limit missing a wavelength")
        << "" << QVector<quint16>{1310, 1550}
        << "--max-loss 1310:0.5 gives no limit at 1550 nm, a wavelength of the job; give one, e.g. 1550:0.5";
}

void JobRulesTest::budgetRefused()
{
    QFETCH(QString, type);
    QFETCH(QVector<quint16>, wavelengths);
    QFETCH(QString, error);

    QString why;
    const std::optional<JobBudget> budget =
        type.isEmpty() ? fixedBudget(std::nullopt, {{1310, 50}}, wavelengths, QStringLiteral("--max-loss 1310:0.5"), &why)
                       : job::computedBudget(builtInTable(), {type, 100, 2, 0}, wavelengths, QString(), &why);
    QVERIFY(!budget);
    QCOMPARE(why, error);
}

void JobRulesTest::userTable_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("error"); // empty: loads; om4, 0.5 km, 2 pairs, 2 splices at 850 nm gives 2.70 dB

    const QByteArray good = R"({"edition": "house rules 2026", "connector_pair_dB": 0.5, "splice_dB": 0.1,
        "types": [{"name": "om4", "basis": "our own", "attenuation_dB_per_km": {"850": 3.0}}]})";
    QTest::newRow("a table of its own") << good << "";
    QTest::newRow("not JSON") << QByteArray("edition = 1") << "^T is not a table of loss budgets: .* at byte \\d+$";
    QTest::newRow("an array") << QByteArray("[]")
        << "^T is not a table of loss budgets: expected an object with \"edition\"";
    QTest::newRow("no edition") << QByteArray(good).replace("\"edition\": \"house rules 2026\",", "")
        << "^T is not a table of loss budgets: \"edition\" must say which values the table holds$";
    QTest::newRow("a negative splice") << QByteArray(good).replace("0.1", "-0.1")
        << "^T is not a table of loss budgets: \"splice_dB\" must be a number of dB from 0 to 1000$";
    QTest::newRow("a connector pair as text") << QByteArray(good).replace("0.5,", "\"0.5\",")
        << "^T is not a table of loss budgets: \"connector_pair_dB\" must be a number";
    QTest::newRow("no types") << QByteArray(good).replace(R"({"name": "om4", "basis": "our own", "attenuation_dB_per_km": {"850": 3.0}})", "")
        << "^T is not a table of loss budgets: \"types\" must list at least one fibre type$";
    QTest::newRow("a type without a basis") << QByteArray(good).replace("\"our own\"", "\"\"")
        << "^T is not a table of loss budgets: types\\[0\\] \\(om4\\): \"basis\" must name";
    QTest::newRow("a type named with spaces") << QByteArray(good).replace("om4", "OM 4")
        << "^T is not a table of loss budgets: types\\[0\\]: \"name\" must be lower-case";
    QTest::newRow("not a wavelength") << QByteArray(good).replace("\"850\"", "\"85\"")
        << "^T is not a table of loss budgets: types\\[0\\] \\(om4\\): '85' is not a wavelength in nm";
    QTest::newRow("no attenuation") << QByteArray(good).replace(R"({"850": 3.0})", "{}")
        << "^T is not a table of loss budgets: types\\[0\\] \\(om4\\): \"attenuation_dB_per_km\" must give";
    QTest::newRow("a type twice") << QByteArray(good).replace(
        R"({"name": "om4", "basis": "our own", "attenuation_dB_per_km": {"850": 3.0}})",
        R"({"name": "om4", "basis": "a", "attenuation_dB_per_km": {"850": 3.0}}, {"name": "om4", "basis": "b", "attenuation_dB_per_km": {"850": 2.0}})")
        << "^T is not a table of loss budgets: types\\[1\\]: the type om4 is listed twice$";
}

void JobRulesTest::userTable()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, error);

    QString why;
    const std::optional<BudgetTable> table = tableFrom(json, QStringLiteral("T"), &why);
    if (!error.isEmpty()) {
        QVERIFY(!table);
        QVERIFY2(QRegularExpression(error).match(why).hasMatch(), qPrintable(why));
        return;
    }
    QVERIFY2(table, qPrintable(why));
    const std::optional<JobBudget> budget =
        job::computedBudget(*table, {QStringLiteral("om4"), 50, 2, 2}, {850}, QString(), &why);
    QVERIFY2(budget, qPrintable(why));
    QCOMPARE(budget->at(850)->limit, 270.0);
    QCOMPARE(budget->basis, QStringLiteral("house rules 2026 (T): our own; connector pair 0.50 dB, splice 0.10 dB"));
}

void JobRulesTest::fibreLists_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("count"); // -1: refused
    QTest::addColumn<QString>("asRanges");

    QTest::newRow("a range") << "1-48" << 48 << "1-48";
    QTest::newRow("two ranges") << "1-12,25-36" << 24 << "1-12,25-36";
    QTest::newRow("given out of order") << "25-36, 1-12" << 24 << "1-12,25-36";
    QTest::newRow("single fibres joined") << "3,1,2,7" << 4 << "1-3,7";
    QTest::newRow("spaces") << " 5 - 6 " << 2 << "5-6";
    QTest::newRow("288 fibres") << "1-288" << 288 << "1-288";
    QTest::newRow("the highest") << "9999" << 1 << "9999";
    QTest::newRow("fibre 0") << "0-4" << -1 << "";
    QTest::newRow("backwards") << "12-1" << -1 << "";
    QTest::newRow("overlapping") << "1-12,10-14" << -1 << "";
    QTest::newRow("too high") << "1-10000" << -1 << "";
    QTest::newRow("empty") << "" << -1 << "";
    QTest::newRow("an empty item") << "1-4,,6" << -1 << "";
    QTest::newRow("not a number") << "a-b" << -1 << "";
}

void JobRulesTest::fibreLists()
{
    QFETCH(QString, text);
    QFETCH(int, count);
    QFETCH(QString, asRanges);

    QString error;
    const std::optional<QVector<int>> fibres = fibresFrom(text, &error);
    if (count < 0) {
        QVERIFY(!fibres);
        QVERIFY(!error.isEmpty());
        return;
    }
    QVERIFY2(fibres, qPrintable(error));
    QCOMPARE(fibres->size(), count);
    QVERIFY(std::is_sorted(fibres->begin(), fibres->end()));
    QCOMPARE(fibresText(*fibres), asRanges);
}

// A job of fibres 1 to 3 at 1310 nm (limit 0.50 dB) and 1550 nm (0.40 dB);
// what fibre 1 shows at one wavelength, and the counts.
void JobRulesTest::status_data()
{
    QTest::addColumn<bool>("bidirectional");
    QTest::addColumn<QString>("results");
    QTest::addColumn<int>("nm");
    QTest::addColumn<double>("loss"); // -1: none
    QTest::addColumn<int>("earlier");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("counts"); // passed failed untested
    QTest::addColumn<int>("outcome");

    QTest::newRow("nothing yet") << false << "" << 1310 << -1.0 << 0 << "untested" << "0 0 3"
                                 << int(JobStatus::SomeUntested);
    QTest::newRow("the average of two directions, at the limit")
        << false << "1 A-B 1310 40; 1 B-A 1310 60; 1 A-B 1550 30" << 1310 << 50.0 << 0 << "PASS" << "1 0 2"
        << int(JobStatus::SomeUntested);
    QTest::newRow("the average over, though one direction passes")
        << false << "1 A-B 1310 45; 1 B-A 1310 56; 1 A-B 1550 10" << 1310 << 50.5 << 0 << "FAIL" << "0 1 2"
        << int(JobStatus::SomeFailed);
    QTest::newRow("the average within, though one direction fails")
        << false << "1 A-B 1310 70; 1 B-A 1310 20; 1 B-A 1550 40" << 1310 << 45.0 << 0 << "PASS" << "1 0 2"
        << int(JobStatus::SomeUntested);
    QTest::newRow("one direction alone where either will do")
        << false << "1 B-A 1310 20; 1 B-A 1550 40" << 1550 << 40.0 << 0 << "PASS" << "1 0 2"
        << int(JobStatus::SomeUntested);
    QTest::newRow("bidirectional: one direction is not done")
        << true << "1 A-B 1310 10; 1 A-B 1550 10" << 1310 << 10.0 << 0 << "untested" << "0 0 3"
        << int(JobStatus::SomeUntested);
    QTest::newRow("bidirectional: a direction over the limit alone fails nothing yet")
        << true << "1 A-B 1310 90; 1 A-B 1550 90" << 1310 << 90.0 << 0 << "untested" << "0 0 3"
        << int(JobStatus::SomeUntested);
    QTest::newRow("bidirectional: both in")
        << true << "1 A-B 1310 10; 1 A-B 1550 10; 1 B-A 1310 20; 1 B-A 1550 10" << 1310 << 15.0 << 0 << "PASS"
        << "1 0 2" << int(JobStatus::SomeUntested);
    QTest::newRow("a re-test replaces a failure")
        << false << "1 A-B 1310 70; 1 A-B 1550 10; 1 A-B 1310 30" << 1310 << 30.0 << 1 << "PASS" << "1 0 2"
        << int(JobStatus::SomeUntested);
    QTest::newRow("a re-test replaces a pass")
        << false << "1 A-B 1310 30; 1 A-B 1550 10; 1 A-B 1310 51" << 1310 << 51.0 << 1 << "FAIL" << "0 1 2"
        << int(JobStatus::SomeFailed);
    QTest::newRow("a re-test in one direction keeps the other")
        << false << "1 A-B 1310 30; 1 B-A 1310 50; 1 A-B 1550 10; 1 A-B 1310 10" << 1310 << 30.0 << 1 << "PASS"
        << "1 0 2" << int(JobStatus::SomeUntested);
    QTest::newRow("one wavelength failing fails the fibre")
        << false << "1 A-B 1310 10; 1 A-B 1550 41" << 1550 << 41.0 << 0 << "FAIL" << "0 1 2"
        << int(JobStatus::SomeFailed);
    QTest::newRow("a thousandth over fails") << false << "1 A-B 1310 50.1; 1 A-B 1550 10" << 1310 << 50.1 << 0
                                             << "FAIL" << "0 1 2" << int(JobStatus::SomeFailed);
    QTest::newRow("a fibre outside the job counts nowhere")
        << false << "7 A-B 1310 10; 7 A-B 1550 10" << 1310 << -1.0 << 0 << "untested" << "0 0 3"
        << int(JobStatus::SomeUntested);
    QTest::newRow("every fibre passed")
        << false << "1 A-B 1310 10; 1 A-B 1550 10; 2 A-B 1310 10; 2 A-B 1550 10; 3 B-A 1310 10; 3 B-A 1550 10"
        << 1310 << 10.0 << 0 << "PASS" << "3 0 0" << int(JobStatus::AllPassed);
    QTest::newRow("a failure outweighs the untested")
        << false << "2 A-B 1310 10; 2 A-B 1550 90" << 1310 << -1.0 << 0 << "untested" << "0 1 2"
        << int(JobStatus::SomeFailed);
}

void JobRulesTest::status()
{
    QFETCH(bool, bidirectional);
    QFETCH(QString, results);
    QFETCH(int, nm);
    QFETCH(double, loss);
    QFETCH(int, earlier);
    QFETCH(QString, state);
    QFETCH(QString, counts);
    QFETCH(int, outcome);

    const JobStatus status = statusOf(threeFibres(bidirectional), resultsFrom(results));
    QCOMPARE(status.fibres.size(), 3);
    const FibreStatus &fibre = status.fibres.first();
    QCOMPARE(fibre.fibre, 1);
    const WavelengthStatus &at = fibre.wavelengths.at(nm == 1310 ? 0 : 1);
    QCOMPARE(int(at.wavelengthNm), nm);
    QCOMPARE(at.loss.has_value(), loss >= 0);
    if (loss >= 0) {
        QCOMPARE(*at.loss, loss);
        QCOMPARE(*at.margin(), at.limit - loss);
    }
    QCOMPARE(at.earlier, earlier);
    const QStringList states{QStringLiteral("untested"), QStringLiteral("PASS"), QStringLiteral("FAIL")};
    QCOMPARE(states.at(fibre.state), state);
    QCOMPARE(QStringLiteral("%1 %2 %3").arg(status.passed).arg(status.failed).arg(status.untested), counts);
    QCOMPARE(int(status.outcome()), outcome);
}

void JobRulesTest::worstMarginPerWavelength()
{
    const JobStatus status = statusOf(threeFibres(false), resultsFrom(QStringLiteral(
        "1 A-B 1310 20; 1 A-B 1550 5; 2 A-B 1310 45; 2 A-B 1550 35; 3 A-B 1310 30; 3 B-A 1310 70; 3 A-B 1550 10")));
    QCOMPARE(status.worstMargin.keys(), (QList<quint16>{1310, 1550}));
    // Fibre 3's 1310 nm is the average, 0.50 dB: a margin of 0.
    QCOMPARE(status.worstMargin.value(1310).fibre, 3);
    QCOMPARE(status.worstMargin.value(1310).margin, 0.0);
    QCOMPARE(status.worstMargin.value(1550).fibre, 2);
    QCOMPARE(status.worstMargin.value(1550).margin, 5.0);
}

void JobRulesTest::nextFibre_data()
{
    QTest::addColumn<QString>("results");
    QTest::addColumn<QString>("direction");
    QTest::addColumn<QString>("toTest");
    QTest::addColumn<int>("only"); // a wavelength asked for alone, or 0

    QTest::newRow("nothing yet") << "" << "A-B" << "1 2 3 10 11 12" << 0;
    QTest::newRow("fibre 1 done in A-B") << "1 A-B 1310 10; 1 A-B 1550 10" << "A-B" << "2 3 10 11 12" << 0;
    QTest::newRow("not in the other direction") << "1 A-B 1310 10; 1 A-B 1550 10" << "B-A" << "1 2 3 10 11 12" << 0;
    QTest::newRow("a wavelength missing is not done") << "1 A-B 1310 10" << "A-B" << "1 2 3 10 11 12" << 0;
    QTest::newRow("out of order") << "2 A-B 1310 10; 2 A-B 1550 10; 10 A-B 1310 10; 10 A-B 1550 10" << "A-B"
                                  << "1 3 11 12" << 0;
    QTest::newRow("over the gap") << "1 A-B 1310 9; 1 A-B 1550 9; 2 A-B 1310 9; 2 A-B 1550 9; 3 A-B 1310 9; "
                                     "3 A-B 1550 9" << "A-B" << "10 11 12" << 0;
    QTest::newRow("a failure is tested") << "1 B-A 1310 99; 1 B-A 1550 99" << "B-A" << "2 3 10 11 12" << 0;
    QTest::newRow("one wavelength asked for") << "1 A-B 1310 10; 2 A-B 1550 10" << "A-B" << "2 3 10 11 12" << 1310;
}

void JobRulesTest::nextFibre()
{
    QFETCH(QString, results);
    QFETCH(QString, direction);
    QFETCH(QString, toTest);
    QFETCH(int, only);

    JobDefinition job = threeFibres(false);
    job.fibres = {1, 2, 3, 10, 11, 12};
    const QVector<StoredResult> stored = resultsFrom(results);
    QStringList fibres;
    const QVector<quint16> wavelengths = only ? QVector<quint16>{quint16(only)} : QVector<quint16>();
    for (int fibre : fibresToTest(job, stored, *directionFrom(direction), wavelengths))
        fibres << QString::number(fibre);
    QCOMPARE(fibres.join(QLatin1Char(' ')), toTest);
    if (!only)
        QCOMPARE(job::nextFibre(job, stored, *directionFrom(direction)), std::optional<int>(fibres.first().toInt()));
}

QTEST_GUILESS_MAIN(JobRulesTest)
#include "tst_jobrules.moc"
