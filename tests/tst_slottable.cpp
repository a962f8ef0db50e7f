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
    void metaObject();
    void slotTable_data();
    void slotTable();
    void metacast_data();
    void metacast();
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

void SlotTableTest::metaObject()
{
    const QMetaObject &meta = MainWindow::staticMetaObject;
    QCOMPARE(meta.className(), "MainWindow");
    QCOMPARE(meta.superClass(), &QMainWindow::staticMetaObject);
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 10);
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());
    QCOMPARE(meta.classInfoCount(), meta.classInfoOffset());
    QCOMPARE(meta.constructorCount(), 0);

    MainWindow window;
    QCOMPARE(window.metaObject(), &MainWindow::staticMetaObject);
}

void SlotTableTest::slotTable_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QList<QByteArray>>("parameterNames");

    const QList<QByteArray> none;
    QTest::newRow("0") << 0 << QByteArray("on_pushButton_OpenPort_clicked()") << none;
    QTest::newRow("1") << 1 << QByteArray("on_pushButton_SendToPort_clicked()") << none;
    QTest::newRow("2") << 2 << QByteArray("serialRecieve()") << none;
    QTest::newRow("3") << 3 << QByteArray("on_pushButton_PortsInfo_clicked()") << none;
    QTest::newRow("4") << 4 << QByteArray("on_pushButton_ClosePort_clicked()") << none;
    QTest::newRow("5") << 5 << QByteArray("on_pushButton_ClosePort_2_clicked()") << none;
    QTest::newRow("6") << 6 << QByteArray("on_pushButton_SendTo_lamda_clicked()") << none;
    QTest::newRow("7") << 7 << QByteArray("on_pushButton_read_clicked()") << none;
    QTest::newRow("8") << 8 << QByteArray("on_checkBox_stateChanged(int)")
                       << QList<QByteArray>{"arg1"};
    QTest::newRow("9") << 9 << QByteArray("on_pushButton_clicked()") << none;
}

void SlotTableTest::slotTable()
{
    QFETCH(int, index);
    QFETCH(QByteArray, signature);
    QFETCH(QList<QByteArray>, parameterNames);

    const QMetaObject &meta = MainWindow::staticMetaObject;
    const QMetaMethod method = meta.method(meta.methodOffset() + index);
    QCOMPARE(method.methodSignature(), signature);
    QCOMPARE(method.methodType(), QMetaMethod::Slot);
    QCOMPARE(method.access(), QMetaMethod::Private);
    QCOMPARE(method.returnType(), int(QMetaType::Void));
    QCOMPARE(QByteArray(method.tag()), QByteArray());
    QCOMPARE(method.parameterNames(), parameterNames);
    QCOMPARE(meta.indexOfSlot(signature.constData()), meta.methodOffset() + index);
}

void SlotTableTest::metacast_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("isNull"); // a null name rather than an empty one
    QTest::addColumn<int>("expected"); // 0 null, 1 the window itself, 2 non-null

    QTest::newRow("MainWindow") << QByteArray("MainWindow") << false << 1;
    QTest::newRow("QMainWindow") << QByteArray("QMainWindow") << false << 2;
    QTest::newRow("QObject") << QByteArray("QObject") << false << 2;
    QTest::newRow("other class") << QByteArray("QDialog") << false << 0;
    QTest::newRow("case differs") << QByteArray("mainwindow") << false << 0;
    QTest::newRow("prefix") << QByteArray("MainWindowX") << false << 0;
    QTest::newRow("empty") << QByteArray("") << false << 0;
    QTest::newRow("null") << QByteArray() << true << 0;
}

void SlotTableTest::metacast()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, isNull);
    QFETCH(int, expected);

    MainWindow window;
    void *cast = window.qt_metacast(isNull ? nullptr : name.constData());
    switch (expected) {
    case 0:
        QCOMPARE(cast, nullptr);
        break;
    case 1:
        QCOMPARE(cast, static_cast<void *>(&window));
        break;
    default:
        QVERIFY(cast);
    }
}

void SlotTableTest::unconnectedSlotsDoNothing_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("byName");
    QTest::addColumn<int>("argument");

    QTest::newRow("SendToPort by name") << 1 << true << 0;
    QTest::newRow("SendToPort by index") << 1 << false << 0;
    QTest::newRow("checkBox by name, 0") << 8 << true << 0;
    QTest::newRow("checkBox by name, 2") << 8 << true << 2;
    QTest::newRow("checkBox by index, -1") << 8 << false << -1;
}

void SlotTableTest::unconnectedSlotsDoNothing()
{
    QFETCH(int, index);
    QFETCH(bool, byName);
    QFETCH(int, argument);

    MainWindow window;
    QVERIFY(!window.findChild<QObject *>(QStringLiteral("pushButton_SendToPort")));
    QVERIFY(!window.findChild<QObject *>(QStringLiteral("checkBox")));
    const QStringList before = snapshot(window);

    const QMetaMethod method =
        MainWindow::staticMetaObject.method(MainWindow::staticMetaObject.methodOffset() + index);
    bool invoked = false;
    if (byName && index == 8)
        invoked = QMetaObject::invokeMethod(&window, "on_checkBox_stateChanged",
                                            Qt::DirectConnection, Q_ARG(int, argument));
    else if (byName)
        invoked = QMetaObject::invokeMethod(&window, "on_pushButton_SendToPort_clicked",
                                            Qt::DirectConnection);
    else if (index == 8)
        invoked = method.invoke(&window, Qt::DirectConnection, Q_ARG(int, argument));
    else
        invoked = method.invoke(&window, Qt::DirectConnection);
    QVERIFY(invoked);
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
    QCOMPARE(ReceiverCount::of(button, SIGNAL(clicked(bool))), 1);
    QCOMPARE(ReceiverCount::of(button, SIGNAL(pressed())), 0);
    QCOMPARE(ReceiverCount::of(button, SIGNAL(released())), 0);
    QCOMPARE(ReceiverCount::of(button, SIGNAL(toggled(bool))), 0);

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
    QTest::addColumn<bool>("mouse");

    QTest::newRow("once over the start-up text") << 1 << QString() << true << true;
    QTest::newRow("three times") << 3 << QString() << true << true;
    QTest::newRow("over a port report")
        << 1 << QStringLiteral("Port: ttyUSB0\nLocation: /dev/ttyUSB0\nBusy: No\n") << true << false;
    QTest::newRow("twice over an empty area") << 2 << QStringLiteral("") << true << false;
    QTest::newRow("output disabled, as while a port is open")
        << 2 << QStringLiteral("report") << false << false;
}

void SlotTableTest::helpButton()
{
    QFETCH(int, clicks);
    QFETCH(QString, before);
    QFETCH(bool, outputEnabled);
    QFETCH(bool, mouse);

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

    QSignalSpy clicked(help, &QPushButton::clicked);
    for (int i = 0; i < clicks; ++i) {
        if (mouse)
            QTest::mouseClick(help, Qt::LeftButton);
        else
            help->click();
    }
    QCOMPARE(clicked.count(), clicks);

    QCOMPARE(output->toPlainText(), helpText); // its text is checked in tst_mainwindowstartup
    QCOMPARE(output->document()->blockCount(), 10);
    QCOMPARE(output->isEnabled(), outputEnabled);
    QCOMPARE(snapshotBesidesOutput(window), untouched);
}

QTEST_MAIN(SlotTableTest)
#include "tst_slottable.moc"
