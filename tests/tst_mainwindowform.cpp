// SPDX-License-Identifier: MIT
// The form as setupUi builds it on a plain QMainWindow: widget tree, geometry,
// fonts, settings, captions and the window's own settings.

#include "ui/mainwindowui.h"

#include <QComboBox>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QStatusBar>
#include <QTextEdit>
#include <QToolBar>
#include <QTranslator>
#include <QtTest>

namespace {

// Records every lookup; translates nothing unless given a replacement.
class RecordingTranslator : public QTranslator
{
public:
    struct Call
    {
        QString context;
        QString source;
        bool disambiguationNull;
        int n;
    };
    QVector<Call> calls;
    QString replacement;

    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *sourceText, const char *disambiguation,
                      int n) const override
    {
        auto *self = const_cast<RecordingTranslator *>(this);
        self->calls.append({QString::fromUtf8(context), QString::fromUtf8(sourceText),
                            disambiguation == nullptr, n});
        return replacement;
    }
};

QString captionOf(const QWidget *widget)
{
    if (auto *button = qobject_cast<const QAbstractButton *>(widget))
        return button->text();
    if (auto *label = qobject_cast<const QLabel *>(widget))
        return label->text();
    return QString();
}

const QStringList controlsInOrder = {
    "pushButton_OpenPort", "label", "cmbPort", "txtOutput", "pushButton_PortsInfo",
    "pushButton_ClosePort", "pushButton_SendTo_lamda", "pushButton_ClosePort_2",
    "pushButton_read", "label_4", "label_5", "label_7", "label_8", "label_9", "label_2",
    "pushButton"};

} // namespace

class FormTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void widgets_data();
    void widgets();
    void creationOrderAndMembers();
    void windowSettings();
    void objectName_data();
    void objectName();
    void captions_data();
    void captions();
    void captionsPassThroughTranslation();
    void languageChangeLeavesCaptions();
    void outputAreaRefusesEditing();
    void resizingMovesNothing();

private:
    QMainWindow *window = nullptr;
    MainWindowUi *ui = nullptr;
};

void FormTest::init()
{
    window = new QMainWindow;
    ui = new MainWindowUi;
    ui->setupUi(window);
}

void FormTest::cleanup()
{
    delete ui;
    ui = nullptr;
    delete window;
    window = nullptr;
}

void FormTest::widgets_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<int>("pointSize"); // 0: the default font
    QTest::addColumn<bool>("autoRepeat");

    QTest::newRow("pushButton_OpenPort") << "QPushButton" << QRect(10, 260, 91, 31) << 0 << false;
    QTest::newRow("label") << "QLabel" << QRect(20, 230, 51, 16) << 0 << false;
    QTest::newRow("cmbPort") << "QComboBox" << QRect(80, 230, 91, 22) << 0 << false;
    QTest::newRow("txtOutput") << "QTextEdit" << QRect(10, 40, 191, 181) << 0 << false;
    QTest::newRow("pushButton_PortsInfo") << "QPushButton" << QRect(20, 10, 171, 28) << 0 << false;
    QTest::newRow("pushButton_ClosePort") << "QPushButton" << QRect(100, 260, 91, 31) << 0 << false;
    QTest::newRow("pushButton_SendTo_lamda") << "QPushButton" << QRect(240, 50, 81, 28) << 0 << false;
    QTest::newRow("pushButton_ClosePort_2") << "QPushButton" << QRect(50, 290, 100, 30) << 0 << false;
    QTest::newRow("pushButton_read") << "QPushButton" << QRect(240, 170, 81, 28) << 0 << true;
    QTest::newRow("label_4") << "QLabel" << QRect(230, 20, 91, 21) << 0 << false;
    QTest::newRow("label_5") << "QLabel" << QRect(240, 90, 111, 31) << 16 << false;
    QTest::newRow("label_7") << "QLabel" << QRect(370, 150, 141, 71) << 20 << false;
    QTest::newRow("label_8") << "QLabel" << QRect(460, 160, 131, 51) << 20 << false;
    QTest::newRow("label_9") << "QLabel" << QRect(360, 180, 47, 13) << 16 << false;
    QTest::newRow("label_2") << "QLabel" << QRect(240, 230, 311, 31) << 21 << false;
    QTest::newRow("pushButton") << "QPushButton" << QRect(60, 330, 75, 23) << 0 << false;
}

