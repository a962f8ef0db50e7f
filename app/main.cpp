#include "app/mainwindow.h"

#include <QApplication>
#include <QIcon>
#include <QSize>
#include <QString>

int main(int argc, char *argv[])
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // The form is laid out in pixels while fonts follow the screen's DPI; on a
    // dense screen only scaling the whole window keeps every caption whole.
    // Qt 6 always scales.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#endif
    QApplication application(argc, argv);
    // The images of the Windows icon resource, for the window on other
    // platforms; the desktop entry has the same name, so docks match them.
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addFile(QStringLiteral(":/icons/zerak-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);
    QApplication::setDesktopFileName(QStringLiteral("zerak"));
    MainWindow window;
    window.show();
    const int result = application.exec();
    return result;
}
