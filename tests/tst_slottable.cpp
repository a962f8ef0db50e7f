// SPDX-License-Identifier: MIT
// MainWindow's slot table: the meta-object, the by-name connections of the
// buttons, the port's data-ready connection and the help button.

#include "app/mainwindow.h"
#include "app/sharedstate.h"
#include "ui/helptext.h"
#include "ui/mainwindowui.h"

#include <QComboBox>
#include <QLabel>
#include <QMetaMethod>
#include <QPushButton>
#include <QSerialPort>
#include <QTextEdit>
#include <QtTest>

#include <algorithm>

namespace {

// QObject::receivers() is protected; a member pointer taken through a
// subclass reaches it legally on any object.
struct ReceiverCount : QObject
{
    static int of(const QObject *sender, const char *signal)
    {
        const auto receivers = &ReceiverCount::receivers;
        return (sender->*receivers)(signal);
    }
};

// Everything a slot could touch: widget texts and states, shared variables.
QStringList snapshot(const MainWindow &window)
{
    QStringList state;
    for (const QWidget *widget : window.findChildren<QWidget *>()) {
        if (widget->objectName().isEmpty() || widget->objectName().startsWith(QLatin1String("qt_")))
            continue; // the toolkit's own parts, such as scroll bars
        QString line = widget->objectName() + QLatin1Char(' ')
                       + QString::number(widget->isEnabled()) + QString::number(widget->isHidden());
        if (auto *button = qobject_cast<const QPushButton *>(widget))
            line += button->text();
        else if (auto *label = qobject_cast<const QLabel *>(widget))
            line += label->text() + label->styleSheet();
        else if (auto *edit = qobject_cast<const QTextEdit *>(widget))
            line += edit->toPlainText();
        else if (auto *combo = qobject_cast<const QComboBox *>(widget))
            line += QString::number(combo->count()) + combo->currentText();
        state << line;
    }
    state << window.windowTitle() << currentPortName << QString::number(measureState)
          << QString::number(wavelengthMode);
    const QSerialPort *port = window.findChild<QSerialPort *>();
    state << QString::number(port->isOpen()) << port->portName();
    return state;
}

QStringList snapshotBesidesOutput(const MainWindow &window)
{
    QStringList state = snapshot(window);
    state.erase(std::remove_if(state.begin(), state.end(),
                               [](const QString &line) {
                                   return line.startsWith(QLatin1String("txtOutput "));
                               }),
                state.end());
    return state;
}

QStringList capturedMessages;

void captureMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    // The test platform's own notice on showing any window; a desktop's has none.
    if (QGuiApplication::platformName() == QLatin1String("offscreen")
        && message == QLatin1String("This plugin does not support propagateSizeHints()"))
        return;
    capturedMessages << message;
}

// The window's two unmatched slots, and one more that the form gives no widget.
class WindowWithStraySlot : public QMainWindow
{
    Q_OBJECT

private slots:
    void on_pushButton_SendToPort_clicked() {}
    void on_checkBox_stateChanged(int) {}
    void on_pushButton_Calibrate_clicked() {}
};

} // namespace

class SlotTableTest : public QObject
{
    Q_OBJECT

private slots:
    void slotTable_data();
    void slotTable();
    void unconnectedSlotsDoNothing_data();
    void unconnectedSlotsDoNothing();
    void unmatchedSlotsStartQuietly_data();
    void unmatchedSlotsStartQuietly();
    void buttonsConnectedByName_data();
    void buttonsConnectedByName();
    void dataReadyConnected();
    void helpButton_data();
    void helpButton();
};

void SlotTableTest::slotTable_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("signature");

    QTest::newRow("0") << 0 << QByteArray("on_pushButton_OpenPort_clicked()");
    QTest::newRow("1") << 1 << QByteArray("on_pushButton_SendToPort_clicked()");
    QTest::newRow("2") << 2 << QByteArray("serialRecieve()");
    QTest::newRow("3") << 3 << QByteArray("on_pushButton_PortsInfo_clicked()");
    QTest::newRow("4") << 4 << QByteArray("on_pushButton_ClosePort_clicked()");
    QTest::newRow("5") << 5 << QByteArray("on_pushButton_ClosePort_2_clicked()");
    QTest::newRow("6") << 6 << QByteArray("on_pushButton_SendTo_lamda_clicked()");
    QTest::newRow("7") << 7 << QByteArray("on_pushButton_read_clicked()");
    QTest::newRow("8") << 8 << QByteArray("on_checkBox_stateChanged(int)");
    QTest::newRow("9") << 9 << QByteArray("on_pushButton_clicked()");
}

// The by-name connections and the port's connection by signature depend on
// these names; nothing else may join them.
void SlotTableTest::slotTable()
{
    QFETCH(int, index);
    QFETCH(QByteArray, signature);

    const QMetaObject &meta = MainWindow::staticMetaObject;
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 10);
    const QMetaMethod method = meta.method(meta.methodOffset() + index);
    QCOMPARE(method.methodSignature(), signature);
    QCOMPARE(method.methodType(), QMetaMethod::Slot);
}

void SlotTableTest::unconnectedSlotsDoNothing_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("argument");

    QTest::newRow("SendToPort") << 1 << 0;
    QTest::newRow("checkBox") << 8 << 2;
}

