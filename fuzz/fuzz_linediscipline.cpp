// libFuzzer target for the line discipline. The input is a script of what
// happens on the line: commands requested and written, reply bytes arriving
// in chunks, time passing, the link's timer firing, the port reopened. It
// runs through two disciplines at once; the second gets the same bytes at the
// same moments, cut into different deliveries. Any break of the rules below
// prints what broke and traps:
//  - both give the same frames, answers and state, however the bytes are cut;
//  - frames are the received bytes in order, 4 at a time, or 1 to 3 ended by
//    the gap's silence;
//  - a frame answers the command on the line exactly when its first byte
//    arrived after that command was written, and takes that command's role;
//  - one command on the line: nothing is writable while one awaits its reply;
//  - a command is given up only after the deadline, and always by then unless
//    its reply has begun to arrive;
//  - whatever waits has a wakeup, and a wakeup that is due changes something.
//
// ZERAK_FUZZ_TRACE=1 prints the script as it runs, in the steps of the
// protocol test's lineDiscipline rows.

#include "meter/linediscipline.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

using meter::LineDiscipline;
using meter::LineEvent;
using meter::LineEvents;

namespace {

bool tracing = false;

void trace(const std::string &step)
{
    if (tracing)
        std::fprintf(stderr, "%s ", step.c_str());
}

std::string hex(quint8 byte)
{
    char text[3];
    std::snprintf(text, sizeof text, "%02X", byte);
    return text;
}

[[noreturn]] void broken(const char *rule, qint64 nowMs)
{
    std::fprintf(stderr, "\nrule broken at %lld ms: %s\n", static_cast<long long>(nowMs), rule);
    __builtin_trap();
}

class Input
{
public:
    Input(const uint8_t *data, size_t size) : data(data), size(size) {}
    bool atEnd() const { return offset >= size; }
    quint8 next() { return offset < size ? data[offset++] : 0; }

private:
    const uint8_t *data;
    size_t size;
    size_t offset = 0;
};

template <typename Events, typename OtherEvents>
bool sameEvents(const Events &a, const OtherEvents &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (a[i].kind != b[i].kind || a[i].bytes != b[i].bytes || a[i].command != b[i].command
            || a[i].role != b[i].role)
            return false;
    }
    return true;
}

class Script
{
public:
    explicit Script(const LineDiscipline::Timing &timing) : timing(timing), line(timing), recut(timing) {}

    void run(Input &in)
    {
        while (!in.atEnd()) {
            const quint8 op = in.next();
            if ((op & 0x0F) < 4 || (op & 0x0F) == 15)
                deliver(in);
            else
                step(op & 0x0F, in);
            checkState();
        }
        flushRecut();
        // Left alone, the line settles: whatever was queued gets written.
        for (int round = 0; round < 256 && (onLine || !queued.empty()); ++round) {
            if (onLine) {
                const std::optional<qint64> wakeup = line.nextWakeup();
                now = std::max(now, wakeup.value_or(now));
                trace("@" + std::to_string(now) + " A");
                check(line.advance(now), recut.advance(now), false);
            } else {
                timerFires();
            }
            checkState();
        }
        if (!queued.empty() && !onLine)
            broken("queued commands never became writable", now);
    }

private:
    struct Written
    {
        quint8 command;
        qint64 atMs;
        quint64 order; // the step at which it went on the line
    };
    struct Byte
    {
        char value;
        qint64 atMs;
        quint64 order;
    };

    void step(int op, Input &in)
    {
        flushRecut();
        ++order;
        switch (op) {
        case 4:
        case 5:
        case 6: {
            const quint8 pick = in.next();
            static const quint8 commands[] = {meter::cmdMeasure, meter::cmdQueryWavelength,
                                              meter::cmdNextWavelength};
            // Any byte, but not 0: a reply's command 0 means it answered nothing.
            const quint8 command = pick < 0xC0 ? commands[pick % 3] : quint8(pick | 1);
            trace("R" + hex(command));
            const bool added = line.request(command);
            if (recut.request(command) != added)
                broken("request() differs", now);
            if (added)
                queued.push_back(command);
            break;
        }
        case 7:
        case 8:
            take();
            break;
        case 9:
        case 10:
            passTime(in.next());
            break;
        case 11:
            trace("A");
            check(line.advance(now), recut.advance(now), false);
            break;
        case 12:
            timerFires();
            break;
        case 13:
            if (in.next() < 0x40) {
                trace("C");
                line.reset();
                recut.reset();
                onLine.reset();
                lastWritten.reset();
                queued.clear();
                pending.clear();
                answered = false;
                missed = 0;
            }
            break;
        case 14:
            // The device let go of a command held up in it only now.
            if (lastWritten) {
                trace("L" + hex(*lastWritten));
                line.commandLeft(*lastWritten, now);
                recut.commandLeft(*lastWritten, now);
                if (!onLine || onLine->command == *lastWritten)
                    onLine = Written{*lastWritten, now, order};
            }
            break;
        }
    }

