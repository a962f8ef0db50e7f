#pragma once

// Drives the line discipline over a device: writes commands when the line
// allows, reads and frames replies, keeps the deadlines. Reports replies with
// their role, given-up commands and failed writes; shows nothing itself. The
// window and the command-line tool both talk to the meter through it.

#include "meter/linediscipline.h"

#include <QElapsedTimer>
#include <QObject>

class QIODevice;
class QTimer;

namespace meter {

class MeterLink : public QObject
{
    Q_OBJECT

public:
    explicit MeterLink(QIODevice *device, QObject *parent = nullptr,
                       const LineDiscipline::Timing &timing = {});

    // Queues a command and writes it at once when the line is free, waiting
    // up to writeWaitMs for the device to take it. Called while a reply is
    // being handled, it is written when the handler has returned. False only
    // when a write made now did not complete. Handlers of this link's signals
    // must not run event loops (boxes): queue them.
    bool send(quint8 command);
    // Takes what the device has received; call it on readyRead().
    void readAvailable();
    // Forgets everything on and about the line: after open and after close.
    void reset();

    // True once per outage: when a write has failed and no report was taken
    // since, or since the last write that went through or reply that came.
    bool takeWriteErrorReport();

    bool meterAnswered() const { return discipline.meterAnswered(); }
    int missedInARow() const { return discipline.missedInARow(); }
    const LineDiscipline &line() const { return discipline; }

signals:
    void replyReceived(const meter::LineEvent &reply);
    void commandGivenUp(quint8 command);
    void writeFailed(quint8 command);

private:
    bool pump() { return pump(now()); }
    bool pump(qint64 at);
    bool write(quint8 command);
    void handle(const LineEvents &events);
    void timeUp();
    void armTimer(qint64 at);
    void deviceWrote();
    void lineMoved(); // a write went through or a reply came: the outage is over
    qint64 now() const { return clock.elapsed(); }

    QIODevice *device;
    LineDiscipline discipline;
    QElapsedTimer clock;
    QTimer *timer;
    qint64 timerDueMs = -1;
    int busy = 0; // inside a delivery, a write or a deadline
    bool pumpWanted = false; // a command was queued meanwhile
    qint64 burstResumeMs = 0; // no waiting for a reply in a burst before this
    // The device still holds this command's byte (the line is stalled); a
    // repeat of it shares that byte instead of queueing a second one.
    quint8 stuckCommand = 0;
    bool writeFailing = false;
    bool failureReported = false;
    quint64 generation = 0; // bumped by reset, which a nested handler may do
};

} // namespace meter
