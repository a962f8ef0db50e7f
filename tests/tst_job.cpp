// SPDX-License-Identifier: MIT
// The loss test's record as jobs will build it: the verdict over every
// wavelength, a level the reference lacks, and the record as written.

#include "job/losstest.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Wavelength, reference mean, reading mean (dBm), budget (dB, or below 0 for none).
struct Measured
{
    quint16 nm;
    double reference;
    double reading;
    double budget;
};

using MeasuredList = QVector<Measured>;

job::ReadingStats statsOf(double dBm)
{
    job::ReadingStats stats;
    stats.add(dBm * 100);
    stats.add(dBm * 100);
    return stats;
}

std::optional<job::LossRecord> recordOf(const MeasuredList &list, const QVector<quint16> &inReference)
{
    job::ReferenceRecord reference;
    QVector<job::WavelengthLevel> levels;
    session::Budget budget;
    bool budgeted = false;
    for (const Measured &m : list) {
        if (inReference.contains(m.nm))
            reference.levels << job::ReferenceLevel{m.nm, m.reference * 100, 0, 2};
        levels << job::WavelengthLevel{m.nm, statsOf(m.reading)};
        if (m.budget >= 0) {
            budget.byWavelength.insert(m.nm, m.budget * 100);
            budgeted = true;
        }
    }
    return job::lossRecord(reference, levels, budgeted ? std::optional<session::Budget>(budget) : std::nullopt);
}

} // namespace

Q_DECLARE_METATYPE(MeasuredList)

class JobTest : public QObject
{
    Q_OBJECT

private slots:
    void verdict_data();
    void verdict();
    void csvReport();
};

void JobTest::verdict_data()
{
    QTest::addColumn<MeasuredList>("measured");
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<int>("pass"); // 1, 0, or -1 for none

    QTest::newRow("every wavelength within")
        << MeasuredList{{1310, -12.5, -15.5, 3.0}, {1550, -11, -13.4, 2.4}}
        << "PASS: every wavelength within its budget" << 1;
    QTest::newRow("the first over, the last within")
        << MeasuredList{{1310, -12.5, -15.6, 3.0}, {1550, -11, -13.0, 2.4}}
        << "FAIL: 1310 nm over the budget" << 0;
    QTest::newRow("the last over") << MeasuredList{{1310, -12.5, -14, 3.0}, {1550, -11, -14, 2.4}}
                                   << "FAIL: 1550 nm over the budget" << 0;
    QTest::newRow("both over") << MeasuredList{{1310, -12.5, -16, 3.0}, {1550, -11, -14, 2.4}}
                               << "FAIL: 1310 nm, 1550 nm over the budget" << 0;
    QTest::newRow("no budget") << MeasuredList{{1310, -12.5, -16, -1}} << "no budget given (--max-loss): no verdict"
                               << -1;
}

void JobTest::verdict()
{
    QFETCH(MeasuredList, measured);
    QVector<quint16> all;
    for (const Measured &m : measured)
        all << m.nm;
    const std::optional<job::LossRecord> record = recordOf(measured, all);
    QVERIFY(record);
    QCOMPARE(record->rows.size(), measured.size());
    QTEST(record->verdict(), "verdict");
    QTEST(record->pass() ? int(*record->pass()) : -1, "pass");

    // A level the reference lacks makes no record: the rest would pass for the whole link.
    QVERIFY(!recordOf(measured + MeasuredList{{1625, -10, -10, 1}}, all));
}

void JobTest::csvReport()
{
    std::optional<job::LossRecord> record = recordOf({{1550, -11, -13.4, 3.0}}, {1550});
    QVERIFY(record);
    record->at = QDateTime::fromString(QStringLiteral("2024-05-01T10:00:00Z"), Qt::ISODate);
    record->port = QStringLiteral("COM%3");
    QTemporaryDir dir;
    const QString fileName = dir.filePath(QStringLiteral("report.csv"));
    QString error;
    QVERIFY2(job::writeReport(fileName, *record, &error), qPrintable(error));
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(file.readAll()),
             QStringLiteral("time,port,wavelength_nm,reference_dBm,reading_dBm,std_dev_dB,loss_dB,budget_dB,result\n"
                            "2024-05-01T10:00:00Z,COM%3,1550,-11.00,-13.40,0.00,2.40,3.00,PASS\n"));
}

QTEST_GUILESS_MAIN(JobTest)
#include "tst_job.moc"
