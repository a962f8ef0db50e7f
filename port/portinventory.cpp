#include "app/mainwindow.h"

void MainWindow::on_pushButton_PortsInfo_clicked()
{
}
