// SPDX-License-Identifier: MIT
#include "cli/console.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace cli {

namespace {

int stdoutErrno = 0;

bool put(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    errno = 0;
    const bool written = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size())
                         && std::fflush(stream) == 0 && !std::ferror(stream);
    if (!written && stream == stdout)
        stdoutErrno = errno ? errno : EIO;
    return written;
}

bool stderrIsTerminal()
{
#ifdef Q_OS_UNIX
    return ::isatty(STDERR_FILENO) == 1;
#else
    return false;
#endif
}

} // namespace

bool printLine(const QString &line)
{
    return put(stdout, line);
}

QString stdoutError()
{
    return QStringLiteral("cannot write to %1: %2").arg(stdoutName(), QString::fromLocal8Bit(std::strerror(stdoutErrno)));
}

QString stdoutName()
{
#ifdef Q_OS_LINUX
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/fd/1", path, sizeof path - 1);
    // A pipe or socket reads "pipe:[1234]": no name to give.
    if (length > 0 && path[0] == '/')
        return QStringLiteral("stdout (%1)").arg(QFile::decodeName(QByteArray(path, int(length))));
#endif
    return QStringLiteral("stdout");
}

void printErrorLine(const QString &line)
{
    put(stderr, line);
}

void printError(const QString &message)
{
    put(stderr, QStringLiteral("zerak-cli: ") + message);
}

Progress::Progress(int total) : total(stderrIsTerminal() ? total : 0)
{
}

void Progress::show(int done)
{
    if (total <= 0)
        return;
    std::fprintf(stderr, "\r%d/%d readings", done, total);
    std::fflush(stderr);
    shown = true;
}

void Progress::clear()
{
    if (!shown)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    shown = false;
}

QString toolName()
{
    return QStringLiteral("zerak-cli ") + QCoreApplication::applicationVersion();
}

} // namespace cli
