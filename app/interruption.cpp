// SPDX-License-Identifier: MIT
#include "app/interruption.h"

#include <QCoreApplication>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: wake the event loop through the pipe.
void onSignal(int)
{
    const char byte = 1;
    const ssize_t written = ::write(signalPipe[1], &byte, 1);
    (void)written;
}

} // namespace

bool onInterrupt(QCoreApplication &app, const std::function<void()> &interrupt)
{
    if (::pipe(signalPipe) != 0)
        return false;
    for (int fd : signalPipe) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [interrupt] {
        char byte;
        while (::read(signalPipe[0], &byte, 1) > 0) {
        }
        interrupt();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // A closed terminal and a reader gone (| head) end the run too, instead of
    // killing it before its summary.
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        if (::sigaction(signal, &action, nullptr) != 0)
            return false;
    return true;
}
#else
bool onInterrupt(QCoreApplication &, const std::function<void()> &)
{
    return true;
}
#endif
