#include "app/eventloop.h"
#include "app/mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    preferPlainEventLoop();
    QApplication application(argc, argv);
    MainWindow window;
    window.show();
    const int result = application.exec();
    return result;
}
