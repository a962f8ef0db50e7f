// SPDX-License-Identifier: MIT
#include "support/windowtesting.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QApplication>
#include <QComboBox>
#include <QTest>
#include <QTimer>

#include <sys/resource.h>

namespace testsupport {

double processCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
           + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void selectPort(QWidget *window, const QString &path)
{
    auto *ports = widget<QComboBox>(window, "cmbPort");
    if (!ports)
        return;
    int index = ports->findText(path);
    if (index < 0) {
        ports->addItem(path);
        index = ports->count() - 1;
    }
    ports->setCurrentIndex(index);
}

MessageBoxWatcher::MessageBoxWatcher(QObject *parent) : QObject(parent), timer(new QTimer(this))
{
    timer->setInterval(5);
    connect(timer, &QTimer::timeout, this, &MessageBoxWatcher::poll);
    timer->start();
}

bool MessageBoxWatcher::waitForBoxes(int count, int timeoutMs)
{
    return waitUntil([&] { return seen.size() >= count; }, timeoutMs);
}

void MessageBoxWatcher::poll()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box)
        return;
    handled.removeAll(QPointer<QMessageBox>());
    for (const QPointer<QMessageBox> &old : handled)
        if (old == box)
            return;
    handled.append(box);

    SeenBox record;
    record.icon = box->icon();
    record.title = box->windowTitle();
    record.text = box->text();
    record.buttons = box->standardButtons();
    record.defaultButton = box->standardButton(box->defaultButton());
    record.parent = box->parentWidget();
    seen.append(record);

    QPointer<QMessageBox> guard(box);
    if (beforeDismiss) {
        // The check may process events itself. Qt fires no timer again while
        // its own timeout runs, so another one watches for a box opened on
        // top of this one meanwhile.
        QTimer nested;
        nested.setInterval(timer->interval());
        connect(&nested, &QTimer::timeout, this, &MessageBoxWatcher::poll);
        nested.start();
        beforeDismiss(box);
    }
    if (!guard)
        return;
    QAbstractButton *button = guard->button(QMessageBox::Ok);
    if (!button)
        button = guard->escapeButton();
    if (button)
        button->click();
    else
        guard->reject();
}

} // namespace testsupport
