// SPDX-License-Identifier: MIT
#include "app/mainwindow.h"

#include "app/sharedstate.h"
#include "port/lineport.h"
#include "ui/mainwindowui.h"

#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTextEdit>

void MainWindow::on_pushButton_OpenPort_clicked()
{
    currentPortName = ui->cmbPort->currentText();
    // Every attempt starts afresh: after a failed one, the next write error
    // is reported again, under the name just tried.
    link->reset();
    serialPort->setPortName(currentPortName);
    applyMeterLineSettings(*serialPort);
    if (!serialPort->open(QIODevice::ReadWrite)) {
        QMessageBox::warning(this, QStringLiteral("Ошибка"),
                             QStringLiteral("Не удалось подключиться к порту"), QMessageBox::Ok,
                             QMessageBox::NoButton);
        return;
    }
    // Whatever a device sent before it was opened (a reply to a command
    // written before the last close) is no answer to the query.
    serialPort->clear(QSerialPort::Input);
    queryWavelengthOnOpen();
    QMessageBox::information(this, QStringLiteral("Сообщение"),
                             QStringLiteral("Порт ") + currentPortName
                                 + QStringLiteral(" успешно открыт : )"),
                             QMessageBox::Ok, QMessageBox::NoButton);
    // The meter may have gone while the box was up; the controls already say so.
    if (!serialPort->isOpen())
        return;
    ui->pushButton_OpenPort->setEnabled(false);
    ui->pushButton_ClosePort->setEnabled(true);
    ui->cmbPort->setEnabled(false);
    ui->txtOutput->setEnabled(false);
}

void MainWindow::on_pushButton_ClosePort_clicked()
{
    serialPort->close();
    link->reset();
    QMessageBox::information(this, QStringLiteral("Сообщение"),
                             QStringLiteral("Порт ") + currentPortName
                                 + QStringLiteral(" успешно закрыт : )"),
                             QMessageBox::Ok, QMessageBox::NoButton);
    showPortClosedControls();
}

void MainWindow::showPortClosedControls()
{
    ui->pushButton_OpenPort->setEnabled(true);
    ui->pushButton_ClosePort->setEnabled(false);
    ui->cmbPort->setEnabled(true);
    ui->txtOutput->setEnabled(true);
    ui->pushButton_SendTo_lamda->setEnabled(false);
    ui->pushButton_read->setEnabled(false);
    ui->label_2->setVisible(true);
}

void MainWindow::on_pushButton_ClosePort_2_clicked()
{
    serialPort->close();
    link->reset();
    ui->pushButton_OpenPort->setEnabled(true);
    ui->pushButton_ClosePort->setEnabled(false);
    ui->cmbPort->setEnabled(true);
    close();
}
