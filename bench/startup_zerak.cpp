// SPDX-License-Identifier: MIT
// The program's main with a probe that reports when the window is first shown.
#include "app/appsetup.h"
#include "app/mainwindow.h"
#include "startupprobe.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    setUpBeforeApplication();
    QApplication application(argc, argv);
    setUpApplication();
    MainWindow window;
    StartupProbe probe(&window);
    window.show();
    return application.exec();
}
