// SPDX-License-Identifier: MIT
#pragma once

// The link to the meter: one command on the line at a time, each reply shown
// in the role of the command it answers, or in none when that is in doubt.
// Event-driven: readyRead() -> frames -> replyReceived() -> the next write,
// and one timer for gaps, deadlines and quiet waits. The window, zerak-cli,
// the benches and the fuzzer all drive this one class.
//
// When the next command may go (next(), the one place that decides):
//
//   It waits while ...                                    until ...
//   a command awaits its reply                             the reply begins, or the deadline
//                                                          (counted from when the device has
//                                                          sent its byte: a stalled line holds it;
//                                                          a frame arriving once it has gone
//                                                          tells so, if the device has not yet)
//   a frame is coming in                                   it is whole, or the gap ends it
//   a 0x7A went unanswered on a silent line, and nothing   any frame arrives
//   answered since reset or 3 commands in a row went so
//   a wavelength command was given up (catch-up owed)      a wavelength reply; meanwhile only
//                                                          0x7A, 0x7B go, and 0x7A first (again
//                                                          if that 0x7A is lost too)
//   a given-up command of another role may still answer    it does, or one deadline more
//   it changes role, or the line was out of step           the line has been quiet quietMs():
//                                                          the gap, or twice the median latency
//                                                          of the last command's role, at most
//                                                          half a deadline
//   ... and a wait for quiet lasting a whole deadline gives the command up unwritten.
//
// Latencies are kept per role (a meter may take longer to measure than to
// tell its wavelength): the median of the role's last 16 replies in time. It
// judges early replies once there are 3. One slow reply moves neither what
// counts as early nor how long quiet lasts.
//
// What a frame answers:
//   the command on the line, if the frame began after it   -> its role; late if a given-up
//   (and after a quiet line, if it left a stalled line        command may have sent it instead
//   that bytes came on meanwhile)
//   else the oldest given-up command that may still answer -> its role, late
//   else nothing                                           -> no role; the next two writes
//                                                             wait for a quiet line
//   (a frame cut short by the gap is answered likewise, and the next two
//   writes wait for quiet counted from its end: the rest may come late;
//   a reply in two thirds of its role's typical latency or less, if that is
//   5 ms or more, may be a frame that answered nothing: it is marked early,
//   and the next write waits for a quiet line to find out)
// Since no command goes while one of another role may still answer, a role is
// never in doubt. Bytes already received never answer a command written after
// them: writes wait until every frame of a delivery has been handled.

#include "meter/protocol.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QVector>

#include <functional>
#include <optional>

class QIODevice;
class QTimer;

namespace meter {

// The line's times; tests shorten them.
struct Timing
{
    int gapMs = replyGapMs;           // silence that ends a short frame
    int deadlineMs = replyDeadlineMs; // a reply later than this is given up
};

struct Reply
{
    QByteArray bytes;     // 1 to 4 bytes: fewer when the gap ended the frame
    quint8 command = 0;   // the command it answers; 0: none
    std::optional<ReplyKind> role; // none: not to be shown in any role
    bool late = false;    // it answers, or may answer, a command already given up
    bool early = false;   // in 2/3 of the role's typical latency or less: perhaps a stray frame taken for it
    qint64 latencyMs = -1; // from the write of the command answered (the given-up one when late)
};

struct GiveUp
{
    quint8 command = 0;
    bool written = true;  // false: the line never went quiet enough to write it
    int strayFrames = 0;  // not written: frames that answered nothing meanwhile
};

class MeterLink : public QObject
{
    Q_OBJECT

public:
    explicit MeterLink(QIODevice *device, QObject *parent = nullptr, const Timing &timing = {});

    void setTiming(const Timing &timing) { times = timing; }
    const Timing &timing() const { return times; }
    // Milliseconds from any fixed point; tests and the fuzzer set their own.
    void setClock(std::function<qint64()> clock);

