// SPDX-License-Identifier: MIT
// The chart as jobs will draw it: against a plain number such as a fibre,
// several series in a panel, read back from the SVG it writes.

#include "report/chart.h"

#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

using Numbers = QVector<double>;

namespace {

struct Drawn
{
    QStringList texts;
    QStringList xLabels;     // centred under the panel, the axis title aside
    QVector<double> markerX; // the centres of the markers in the plot area, in order
};

Drawn drawn(const QString &fileName, const QString &xTitle)
{
    Drawn result;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    QXmlStreamReader xml(&file);
    while (xml.readNextStartElement() || !xml.atEnd()) {
        if (!xml.isStartElement())
            continue;
        const QXmlStreamAttributes attributes = xml.attributes();
        if (xml.name() == QLatin1String("text")) {
            const bool centred = attributes.value(QStringLiteral("text-anchor")) == QLatin1String("middle")
                                 && !attributes.hasAttribute(QStringLiteral("transform"));
            const QString text = xml.readElementText();
            result.texts << text;
            if (centred && text != xTitle)
                result.xLabels << text;
        } else if (xml.name() == QLatin1String("circle")
                   && attributes.value(QStringLiteral("cy")).toDouble() > 92) {
            result.markerX << attributes.value(QStringLiteral("cx")).toDouble();
        }
    }
    return result;
}

} // namespace

class ReportTest : public QObject
{
    Q_OBJECT

private slots:
    void numberAxis_data();
    void numberAxis();
};

void ReportTest::numberAxis_data()
{
    QTest::addColumn<Numbers>("fibres");
    QTest::addColumn<bool>("wholeNumbers");
    QTest::addColumn<int>("seriesCount");
    QTest::addColumn<QStringList>("xLabels"); // the tick labels under the panel, in order; none: not looked at
    QTest::addColumn<Numbers>("markerX");     // of the first series' points
    QTest::addColumn<bool>("legend");

    // The plot area runs from x = 100 to x = 1030.
    QTest::newRow("twelve fibres, one a tick")
        << Numbers{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12} << true << 1
        << QStringList{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"}
        << Numbers{100, 184.55, 269.09, 353.64, 438.18, 522.73, 607.27, 691.82, 776.36, 860.91, 945.45, 1030} << false;
    QTest::newRow("three fibres: no half fibres")
        << Numbers{1, 2, 3} << true << 1 << QStringList{"1", "2", "3"} << Numbers{100, 565, 1030} << false;
    QTest::newRow("one fibre, in the middle")
        << Numbers{5} << true << 1 << QStringList{"4", "5", "6"} << Numbers{565} << false;
    QTest::newRow("fractions where asked for")
        << Numbers{0, 0.5, 1} << false << 1
        << QStringList{"0.0", "0.1", "0.2", "0.3", "0.4", "0.5", "0.6", "0.7", "0.8", "0.9", "1.0"}
        << Numbers{100, 565, 1030} << false;
    Numbers cable;
    for (int fibre = 1; fibre <= 288; ++fibre)
        cable << fibre;
    // Past the count where a joined series drops its markers: with no line
    // the markers are all there is.
    QTest::newRow("288 fibres, no line through them")
        << cable << true << 1 << QStringList() << Numbers{103.1} << false;
    QTest::newRow("two wavelengths: a legend")
        << Numbers{1, 2, 3} << true << 2 << QStringList{"1", "2", "3"} << Numbers{100, 565, 1030} << true;
}

void ReportTest::numberAxis()
{
    QFETCH(Numbers, fibres);
    QFETCH(bool, wholeNumbers);
    QFETCH(int, seriesCount);

    report::Chart chart;
    chart.title = QStringLiteral("Loss per fibre");
    chart.facts = QStringList{QStringLiteral("cable A")};
    chart.x = report::XAxis{report::XAxis::Number, QStringLiteral("Fibre"), wholeNumbers};
    report::Panel panel;
    panel.axisTitle = QStringLiteral("Loss (dB)");
    for (int s = 0; s < seriesCount; ++s) {
        report::Series series;
        series.name = QStringLiteral("%1 nm").arg(s == 0 ? 1310 : 1550);
        series.colour = report::seriesColour(s);
        series.joined = false;
        for (double fibre : fibres)
            series.points << report::Point{fibre, 0.3 + s * 0.1, false};
        panel.series << series;
    }
    panel.limits << report::LimitLine{0.5, QStringLiteral("max loss 0.50 dB")};
    chart.panels << panel;

    QTemporaryDir dir;
    const QString fileName = dir.filePath(QStringLiteral("fibres.svg"));
    QString error;
    QVERIFY2(report::writeChart(fileName, chart, &error), qPrintable(error));
    const Drawn svg = drawn(fileName, QStringLiteral("Fibre"));
    QVERIFY(svg.texts.contains(QStringLiteral("Fibre")));
    QVERIFY(svg.texts.contains(QStringLiteral("max loss 0.50 dB")));
    QFETCH(QStringList, xLabels);
    if (!xLabels.isEmpty())
        QCOMPARE(svg.xLabels, xLabels);
    QFETCH(Numbers, markerX);
    QCOMPARE(svg.markerX.size(), fibres.size() * seriesCount);
    for (int i = 0; i < markerX.size(); ++i)
        QVERIFY2(std::fabs(svg.markerX.at(i) - markerX.at(i)) < 0.01,
                 qPrintable(QStringLiteral("marker %1 at %2").arg(i).arg(svg.markerX.at(i))));
    QTEST(svg.texts.contains(QStringLiteral("1310 nm")) && svg.texts.contains(QStringLiteral("1550 nm")), "legend");
}

QTEST_MAIN(ReportTest)
#include "tst_report.moc"
