#include "app/mainwindow.h"

#include "app/sharedstate.h"
#include "ui/mainwindowui.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

bool MainWindow::sendCommand(quint8 command)
{
    const QByteArray bytes(1, static_cast<char>(command));
    // While the write is awaited the port may deliver data and call
    // serialRecieve; frames are then kept until this command is recorded.
    sendingCommand = true;
    const qint64 queued = serialPort->write(bytes);
    const bool written = serialPort->waitForBytesWritten(meter::writeWaitMs);
    sendingCommand = false;
    if (queued == 1 && serialPort->isOpen()) {
        replyTracker.commandWritten(command, replyClock.elapsed());
        scheduleReplyDeadline();
    }
    if (!arrivedFrames.isEmpty() && !handlingFrames)
        QTimer::singleShot(0, this, &MainWindow::handleArrivedFrames);
    return written;
}

void MainWindow::reportWriteError()
{
    writeErrorShowing = true;
    QMessageBox::warning(this, QStringLiteral("Ошибка"),
                         QStringLiteral("Ошибка записи в порт ") + currentPortName,
                         QMessageBox::Ok, QMessageBox::NoButton);
    writeErrorShowing = false;
    // Retries wait while the box is up; give the loop its next chance now.
    if (!replyDeadlineTimer->isActive())
        replyDeadlineTimer->start(meter::replyDeadlineMs);
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
    if (!sendCommand(meter::cmdMeasure) && !connectionLost)
        reportWriteError();
    ui->pushButton_read->setAutoRepeat(true);
}
