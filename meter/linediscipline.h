#pragma once

// The order of commands on the serial line, as a half-duplex master keeps it:
// one command awaits its reply at a time, a reply answers the command on the
// line or nothing, and the line must fall quiet before the master changes
// the kind of question or after any sign that it is out of step with the
// meter. Pure: no device, no timers; the caller passes the time in and
// writes what takeWritable() hands out.

#include "meter/protocol.h"

#include <QByteArray>
#include <QVarLengthArray>
#include <QVector>

#include <optional>

namespace meter {

struct LineEvent
{
    enum Kind { Reply, GivenUp };
    Kind kind = Reply;
    // Reply: the frame as it arrived, 1 to 4 bytes (fewer when the gap ended it).
    QByteArray bytes;
    // Reply: the command it answers, or 0 for a frame that answered nothing.
    // GivenUp: the command whose reply did not come in time.
    quint8 command = 0;
    // Reply: how to show it. A frame that answered nothing takes the role of
    // the last command written; before any command there is none.
    std::optional<ReplyKind> role;
};

// What one step reports: mostly one frame, so kept off the heap.
using LineEvents = QVarLengthArray<LineEvent, 4>;

class LineDiscipline
{
public:
    struct Timing
    {
        int gapMs = replyGapMs;           // silence that ends a short frame
        int deadlineMs = replyDeadlineMs; // a reply later than this is given up
        // However smooth the exchange looks, the line is checked for quiet
        // this often: a stray frame that lands while a command awaits its
        // reply cannot be told from that reply, only by the one left over.
        int checkEveryMs = 1000;
    };

    LineDiscipline() = default;
    explicit LineDiscipline(const Timing &timing) : timing(timing) {}

    // Queues a command. A measurement request shares one that is queued and
    // not yet written: false then, and nothing is added.
    bool request(quint8 command);
    // The command that may be written at nowMs, if any. takeWritable() takes
    // it: from then on it is on the line and awaits its reply.
    std::optional<quint8> writable(qint64 nowMs) const;
    quint8 takeWritable(qint64 nowMs);
    // A command held up in the device has only now gone out: it is on the
    // line from nowMs, even if it had been given up meanwhile.
    void commandLeft(quint8 command, qint64 nowMs);

    // The bytes need only live for the call.
    LineEvents bytesArrived(const QByteArray &bytes, qint64 nowMs);
    // Ends short frames and gives up commands whose time ran out by nowMs.
    LineEvents advance(qint64 nowMs);
    // The next moment at which advance() or writable() can change their answer.
    std::optional<qint64> nextWakeup() const;

    // After open and close: nothing queued, on the line or half received.
    void reset();

    std::optional<quint8> onLine() const;
    int queuedCount() const { return queue.size(); }
    bool meterAnswered() const { return answered; }
    int missedInARow() const { return missed; }
    // How long the line must be silent before the master may assume it has
    // heard everything: the gap, or longer for a meter slow to answer.
    int quietMs() const;
    // How long the meter has recently taken to start its reply.
    qint64 recentLatencyMs() const { return latencyMs; }

private:
    int nextIndex(qint64 nowMs) const;
    bool ghostHolds(quint8 command, qint64 nowMs) const;
    bool fullQuietNeededFor(quint8 command) const;
    int quietNeededFor(quint8 command, qint64 nowMs) const; // ms, 0: none
    int checkQuietMs() const;
    LineEvent frameEnded(const QByteArray &bytes, qint64 firstByteMs);
    void outOfStep();

    static constexpr int maxQueued = 16;
    static constexpr qint64 longAgo = -(qint64(1) << 40);

    Timing timing;
    QVector<quint8> queue;
    struct Written
    {
        quint8 command;
        qint64 atMs;
        // A frame was already coming in when the command left: it began
        // before, even if within the same millisecond, so it is no reply.
        bool frameBegunBefore = false;
    };
    std::optional<Written> awaiting;
    std::optional<ReplyKind> lastWrittenRole;
    // A command given up may still be answered, late. Until that reply has
    // come, or a deadline more has passed, only commands answered in the
    // same role go out: the late reply then still lands in its own role.
    struct Ghost
    {
        ReplyKind role;
        qint64 untilMs;
    };
    std::optional<Ghost> ghost;
    FrameAssembler assembler;
    qint64 partialSinceMs = 0;    // first byte of the frame being received
    qint64 quietSinceMs = longAgo; // last byte received
    qint64 lastCheckMs = longAgo;  // last write made after a quiet line
    int quietWrites = 0;        // the next writes that wait for quiet, after a slip
    bool checkAfterNext = false; // after a give-up: the write after next waits
    qint64 latencyMs = 0;   // recent reply latency, slowly forgotten
    int exchangesSinceSlip = 2; // exchanges matched since the last slip
    bool answered = false;
    int missed = 0;
};

} // namespace meter