    void take()
    {
        const std::optional<quint8> next = line.writable(now);
        if (recut.writable(now) != next)
            broken("writable() differs", now);
        if (!next) {
            trace("W-");
            return;
        }
        if (onLine)
            broken("a second command writable while one awaits its reply", now);
        auto it = std::find(queued.begin(), queued.end(), *next);
        if (it == queued.end())
            broken("writable command was never queued", now);
        queued.erase(it);
        trace("W" + hex(*next));
        if (line.takeWritable(now) != *next || recut.takeWritable(now) != *next)
            broken("takeWritable() is not what writable() said", now);
        onLine = Written{*next, now, order};
        lastWritten = *next;
    }

    void passTime(quint8 pick)
    {
        qint64 delta;
        if (pick < 0x80) {
            delta = pick;
        } else {
            // Around every threshold the discipline keeps.
            const qint64 marks[] = {timing.gapMs, timing.deadlineMs, timing.deadlineMs / 2, timing.checkEveryMs,
                                    2 * timing.deadlineMs};
            const qint64 mark = marks[(pick >> 2) % 5];
            delta = std::max<qint64>(0, mark + (pick & 3) - 1);
            if (pick >= 0xF0)
                delta = qint64(pick - 0xF0) * 500;
        }
        now += delta;
        trace("@" + std::to_string(now));
    }

    // What the link does when its timer fires: advance, then write what may go.
    void timerFires()
    {
        int idleRounds = 0;
        for (int round = 0; round < 16; ++round) {
            const std::optional<qint64> wakeup = line.nextWakeup();
            if (recut.nextWakeup() != wakeup)
                broken("nextWakeup() differs", now);
            if (!wakeup)
                return;
            const bool due = *wakeup <= now;
            if (!due) {
                now = *wakeup;
                trace("@" + std::to_string(now));
            }
            ++order;
            trace("A");
            const LineEvents events = line.advance(now);
            check(events, recut.advance(now), false);
            const bool wrote = line.writable(now).has_value();
            if (wrote)
                take();
            if (!events.isEmpty() || wrote) {
                idleRounds = 0;
                if (wrote)
                    return;
                continue;
            }
            if (due && ++idleRounds >= 3)
                broken("a wakeup that is due changes nothing: the timer would spin", now);
        }
    }

    void deliver(Input &in)
    {
        const quint8 sizePick = in.next();
        const int size = sizePick & 0x80 ? sizePick & 0x3F : sizePick % 9;
        QByteArray bytes;
        for (int i = 0; i < size; ++i)
            bytes.append(char(in.next()));
        cutSeed = cutSeed * 31 + in.next() + 1;
        ++order;
        trace("D" + bytes.toHex().toUpper().toStdString());
        for (char value : bytes)
            pending.push_back(Byte{value, now, order});
        const LineEvents events = line.bytesArrived(bytes, now);
        for (const LineEvent &event : events)
            checkEvent(event, true);
        for (const LineEvent &event : events)
            fromLine.append(event);
        toRecut += bytes;
        if (pending.size() >= size_t(meter::frameSize))
            broken("4 bytes received but no frame", now);
    }

    // The second discipline gets everything that arrived since the last step
    // at once, cut its own way, all at the same moment.
    void flushRecut()
    {
        QVector<LineEvent> events;
        int offset = 0;
        while (offset < toRecut.size()) {
            cutSeed = cutSeed * 1103515245u + 12345u;
            const int piece = int((cutSeed >> 16) % 7); // 0: an empty delivery
            for (const LineEvent &event : recut.bytesArrived(toRecut.mid(offset, piece), now))
                events.append(event);
            offset += piece;
        }
        if (!sameEvents(fromLine, events))
            broken("the same bytes cut differently gave other frames or answers", now);
        fromLine.clear();
        toRecut.clear();
    }

    void check(const LineEvents &events, const LineEvents &recutEvents, bool arriving)
    {
        if (!sameEvents(events, recutEvents))
            broken("advance() differs", now);
        for (const LineEvent &event : events)
            checkEvent(event, arriving);
        // Silence past the gap ends a short frame; a deadline passed gives up.
        if (!pending.empty() && now - pending.back().atMs >= timing.gapMs)
            broken("a short frame outlived the gap", now);
        if (onLine && pending.empty() && now - onLine->atMs >= timing.deadlineMs)
            broken("the deadline passed and nothing was given up", now);
    }