void FormTest::widgets()
{
    QFETCH(QString, className);
    QFETCH(QRect, geometry);
    QFETCH(int, pointSize);
    QFETCH(bool, autoRepeat);

    const QString name = QString::fromLatin1(QTest::currentDataTag());
    const QList<QWidget *> named = window->findChildren<QWidget *>(name);
    QCOMPARE(named.size(), 1);
    QWidget *widget = named.first();
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QCOMPARE(widget->parentWidget(), ui->centralWidget);
    QCOMPARE(widget->geometry(), geometry);

    QFont expectedFont;
    if (pointSize > 0)
        expectedFont.setPointSize(pointSize);
    QCOMPARE(widget->font(), expectedFont);
    QCOMPARE(widget->testAttribute(Qt::WA_SetFont), pointSize > 0);
    if (auto *button = qobject_cast<QPushButton *>(widget))
        QCOMPARE(button->autoRepeat(), autoRepeat);
}

void FormTest::creationOrderAndMembers()
{
    QStringList children;
    for (QObject *child : ui->centralWidget->children())
        if (child->isWidgetType())
            children << child->objectName();
    QCOMPARE(children, controlsInOrder);

    const QVector<QPair<QString, QObject *>> members = {
        {"centralWidget", ui->centralWidget},
        {"pushButton_OpenPort", ui->pushButton_OpenPort},
        {"label", ui->label},
        {"cmbPort", ui->cmbPort},
        {"txtOutput", ui->txtOutput},
        {"pushButton_PortsInfo", ui->pushButton_PortsInfo},
        {"pushButton_ClosePort", ui->pushButton_ClosePort},
        {"pushButton_SendTo_lamda", ui->pushButton_SendTo_lamda},
        {"pushButton_ClosePort_2", ui->pushButton_ClosePort_2},
        {"pushButton_read", ui->pushButton_read},
        {"label_4", ui->label_4},
        {"label_5", ui->label_5},
        {"label_7", ui->label_7},
        {"label_8", ui->label_8},
        {"label_9", ui->label_9},
        {"label_2", ui->label_2},
        {"pushButton", ui->pushButton},
        {"mainToolBar", ui->mainToolBar},
        {"statusBar", ui->statusBar},
    };
    for (const auto &member : members) {
        QVERIFY2(member.second, qPrintable(member.first));
        QCOMPARE(member.second->objectName(), member.first);
        QCOMPARE(window->findChild<QObject *>(member.first), member.second);
    }
}

void FormTest::windowSettings()
{
    QCOMPARE(window->size(), QSize(616, 389));
    QCOMPARE(window->windowTitle(), QStringLiteral("MainWindow"));
    QCOMPARE(window->centralWidget(), ui->centralWidget);

    QCOMPARE(window->findChildren<QToolBar *>().size(), 1);
    QCOMPARE(window->toolBarArea(ui->mainToolBar), Qt::TopToolBarArea);
    // statusBar() would make a new bar if none were installed.
    QCOMPARE(window->findChildren<QStatusBar *>().size(), 1);
    QCOMPARE(window->statusBar(), ui->statusBar);
    QVERIFY(!window->menuWidget());
    QVERIFY(!window->testAttribute(Qt::WA_SetWindowIcon));

    QVERIFY(ui->txtOutput->isReadOnly());
    QVERIFY(!ui->txtOutput->document()->isUndoRedoEnabled());
}

void FormTest::objectName_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("expected");

    QTest::newRow("unnamed") << QString() << "MainWindow";
    QTest::newRow("named") << "meterWindow" << "meterWindow";
}

void FormTest::objectName()
{
    QFETCH(QString, given);
    QFETCH(QString, expected);

    QMainWindow named;
    named.setObjectName(given);
    MainWindowUi form;
    form.setupUi(&named);
    QCOMPARE(named.objectName(), expected);
}

