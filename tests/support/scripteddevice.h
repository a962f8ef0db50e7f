// SPDX-License-Identifier: MIT
#pragma once

// A serial line under a test's control, for driving the meter link without
// a port: what the link writes is recorded, what the meter sends is handed
// in, a stalled line holds the link's writes, and a reply can be made to
// arrive during a write's wait, as a fast meter's does on a real port.

#include <QByteArray>
#include <QIODevice>

#include <functional>

class ScriptedDevice : public QIODevice
{
public:
    ScriptedDevice();

    // Bytes from the meter, there for the next read.
    void arrive(const QByteArray &bytes);
    // Arrive during the next write's wait that sends its byte, signalled with
    // readyRead() there.
    void answerDuringNextWrite(const QByteArray &bytes) { duringWrite = bytes; }
    // While stalled, writes stay in the device and their wait fails.
    void stall() { stalled = true; }
    // What was held leaves, with bytesWritten(), or, as a serial port tells
    // it, only with signalWritten() later.
    void unstall(bool signal = true);
    void signalWritten();
    // Closed and opened again: what was held or unread is dropped, as a port's
    // close drops it.
    void reopen();

    QByteArray takeWritten(); // what left since the last call
    // Called for each byte as it leaves, for whoever plays the meter; false
    // when it leaves a stalled line only now, outside any write's wait.
    void setOnWrite(std::function<void(char, bool inWrite)> callback) { onWrite = std::move(callback); }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return incoming.size() + QIODevice::bytesAvailable(); }
    qint64 bytesToWrite() const override { return held.size(); }
    bool waitForBytesWritten(int msecs) override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    void left(const char *data, int size, bool inWrite);

    QByteArray incoming;
    QByteArray written;
    QByteArray held;
    QByteArray duringWrite;
    std::function<void(char, bool)> onWrite;
    bool stalled = false;
    qint64 unsignalled = 0;
};
