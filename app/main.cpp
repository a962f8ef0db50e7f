#include "app/appsetup.h"
#include "app/mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    setUpBeforeApplication();
    QApplication application(argc, argv);
    setUpApplication();
    MainWindow window;
    window.show();
    const int result = application.exec();
    return result;
}
