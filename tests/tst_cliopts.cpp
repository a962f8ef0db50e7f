// SPDX-License-Identifier: MIT
// zerak-cli's options at each bound a user types, parsed as the program
// parses them: one step outside is refused with the reason, the bound itself
// is taken as the value it names.

#include "cli/options.h"

#include <QCommandLineParser>
#include <QMap>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString text(const std::optional<double> &hundredths)
{
    return hundredths ? QString::number(*hundredths) : QStringLiteral("-");
}

// What was parsed, as key=value, in the units the program keeps: ms and
// hundredths of a dB.
QMap<QString, QString> parsed(const cli::Options &options)
{
    QStringList wavelengths;
    for (quint16 nm : options.wavelengths)
        wavelengths << QString::number(nm);
    QString budget = QStringLiteral("-");
    if (options.maxLoss && options.maxLoss->all) {
        budget = text(options.maxLoss->all);
    } else if (options.maxLoss) {
        QStringList each;
        for (auto at = options.maxLoss->byWavelength.begin(); at != options.maxLoss->byWavelength.end(); ++at)
            each << QStringLiteral("%1:%2").arg(at.key()).arg(at.value());
        budget = each.join(QLatin1Char(','));
    }
    return {{QStringLiteral("timeout"), QString::number(options.deadlineMs)},
            {QStringLiteral("gap"), QString::number(options.gapMs)},
            {QStringLiteral("n"), QString::number(options.count)},
            {QStringLiteral("interval"), QString::number(options.intervalMs)},
            {QStringLiteral("duration"),
             options.durationMs ? QString::number(*options.durationMs) : QStringLiteral("-")},
            {QStringLiteral("wavelength"),
             options.wavelength ? QString::number(*options.wavelength) : QStringLiteral("-")},
            {QStringLiteral("wavelengths"), wavelengths.isEmpty() ? QStringLiteral("-") : wavelengths.join(',')},
            {QStringLiteral("limit"), options.limits ? text(options.limits->low) + QLatin1Char(':')
                                                           + text(options.limits->high)
                                                     : QStringLiteral("-")},
            {QStringLiteral("max-loss"), budget},
            {QStringLiteral("reference"), text(options.reference)}};
}

} // namespace

class CliOptionsTest : public QObject
{
    Q_OBJECT

private slots:
    void bounds_data();
    void bounds();

private:
    QTemporaryDir dir;
};

