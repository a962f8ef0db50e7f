// SPDX-License-Identifier: MIT
#include "app/sharedstate.h"
#include "support/windowharness.h"

#include <QComboBox>
#include <QMessageBox>
#include <QSerialPortInfo>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTextEdit>
#include <QtTest>

using namespace testsupport;

namespace {

const QString errorTitle = QStringLiteral("Ошибка");
const QString messageTitle = QStringLiteral("Сообщение");
const QString openFailedText = QStringLiteral("Не удалось подключиться к порту");

// Enabled state of the controls Open and Close switch, in a fixed order.
QString controlStates(const WindowHarness &h)
{
    QString states;
    for (const char *name : {"pushButton_OpenPort", "pushButton_ClosePort", "pushButton_SendTo_lamda",
                             "pushButton_read", "pushButton_PortsInfo", "pushButton_ClosePort_2",
                             "pushButton"})
        states += h.button(name)->isEnabled() ? QLatin1Char('1') : QLatin1Char('0');
    states += widget<QComboBox>(h.window.get(), "cmbPort")->isEnabled() ? QLatin1Char('1') : QLatin1Char('0');
    states += widget<QTextEdit>(h.window.get(), "txtOutput")->isEnabled() ? QLatin1Char('1') : QLatin1Char('0');
    states += h.label("label_2")->isVisible() ? QLatin1Char('1') : QLatin1Char('0');
    return states;
}

// Open, Close, Lambda, Measurements, report, Exit, help, list, output, notice.
const QString startStates = QStringLiteral("1000111111");
const QString openAnsweredStates = QStringLiteral("0111111000");
const QString openUnansweredStates = QStringLiteral("0100111001");

void verifyBox(const SeenBox &box, QMessageBox::Icon icon, const QString &title, const QString &text,
               QWidget *parent)
{
    QCOMPARE(box.icon, icon);
    QCOMPARE(box.title, title);
    QCOMPARE(box.text, text);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parent, parent);
}

} // namespace

class PortConnectionTest : public QObject
{
    Q_OBJECT

private slots:
    void openQueriesWavelengthBeforeTheSuccessBox();
    void failedOpenChangesNothingElse_data();
    void failedOpenChangesNothingElse();
    void closeRestoresControlsAndKeepsReadings();
    void exitReleasesThePort_data();
    void exitReleasesThePort();
    void lambdaWritesNextWavelength();
    void measurementsToggleAndWriteOneRequestEach();
    void failedWriteIsReported();
    void unansweredQueryLeavesButtonsLocked();
    void extraPortsFromEnvironment_data();
    void extraPortsFromEnvironment();
};

void PortConnectionTest::openQueriesWavelengthBeforeTheSuccessBox()
{
    WindowHarness h;
    h.sim.setAnswering(false);
    QByteArray writtenWhileBoxShown;
    QString statesWhileBoxShown;
    h.boxes.setBeforeDismiss([&](QMessageBox *) {
        waitForReceived(h.sim, 1, 1000);
        QCoreApplication::processEvents(); // what was written with it has arrived too
        writtenWhileBoxShown = h.sim.received();
        statesWhileBoxShown = controlStates(h);
    });
    selectPort(h.window.get(), h.sim.portPath());
    h.click("pushButton_OpenPort");
    QVERIFY(h.boxes.waitForBoxes(1));

    QCOMPARE(writtenWhileBoxShown, QByteArray("\x7A"));
    QCOMPARE(statesWhileBoxShown, startStates);
    verifyBox(h.boxes.boxes().at(0), QMessageBox::Information, messageTitle,
              QStringLiteral("Порт ") + h.sim.portPath() + QStringLiteral(" успешно открыт : )"),
              h.window.get());
    QCOMPARE(controlStates(h), openUnansweredStates);
    QCOMPARE(currentPortName, h.sim.portPath());
    QCOMPARE(wavelengthMode, 1);
    QCOMPARE(h.port()->baudRate(), 115200);
    QCOMPARE(h.port()->dataBits(), QSerialPort::Data8);
    QCOMPARE(h.port()->parity(), QSerialPort::NoParity);
    QCOMPARE(h.port()->stopBits(), QSerialPort::OneStop);
    QCOMPARE(h.port()->flowControl(), QSerialPort::NoFlowControl);
    QCOMPARE(h.port()->openMode() & QIODevice::ReadWrite, QIODevice::ReadWrite);

    // The meter's answer unlocks the reading controls.
    h.sim.sendRaw(meter::wavelengthFrame(1310));
    QTRY_COMPARE(h.text("label_5"), QStringLiteral("1310 nm"));
    QCOMPARE(controlStates(h), openAnsweredStates);
    QCOMPARE(h.sim.received(), QByteArray("\x7A"));
}

