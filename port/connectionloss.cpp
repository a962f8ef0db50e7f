// SPDX-License-Identifier: MIT
#include "app/mainwindow.h"

#include "app/sharedstate.h"
#include "port/devicegone.h"

#include <QMessageBox>
#include <QTimer>

// Once the device behind an open port is gone (cable pulled, meter switched
// off) the port reports errors without end and keeps a core busy. Close it at
// once, then tell the user.
void MainWindow::handlePortError(QSerialPort::SerialPortError error)
{
    if (!deviceGone(serialPort, error))
        return;
    serialPort->close();
    link->reset();
    showPortClosedControls();
    // Not from inside the port's own signal: the box runs an event loop.
    QTimer::singleShot(0, this, &MainWindow::reportConnectionLost);
}

void MainWindow::reportConnectionLost()
{
    QMessageBox::warning(this, QStringLiteral("Ошибка"),
                         QStringLiteral("Связь с прибором потеряна: порт ") + currentPortName
                             + QStringLiteral(" закрыт"),
                         QMessageBox::Ok, QMessageBox::NoButton);
}