void CliOptionsTest::bounds_data()
{
    QTest::addColumn<QStringList>("arguments"); // DIR: a directory that may be written to
    QTest::addColumn<QString>("outcome");       // the error, or "taken: key=value ..." as parsed

    const QStringList measure = {"--port", "ttyUSB0", "measure"};
    const QStringList reference = {"--port", "ttyUSB0", "reference", "--output", "DIR/ref.json"};
    const QStringList loss = {"--port", "ttyUSB0", "loss", "--reference", "DIR/ref.json"};
    const QString whole = QStringLiteral("bad value '%1' for %2: expected a whole number from %3 to %4");
    const QString duration = QStringLiteral("bad value '%1' for --duration: expected seconds, more than 0, e.g. 30 "
                                            "or 0.5");
    const QString nm = QStringLiteral("bad value '%1' for %2: expected a wavelength in nm from 400 to 1700, e.g. 1310");

    QTest::newRow("the least of each")
        << measure + QStringList{"--timeout", "10", "--gap", "9", "-n", "1", "--interval", "0", "--duration", "0.001",
                                 "--wavelength", "400", "--limit=-15:-15"}
        << "taken: timeout=10 gap=9 n=1 interval=0 duration=1 wavelength=400 limit=-1500:-1500";
    QTest::newRow("the most of each")
        << measure + QStringList{"--timeout", "600000", "--gap", "1000", "-n", "100000000", "--interval", "86400000",
                                 "--duration", "31622400", "--wavelength", "1700", "--reference", "-12", "--max-loss",
                                 "0"}
        << "taken: timeout=600000 gap=1000 n=100000000 interval=86400000 duration=31622400000 wavelength=1700 "
           "reference=-1200 max-loss=0";
    QTest::newRow("--timeout 9") << measure + QStringList{"--timeout", "9"}
                                 << whole.arg("9", "--timeout").arg(10).arg(600000);
    QTest::newRow("--timeout 600001") << measure + QStringList{"--timeout", "600001"}
                                      << whole.arg("600001", "--timeout").arg(10).arg(600000);
    QTest::newRow("--gap 0") << measure + QStringList{"--gap", "0"} << whole.arg("0", "--gap").arg(1).arg(1000);
    QTest::newRow("--gap 1001") << measure + QStringList{"--gap", "1001", "--timeout", "2000"}
                                << whole.arg("1001", "--gap").arg(1).arg(1000);
    QTest::newRow("--gap a ms short of --timeout") << measure + QStringList{"--gap", "99", "--timeout", "100"}
                                                   << "taken: timeout=100 gap=99";
    QTest::newRow("--gap as long as --timeout")
        << measure + QStringList{"--gap", "100", "--timeout", "100"}
        << "--gap 100 must be shorter than --timeout 100: a reply must be able to end before it is given up";
    QTest::newRow("-n 0") << measure + QStringList{"-n", "0"} << whole.arg("0", "-n").arg(1).arg(100000000);
    QTest::newRow("-n 100000001") << measure + QStringList{"-n", "100000001"}
                                  << whole.arg("100000001", "-n").arg(1).arg(100000000);
    QTest::newRow("--interval -1") << measure + QStringList{"--interval=-1"}
                                   << whole.arg("-1", "--interval").arg(0).arg(86400000);
    QTest::newRow("--interval 86400001") << measure + QStringList{"--interval", "86400001"}
                                         << whole.arg("86400001", "--interval").arg(0).arg(86400000);
    // Seconds to the millisecond, a fraction of one rounded up; an hour, or
    // a year of logging, is a duration like any other.
    QTest::newRow("--duration 0") << measure + QStringList{"--duration", "0"} << duration.arg("0");
    QTest::newRow("--duration 0.0001") << measure + QStringList{"--duration", "0.0001"} << "taken: duration=1";
    QTest::newRow("--duration 1.5") << measure + QStringList{"--duration", "1.5"} << "taken: duration=1500";
    QTest::newRow("--duration of an hour") << measure + QStringList{"--duration", "3600"} << "taken: duration=3600000";
    QTest::newRow("--duration of more than 366 days") << measure + QStringList{"--duration", "31622401"}
                                                      << duration.arg("31622401");
    QTest::newRow("--duration=-1") << measure + QStringList{"--duration=-1"} << duration.arg("-1");
    QTest::newRow("limits upside down by a hundredth") << measure + QStringList{"--limit=-15:-15.01"}
                                                       << "bad value '-15:-15.01' for --limit: LOW is above HIGH";
    QTest::newRow("--max-loss below 0") << measure + QStringList{"--max-loss=-0.01"}
                                        << "bad value '-0.01' for --max-loss: expected a loss in dB (e.g. 3.5), or one "
                                           "per wavelength NM:DB separated by commas (e.g. 1310:0.5,1550:0.4)";
    QTest::newRow("--wavelength 399") << measure + QStringList{"--wavelength", "399"} << nm.arg("399", "--wavelength");
    QTest::newRow("--wavelength 1701") << measure + QStringList{"--wavelength", "1701"}
                                       << nm.arg("1701", "--wavelength");
    QTest::newRow("a reference at 400 and 1700 nm") << reference + QStringList{"--wavelengths", "400,1700"}
                                                    << "taken: wavelengths=400,1700 n=5";
    QTest::newRow("a reference at 1701 nm") << reference + QStringList{"--wavelengths", "1310,1701"}
                                            << nm.arg("1701", "--wavelengths");
    QTest::newRow("a reference at 399 nm") << reference + QStringList{"--wavelengths", "399,1310"}
                                           << nm.arg("399", "--wavelengths");
    QTest::newRow("budgets of 0 at 400 and 1700 nm") << loss + QStringList{"--max-loss", "400:0,1700:0"}
                                                     << "taken: max-loss=400:0,1700:0";
    QTest::newRow("a budget at 399 nm") << loss + QStringList{"--max-loss", "399:1"} << nm.arg("399", "--max-loss");
    QTest::newRow("a budget at 1701 nm") << loss + QStringList{"--max-loss", "1701:1"} << nm.arg("1701", "--max-loss");
    QTest::newRow("a budget below 0 at 1310 nm")
        << loss + QStringList{"--max-loss", "1310:-0.01"}
        << "bad value '1310:-0.01' for --max-loss: expected a loss in dB (e.g. 3.5), or one per wavelength NM:DB "
           "separated by commas (e.g. 1310:0.5,1550:0.4)";
    // detect answers sooner by default, and has the same bounds.
    QTest::newRow("detect") << QStringList{"detect"} << "taken: timeout=300 gap=50";
    QTest::newRow("detect --timeout 10") << QStringList{"detect", "--timeout", "10", "--gap", "1"} << "taken: timeout=10 gap=1";
    QTest::newRow("detect --timeout 600000") << QStringList{"detect", "--timeout", "600000", "--gap", "1000"}
                                             << "taken: timeout=600000 gap=1000";
    QTest::newRow("detect --timeout 9") << QStringList{"detect", "--timeout", "9"}
                                        << whole.arg("9", "--timeout").arg(10).arg(600000);
    QTest::newRow("detect --timeout 600001") << QStringList{"detect", "--timeout", "600001"}
                                             << whole.arg("600001", "--timeout").arg(10).arg(600000);
    QTest::newRow("detect --gap 0") << QStringList{"detect", "--gap", "0"} << whole.arg("0", "--gap").arg(1).arg(1000);
}

void CliOptionsTest::bounds()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, outcome);
    QVERIFY(dir.isValid());
    QCommandLineParser parser;
    cli::addOptions(parser);
    QStringList argv{QStringLiteral("zerak-cli")};
    for (const QString &argument : qAsConst(arguments))
        argv << QString(argument).replace(QStringLiteral("DIR"), dir.path());
    QVERIFY2(parser.parse(argv), qPrintable(parser.errorText()));
    QString error;
    cli::Options options;
    try {
        options = cli::optionsFrom(parser);
    } catch (const cli::UsageError &usage) {
        error = usage.message;
    }
    const QString taken = QStringLiteral("taken: ");
    if (!outcome.startsWith(taken)) {
        QCOMPARE(error, outcome);
        return;
    }
    QCOMPARE(error, QString());
    const QMap<QString, QString> values = parsed(options);
    for (const QString &pair : outcome.mid(taken.size()).split(QLatin1Char(' '))) {
        const QString key = pair.section(QLatin1Char('='), 0, 0);
        QVERIFY2(values.contains(key), qPrintable(key));
        QCOMPARE(key + QLatin1Char('=') + values.value(key), pair);
    }
}

QTEST_GUILESS_MAIN(CliOptionsTest)
#include "tst_cliopts.moc"