void SlotTableTest::unconnectedSlotsDoNothing()
{
    QFETCH(int, index);
    QFETCH(int, argument);

    MainWindow window;
    const QStringList before = snapshot(window);
    const QMetaMethod method =
        MainWindow::staticMetaObject.method(MainWindow::staticMetaObject.methodOffset() + index);
    QVERIFY(index == 8 ? method.invoke(&window, Qt::DirectConnection, Q_ARG(int, argument))
                       : method.invoke(&window, Qt::DirectConnection));
    QCOMPARE(QApplication::topLevelWidgets().size(), 1); // no message box
    QCOMPARE(snapshot(window), before);
}

void SlotTableTest::unmatchedSlotsStartQuietly_data()
{
    QTest::addColumn<bool>("strayWindow");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("the window, shown") << false << QStringList();
    QTest::newRow("a slot of no known widget")
        << true
        << QStringList{QStringLiteral("QMetaObject::connectSlotsByName: No matching signal for "
                                      "on_pushButton_Calibrate_clicked()")};
}

// Only the two known notices are dropped, and the handler is given back.
void SlotTableTest::unmatchedSlotsStartQuietly()
{
    QFETCH(bool, strayWindow);
    QFETCH(QStringList, expected);

    capturedMessages.clear();
    const QtMessageHandler testHandler = qInstallMessageHandler(captureMessage);
    bool exposed = true;
    if (strayWindow) {
        WindowWithStraySlot window;
        MainWindowUi form;
        form.setupUi(&window);
    } else {
        MainWindow window;
        window.show();
        exposed = QTest::qWaitForWindowExposed(&window, 5000);
    }
    const QtMessageHandler afterwards = qInstallMessageHandler(testHandler);
    QVERIFY(afterwards == captureMessage);
    QVERIFY(exposed);
    QCOMPARE(capturedMessages, expected);
}

void SlotTableTest::buttonsConnectedByName_data()
{
    QTest::addColumn<QByteArray>("slot");

    QTest::newRow("pushButton_OpenPort") << QByteArray("on_pushButton_OpenPort_clicked()");
    QTest::newRow("pushButton_PortsInfo") << QByteArray("on_pushButton_PortsInfo_clicked()");
    QTest::newRow("pushButton_ClosePort") << QByteArray("on_pushButton_ClosePort_clicked()");
    QTest::newRow("pushButton_ClosePort_2") << QByteArray("on_pushButton_ClosePort_2_clicked()");
    QTest::newRow("pushButton_SendTo_lamda")
        << QByteArray("on_pushButton_SendTo_lamda_clicked()");
    QTest::newRow("pushButton_read") << QByteArray("on_pushButton_read_clicked()");
    QTest::newRow("pushButton") << QByteArray("on_pushButton_clicked()");
}

// One receiver on clicked(), and it is this slot of this window: a click
// calls exactly its own slot, once.
void SlotTableTest::buttonsConnectedByName()
{
    QFETCH(QByteArray, slot);

    MainWindow window;
    auto *button = window.findChild<QPushButton *>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(button);
    QCOMPARE(ReceiverCount::of(button, SIGNAL(clicked())), 1);

    const QByteArray slotCode = QByteArray::number(QSLOT_CODE) + slot;
    QVERIFY(QObject::disconnect(button, SIGNAL(clicked()), &window, slotCode.constData()));
    QCOMPARE(ReceiverCount::of(button, SIGNAL(clicked())), 0);
}

void SlotTableTest::dataReadyConnected()
{
    MainWindow window;
    auto *port = window.findChild<QSerialPort *>();
    QVERIFY(port);
    QCOMPARE(ReceiverCount::of(port, SIGNAL(readyRead())), 1);
    QVERIFY(QObject::disconnect(port, SIGNAL(readyRead()), &window, SLOT(serialRecieve())));
    QCOMPARE(ReceiverCount::of(port, SIGNAL(readyRead())), 0);
}

void SlotTableTest::helpButton_data()
{
    QTest::addColumn<int>("clicks");
    QTest::addColumn<QString>("before"); // what the area holds first
    QTest::addColumn<bool>("outputEnabled");

    QTest::newRow("three times over the start-up text") << 3 << QString() << true;
    QTest::newRow("over a port report")
        << 1 << QStringLiteral("Port: ttyUSB0\nLocation: /dev/ttyUSB0\nBusy: No\n") << true;
    QTest::newRow("output disabled, as while a port is open") << 2 << QStringLiteral("report") << false;
}

void SlotTableTest::helpButton()
{
    QFETCH(int, clicks);
    QFETCH(QString, before);
    QFETCH(bool, outputEnabled);

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window, 5000));
    auto *output = window.findChild<QTextEdit *>(QStringLiteral("txtOutput"));
    auto *help = window.findChild<QPushButton *>(QStringLiteral("pushButton"));
    QVERIFY(output && help);
    if (!before.isNull())
        output->setPlainText(before);
    output->setEnabled(outputEnabled);

    const QStringList untouched = snapshotBesidesOutput(window);
    for (int i = 0; i < clicks; ++i)
        QTest::mouseClick(help, Qt::LeftButton);

    QCOMPARE(output->toPlainText(), helpText); // its text is checked in tst_mainwindowstartup
    QCOMPARE(output->document()->blockCount(), 10);
    QCOMPARE(output->isEnabled(), outputEnabled);
    QCOMPARE(snapshotBesidesOutput(window), untouched);
}

QTEST_MAIN(SlotTableTest)
#include "tst_slottable.moc"
