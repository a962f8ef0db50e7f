// SPDX-License-Identifier: MIT
#include "ui/windowfit.h"

#include <QLayout>
#include <QMainWindow>
#include <QRect>

void growWindowToHoldControls(QMainWindow *window)
{
    QWidget *central = window->centralWidget();
    QRect controls;
    for (const QWidget *control : central->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
        if (!control->isHidden())
            controls |= control->geometry();
    if (controls.isEmpty())
        return;
    // The bars' extents come from the style and the font: lay the window out
    // as it will be shown, then measure what is left for the central area.
    window->ensurePolished();
    window->layout()->activate();
    const int missingWidth = controls.x() + controls.width() - central->width();
    const int missingHeight = controls.y() + controls.height() - central->height();
    if (missingWidth > 0 || missingHeight > 0)
        window->resize(window->width() + qMax(missingWidth, 0), window->height() + qMax(missingHeight, 0));
}
