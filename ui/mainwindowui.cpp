// SPDX-License-Identifier: MIT
#include "ui/mainwindowui.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFont>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QStatusBar>
#include <QTextDocument>
#include <QTextEdit>
#include <QToolBar>

namespace {

// The slot table keeps two slots whose widgets the form no longer has; they
// stay unconnected on purpose, and Qt's notice of it is no news to the user.
const QLatin1String unmatchedSlotNotices[] = {
    QLatin1String("QMetaObject::connectSlotsByName: No matching signal for on_pushButton_SendToPort_clicked()"),
    QLatin1String("QMetaObject::connectSlotsByName: No matching signal for on_checkBox_stateChanged(int)"),
};

QtMessageHandler handlerBeforeConnecting = nullptr;

void dropUnmatchedSlotNotices(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg) {
        for (const QLatin1String &notice : unmatchedSlotNotices)
            if (message == notice)
                return;
    }
    handlerBeforeConnecting(type, context, message);
}

// Any other notice, of a slot misnamed in a later change say, still shows.
void connectSlotsByNameQuietly(QMainWindow *window)
{
    // Known before the filter is in place: the port scan's thread may log
    // meanwhile, and the filter hands its messages on.
    handlerBeforeConnecting = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(dropUnmatchedSlotNotices);
    QMetaObject::connectSlotsByName(window);
    qInstallMessageHandler(handlerBeforeConnecting);
}

QFont fontOfSize(int pointSize)
{
    QFont font;
    font.setPointSize(pointSize);
    return font;
}

QPushButton *makeButton(QWidget *parent, const char *name, const QRect &geometry)
{
    auto *button = new QPushButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(geometry);
    return button;
}

QLabel *makeLabel(QWidget *parent, const char *name, const QRect &geometry, int pointSize = 0)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(geometry);
    if (pointSize > 0)
        label->setFont(fontOfSize(pointSize));
    return label;
}

QString tr(const char *caption)
{
    return QCoreApplication::translate("MainWindow", caption, nullptr);
}

} // namespace

void MainWindowUi::setupUi(QMainWindow *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QStringLiteral("MainWindow"));
    window->resize(616, 389);

    centralWidget = new QWidget(window);
    centralWidget->setObjectName(QStringLiteral("centralWidget"));

    pushButton_OpenPort = makeButton(centralWidget, "pushButton_OpenPort", QRect(10, 260, 91, 31));
    label = makeLabel(centralWidget, "label", QRect(20, 230, 51, 16));

    cmbPort = new QComboBox(centralWidget);
    cmbPort->setObjectName(QStringLiteral("cmbPort"));
    cmbPort->setGeometry(QRect(80, 230, 91, 22));

    txtOutput = new QTextEdit(centralWidget);
    txtOutput->setObjectName(QStringLiteral("txtOutput"));
    txtOutput->setGeometry(QRect(10, 40, 191, 181));
    txtOutput->document()->setUndoRedoEnabled(false);
    txtOutput->setReadOnly(true);

    pushButton_PortsInfo = makeButton(centralWidget, "pushButton_PortsInfo", QRect(20, 10, 171, 28));
    pushButton_ClosePort = makeButton(centralWidget, "pushButton_ClosePort", QRect(100, 260, 91, 31));
    pushButton_SendTo_lamda = makeButton(centralWidget, "pushButton_SendTo_lamda", QRect(240, 50, 81, 28));
    pushButton_ClosePort_2 = makeButton(centralWidget, "pushButton_ClosePort_2", QRect(50, 290, 100, 30));
    pushButton_read = makeButton(centralWidget, "pushButton_read", QRect(240, 170, 81, 28));
    pushButton_read->setAutoRepeat(true);

    label_4 = makeLabel(centralWidget, "label_4", QRect(230, 20, 91, 21));
    label_5 = makeLabel(centralWidget, "label_5", QRect(240, 90, 111, 31), 16);
    label_7 = makeLabel(centralWidget, "label_7", QRect(370, 150, 141, 71), 20);
    label_8 = makeLabel(centralWidget, "label_8", QRect(460, 160, 131, 51), 20);
    label_9 = makeLabel(centralWidget, "label_9", QRect(360, 180, 47, 13), 16);
    label_2 = makeLabel(centralWidget, "label_2", QRect(240, 230, 311, 31), 21);
    pushButton = makeButton(centralWidget, "pushButton", QRect(60, 330, 75, 23));

    window->setCentralWidget(centralWidget);

    mainToolBar = new QToolBar(window);
    mainToolBar->setObjectName(QStringLiteral("mainToolBar"));
    window->addToolBar(Qt::TopToolBarArea, mainToolBar);

    statusBar = new QStatusBar(window);
    statusBar->setObjectName(QStringLiteral("statusBar"));
    window->setStatusBar(statusBar);

    retranslateUi(window);

    connectSlotsByNameQuietly(window);
}

void MainWindowUi::retranslateUi(QMainWindow *window)
{
    window->setWindowTitle(tr("MainWindow"));
    pushButton_OpenPort->setText(tr("Открыть порт"));
    label->setText(tr("Порт"));
    pushButton_PortsInfo->setText(tr("Какие порты доступны"));
    pushButton_ClosePort->setText(tr("Закрыть порт"));
    pushButton_SendTo_lamda->setText(tr("Лямбда"));
    pushButton_ClosePort_2->setText(tr("Выход"));
    pushButton_read->setText(tr("Измерения"));
    label_4->setText(tr("TextLabel"));
    label_5->setText(tr("TextLabel"));
    label_7->setText(tr("TextLabel"));
    label_8->setText(tr("TextLabel"));
    label_9->setText(tr("TextLabel"));
    label_2->setText(tr("прибор не подключен!"));
    pushButton->setText(tr("помощь"));
}
