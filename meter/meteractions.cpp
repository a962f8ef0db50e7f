// SPDX-License-Identifier: MIT
#include "app/mainwindow.h"

#include "app/sharedstate.h"
#include "ui/mainwindowui.h"

#include <QMessageBox>
#include <QPushButton>

// The link decides when the byte goes on the line: at once when the line is
// free, else as soon as the command before it has been answered or given up.
bool MainWindow::sendCommand(quint8 command)
{
    return link->send(command);
}

void MainWindow::reportWriteError()
{
    // One box per outage, not one per attempt while the line stays stalled.
    if (!link->takeWriteErrorReport())
        return;
    QMessageBox::warning(this, QStringLiteral("Ошибка"),
                         QStringLiteral("Ошибка записи в порт ") + currentPortName,
                         QMessageBox::Ok, QMessageBox::NoButton);
}

// Only a measurement request's failed write is reported to the user.
void MainWindow::reportFailedWrite(quint8 command)
{
    if (command == meter::cmdMeasure)
        reportWriteError();
}

void MainWindow::queryWavelengthOnOpen()
{
    wavelengthMode = 1;
    sendCommand(meter::cmdQueryWavelength);
}

void MainWindow::on_pushButton_SendTo_lamda_clicked()
{
    wavelengthMode = 1;
    sendCommand(meter::cmdNextWavelength);
}

void MainWindow::on_pushButton_read_clicked()
{
    wavelengthMode = 0;
    measureState = measureState == 1 ? 0 : measureState + 1;
    if (!sendCommand(meter::cmdMeasure))
        reportWriteError();
    ui->pushButton_read->setAutoRepeat(true);
}
