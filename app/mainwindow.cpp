#include "app/mainwindow.h"

#include "app/sharedstate.h"
#include "ui/captionfit.h"
#include "ui/helptext.h"
#include "ui/mainwindowui.h"
#include "ui/pacedlabels.h"

#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QTextEdit>
#include <QTimer>
#include <QVariant>

QString currentPortName;
int measureState = 0;
int wavelengthMode = 0;

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new MainWindowUi)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Optical power meter Zerak"));
    ui->label_4->hide();
    ui->label_5->setText(QStringLiteral(" "));
    ui->label_7->setText(QStringLiteral(" "));
    ui->label_8->setText(QStringLiteral(" "));
    ui->label_9->setText(QStringLiteral(" "));
    readingLabels = new PacedLabels({ui->label_5, ui->label_7, ui->label_8, ui->label_9}, this);
    fillPortList();

    serialPort = new QSerialPort(this);
    connect(serialPort, SIGNAL(readyRead()), this, SLOT(serialRecieve()));
    // A vanished device makes the port report errors without end; see port/connectionloss.cpp.
    connect(serialPort, &QSerialPort::errorOccurred, this, &MainWindow::handlePortError);

    replyClock.start();
    replyGapTimer = new QTimer(this);
    replyGapTimer->setSingleShot(true);
    replyGapTimer->setInterval(meter::replyGapMs);
    connect(replyGapTimer, &QTimer::timeout, this, &MainWindow::replyGapElapsed);
    replyDeadlineTimer = new QTimer(this);
    replyDeadlineTimer->setSingleShot(true);
    connect(replyDeadlineTimer, &QTimer::timeout, this, &MainWindow::replyDeadlineCheck);

    ui->pushButton_ClosePort->setEnabled(false);
    ui->pushButton_SendTo_lamda->setEnabled(false);
    ui->pushButton_read->setEnabled(false);
    ui->label_2->setStyleSheet(QStringLiteral("color: rgb(200, 0, 0)"));
    widenCaptionsToFit(ui);
    appendHelpText(ui->txtOutput);
}

MainWindow::~MainWindow()
{
    serialPort->close();
    delete ui;
}

void MainWindow::fillPortList()
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        ui->cmbPort->insertItem(ui->cmbPort->count(), QIcon(), port.portName(), QVariant());
    // Enumeration never lists pseudo-terminals, such as the simulated meter's;
    // ZERAK_EXTRA_PORTS offers such paths (separated by ':') after the real ports.
    const QStringList extraPorts = QString::fromLocal8Bit(qgetenv("ZERAK_EXTRA_PORTS"))
                                       .split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString &path : extraPorts)
        ui->cmbPort->insertItem(ui->cmbPort->count(), QIcon(), path, QVariant());
}

// No widget of these names exists; the slots stay unconnected.
void MainWindow::on_pushButton_SendToPort_clicked()
{
}

void MainWindow::on_checkBox_stateChanged(int arg1)
{
    Q_UNUSED(arg1)
}
