#include "cli/console.h"

#include <cstdio>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace cli {

namespace {

void put(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
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

void printLine(const QString &line)
{
    put(stdout, line);
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

} // namespace cli