void FormTest::captions_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("pushButton_OpenPort") << "Открыть порт";
    QTest::newRow("label") << "Порт";
    QTest::newRow("pushButton_PortsInfo") << "Какие порты доступны";
    QTest::newRow("pushButton_ClosePort") << "Закрыть порт";
    QTest::newRow("pushButton_SendTo_lamda") << "Лямбда";
    QTest::newRow("pushButton_ClosePort_2") << "Выход";
    QTest::newRow("pushButton_read") << "Измерения";
    QTest::newRow("label_4") << "TextLabel";
    QTest::newRow("label_5") << "TextLabel";
    QTest::newRow("label_7") << "TextLabel";
    QTest::newRow("label_8") << "TextLabel";
    QTest::newRow("label_9") << "TextLabel";
    QTest::newRow("label_2") << "прибор не подключен!";
    QTest::newRow("pushButton") << "помощь";
    QTest::newRow("cmbPort") << QString();
    QTest::newRow("txtOutput") << QString();
}

void FormTest::captions()
{
    QFETCH(QString, text);

    auto *widget = window->findChild<QWidget *>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(widget);
    QCOMPARE(captionOf(widget), text);
    if (auto *edit = qobject_cast<QTextEdit *>(widget))
        QCOMPARE(edit->toPlainText(), QString());
    if (auto *combo = qobject_cast<QComboBox *>(widget))
        QCOMPARE(combo->currentText(), QString());
}

void FormTest::captionsPassThroughTranslation()
{
    RecordingTranslator translator;
    QVERIFY(QCoreApplication::installTranslator(&translator));
    QMainWindow other;
    MainWindowUi form;
    form.setupUi(&other);
    QCoreApplication::removeTranslator(&translator);

    const QStringList expected = {
        "MainWindow", "Открыть порт", "Порт", "Какие порты доступны", "Закрыть порт",
        "Лямбда", "Выход", "Измерения", "TextLabel", "TextLabel", "TextLabel",
        "TextLabel", "TextLabel", "прибор не подключен!", "помощь"};
    QStringList sources;
    for (const RecordingTranslator::Call &call : translator.calls) {
        if (call.context != QLatin1String("MainWindow"))
            continue; // the toolkit looks up its own texts too
        QVERIFY(call.disambiguationNull);
        QCOMPARE(call.n, -1);
        sources << call.source;
    }
    QCOMPARE(sources, expected);
}

void FormTest::languageChangeLeavesCaptions()
{
    RecordingTranslator translator;
    translator.replacement = QStringLiteral("translated");
    QVERIFY(QCoreApplication::installTranslator(&translator)); // posts LanguageChange
    QCoreApplication::sendPostedEvents();
    QCoreApplication::removeTranslator(&translator);
    QCoreApplication::sendPostedEvents();

    QCOMPARE(window->windowTitle(), QStringLiteral("MainWindow"));
    QCOMPARE(ui->pushButton_OpenPort->text(), QStringLiteral("Открыть порт"));
    QCOMPARE(ui->label_2->text(), QStringLiteral("прибор не подключен!"));
    QCOMPARE(ui->pushButton->text(), QStringLiteral("помощь"));
}

void FormTest::outputAreaRefusesEditing()
{
    ui->txtOutput->append(QStringLiteral("first"));
    ui->txtOutput->append(QStringLiteral("second"));
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window, 5000));
    ui->txtOutput->setFocus();
    QTest::keyClicks(ui->txtOutput, QStringLiteral("typed"));
    QTest::keyClick(ui->txtOutput, Qt::Key_Backspace);
    QTest::keySequence(ui->txtOutput, QKeySequence::Undo);
    ui->txtOutput->undo();
    QCOMPARE(ui->txtOutput->toPlainText(), QStringLiteral("first\nsecond"));

    ui->txtOutput->selectAll();
    QVERIFY(ui->txtOutput->textCursor().hasSelection());
}

void FormTest::resizingMovesNothing()
{
    QMap<QString, QRect> before;
    for (const QString &name : controlsInOrder)
        before.insert(name, window->findChild<QWidget *>(name)->geometry());

    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window, 5000));
    for (const QSize &size : {QSize(1000, 700), QSize(300, 200)}) {
        window->resize(size);
        QCoreApplication::processEvents();
        for (const QString &name : controlsInOrder)
            QCOMPARE(window->findChild<QWidget *>(name)->geometry(), before.value(name));
    }
}

QTEST_MAIN(FormTest)
#include "tst_mainwindowform.moc"
