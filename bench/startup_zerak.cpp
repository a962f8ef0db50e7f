// The program's main with a probe that reports when the window is first shown.
#include "app/eventloop.h"
#include "app/mainwindow.h"
#include "startupprobe.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    preferPlainEventLoop();
    QApplication application(argc, argv);
    MainWindow window;
    StartupProbe probe(&window);
    window.show();
    return application.exec();
}