void PortConnectionTest::failedOpenChangesNothingElse_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("empty list") << "empty";
    QTest::newRow("missing device") << "missing";
    QTest::newRow("held by another program") << "busy";
    QTest::newRow("not a serial device") << "file";
}

void PortConnectionTest::failedOpenChangesNothingElse()
{
    QFETCH(QString, kind);
    WindowHarness h;
    auto *list = widget<QComboBox>(h.window.get(), "cmbPort");
    QSerialPort holder;
    QTemporaryFile plainFile;
    QString tried;
    if (kind == QLatin1String("empty")) {
        list->clear();
    } else if (kind == QLatin1String("missing")) {
        tried = QStringLiteral("/dev/zerak-no-such-port");
    } else if (kind == QLatin1String("busy")) {
        holder.setPortName(h.sim.portPath());
        QVERIFY(holder.open(QIODevice::ReadWrite));
        tried = h.sim.portPath();
    } else {
        QVERIFY(plainFile.open());
        plainFile.write("not a tty");
        plainFile.flush();
        tried = plainFile.fileName();
    }
    if (!tried.isEmpty())
        selectPort(h.window.get(), tried);
    const QString labelsBefore = h.text("label_5") + h.text("label_7") + h.text("label_8") + h.text("label_9");

    h.click("pushButton_OpenPort");
    QVERIFY(h.boxes.waitForBoxes(1));
    QCoreApplication::processEvents();
    QCOMPARE(h.boxes.boxes().size(), 1);
    verifyBox(h.boxes.boxes().at(0), QMessageBox::Warning, errorTitle, openFailedText, h.window.get());
    QCOMPARE(controlStates(h), startStates);
    QCOMPARE(currentPortName, tried);
    QCOMPARE(wavelengthMode, 0);
    QVERIFY(!h.port()->isOpen());
    QCOMPARE(h.text("label_5") + h.text("label_7") + h.text("label_8") + h.text("label_9"), labelsBefore);
    QVERIFY(h.sim.received().isEmpty());

    // The program stays usable: a good port opens and answers.
    holder.close();
    h.sim.setAnswering(true);
    QVERIFY(h.openSimulatedPort());
    QCOMPARE(h.boxes.boxes().last().title, messageTitle);
    QTRY_COMPARE(h.text("label_5"), QStringLiteral("850 nm"));
    QCOMPARE(controlStates(h), openAnsweredStates);
}

