// SPDX-License-Identifier: MIT
#include "meter/meterlink.h"

#include <QIODevice>
#include <QTimer>

#include <algorithm>
#include <climits>

namespace meter {

namespace {

constexpr qint64 longAgo = -(qint64(1) << 40);
constexpr int maxQueued = 16;
// After a frame that answered nothing: this write waits for quiet, and the
// next, whose reply may be the one left over.
constexpr int writesInDoubt = 2;
// Below this a meter's latency is too short to tell a reply by its timing.
constexpr qint64 minTimedLatencyMs = 5;
// Commands in a row unanswered, the last a 0x7A, before the meter counts as gone.
constexpr int maxQueriesUnanswered = 3;

// Work that may run signal handlers: what they ask for is written after it.
class Working
{
public:
    explicit Working(bool &flag) : flag(flag), was(flag) { flag = true; }
    ~Working() { flag = was; }
    bool nested() const { return was; }

private:
    bool &flag;
    bool was;
};

} // namespace

MeterLink::MeterLink(QIODevice *device, QObject *parent, const Timing &timing)
    : QObject(parent), device(device), times(timing), timer(new QTimer(this)), lastByteMs(longAgo)
{
    // For queued connections and signal spies.
    qRegisterMetaType<meter::Reply>();
    qRegisterMetaType<meter::GiveUp>();
    elapsed.start();
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, &MeterLink::timeUp);
}

void MeterLink::setClock(std::function<qint64()> newClock)
{
    clock = std::move(newClock);
}

bool MeterLink::send(quint8 command)
{
    if (!device->isOpen()) {
        writeFailing = true;
        emit writeFailed(command);
        return false;
    }
    // Requests for a reading are alike: one waiting is enough. A query
    // waiting or on the line answers for another: a second would only be
    // answered behind it.
    const bool shared = (command == cmdMeasure && queue.contains(cmdMeasure))
                        || (command == cmdQueryWavelength && queryAsked());
    if (!shared && queue.size() < maxQueued)
        queue.append(command);
    return pump();
}

void MeterLink::Latencies::add(qint64 ms)
{
    samples[next] = ms;
    next = (next + 1) % size;
    count = std::min(count + 1, size);
    qint64 sorted[size];
    std::copy(samples, samples + count, sorted);
    // The lower median: one outlier, however far out, moves it at most to
    // its neighbour's value.
    std::nth_element(sorted, sorted + (count - 1) / 2, sorted + count);
    median = sorted[(count - 1) / 2];
}

qint64 MeterLink::Latencies::typical() const
{
    return count >= minSamples ? median : 0;
}

int MeterLink::quietMs() const
{
    // A meter slow to answer may still have a reply on its way after the gap:
    // twice the usual latency of the last command's role, whose reply it
    // would be. Not its longest: one hiccup would make every wait after it
    // as long.
    const qint64 usual = lastRole ? latencies[*lastRole == ReplyKind::Power ? 1 : 0].median
                                  : std::max(latencies[0].median, latencies[1].median);
    const qint64 slow = std::min<qint64>(2 * usual, times.deadlineMs / 2);
    return int(std::max<qint64>(times.gapMs, slow));
}

bool MeterLink::blocked(quint8 command, qint64 at) const
{
    const ReplyKind role = replyKindFor(command);
    // Until the wavelength is known again, a frame might be a wavelength
    // reply however late: only wavelength commands go.
    if (catchUp && role == ReplyKind::Power)
        return true;
    return std::any_of(late.begin(), late.end(), [&](const Late &given) {
        return at < given.untilMs && replyKindFor(given.command) != role;
    });
}

MeterLink::Next MeterLink::next(qint64 at) const
{
    Next next;
    if (onLine || halted || device->bytesToWrite() > 0 || queue.isEmpty())
        return next;
    const auto candidate = std::find_if(queue.begin(), queue.end(),
                                        [&](quint8 command) { return !blocked(command, at); });
    if (candidate == queue.end()) {
        // Held back by a late reply that may still come: look again when it can't.
        for (const Late &given : late)
            if (given.untilMs > at && (next.retryAtMs < 0 || given.untilMs < next.retryAtMs))
                next.retryAtMs = given.untilMs;
        return next;
    }
    next.command = *candidate;
    next.noisy = true;
    if (assembler.hasPartial())
        return next; // a frame answering nothing is coming in; its gap wakes us
    const bool switching = lastRole && *lastRole != replyKindFor(*candidate);
    const int quiet = unsure > 0 || switching ? quietMs() : 0;
    if (at - lastByteMs < quiet) {
        next.retryAtMs = lastByteMs + quiet;
        return next;
    }
    next.noisy = false;
    next.mayGo = true;
    return next;
}

bool MeterLink::pump()
{
    if (working)
        return true;
    bool written = true;
    while (device->isOpen()) {
        const qint64 at = now();
        const Next next = this->next(at);
        if (!next.mayGo) {
            if (!next.noisy) {
                quietWaitSinceMs = -1;
            } else if (quietWaitSinceMs < 0) {
                quietWaitSinceMs = at;
                straysWhileWaiting = 0;
            }
            break;
        }
        written = write(next.command, at) && written;
    }
    armTimer(now());
    return written;
}

