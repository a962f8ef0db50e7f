#include "app/mainwindow.h"

#include "app/sharedstate.h"
#include "ui/mainwindowui.h"
#include "ui/pacedlabels.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>

// Replies are cut into 4-byte frames across deliveries and each frame is
// matched to the oldest command awaiting a reply, so a reading is always shown
// as what it is. The continuous loop keeps one measurement request in flight.

void MainWindow::serialRecieve()
{
    ui->pushButton_SendTo_lamda->setEnabled(true);
    ui->pushButton_read->setEnabled(true);
    ui->label_2->setVisible(false);

    const QByteArray bytes = serialPort->readAll();
    arrivedFrames += replyTracker.bytesArrived(bytes);
    if (replyTracker.hasPartialFrame())
        replyGapTimer->start();
    else
        replyGapTimer->stop();

    handleArrivedFrames();
}

void MainWindow::handleArrivedFrames()
{
    // A command being written or frames already being handled further up the
    // stack: these frames are handled in turn, not out of order.
    if (handlingFrames || sendingCommand)
        return;
    handlingFrames = true;
    while (!arrivedFrames.isEmpty())
        handleReplyFrame(arrivedFrames.takeFirst());
    handlingFrames = false;
}

void MainWindow::replyGapElapsed()
{
    if (!replyTracker.hasPartialFrame())
        return;
    arrivedFrames.append(replyTracker.takeShortFrame());
    handleArrivedFrames();
}

void MainWindow::handleReplyFrame(const meter::ArrivedFrame &arrived)
{
    const std::optional<meter::ReplyKind> answered = replyTracker.answer(arrived);
    const meter::ReplyKind kind = answered ? *answered
                                           : (wavelengthMode != 0 ? meter::ReplyKind::Wavelength
                                                                  : meter::ReplyKind::Power);
    measurementsGivenUp = 0;
    showReading(kind, meter::decodeFrame(arrived.bytes));
    continueMeasurementAfterFrame();
    scheduleReplyDeadline();
}

void MainWindow::showReading(meter::ReplyKind kind, const meter::Frame &frame)
{
    if (kind == meter::ReplyKind::Wavelength) {
        readingLabels->setText(ui->label_5, meter::wavelengthText(frame));
        return;
    }
    readingLabels->setText(ui->label_7, meter::magnitudeText(frame));
    readingLabels->setText(ui->label_9, meter::signText(frame));
    readingLabels->setText(ui->label_8, meter::unitText(frame));
}

void MainWindow::blankPowerReading()
{
    readingLabels->setText(ui->label_7, meter::blankText);
    readingLabels->setText(ui->label_8, meter::blankText);
    readingLabels->setText(ui->label_9, meter::blankText);
}

void MainWindow::continueMeasurementAfterFrame()
{
    if (measureState != 1) {
        blankPowerReading();
        return;
    }
    if (!replyTracker.isAwaiting(meter::cmdMeasure))
        requestNextMeasurement();
}

void MainWindow::requestNextMeasurement()
{
    wavelengthMode = 0;
    if (!sendCommand(meter::cmdMeasure) && !connectionLost)
        reportWriteError();
}

void MainWindow::scheduleReplyDeadline()
{
    const std::optional<qint64> deadline = replyTracker.nextDeadline();
    if (!deadline) {
        replyDeadlineTimer->stop();
        return;
    }
    replyDeadlineTimer->start(int(qMax<qint64>(0, *deadline - replyClock.elapsed())));
}

void MainWindow::replyDeadlineCheck()
{
    const bool measurementWasAwaited = replyTracker.isAwaiting(meter::cmdMeasure);
    replyTracker.expire(replyClock.elapsed());
    const bool measurementGivenUp = measurementWasAwaited && !replyTracker.isAwaiting(meter::cmdMeasure);
    if (measureState == 1 && !replyTracker.isAwaiting(meter::cmdMeasure) && serialPort->isOpen()
        && !writeErrorShowing) {
        // Two requests in a row unanswered: the shown reading is no longer live.
        if (measurementGivenUp && ++measurementsGivenUp >= 2)
            blankPowerReading();
        requestNextMeasurement();
    }
    scheduleReplyDeadline();
}

void MainWindow::resetReplyTracking()
{
    replyTracker.clear();
    arrivedFrames.clear();
    replyGapTimer->stop();
    replyDeadlineTimer->stop();
    measurementsGivenUp = 0;
}
