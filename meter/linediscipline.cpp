#include "meter/linediscipline.h"

#include <algorithm>

namespace meter {

bool LineDiscipline::request(quint8 command)
{
    if (command == cmdMeasure && queue.contains(cmdMeasure))
        return false;
    if (queue.size() >= maxQueued)
        return false;
    queue.append(command);
    return true;
}

int LineDiscipline::quietMs() const
{
    // A meter that takes long to answer may still have a reply on its way
    // after the gap; wait for twice its recent latency, within reason.
    const qint64 slow = std::min<qint64>(2 * latencyMs, timing.deadlineMs / 2);
    return int(std::max<qint64>(timing.gapMs, slow));
}

int LineDiscipline::checkQuietMs() const
{
    // Whether one more reply follows shows within the meter's latency, well
    // before the gap that ends a short frame: the regular check stays cheap.
    return int(std::min<qint64>(quietMs(), 2 + 4 * latencyMs));
}

bool LineDiscipline::fullQuietNeededFor(quint8 command) const
{
    return quietWrites > 0 || (lastWrittenRole && *lastWrittenRole != replyKindFor(command));
}

int LineDiscipline::quietNeededFor(quint8 command, qint64 nowMs) const
{
    if (fullQuietNeededFor(command))
        return quietMs();
    return nowMs - lastCheckMs >= timing.checkEveryMs ? checkQuietMs() : 0;
}

bool LineDiscipline::ghostHolds(quint8 command, qint64 nowMs) const
{
    return ghost && nowMs < ghost->untilMs && ghost->role != replyKindFor(command);
}

// The first queued command that may go out now, or -1.
int LineDiscipline::nextIndex(qint64 nowMs) const
{
    // A half-received frame is a reply still coming in, or a stray one: the
    // line is not free either way.
    if (awaiting || queue.isEmpty() || assembler.hasPartial())
        return -1;
    int index = 0;
    while (index < queue.size() && ghostHolds(queue.at(index), nowMs))
        ++index;
    if (index == queue.size())
        return -1;
    if (nowMs - quietSinceMs < quietNeededFor(queue.at(index), nowMs))
        return -1;
    return index;
}

std::optional<quint8> LineDiscipline::writable(qint64 nowMs) const
{
    const int index = nextIndex(nowMs);
    if (index < 0)
        return std::nullopt;
    return queue.at(index);
}

quint8 LineDiscipline::takeWritable(qint64 nowMs)
{
    const quint8 command = queue.takeAt(nextIndex(nowMs));
    const qint64 quietFor = nowMs - quietSinceMs;
    if (quietFor >= checkQuietMs())
        lastCheckMs = nowMs;
    if (quietFor >= quietMs())
        quietWrites = std::max(0, quietWrites - 1);
    // The reply to this one may be a late one: the write after it waits to
    // see whether another follows.
    if (checkAfterNext) {
        quietWrites = std::max(quietWrites, 1);
        checkAfterNext = false;
    }
    awaiting = Written{command, nowMs};
    lastWrittenRole = replyKindFor(command);
    return command;
}

void LineDiscipline::commandLeft(quint8 command, qint64 nowMs)
{
    if (awaiting && awaiting->command != command)
        return;
    ghost.reset();
    awaiting = Written{command, nowMs, assembler.hasPartial()};
    lastWrittenRole = replyKindFor(command);
}

LineEvents LineDiscipline::bytesArrived(const QByteArray &bytes, qint64 nowMs)
{
    LineEvents events;
    if (bytes.isEmpty())
        return events;
    // The common case, one whole reply in one delivery, without cutting.
    if (bytes.size() == frameSize && !assembler.hasPartial()) {
        quietSinceMs = nowMs;
        // A copy of its own: the caller's bytes may be borrowed for the call.
        events.append(frameEnded(QByteArray(bytes.constData(), frameSize), nowMs));
        return events;
    }
    const qint64 firstByteMs = assembler.hasPartial() ? partialSinceMs : nowMs;
    quietSinceMs = nowMs;
    const QVector<QByteArray> frames = assembler.push(bytes);
    for (int i = 0; i < frames.size(); ++i)
        events.append(frameEnded(frames.at(i), i == 0 ? firstByteMs : nowMs));
    if (assembler.hasPartial())
        partialSinceMs = frames.isEmpty() ? firstByteMs : nowMs;
    return events;
}

LineEvents LineDiscipline::advance(qint64 nowMs)
{
    LineEvents events;
    if (ghost && nowMs >= ghost->untilMs)
        ghost.reset();
    if (assembler.hasPartial() && nowMs - quietSinceMs >= timing.gapMs)
        events.append(frameEnded(assembler.takePartial(), partialSinceMs));
    // A reply that has begun to arrive is not given up.
    if (awaiting && !assembler.hasPartial() && nowMs - awaiting->atMs >= timing.deadlineMs) {
        LineEvent event;
        event.kind = LineEvent::GivenUp;
        event.command = awaiting->command;
        ghost = Ghost{replyKindFor(awaiting->command), nowMs + timing.deadlineMs};
        awaiting.reset();
        ++missed;
        // The line has been quiet all along, so the next command may go at
        // once; the ghost keeps other roles back.
        checkAfterNext = true;
        exchangesSinceSlip = 0;
        events.append(event);
    }
    return events;
}

LineEvent LineDiscipline::frameEnded(const QByteArray &bytes, qint64 firstByteMs)
{
    LineEvent event;
    event.bytes = bytes;
    missed = 0;
    const bool begunBefore = awaiting && awaiting->frameBegunBefore;
    if (begunBefore)
        awaiting->frameBegunBefore = false; // only the frame that was coming in
    if (awaiting && !begunBefore && firstByteMs >= awaiting->atMs) {
        event.command = awaiting->command;
        event.role = replyKindFor(awaiting->command);
        // Right after a slip the pairing may be off by one; learn only from
        // exchanges that are surely in step.
        if (exchangesSinceSlip >= 2)
            latencyMs = std::max(firstByteMs - awaiting->atMs, latencyMs - (latencyMs + 7) / 8);
        ++exchangesSinceSlip;
        answered = true;
        awaiting.reset();
    } else {
        event.role = lastWrittenRole;
        ghost.reset(); // most likely the late reply itself
        outOfStep();
    }
    return event;
}

void LineDiscipline::outOfStep()
{
    // This write and the next wait for quiet: the reply the next one gets may
    // be the one left over, with its own still to come.
    quietWrites = 2;
    exchangesSinceSlip = 0;
}

std::optional<qint64> LineDiscipline::nextWakeup() const
{
    std::optional<qint64> wakeup;
    const auto consider = [&wakeup](qint64 atMs) {
        if (!wakeup || atMs < *wakeup)
            wakeup = atMs;
    };
    if (assembler.hasPartial())
        consider(quietSinceMs + timing.gapMs);
    else if (awaiting)
        consider(awaiting->atMs + timing.deadlineMs);
    // Queued commands wait for quiet, or for a late reply to come or not.
    if (!awaiting && !queue.isEmpty() && !assembler.hasPartial()) {
        const auto next = std::find_if(queue.begin(), queue.end(), [this](quint8 command) {
            return !ghost || replyKindFor(command) == ghost->role;
        });
        if (next == queue.end())
            consider(ghost->untilMs);
        else
            consider(quietSinceMs + (fullQuietNeededFor(*next) ? quietMs() : checkQuietMs()));
    }
    return wakeup;
}

void LineDiscipline::reset()
{
    *this = LineDiscipline(timing);
}

std::optional<quint8> LineDiscipline::onLine() const
{
    if (!awaiting)
        return std::nullopt;
    return awaiting->command;
}

} // namespace meter