bool MeterLink::write(quint8 command, qint64 at)
{
    queue.removeOne(command);
    onLine = Sent{command, at};
    lastRole = replyKindFor(command);
    unsure = std::max(0, unsure - 1);
    quietWaitSinceMs = -1;
    Working working(this->working);
    // A reply may arrive during the wait; the command is already on the line.
    const char byte = char(command);
    const bool written = device->write(&byte, 1) == 1 && device->waitForBytesWritten(writeWaitMs);
    if (!device->isOpen())
        return written; // closed meanwhile: the loss is reported, not the write
    if (written) {
        outageOver();
        return true;
    }
    // Held up in a stalled line: it reaches the meter, and its deadline
    // starts, when the device has sent it.
    if (device->bytesToWrite() > 0) {
        if (onLine && onLine->command == command)
            onLine->left = false;
        connect(device, &QIODevice::bytesWritten, this, &MeterLink::deviceWrote, Qt::UniqueConnection);
    }
    writeFailing = true;
    emit writeFailed(command);
    return false;
}

void MeterLink::deviceWrote()
{
    if (device->bytesToWrite() > 0)
        return;
    disconnect(device, &QIODevice::bytesWritten, this, &MeterLink::deviceWrote);
    heldCommandLeft(now());
    pump();
}

void MeterLink::heldCommandLeft(qint64 at)
{
    outageOver();
    if (!onLine || onLine->left)
        return;
    // Bytes came while it was held, so it left on a line that was not quiet:
    // what begins before the line has been, may be their rest. The frame
    // that prompted the write came before it and does not count.
    const bool noisy = onLine->frameSince || lastByteMs > onLine->atMs || assembler.hasPartial();
    *onLine = Sent{onLine->command, at};
    if (noisy)
        onLine->answersFromMs = std::max(at, lastByteMs + quietMs());
}

void MeterLink::readAvailable()
{
    Working working(this->working);
    char bytes[256];
    // More may come during a write's wait, which the device does not signal
    // again while its readyRead() is still being handled.
    while (device->isOpen() && device->bytesAvailable() > 0) {
        const qint64 count = device->read(bytes, sizeof bytes);
        if (count <= 0)
            break;
        const qint64 at = now();
        // The held byte has gone, and the device tells so only in a later
        // pass of the event loop: the meter may have answered it already.
        if (onLine && !onLine->left && device->bytesToWrite() == 0)
            heldCommandLeft(at);
        const qint64 firstByteMs = assembler.hasPartial() ? partialSinceMs : at;
        lastByteMs = at;
        if (!assembler.hasPartial() && count == frameSize) {
            frameEnded(QByteArray(bytes, frameSize), at);
        } else {
            assembler.append(bytes, int(count));
            bool first = true;
            // One at a time: a handler may reset the link.
            while (const std::optional<QByteArray> frame = assembler.takeFrame()) {
                frameEnded(*frame, first ? firstByteMs : at);
                first = false;
            }
            if (assembler.hasPartial())
                partialSinceMs = first ? firstByteMs : at;
        }
        if (!working.nested()) {
            this->working = false;
            pump();
            this->working = true;
        }
    }
    if (!working.nested())
        armTimer(now());
}

void MeterLink::frameEnded(const QByteArray &bytes, qint64 firstByteMs)
{
    Reply reply;
    reply.bytes = bytes;
    answered = true;
    missed = 0;
    halted = false;
    late.erase(std::remove_if(late.begin(), late.end(),
                              [&](const Late &given) { return given.untilMs <= firstByteMs; }),
               late.end());
    if (onLine)
        onLine->frameSince = true;
    const bool waiting = onLine && onLine->left;
    const bool answersOnLine = waiting && firstByteMs >= onLine->answersFromMs;
    if (waiting && !answersOnLine) {
        // Begun before the command on the line could be answered: the line
        // was not quiet, and the rest of this frame may still come.
        onLine->answersFromMs = std::max(onLine->answersFromMs, lastByteMs + quietMs());
    }
    if (answersOnLine) {
        reply.command = onLine->command;
        reply.role = replyKindFor(onLine->command);
        reply.latencyMs = firstByteMs - onLine->atMs;
        if (late.isEmpty()) {
            // A reply much sooner than the meter answers may have been on its
            // way before the command: a frame answering nothing was taken for
            // a reply. The next write waits to see whether one more comes.
            // Judged against the median of the role's recent latencies, which
            // no single slow reply moves, and only once there are a few: a
            // hiccup, or a slow first reply, makes no usual one look early.
            // Two thirds, not a half: a stray frame taken for a reply halfway
            // through the meter's time leaves two requests at the meter, whose
            // replies then come at half its latency each, for good.
            Latencies &role = latencies[*reply.role == ReplyKind::Power ? 1 : 0];
            const qint64 typical = role.typical();
            reply.early = typical >= minTimedLatencyMs && 3 * reply.latencyMs <= 2 * typical;
            if (reply.early)
                unsure = std::max(unsure, 1);
            role.add(reply.latencyMs);
        } else {
            // The command given up before it, of the same role, may have sent this.
            reply.late = true;
            reply.latencyMs = firstByteMs - late.takeFirst().sentAtMs;
            unsure = std::max(unsure, 1);
        }
        onLine.reset();
    } else if (!late.isEmpty()) {
        const Late given = late.takeFirst();
        reply.command = given.command;
        reply.role = replyKindFor(given.command);
        reply.late = true;
        reply.latencyMs = firstByteMs - given.sentAtMs;
        unsure = std::max(unsure, 1);
    } else {
        unsure = writesInDoubt;
        ++straysWhileWaiting;
    }
    if (reply.role == ReplyKind::Wavelength)
        catchUp = false;
    else if (catchUp)
        askWavelength(); // the meter has answered, so it is worth asking
    emit replyReceived(reply);
}

