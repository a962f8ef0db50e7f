// SPDX-License-Identifier: MIT
#include "cli/output.h"

#include "cli/console.h"

#include <cerrno>
#include <cstdio>

namespace cli {

QString Output::displayName() const
{
    return name.isEmpty() ? stdoutName() : name;
}

bool Output::open(const QString &fileName)
{
    name = fileName;
    problem.clear();
    readerGone = false;
    const bool opened = fileName.isEmpty()
                            ? file.open(fileno(stdout), QIODevice::WriteOnly | QIODevice::Unbuffered,
                                        QFileDevice::DontCloseHandle)
                            : (file.setFileName(fileName),
                               file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered));
    if (!opened)
        problem = QStringLiteral("cannot write to %1: %2").arg(displayName(), file.errorString());
    return opened;
}

bool Output::writeLine(const QString &line)
{
    if (failed() || !file.isOpen())
        return false;
    const QByteArray bytes = line.toUtf8() + '\n';
    errno = 0;
    if (file.write(bytes) == bytes.size() && file.flush())
        return true;
    readerGone = errno == EPIPE;
    problem = QStringLiteral("cannot write to %1: %2").arg(displayName(), file.errorString());
    return false;
}

} // namespace cli