void PortConnectionTest::closeRestoresControlsAndKeepsReadings()
{
    WindowHarness h;
    h.sim.setPowerLevel(-15.0);
    QVERIFY(h.openSimulatedPort());
    QTRY_COMPARE(h.text("label_5"), QStringLiteral("850 nm"));
    h.click("pushButton_read");
    QTRY_COMPARE(h.text("label_7"), QStringLiteral("15.00"));
    const int boxesBefore = h.boxes.boxes().size();

    h.click("pushButton_ClosePort");
    QVERIFY(h.boxes.waitForBoxes(boxesBefore + 1));
    verifyBox(h.boxes.boxes().last(), QMessageBox::Information, messageTitle,
              QStringLiteral("Порт ") + h.sim.portPath() + QStringLiteral(" успешно закрыт : )"),
              h.window.get());
    QCOMPARE(controlStates(h), startStates);
    QVERIFY(!h.port()->isOpen());
    QCOMPARE(h.text("label_5"), QStringLiteral("850 nm"));
    QCOMPARE(h.text("label_7"), QStringLiteral("15.00"));
    QCOMPARE(h.text("label_9"), QStringLiteral("-"));
    QCOMPARE(h.text("label_8"), QStringLiteral("dBm"));
    QCOMPARE(measureState, 1);
    QCOMPARE(wavelengthMode, 0);

    // Nothing more to go out once closed.
    QVERIFY(!h.link()->nextWakeup());

    // Opened again, the meter's first answer unlocks the controls and hides
    // the notice as it did the first time, and the readings after leave them so.
    h.sim.setPowerLevel(-12.5);
    QVERIFY(h.openSimulatedPort());
    QTRY_COMPARE(h.text("label_7"), QStringLiteral("12.50"));
    QCOMPARE(controlStates(h), openAnsweredStates);
    h.sim.setPowerLevel(-13.0);
    QTRY_COMPARE(h.text("label_7"), QStringLiteral("13.00"));
    QCOMPARE(controlStates(h), openAnsweredStates);
}

void PortConnectionTest::exitReleasesThePort_data()
{
    QTest::addColumn<bool>("opened");
    QTest::newRow("port open") << true;
    QTest::newRow("never opened") << false;
}

void PortConnectionTest::exitReleasesThePort()
{
    QFETCH(bool, opened);
    WindowHarness h;
    if (opened)
        QVERIFY(h.openSimulatedPort());
    const int boxesBefore = h.boxes.boxes().size();

    h.click("pushButton_ClosePort_2");
    QCoreApplication::processEvents();
    QCOMPARE(h.boxes.boxes().size(), boxesBefore);
    QVERIFY(!h.window->isVisible());
    QVERIFY(!h.port()->isOpen());

    QSerialPort other;
    other.setPortName(h.sim.portPath());
    QVERIFY2(other.open(QIODevice::ReadWrite), qPrintable(other.errorString()));
}

void PortConnectionTest::lambdaWritesNextWavelength()
{
    WindowHarness h;
    QVERIFY(h.openSimulatedPort());
    QTRY_COMPARE(h.text("label_5"), QStringLiteral("850 nm"));
    h.click("pushButton_SendTo_lamda");
    QTRY_COMPARE(h.text("label_5"), QStringLiteral("1300 nm"));
    QCOMPARE(h.sim.received(), QByteArray("\x7A\x7B"));
    QCOMPARE(wavelengthMode, 1);
    QCOMPARE(measureState, 0);
    QCOMPARE(h.text("label_7"), QStringLiteral(" "));
}

void PortConnectionTest::measurementsToggleAndWriteOneRequestEach()
{
    WindowHarness h;
    QVERIFY(h.openSimulatedPort());
    h.sim.setAnswering(false);
    h.sim.clearLog();

    h.click("pushButton_read");
    QVERIFY(waitForReceived(h.sim, 1));
    QCOMPARE(measureState, 1);
    QCOMPARE(wavelengthMode, 0);
    h.click("pushButton_read");
    QVERIFY(waitForReceived(h.sim, 2));
    QCOMPARE(measureState, 0);
    QCoreApplication::processEvents();
    QCOMPARE(h.sim.received(), QByteArray("\x82\x82"));
    QVERIFY(h.button("pushButton_read")->autoRepeat());
    QCOMPARE(h.boxes.boxes().size(), 1); // only the open's
}

