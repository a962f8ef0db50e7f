// SPDX-License-Identifier: MIT
#include "app/appsetup.h"

#include <QApplication>
#include <QIcon>

void setUpBeforeApplication()
{
    // Qt's glib event loop makes a system call for every socket notifier it
    // switches and every event posted: several for each reading of the live
    // display. The plain Unix loop makes none of them. An explicit
    // QT_NO_GLIB is left alone.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // The form is laid out in pixels while fonts follow the screen's DPI; on a
    // dense screen only scaling the whole window keeps every caption whole.
    // Qt 6 scales by itself, on X11 by the desktop's Xft.dpi (see README).
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#endif
}

void setUpApplication()
{
    // The images of the Windows icon resource, for the window on other
    // platforms; the desktop entry has the same name, so docks match them.
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addFile(QStringLiteral(":/icons/zerak-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);
    QApplication::setDesktopFileName(QStringLiteral("zerak"));
}
