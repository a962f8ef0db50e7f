#pragma once

// A serial line under a test's control, for driving the meter link without
// a port: what the link writes is recorded, what the meter sends is handed
// in, a stalled line holds the link's writes, and a reply can be made to
// arrive during a write's wait, as a fast meter's does on a real port.

#include <QByteArray>
#include <QIODevice>

class ScriptedDevice : public QIODevice
{
public:
    ScriptedDevice();

    // Bytes from the meter, there for the next read.
    void arrive(const QByteArray &bytes);
    // Arrive during the next write's wait, signalled with readyRead() there.
    void answerDuringNextWrite(const QByteArray &bytes) { duringWrite = bytes; }
    // While stalled, writes stay in the device and their wait fails.
    void stall() { stalled = true; }
    void unstall(); // and what was held leaves, with bytesWritten()

    QByteArray takeWritten(); // what left since the last call

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return incoming.size() + QIODevice::bytesAvailable(); }
    qint64 bytesToWrite() const override { return held.size(); }
    bool waitForBytesWritten(int msecs) override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    QByteArray incoming;
    QByteArray written;
    QByteArray held;
    QByteArray duringWrite;
    bool stalled = false;
};
