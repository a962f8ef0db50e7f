// SPDX-License-Identifier: MIT
#include "app/mainwindow.h"

#include "ui/helptext.h"
#include "ui/mainwindowui.h"

#include <QTextEdit>

void MainWindow::on_pushButton_clicked()
{
    ui->txtOutput->clear();
    appendHelpText(ui->txtOutput);
}
