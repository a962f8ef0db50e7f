// SPDX-License-Identifier: MIT
#include "app/mainwindow.h"

#include "port/portreport.h"
#include "port/reportview.h"
#include "ui/mainwindowui.h"

#include <QComboBox>
#include <QSerialPortInfo>
#include <QStringList>
#include <QTextEdit>

void MainWindow::on_pushButton_PortsInfo_clicked()
{
    ui->txtOutput->clear();
    QStringList blocks;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        blocks.append(portReportBlock(portDetailsOf(port)));
    appendPlainBlocks(ui->txtOutput, blocks);

    // The list comes from an enumeration of its own, so it can differ from
    // the report if a device comes or goes in between.
    ui->cmbPort->clear();
    fillPortList();
}
