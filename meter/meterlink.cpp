#include "meter/meterlink.h"

#include <QCoreApplication>
#include <QEvent>
#include <QIODevice>
#include <QTimer>

#include <climits>

namespace meter {

namespace {

const QEvent::Type pumpEvent = QEvent::Type(QEvent::registerEventType());

} // namespace

MeterLink::MeterLink(QIODevice *device, QObject *parent, const LineDiscipline::Timing &timing)
    : QObject(parent), device(device), discipline(timing), timer(new QTimer(this))
{
    clock.start();
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, &MeterLink::timeUp);
    connect(device, &QIODevice::bytesWritten, this, &MeterLink::deviceWrote);
}

// A stalled line frees itself: go on with what waited for it.
void MeterLink::deviceWrote()
{
    if (device->bytesToWrite() > 0)
        return;
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
    if (busy > 0) {
        pumpLater();
        return true;
    }
    return pump();
}

void MeterLink::readAvailable()
{
    if (!device->isOpen())
        return;
    const QByteArray bytes = device->readAll();
    if (bytes.isEmpty())
        return;
    ++busy;
    handle(discipline.bytesArrived(bytes, now()));
    --busy;
    // Not from inside the device's readyRead(): a write waits up to 100 ms,
    // and the device does not signal data that arrives meanwhile.
    pumpLater();
}

void MeterLink::reset()
{
    ++generation;
    discipline.reset();
    timer->stop();
    timerDueMs = -1;
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

void MeterLink::customEvent(QEvent *event)
{
    if (event->type() != pumpEvent)
        return;
    pumpPosted = false;
    if (busy == 0)
        pump();
}

void MeterLink::pumpLater()
{
    if (pumpPosted)
        return;
    pumpPosted = true;
    QCoreApplication::postEvent(this, new QEvent(pumpEvent));
}

bool MeterLink::pump()
{
    bool written = true;
    if (device->isOpen()) {
        const qint64 at = now();
        const std::optional<quint8> next = discipline.writable(at);
        if (next && device->bytesToWrite() == 0) {
            written = write(discipline.takeWritable(at));
        } else if (next && *next == stuckCommand) {
            // Still in the device: it reaches the meter when the line frees.
            discipline.takeWritable(at);
        }
    }
    armTimer();
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

void MeterLink::handle(const QVector<LineEvent> &events)
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
    --busy;
    if (busy == 0)
        pump();
    else
        armTimer();
}

void MeterLink::armTimer()
{
    std::optional<qint64> wakeup = discipline.nextWakeup();
    const qint64 at = now();
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
