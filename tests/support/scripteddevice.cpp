// SPDX-License-Identifier: MIT
#include "support/scripteddevice.h"

#include <cstring>

ScriptedDevice::ScriptedDevice()
{
    open(QIODevice::ReadWrite | QIODevice::Unbuffered);
}

void ScriptedDevice::arrive(const QByteArray &bytes)
{
    incoming.append(bytes);
}

void ScriptedDevice::unstall(bool signal)
{
    stalled = false;
    if (held.isEmpty())
        return;
    const QByteArray leaving = held;
    held.clear();
    left(leaving.constData(), leaving.size(), false);
    unsignalled += leaving.size();
    if (signal)
        signalWritten();
}

void ScriptedDevice::signalWritten()
{
    const qint64 count = unsignalled;
    unsignalled = 0;
    if (count > 0)
        emit bytesWritten(count);
}

void ScriptedDevice::reopen()
{
    held.clear();
    incoming.clear();
    duringWrite.clear();
    unsignalled = 0;
    stalled = false;
    close();
    open(QIODevice::ReadWrite | QIODevice::Unbuffered);
}

QByteArray ScriptedDevice::takeWritten()
{
    QByteArray bytes;
    bytes.swap(written);
    return bytes;
}

bool ScriptedDevice::waitForBytesWritten(int)
{
    if (!duringWrite.isEmpty() && !stalled) {
        arrive(duringWrite);
        duringWrite.clear();
        emit readyRead();
    }
    return !stalled;
}

qint64 ScriptedDevice::readData(char *data, qint64 maxSize)
{
    const qint64 count = qMin<qint64>(maxSize, incoming.size());
    std::memcpy(data, incoming.constData(), size_t(count));
    incoming.remove(0, int(count));
    return count;
}

qint64 ScriptedDevice::writeData(const char *data, qint64 size)
{
    if (stalled)
        held.append(data, int(size));
    else
        left(data, int(size), true);
    return size;
}

void ScriptedDevice::left(const char *data, int size, bool inWrite)
{
    written.append(data, size);
    if (onWrite)
        for (int i = 0; i < size; ++i)
            onWrite(data[i], inWrite);
}
