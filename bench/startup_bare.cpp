// SPDX-License-Identifier: MIT
// The same main with a bare QMainWindow of the form's size (the size decides
// the backing store's memory): what any Qt window costs.
#include "app/appsetup.h"
#include "startupprobe.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    setUpBeforeApplication();
    QApplication application(argc, argv);
    setUpApplication();
    QMainWindow window;
    window.resize(616, 389);
    StartupProbe probe(&window);
    window.show();
    return application.exec();
}
