#include "meter/meterlink.h"

#include <QIODevice>
#include <QTimer>

#include <climits>

namespace meter {

namespace {

// Longest stretch spent in one delivery, answering a fast meter.
constexpr qint64 burstMs = 4;
// How long one wait in a burst may take. A wait that could end before the
// next scheduler tick makes the kernel reprogram its timer, which costs as
// much as the rest of a reading on a virtual machine; 10 ms lies beyond the
// tick at 100 Hz or more, and a burst plus one wait still fits in a frame.
constexpr int burstWaitMs = 10;
// After a wait that came to nothing, replies go the usual way this long, so
// a meter that only sometimes answers that fast costs at most 1 % in waits.
constexpr qint64 burstPauseMs = 1000;

} // namespace

MeterLink::MeterLink(QIODevice *device, QObject *parent, const LineDiscipline::Timing &timing)
    : QObject(parent),
      device(device),
      discipline(timing),
      timer(new QTimer(this))
{
    clock.start();
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, &MeterLink::timeUp);
}

// A stalled line frees itself: go on with what waited for it.
void MeterLink::deviceWrote()
{
    if (device->bytesToWrite() > 0)
        return;
    disconnect(device, &QIODevice::bytesWritten, this, &MeterLink::deviceWrote);
    if (stuckCommand != 0) {
        discipline.commandLeft(stuckCommand, now());
        stuckCommand = 0;
        lineMoved();
    }
    if (busy == 0)
        pump();
}

bool MeterLink::send(quint8 command)
{
    if (!device->isOpen()) {
        writeFailing = true;
        emit writeFailed(command);
        return false;
    }
    discipline.request(command);
    // Inside a delivery, a write or a deadline: that goes on to write it.
    if (busy > 0) {
        pumpWanted = true;
        return true;
    }
    return pump();
}

void MeterLink::readAvailable()
{
    if (!device->isOpen())
        return;
    const qint64 burstStart = now();
    qint64 at = burstStart;
    char bytes[256];
    // More may have come during a write's wait, which the device does not
    // signal again while its readyRead() is still being handled.
    while (device->isOpen() && device->bytesAvailable() > 0) {
        const qint64 count = device->read(bytes, sizeof bytes);
        if (count <= 0)
            break;
        ++busy;
        handle(discipline.bytesArrived(QByteArray::fromRawData(bytes, int(count)), at));
        if (--busy > 0) {
            pumpWanted = true;
            return;
        }
        // A reply frees the line for the next command. Its write goes out at
        // once: a failure is reported through a queued box, never from here.
        at = now();
        pump(at);
        // A meter that answers within a millisecond is asked and heard here,
        // without a pass of the event loop each time, for a few milliseconds
        // at most: the window stays as responsive as a frame.
        if (at >= burstResumeMs && discipline.onLine() && discipline.recentLatencyMs() == 0
            && at - burstStart < burstMs && device->bytesAvailable() == 0
            && !device->waitForReadyRead(burstWaitMs)) {
            // Not that fast after all: back to the event loop for a while.
            burstResumeMs = now() + burstPauseMs;
        }
    }
}

void MeterLink::reset()
{
    ++generation;
    discipline.reset();
    burstResumeMs = 0;
    timer->stop();
    timerDueMs = -1;
    disconnect(device, &QIODevice::bytesWritten, this, &MeterLink::deviceWrote);
    stuckCommand = 0;
    writeFailing = false;
    failureReported = false;
}

bool MeterLink::takeWriteErrorReport()
{
    if (!writeFailing || failureReported)
        return false;
    failureReported = true;
    return true;
}

bool MeterLink::pump(qint64 at)
{
    bool written = true;
    // Once more when a reply came during a write's wait and freed the line.
    for (int round = 0; round < 4 && device->isOpen(); ++round) {
        pumpWanted = false;
        if (round > 0)
            at = now();
        const std::optional<quint8> next = discipline.writable(at);
        if (next && device->bytesToWrite() == 0) {
            written = write(discipline.takeWritable(at)) && written;
        } else if (next && *next == stuckCommand) {
            // Still in the device: it reaches the meter when the line frees.
            discipline.takeWritable(at);
        }
        if (!pumpWanted)
            break;
    }
    armTimer(at);
    return written;
}

bool MeterLink::write(quint8 command)
{
    const quint64 writing = generation;
    const char byte = char(command);
    ++busy;
    // A reply may arrive during the wait; the command is already on the line
    // to be matched with it.
    const bool queued = device->write(&byte, 1) == 1;
    const bool written = queued && device->waitForBytesWritten(writeWaitMs);
    --busy;
    if (writing != generation)
        return written; // closed meanwhile: nothing to report
    if (written) {
        lineMoved();
    } else {
        stuckCommand = device->bytesToWrite() > 0 ? command : 0;
        // Go on once the device has taken it.
        if (stuckCommand != 0)
            connect(device, &QIODevice::bytesWritten, this, &MeterLink::deviceWrote, Qt::UniqueConnection);
        writeFailing = true;
        emit writeFailed(command);
    }
    return written;
}

void MeterLink::lineMoved()
{
    writeFailing = false;
    failureReported = false;
}

void MeterLink::handle(const LineEvents &events)
{
    const quint64 handling = generation;
    for (const LineEvent &event : events) {
        if (event.kind == LineEvent::Reply) {
            lineMoved();
            emit replyReceived(event);
        } else {
            emit commandGivenUp(event.command);
        }
        if (handling != generation)
            return; // a handler closed the line; the rest is stale
    }
}

void MeterLink::timeUp()
{
    timerDueMs = -1;
    ++busy;
    handle(discipline.advance(now()));
    if (--busy == 0)
        pump();
    else
        pumpWanted = true;
}

void MeterLink::armTimer(qint64 at)
{
    std::optional<qint64> wakeup = discipline.nextWakeup();
    // Waiting for a stalled device, not for time: bytesWritten() goes on.
    if (wakeup && *wakeup <= at && device->bytesToWrite() > 0 && discipline.writable(at))
        wakeup.reset();
    if (!wakeup) {
        timer->stop();
        timerDueMs = -1;
        return;
    }
    // Deadlines mostly move later; a timer due early enough just re-arms
    // when it fires, instead of being restarted for every reply.
    if (timer->isActive() && timerDueMs <= *wakeup)
        return;
    timerDueMs = *wakeup;
    timer->start(int(qBound(qint64(0), *wakeup - at, qint64(INT_MAX))));
}

} // namespace meter
