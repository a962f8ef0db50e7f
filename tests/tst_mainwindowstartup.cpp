// SPDX-License-Identifier: MIT
// The window as the constructor leaves it, the help text, and what the
// destructor does with the port.

#include "app/mainwindow.h"
#include "app/sharedstate.h"
#include "ui/helptext.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTextEdit>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#endif

namespace {

// Typed out again on purpose: a slip in either copy shows as a difference.
QString expectedHelpText()
{
    const QStringList lines = {
        QStringLiteral(" Соедините прибор с ПК USB шнуром, включите его, длительным нажатием на "
                       "кнопку <Sel> переведите в режим USB (на индикаторе появится значок)"),
        QStringLiteral(" "),
        QStringLiteral(" Для подключения прибора выберите нужный COM PORT из выпадающего "
                       "списка(чуть ниже). "),
        QStringLiteral(" Нажмите <Открыть порт>."),
        QStringLiteral(" Если прибор подключен, то программа отобразит текущую длину волны."),
        QStringLiteral(" Если порт выбран не верно, его нужно закрыть нажав на кнопку <Закрыть "
                       "порт>."),
        QStringLiteral(" Для обновления списка и информации о COM портах, нажмите кнопку <Какие "
                       "порты доступны>"),
        QStringLiteral(" "),
        QStringLiteral(" Для переключения длины волны используйте копку <Лямбда>. "),
        QStringLiteral(" Для отображения измерений используйте кнопку <Измерения>, повторное "
                       "нажатие останавливает отображение."),
    };
    return lines.join(QLatin1Char('\n'));
}

template <typename T>
T *child(QObject &window, const char *name)
{
    T *found = window.findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

} // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void title();
    void labels_data();
    void labels();
    void enabledStates_data();
    void enabledStates();
    void noticeIsRed();
    void helpTextAtStartup();
    void helpIsReadFromTheTop();
    void portList();
    void destructorClosesPort_data();
    void destructorClosesPort();
};

void StartupTest::title()
{
    MainWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Optical power meter Zerak"));
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QVERIFY(!window.testAttribute(Qt::WA_SetWindowIcon));
}

void StartupTest::labels_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("hidden");

    QTest::newRow("label") << "Порт" << false;
    QTest::newRow("label_4") << "TextLabel" << true;
    QTest::newRow("label_5") << " " << false;
    QTest::newRow("label_7") << " " << false;
    QTest::newRow("label_8") << " " << false;
    QTest::newRow("label_9") << " " << false;
    QTest::newRow("label_2") << "прибор не подключен!" << false;
}

void StartupTest::labels()
{
    QFETCH(QString, text);
    QFETCH(bool, hidden);

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window, 5000));
    auto *label = window.findChild<QLabel *>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(label);
    QCOMPARE(label->text(), text);
    QCOMPARE(label->isHidden(), hidden);
    QCOMPARE(label->isVisible(), !hidden);
}

void StartupTest::enabledStates_data()
{
    QTest::addColumn<bool>("enabled");

    QTest::newRow("pushButton_OpenPort") << true;
    QTest::newRow("pushButton_PortsInfo") << true;
    QTest::newRow("pushButton_ClosePort") << false;
    QTest::newRow("pushButton_SendTo_lamda") << false;
    QTest::newRow("pushButton_ClosePort_2") << true;
    QTest::newRow("pushButton_read") << false;
    QTest::newRow("pushButton") << true;
    QTest::newRow("cmbPort") << true;
    QTest::newRow("txtOutput") << true;
}

void StartupTest::enabledStates()
{
    QFETCH(bool, enabled);

    MainWindow window;
    auto *widget = window.findChild<QWidget *>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(widget);
    QCOMPARE(widget->isEnabled(), enabled);
    QVERIFY(!widget->isHidden());
}

void StartupTest::noticeIsRed()
{
    MainWindow window;
    auto *notice = child<QLabel>(window, "label_2");
    QCOMPARE(notice->styleSheet(), QStringLiteral("color: rgb(200, 0, 0)"));
    for (const char *other : {"label", "label_5", "label_7", "label_8", "label_9"})
        QVERIFY2(child<QLabel>(window, other)->styleSheet().isEmpty(), other);

    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window, 5000));
    const QImage image = notice->grab().toImage().convertToFormat(QImage::Format_RGB32);
    int red = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            red += image.pixel(x, y) == qRgb(200, 0, 0);
    QVERIFY2(red > 20, qPrintable(QString::number(red)));
}

void StartupTest::helpTextAtStartup()
{
    MainWindow window;
    auto *output = child<QTextEdit>(window, "txtOutput");
    QCOMPARE(output->toPlainText(), expectedHelpText());
    // Plain text: every line feed a paragraph, the angle brackets kept.
    QCOMPARE(output->document()->blockCount(), 10);
    QVERIFY(output->toHtml().contains(QStringLiteral("&lt;Sel&gt;")));
}

void StartupTest::portList()
{
    MainWindow window;
    auto *ports = child<QComboBox>(window, "cmbPort");

    QStringList expected;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        expected << info.portName();
    QStringList listed;
    for (int i = 0; i < ports->count(); ++i) {
        listed << ports->itemText(i);
        QVERIFY(ports->itemIcon(i).isNull());
        QVERIFY(!ports->itemData(i).isValid());
    }
    QCOMPARE(listed, expected);
    QCOMPARE(ports->currentIndex(), expected.isEmpty() ? -1 : 0);
    QVERIFY(!ports->isEditable());
}

void StartupTest::destructorClosesPort_data()
{
    QTest::addColumn<bool>("open");

    QTest::newRow("never opened") << false;
    QTest::newRow("open") << true;
}

// The port must be closed by MainWindow's own destructor, while the object is
// still a MainWindow, not later by QSerialPort's destructor.
void StartupTest::destructorClosesPort()
{
    QFETCH(bool, open);

    auto *window = new MainWindow;
    QSerialPort *port = window->findChild<QSerialPort *>();
    QVERIFY(port);

#ifdef Q_OS_UNIX
    int master = -1;
    if (open) {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0);
        QVERIFY(grantpt(master) == 0 && unlockpt(master) == 0);
        port->setPortName(QString::fromLocal8Bit(ptsname(master)));
        QVERIFY2(port->open(QIODevice::ReadWrite), qPrintable(port->errorString()));
    }
#else
    if (open)
        QSKIP("needs a pseudo-terminal");
#endif

    int closes = 0;
    int closesByWindow = 0;
    connect(port, &QIODevice::aboutToClose, port, [&] {
        ++closes;
        if (qobject_cast<MainWindow *>(port->parent()))
            ++closesByWindow;
    });
    delete window;

    QCOMPARE(closes, open ? 1 : 0);
    QCOMPARE(closesByWindow, open ? 1 : 0);
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
#ifdef Q_OS_UNIX
    if (master >= 0)
        ::close(master);
#endif
}

// The help is taller than the area; it must open at its first line, both at
// start-up and when the help button brings it back.
void StartupTest::helpIsReadFromTheTop()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *output = window.findChild<QTextEdit *>(QStringLiteral("txtOutput"));
    QScrollBar *bar = output->verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), 0);

    bar->setValue(bar->maximum());
    window.findChild<QPushButton *>(QStringLiteral("pushButton"))->click();
    QTRY_VERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), 0);
}

QTEST_MAIN(StartupTest)
#include "tst_mainwindowstartup.moc"
