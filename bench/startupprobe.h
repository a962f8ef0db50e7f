// SPDX-License-Identifier: MIT
#pragma once

// Included by the two start-up programs, which differ only in their window.
// Once the window's first expose has been handled (its first paint included)
// prints the monotonic clock in ns and the peak resident memory in KiB, then
// ends the event loop.

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QWidget>
#include <QWindow>

#include <cstdio>
#include <ctime>

class StartupProbe : public QObject
{
public:
    explicit StartupProbe(QWidget *window) : window(window) { QCoreApplication::instance()->installEventFilter(this); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Expose && !seen && watched == window->windowHandle()
            && window->windowHandle()->isExposed()) {
            seen = true;
            QMetaObject::invokeMethod(this, [this] { report(); }, Qt::QueuedConnection);
        }
        return false;
    }

private:
    void report()
    {
        timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long peakKb = 0;
        QFile status(QStringLiteral("/proc/self/status"));
        if (status.open(QIODevice::ReadOnly))
            for (const QByteArray &line : status.readAll().split('\n'))
                if (line.startsWith("VmHWM:"))
                    peakKb = line.mid(6).trimmed().split(' ').value(0).toLong();
        std::printf("%lld %ld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec, peakKb);
        std::fflush(stdout);
        QCoreApplication::quit();
    }

    QWidget *window;
    bool seen = false;
};