void PortConnectionTest::failedWriteIsReported()
{
    WindowHarness h;
    QVERIFY(h.openSimulatedPort());
    // The port goes away under the enabled buttons: the write cannot complete.
    h.port()->close();
    const int boxesBefore = h.boxes.boxes().size();

    // Lambda fails silently.
    h.click("pushButton_SendTo_lamda");
    QCoreApplication::processEvents(); // the box would be queued
    QCOMPARE(h.boxes.boxes().size(), boxesBefore);
    QCOMPARE(wavelengthMode, 1);

    h.click("pushButton_read");
    QVERIFY(h.boxes.waitForBoxes(boxesBefore + 1));
    verifyBox(h.boxes.boxes().last(), QMessageBox::Warning, errorTitle,
              QStringLiteral("Ошибка записи в порт ") + h.sim.portPath(), h.window.get());
    QCOMPARE(measureState, 1);

    // A failed Open starts a new outage: the next box names the port it tried.
    const QString tried = QStringLiteral("/dev/zerak-no-such-port");
    selectPort(h.window.get(), tried);
    QMetaObject::invokeMethod(h.window.get(), "on_pushButton_OpenPort_clicked", Qt::QueuedConnection);
    QVERIFY(h.boxes.waitForBoxes(boxesBefore + 2));
    QCOMPARE(h.boxes.boxes().last().text, openFailedText);
    h.click("pushButton_read");
    QVERIFY(h.boxes.waitForBoxes(boxesBefore + 3));
    QCOMPARE(h.boxes.boxes().last().text, QStringLiteral("Ошибка записи в порт ") + tried);
    h.click("pushButton_read"); // measuring again; the same outage, no box
    QCoreApplication::processEvents();
    QCOMPARE(h.boxes.boxes().size(), boxesBefore + 3);
    selectPort(h.window.get(), h.sim.portPath());

    // Still usable: close, reopen, and the measurement loop resumes by itself.
    h.click("pushButton_ClosePort");
    QVERIFY(h.boxes.waitForBoxes(boxesBefore + 4));
    h.sim.setPowerLevel(-7.5);
    QVERIFY(h.openSimulatedPort());
    QTRY_COMPARE(h.text("label_7"), QStringLiteral("7.50"));
}

void PortConnectionTest::unansweredQueryLeavesButtonsLocked()
{
    WindowHarness h;
    h.sim.setAnswering(false);
    QSignalSpy givenUp(h.link(), &meter::MeterLink::commandGivenUp);
    selectPort(h.window.get(), h.sim.portPath());
    h.click("pushButton_OpenPort");
    QVERIFY(h.boxes.waitForBoxes(1));
    QVERIFY(givenUp.wait());
    QCOMPARE(controlStates(h), openUnansweredStates);
    h.click("pushButton_ClosePort");
    QVERIFY(h.boxes.waitForBoxes(2));
    QCOMPARE(controlStates(h), startStates);
}

void PortConnectionTest::extraPortsFromEnvironment_data()
{
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QStringList>("extra");
    QTest::newRow("unset") << QByteArray() << QStringList();
    QTest::newRow("one") << QByteArray("/dev/pts/9") << QStringList{"/dev/pts/9"};
    QTest::newRow("two, empty parts skipped") << QByteArray(":/tmp/a::/tmp/b:") << QStringList{"/tmp/a", "/tmp/b"};
}

// The simulated meter can be offered in the list without touching the code.
void PortConnectionTest::extraPortsFromEnvironment()
{
    QFETCH(QByteArray, variable);
    QFETCH(QStringList, extra);
    QStringList expected;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        expected << info.portName();
    expected << extra;

    qputenv("ZERAK_EXTRA_PORTS", variable);
    WindowHarness h;
    qunsetenv("ZERAK_EXTRA_PORTS");
    auto *list = widget<QComboBox>(h.window.get(), "cmbPort");
    QStringList listed;
    for (int i = 0; i < list->count(); ++i)
        listed << list->itemText(i);
    QCOMPARE(listed, expected);
}

QTEST_MAIN(PortConnectionTest)
#include "tst_portconnection.moc"