bool MeterLink::queryAsked() const
{
    return queue.contains(cmdQueryWavelength) || (onLine && onLine->command == cmdQueryWavelength);
}

void MeterLink::askWavelength()
{
    if (answered && !queryAsked())
        queue.prepend(cmdQueryWavelength);
}

void MeterLink::timeUp()
{
    timerDueMs = -1;
    {
        Working working(this->working);
        const qint64 at = now();
        if (assembler.hasPartial() && at - lastByteMs >= times.gapMs) {
            // A frame cut short: the rest may still be coming, after the gap.
            // The next writes wait for a quiet line from now.
            unsure = writesInDoubt;
            lastByteMs = at;
            frameEnded(assembler.takePartial(), partialSinceMs);
        }
        // A reply that has begun to arrive is not given up.
        if (onLine && onLine->left && !assembler.hasPartial() && at - onLine->atMs >= times.deadlineMs)
            giveUp(at);
        if (quietWaitSinceMs >= 0 && at - quietWaitSinceMs >= times.deadlineMs)
            giveUpUnwritten(at);
    }
    pump();
}

void MeterLink::giveUp(qint64 at)
{
    const Sent sent = *onLine;
    onLine.reset();
    late.append({sent.command, sent.atMs, at + times.deadlineMs});
    ++missed;
    if (replyKindFor(sent.command) == ReplyKind::Wavelength) {
        // The meter may have stepped without our hearing of it.
        catchUp = true;
        // 0x7A unanswered on a silent line: where nothing has answered since
        // reset, or after a few tries, nothing more is written until the
        // meter speaks; a meter that lost a reply is asked again.
        if (sent.command == cmdQueryWavelength && !sent.frameSince && (!answered || missed >= maxQueriesUnanswered))
            halted = true;
        else
            askWavelength();
    }
    GiveUp giveUp;
    giveUp.command = sent.command;
    emit commandGivenUp(giveUp);
}

void MeterLink::giveUpUnwritten(qint64 at)
{
    const Next next = this->next(at);
    quietWaitSinceMs = -1;
    if (!next.noisy)
        return;
    queue.removeOne(next.command);
    ++missed;
    GiveUp giveUp;
    giveUp.command = next.command;
    giveUp.written = false;
    giveUp.strayFrames = straysWhileWaiting;
    straysWhileWaiting = 0;
    emit commandGivenUp(giveUp);
}

std::optional<qint64> MeterLink::nextWakeup() const
{
    std::optional<qint64> wakeup;
    const auto consider = [&wakeup](qint64 atMs) {
        if (!wakeup || atMs < *wakeup)
            wakeup = atMs;
    };
    if (assembler.hasPartial())
        consider(lastByteMs + times.gapMs);
    else if (onLine && onLine->left)
        consider(onLine->atMs + times.deadlineMs);
    const Next next = this->next(now());
    if (next.retryAtMs >= 0)
        consider(next.retryAtMs);
    if (quietWaitSinceMs >= 0)
        consider(quietWaitSinceMs + times.deadlineMs);
    return wakeup;
}

void MeterLink::armTimer(qint64 at)
{
    const std::optional<qint64> wakeup = nextWakeup();
    if (!wakeup) {
        timer->stop();
        timerDueMs = -1;
        return;
    }
    // Moved along with every reply, not left to fire early and look again: a
    // wakeup costs far more than restarting a timer, and a healthy line
    // should wake the program for its replies alone.
    if (timer->isActive() && timerDueMs == *wakeup)
        return;
    timerDueMs = *wakeup;
    timer->start(int(qBound(qint64(0), *wakeup - at, qint64(INT_MAX))));
}

void MeterLink::reset()
{
    queue.clear();
    onLine.reset();
    late.clear();
    assembler.clear();
    lastByteMs = longAgo;
    lastRole.reset();
    catchUp = false;
    halted = false;
    unsure = 0;
    quietWaitSinceMs = -1;
    straysWhileWaiting = 0;
    answered = false;
    missed = 0;
    latencies[0] = latencies[1] = Latencies{};
    outageOver();
    timer->stop();
    timerDueMs = -1;
    disconnect(device, &QIODevice::bytesWritten, this, &MeterLink::deviceWrote);
}

// A write went through: the next failure is a new outage, reported again.
void MeterLink::outageOver()
{
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

} // namespace meter
