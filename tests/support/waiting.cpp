// SPDX-License-Identifier: MIT
#include "support/waiting.h"

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QTimer>

namespace testsupport {

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    if (condition())
        return true;
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    const QMetaObject::Connection look =
        QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, &loop,
                         [&] {
                             if (condition())
                                 loop.quit();
                         });
    timeout.start(timeoutMs);
    loop.exec();
    QObject::disconnect(look);
    return condition();
}

} // namespace testsupport