    void checkEvent(const LineEvent &event, bool arriving)
    {
        if (event.kind == LineEvent::GivenUp) {
            if (!onLine || event.command != onLine->command)
                broken("given up a command that was not on the line", now);
            if (now - onLine->atMs < timing.deadlineMs)
                broken("given up before the deadline", now);
            if (!pending.empty())
                broken("given up while its reply was arriving", now);
            onLine.reset();
            ++missed;
            return;
        }
        const int size = event.bytes.size();
        if (size < 1 || size > meter::frameSize || (arriving && size != meter::frameSize)
            || (!arriving && size == meter::frameSize))
            broken("a frame of the wrong size", now);
        if (pending.size() < size_t(size))
            broken("a frame of bytes that never arrived", now);
        const Byte first = pending.front();
        qint64 lastByteMs = first.atMs;
        for (int i = 0; i < size; ++i) {
            if (pending.front().value != event.bytes.at(i))
                broken("a frame that is not the bytes as they arrived", now);
            lastByteMs = pending.front().atMs;
            pending.pop_front();
        }
        if (!arriving && now - lastByteMs < timing.gapMs)
            broken("a short frame ended before the gap", now);
        missed = 0;
        const bool answers = onLine && first.order > onLine->order;
        if (event.command != 0) {
            if (!onLine || event.command != onLine->command)
                broken("a frame answered a command that was not on the line", now);
            if (!answers)
                broken("a frame answered a command written after its first byte arrived", now);
            if (event.role != meter::replyKindFor(event.command))
                broken("an answer not in its command's role", now);
            onLine.reset();
            answered = true;
            return;
        }
        if (answers)
            broken("a frame after the command on the line did not answer it", now);
        const std::optional<meter::ReplyKind> role =
            lastWritten ? std::optional<meter::ReplyKind>(meter::replyKindFor(*lastWritten)) : std::nullopt;
        if (event.role != role)
            broken("a frame that answered nothing not in the last command's role", now);
    }

    void checkState()
    {
        const std::optional<quint8> next = line.writable(now);
        // The second discipline gets the bytes of a run of deliveries at its end.
        if (toRecut.isEmpty()
            && (next != recut.writable(now) || line.nextWakeup() != recut.nextWakeup()
            || line.onLine() != recut.onLine() || line.queuedCount() != recut.queuedCount()
            || line.meterAnswered() != recut.meterAnswered() || line.missedInARow() != recut.missedInARow()))
            broken("the two disciplines' states differ", now);
        if (next && onLine)
            broken("a second command writable while one awaits its reply", now);
        if (line.onLine() != (onLine ? std::optional<quint8>(onLine->command) : std::nullopt))
            broken("onLine() is not the command written and not yet answered", now);
        if (line.queuedCount() != int(queued.size()))
            broken("queuedCount() is not what was queued and not written", now);
        if (line.meterAnswered() != answered || line.missedInARow() != missed)
            broken("answers or misses miscounted", now);
        if (!line.nextWakeup() && (onLine || !pending.empty() || (!queued.empty() && !next)))
            broken("something waits but there is no wakeup", now);
    }

    const LineDiscipline::Timing timing;
    LineDiscipline line;
    LineDiscipline recut;
    qint64 now = 0;
    quint64 order = 0;
    std::optional<Written> onLine;
    std::optional<quint8> lastWritten;
    std::vector<quint8> queued;
    std::deque<Byte> pending; // received, not yet in a frame
    bool answered = false;
    int missed = 0;
    QVector<LineEvent> fromLine;
    QByteArray toRecut;
    quint32 cutSeed = 0;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    tracing = std::getenv("ZERAK_FUZZ_TRACE") != nullptr;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    LineDiscipline::Timing timing;
    // Mostly the program's own timing; now and then the thresholds moved.
    const quint8 header = in.next();
    if (header >= 0xC0) {
        static const int gaps[] = {1, 10, 50, 200};
        static const int deadlines[] = {30, 100, 1000, 3000};
        static const int checks[] = {1, 10, 1000, 100000};
        timing.gapMs = gaps[header & 3];
        timing.deadlineMs = deadlines[(header >> 2) & 3];
        timing.checkEveryMs = checks[(header >> 4) & 3];
    }
    if (tracing && timing.checkEveryMs != 1000)
        trace("K" + std::to_string(timing.checkEveryMs));
    Script script(timing);
    script.run(in);
    if (tracing)
        std::fprintf(stderr, "\n");
    return 0;
}
