// SPDX-License-Identifier: MIT
#include "cli/lineprompt.h"

#include <QSocketNotifier>

#include <cstdio>
#include <utility>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace cli {

LinePrompt::~LinePrompt()
{
    cancel();
}

bool LinePrompt::interactive()
{
#ifdef Q_OS_UNIX
    return ::isatty(STDIN_FILENO) == 1;
#else
    return false;
#endif
}

void LinePrompt::ask(const QString &question, std::function<void(const QString &)> answered)
{
    std::fputs(qPrintable(question + QStringLiteral(" ")), stderr);
    std::fflush(stderr);
    then = std::move(answered);
#ifdef Q_OS_UNIX
    if (notifier)
        return;
    notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char bytes[256];
        const ssize_t count = ::read(STDIN_FILENO, bytes, sizeof bytes);
        if (count <= 0) {
            cancel();
            emit endOfInput();
            return;
        }
        typed.append(bytes, int(count));
        const int end = typed.indexOf('\n');
        if (end < 0)
            return;
        const QString line = QString::fromLocal8Bit(typed.left(end)).trimmed();
        // Not read between questions: what is typed meanwhile waits in the
        // terminal for the next one, as the shell's own input does.
        typed.clear();
        notifier->deleteLater();
        notifier = nullptr;
        if (then)
            std::exchange(then, nullptr)(line);
    });
#else
    std::exchange(then, nullptr)(QString());
#endif
}

void LinePrompt::cancel()
{
    then = nullptr;
    typed.clear();
    delete notifier;
    notifier = nullptr;
}

} // namespace cli
