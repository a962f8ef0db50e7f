// SPDX-License-Identifier: MIT
// The port report button against this machine's real port enumeration,
// whatever number of ports it has, and against a simulated meter's port.

#include "app/mainwindow.h"
#include "app/sharedstate.h"
#include "port/portreport.h"
#include "sim/metersimulator.h"
#include "support/windowtesting.h"
#include "ui/helptext.h"

#include <QComboBox>
#include <QPushButton>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTextEdit>
#include <QtTest>

using testsupport::widget;

namespace {

struct Enumeration
{
    QStringList names;
    QString report;
};

Enumeration enumerateNow()
{
    Enumeration now;
    QStringList blocks;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports) {
        now.names << port.portName();
        blocks << portReportBlock(portDetailsOf(port));
    }
    now.report = blocks.join(QLatin1Char('\n'));
    return now;
}

QStringList entries(const QComboBox *list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->itemText(i);
    return texts;
}

// Read back from the text alone, not through portReportBlock.
QStringList reportedNames(const QString &report)
{
    QStringList names;
    const QStringList lines = report.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("Port: ")))
            names << line.mid(6);
    }
    return names;
}

QString helpAsShown()
{
    QTextEdit fresh;
    fresh.append(helpText);
    return fresh.toPlainText();
}

} // namespace

class TestPortInventory : public QObject
{
    Q_OBJECT

private slots:
    void reportAndList_data();
    void reportAndList();
    void reportWhilePortOpen_data();
    void reportWhilePortOpen();
};

void TestPortInventory::reportAndList_data()
{
    QTest::addColumn<QString>("presses"); // R: port report, H: help
    QTest::addColumn<bool>("staleEntries");

    QTest::newRow("one report") << "R" << false;
    QTest::newRow("two reports in a row") << "RR" << false;
    QTest::newRow("report replaces help") << "HR" << false;
    QTest::newRow("help after a report") << "RH" << false;
    QTest::newRow("report, help, report") << "RHR" << false;
    QTest::newRow("stale list entries dropped") << "R" << true;
}

void TestPortInventory::reportAndList()
{
    QFETCH(QString, presses);
    QFETCH(bool, staleEntries);

    testsupport::MessageBoxWatcher boxes;
    MainWindow window;
    window.show();
    auto *output = widget<QTextEdit>(&window, "txtOutput");
    auto *list = widget<QComboBox>(&window, "cmbPort");
    auto *report = widget<QPushButton>(&window, "pushButton_PortsInfo");
    auto *help = widget<QPushButton>(&window, "pushButton");
    QVERIFY(output && list && report && help);
    if (staleEntries) {
        testsupport::selectPort(&window, QStringLiteral("/dev/gone0"));
        testsupport::selectPort(&window, QStringLiteral("/dev/gone1"));
    }

    const Enumeration expected = enumerateNow();
    for (const QChar press : presses)
        (press == QLatin1Char('R') ? report : help)->click();

    if (presses.endsWith(QLatin1Char('H'))) {
        QCOMPARE(output->toPlainText(), helpAsShown());
    } else {
        QCOMPARE(output->toPlainText(), expected.report);
        QCOMPARE(reportedNames(output->toPlainText()), expected.names);
    }
    QCOMPARE(entries(list), expected.names);
    QCOMPARE(list->currentIndex(), expected.names.isEmpty() ? -1 : 0);
    QCOMPARE(boxes.boxes().size(), 0);
}

void TestPortInventory::reportWhilePortOpen_data()
{
    QTest::addColumn<int>("reports");

    QTest::newRow("one report") << 1;
    QTest::newRow("two reports") << 2;
}

void TestPortInventory::reportWhilePortOpen()
{
    QFETCH(int, reports);

    MeterSimulator sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    const QString path = sim.portPath();
    currentPortName.clear();
    testsupport::MessageBoxWatcher boxes;
    MainWindow window;
    window.show();
    auto *output = widget<QTextEdit>(&window, "txtOutput");
    auto *list = widget<QComboBox>(&window, "cmbPort");
    auto *open = widget<QPushButton>(&window, "pushButton_OpenPort");
    auto *close = widget<QPushButton>(&window, "pushButton_ClosePort");
    auto *report = widget<QPushButton>(&window, "pushButton_PortsInfo");
    auto *measure = widget<QPushButton>(&window, "pushButton_read");
    auto *port = window.findChild<QSerialPort *>();
    QVERIFY(output && list && open && close && report && measure && port);

    testsupport::selectPort(&window, path);
    open->click();
    QVERIFY(boxes.waitForBoxes(1));
    QCOMPARE(boxes.boxes().at(0).title, QStringLiteral("Сообщение"));
    QCOMPARE(boxes.boxes().at(0).text,
             QStringLiteral("Порт ") + path + QStringLiteral(" успешно открыт : )"));
    QVERIFY(QTest::qWaitFor([&] { return measure->isEnabled(); }, 3000)); // the meter answered

    const Enumeration expected = enumerateNow();
    for (int i = 0; i < reports; ++i)
        report->click();

    QCOMPARE(output->toPlainText(), expected.report);
    QVERIFY(!output->isEnabled());
    QCOMPARE(entries(list), expected.names); // the open port is not enumerated
    QVERIFY(!list->isEnabled());
    QVERIFY(port->isOpen());
    QCOMPARE(currentPortName, path);
    QCOMPARE(boxes.boxes().size(), 1);

    close->click();
    QVERIFY(boxes.waitForBoxes(2));
    QCOMPARE(boxes.boxes().size(), 2);
    QCOMPARE(boxes.boxes().at(1).title, QStringLiteral("Сообщение"));
    QCOMPARE(boxes.boxes().at(1).text,
             QStringLiteral("Порт ") + path + QStringLiteral(" успешно закрыт : )"));
    QVERIFY(!port->isOpen());
    QVERIFY(list->isEnabled());
    QCOMPARE(entries(list), expected.names);
}

QTEST_MAIN(TestPortInventory)
#include "tst_portinventory.moc"
