// SPDX-License-Identifier: MIT
#include "app/mainwindow.h"

#include "app/sharedstate.h"
#include "ui/mainwindowui.h"
#include "ui/pacedlabels.h"

#include <QLabel>
#include <QPushButton>

// The link frames the bytes and tells what each reply answers, so a reading
// is shown as what it is, or not at all when that is in doubt; this side
// only shows it and keeps the continuous measurement going.

void MainWindow::serialRecieve()
{
    // Once, when the meter first answers: not again on every reading.
    if (!ui->pushButton_SendTo_lamda->isEnabled())
        ui->pushButton_SendTo_lamda->setEnabled(true);
    if (!ui->pushButton_read->isEnabled())
        ui->pushButton_read->setEnabled(true);
    if (!ui->label_2->isHidden())
        ui->label_2->setVisible(false);
    link->readAvailable();
}

void MainWindow::showReply(const meter::Reply &reply)
{
    if (reply.role)
        showReading(*reply.role, meter::decodeFrame(reply.bytes));
    if (measureState == 1)
        requestNextMeasurement();
    else
        blankPowerReading();
}

void MainWindow::showReading(meter::ReplyKind kind, const meter::Frame &frame)
{
    if (kind == meter::ReplyKind::Wavelength) {
        readingLabels->setText(ui->label_5, meter::wavelengthText(frame));
        return;
    }
    readingLabels->setTexts({{ui->label_7, meter::magnitudeText(frame)},
                             {ui->label_9, meter::signText(frame)},
                             {ui->label_8, meter::unitText(frame)}});
}

void MainWindow::blankPowerReading()
{
    readingLabels->setTexts(
        {{ui->label_7, meter::blankText}, {ui->label_8, meter::blankText}, {ui->label_9, meter::blankText}});
}

void MainWindow::requestNextMeasurement()
{
    wavelengthMode = 0;
    if (!sendCommand(meter::cmdMeasure))
        reportWriteError();
}

// A lost measurement reply must not stall the display; a port where no
// meter ever answered gets nothing more.
void MainWindow::repeatGivenUpMeasurement(const meter::GiveUp &giveUp)
{
    // Two commands in a row unanswered: the shown reading is no longer live.
    if (link->missedInARow() >= 2)
        blankPowerReading();
    if (giveUp.command == meter::cmdMeasure && measureState == 1 && link->meterAnswered())
        requestNextMeasurement();
}
