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

void ScriptedDevice::unstall()
{
    stalled = false;
    if (held.isEmpty())
        return;
    const qint64 count = held.size();
    written.append(held);
    held.clear();
    emit bytesWritten(count);
}

QByteArray ScriptedDevice::takeWritten()
{
    QByteArray bytes;
    bytes.swap(written);
    return bytes;
}

bool ScriptedDevice::waitForBytesWritten(int)
{
    if (!duringWrite.isEmpty()) {
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
    (stalled ? held : written).append(data, int(size));
    return size;
}