    // Queues a command and writes it at once when the line allows, waiting up
    // to writeWaitMs for the device to take it. A 0x82 already waiting, or a
    // 0x7A waiting or on the line, stands for this one. Asked from a handler of this
    // link's signals or during a write's wait, it goes when that is over.
    // False only when a write made now did not complete. Handlers must not
    // run event loops (boxes): queue them.
    bool send(quint8 command);
    // Takes what the device has received; call it on readyRead().
    void readAvailable();
    // Forgets everything on and about the line: after open and after close.
    void reset();

    // True once per outage: when a write has failed and no report was taken
    // since, or since the last write that went through or reply that came.
    bool takeWriteErrorReport();

    bool meterAnswered() const { return answered; } // any frame since reset()
    // Nothing is written until the meter speaks.
    bool isHalted() const { return halted; }
    int missedInARow() const { return missed; }
    // How long the line must stay silent before the link takes it as quiet:
    // the gap, or twice the meter's typical latency for a slow meter, within reason.
    int quietMs() const;
    // When the link next needs its timer, if at all (for the fuzzer).
    std::optional<qint64> nextWakeup() const;

signals:
    void replyReceived(const meter::Reply &reply);
    void commandGivenUp(const meter::GiveUp &giveUp);
    void writeFailed(quint8 command);

private:
    struct Next
    {
        quint8 command = 0;    // the first command not held back by the rules
        bool mayGo = false;    // ... and it may go now
        bool noisy = false;    // ... or only the line's not being quiet holds it
        qint64 retryAtMs = -1; // when to look again, if time alone can change the answer
    };
    struct Sent
    {
        quint8 command;
        qint64 atMs;              // when its byte left the device
        bool left = true;         // false while a stalled line holds it
        bool frameSince = false;  // a frame has arrived since
        qint64 answersFromMs = atMs; // a frame begun earlier is not its reply
    };
    struct Late
    {
        quint8 command;
        qint64 sentAtMs;
        qint64 untilMs;
    };

    Next next(qint64 now) const;
    bool blocked(quint8 command, qint64 now) const;
    bool pump();
    bool write(quint8 command, qint64 now);
    void frameEnded(const QByteArray &bytes, qint64 firstByteMs);
    bool queryAsked() const;
    void askWavelength();
    void timeUp();
    void giveUp(qint64 now);
    void giveUpUnwritten(qint64 now);
    void armTimer(qint64 now);
    void deviceWrote();
    void heldCommandLeft(qint64 at);
    void outageOver();
    qint64 now() const { return clock ? clock() : elapsed.elapsed(); }

    QIODevice *device;
    Timing times;
    std::function<qint64()> clock;
    QElapsedTimer elapsed;
    QTimer *timer;
    qint64 timerDueMs = -1;

    QVector<quint8> queue;
    std::optional<Sent> onLine;
    QVector<Late> late; // oldest first
    FrameAssembler assembler;
    qint64 partialSinceMs = 0;
    qint64 lastByteMs;
    std::optional<ReplyKind> lastRole; // of the last command written
    bool catchUp = false;
    bool halted = false;
    int unsure = 0; // writes that still wait for quiet after a sign of being out of step
    qint64 quietWaitSinceMs = -1;
    int straysWhileWaiting = 0;
    bool answered = false;
    int missed = 0;
    // The meter's recent latencies, per role: it may take longer to measure
    // than to tell its wavelength.
    struct Latencies
    {
        static constexpr int size = 16;
        static constexpr int minSamples = 3;
        void add(qint64 ms);
        qint64 typical() const; // the median, once there are a few; else 0
        qint64 samples[size] = {};
        int count = 0;
        int next = 0;
        qint64 median = 0; // the lower one, of those there are
    };
    Latencies latencies[2]; // wavelength, power
    bool writeFailing = false;
    bool failureReported = false;
    bool working = false; // in a write's wait or a signal: writes wait until it ends
};

} // namespace meter

Q_DECLARE_METATYPE(meter::Reply)
Q_DECLARE_METATYPE(meter::GiveUp)
