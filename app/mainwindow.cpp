// SPDX-License-Identifier: MIT
#include "app/mainwindow.h"

#include "app/sharedstate.h"
#include "port/extraports.h"
#include "ui/captionfit.h"
#include "ui/helptext.h"
#include "ui/mainwindowui.h"
#include "ui/pacedlabels.h"
#include "ui/windowfit.h"

#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QTextEdit>
#include <QThread>
#include <QVariant>

#include <memory>

QString currentPortName;
int measureState = 0;
int wavelengthMode = 0;

namespace {

void listPorts(QComboBox *list, const QList<QSerialPortInfo> &ports)
{
    for (const QSerialPortInfo &port : ports)
        list->insertItem(list->count(), QIcon(), port.portName(), QVariant());
    const QStringList extraPorts = extraPortPaths();
    for (const QString &path : extraPorts)
        list->insertItem(list->count(), QIcon(), path, QVariant());
}

// Enumerating the ports reads thousands of device files and takes about as
// long as building the whole form: the first list is gathered alongside.
class PortScan
{
public:
    PortScan() : thread(QThread::create([this] { ports = QSerialPortInfo::availablePorts(); })) { thread->start(); }
    ~PortScan() { thread->wait(); }

    QList<QSerialPortInfo> take()
    {
        thread->wait();
        if (!thread->isFinished()) // no thread to be had
            ports = QSerialPortInfo::availablePorts();
        return std::move(ports);
    }

private:
    QList<QSerialPortInfo> ports;
    std::unique_ptr<QThread> thread;
};

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new MainWindowUi)
{
    PortScan portScan;
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Optical power meter Zerak"));
    ui->label_4->hide();
    ui->label_5->setText(QStringLiteral(" "));
    ui->label_7->setText(QStringLiteral(" "));
    ui->label_8->setText(QStringLiteral(" "));
    ui->label_9->setText(QStringLiteral(" "));

    serialPort = new QSerialPort(this);
    connect(serialPort, SIGNAL(readyRead()), this, SLOT(serialRecieve()));
    // A vanished device makes the port report errors without end; see port/connectionloss.cpp.
    connect(serialPort, &QSerialPort::errorOccurred, this, &MainWindow::handlePortError);

    link = new meter::MeterLink(serialPort, this);
    connect(link, &meter::MeterLink::replyReceived, this, &MainWindow::showReply);
    connect(link, &meter::MeterLink::commandGivenUp, this, &MainWindow::repeatGivenUpMeasurement);
    // The box runs an event loop; never inside the link's own handling.
    connect(link, &meter::MeterLink::writeFailed, this, &MainWindow::reportFailedWrite,
            Qt::QueuedConnection);

    ui->pushButton_ClosePort->setEnabled(false);
    ui->pushButton_SendTo_lamda->setEnabled(false);
    ui->pushButton_read->setEnabled(false);
    ui->label_2->setStyleSheet(QStringLiteral("color: rgb(200, 0, 0)"));
    widenCaptionsToFit(ui);
    growWindowToHoldControls(this);
    readingLabels = new PacedLabels({ui->label_5, ui->label_7, ui->label_8, ui->label_9}, this);
    appendHelpText(ui->txtOutput);

    listPorts(ui->cmbPort, portScan.take());
}

MainWindow::~MainWindow()
{
    serialPort->close();
    delete ui;
}

void MainWindow::fillPortList()
{
    listPorts(ui->cmbPort, QSerialPortInfo::availablePorts());
}

// No widget of these names exists; the slots stay unconnected.
void MainWindow::on_pushButton_SendToPort_clicked()
{
}

void MainWindow::on_checkBox_stateChanged(int arg1)
{
    Q_UNUSED(arg1)
}
