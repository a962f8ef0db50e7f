// SPDX-License-Identifier: MIT
// libFuzzer target for the meter link. Each input is a script for a meter
// and its line: commands sent, time passing, how the meter answers (at once,
// within the write's wait, after a while, late, never, in pieces, in two
// bytes), frames that answer nothing, a stalled line, a reopened port. The
// real MeterLink runs it over a scripted device, its timer fired when due on
// a clock the script sets; a second link gets the same bytes cut into other
// deliveries. Whatever breaks these promises prints what broke and traps:
//  - both links cut the same frames, however the bytes were grouped;
//  - no command is written while the one before awaits its reply;
//  - a reply of the meter is shown in its command's role or in none, never
//    in the other: always when it comes promptly, and when it comes within
//    two deadlines with no frame answering nothing and no command of the
//    other role written meanwhile;
//  - after a 0x7A unanswered on a silent line, where nothing has answered
//    since reset or three commands in a row went unanswered, nothing is
//    written until a frame arrives; after a given-up wavelength command no
//    power request goes until a wavelength reply;
//  - nothing is given up before its deadline; the timer runs whenever the
//    link waits for time, and its wakeups change something; left alone, the
//    line settles.
//
// ZERAK_FUZZ_TRACE=1 prints the script as it runs.

#include "meter/meterlink.h"
#include "support/scripteddevice.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

using namespace meter;

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

constexpr Timing timing{50, 1000};
constexpr int promptMs = 20; // well within the quiet a change of role waits for

class Script
{
public:
    Script()
    {
        for (Side *side : {&a, &b}) {
            side->link.setClock([this] { return now; });
            QObject::connect(&side->device, &QIODevice::readyRead, &side->link, &MeterLink::readAvailable);
            // What is written may differ: a write can fall between two pieces.
            QObject::connect(&side->link, &MeterLink::replyReceived,
                             [side](const Reply &reply) { side->frames += reply.bytes.toHex().toStdString() + " "; });
        }
        a.device.setOnWrite([this](char byte, bool inWrite) {
            ++writes;
            written(quint8(byte), inWrite);
        });
        QObject::connect(&a.link, &MeterLink::replyReceived, [this](const Reply &reply) { replied(reply); });
        QObject::connect(&a.link, &MeterLink::commandGivenUp, [this](const GiveUp &giveUp) { gaveUp(giveUp); });
    }

    void run(Input &in)
    {
        while (!in.atEnd())
            step(in.next(), in);
        tell();
        // Left alone, the line settles: each of the at most 16 commands queued
        // is written or given up within a few deadlines.
        const qint64 settleBy = now + 64 * timing.deadlineMs;
        while (now <= settleBy) {
            const std::optional<qint64> wakeup = a.link.nextWakeup();
            const std::optional<qint64> meter = nextMeterEvent();
            if (!wakeup && !meter)
                return;
            passTo(std::min(wakeup.value_or(*meter), meter.value_or(*wakeup)));
        }
        fail("the line never settles");
    }

private:
    struct Side
    {
        ScriptedDevice device;
        MeterLink link{&device, nullptr, timing};
        QTimer *timer = link.findChild<QTimer *>();
        std::string frames;
    };
    struct Fragment
    {
        QByteArray bytes;
        int source;
    };
    // What sent bytes to the link: the meter's reply to a command, or a stray.
    struct Source
    {
        bool stray;
        quint8 command;
        qint64 writtenMs;
        qint64 firstByteMs;
        int epoch;
        // A stray frame or a command of the other role came first, or part of
        // it went into a frame with other bytes.
        bool doubtMeanwhile = false;
    };
    struct Fed
    {
        char byte;
        int source;
        qint64 atMs;
    };

    [[noreturn]] void fail(const char *rule) const
    {
        std::fprintf(stderr, "\nbroken at %lld ms: %s\n", static_cast<long long>(now), rule);
        __builtin_trap();
    }

    // The device tells at last that held bytes have gone.
    void tell()
    {
        if (!untold)
            return;
        untold = false;
        trace("told");
        for (Side *side : {&a, &b})
            side->device.signalWritten();
        compare();
    }

    void step(quint8 op, Input &in)
    {
        if (op >> 4 != 3 && op >> 4 != 4 && op >> 4 != 5 && op >> 4 < 13)
            tell();
        switch (op >> 4) {
        case 0:
        case 1:
        case 2: {
            static const quint8 commands[] = {cmdMeasure, cmdQueryWavelength, cmdNextWavelength};
            const quint8 command = commands[op % 3];
            trace("R" + hex(command));
            a.link.send(command);
            b.link.send(command);
            compare();
            break;
        }
        case 3:
        case 4:
        case 5:
            passTo(now + 1 + (op & 0x0F) * (op >> 4 == 5 ? 60 : 4));
            break;
        case 6:
            latencyMode = op & 0x03;
            latencyPick = in.next();
            break;
        case 7:
            splitMode = op % 3;
            splitPick = in.next();
            break;
        case 8:
            twoByteWavelengths = op & 1;
            break;
        case 9: {
            QByteArray frame;
            for (int i = 0; i < frameSize; ++i)
                frame.append(char(in.next()));
            sources.push_back({true, 0, 0, -1, epoch});
            schedule(frame.left(1 + (op & 0x03)), now, int(sources.size()) - 1);
            break;
        }
        case 10:
            // Freed, the bytes leave; a serial port may tell so only later,
            // after the meter has answered them.
            trace(op & 1 ? "stall" : op & 2 ? "free-untold" : "free");
            for (Side *side : {&a, &b})
                op & 1 ? side->device.stall() : side->device.unstall(!(op & 2));
            untold = !(op & 1) && (op & 2);
            compare();
            break;
        case 11:
            if ((op & 0x0F) == 0)
                reopen();
            break;
        case 12:
            // A meter answering within the write's wait, where it overtakes nothing.
            if (duringWrite.isEmpty() && !replyPending()) {
                trace("Y");
                duringWrite = wavelengthFrame(quint16(1310 + (op & 0x0F)));
                a.device.answerDuringNextWrite(duringWrite);
            }
            break;
        default:
            passTo(now + 1 + op % 32);
            break;
        }
    }

    void reopen()
    {
        trace("C");
        ++epoch;
        for (Side *side : {&a, &b}) {
            side->device.reopen();
            side->link.reset();
        }
        fedCursor = fed.size(); // a half-received frame is dropped
        duringWrite.clear();
        untold = false;
        awaiting = false;
        halted = false;
        catchUpOwed = false;
        answeredSinceReset = false;
        missedInARow = 0;
        compare();
    }

    std::optional<qint64> nextMeterEvent() const
    {
        if (meterQueue.empty())
            return std::nullopt;
        return meterQueue.begin()->first;
    }

    bool replyPending() const
    {
        return std::any_of(meterQueue.begin(), meterQueue.end(),
                           [this](const auto &scheduled) { return !sources[size_t(scheduled.second.source)].stray; });
    }

    // Runs the clock to t: the meter's bytes and the links' timers, in order.
    void passTo(qint64 t)
    {
        for (int guard = 0;; ++guard) {
            if (guard > 100000)
                fail("time does not move on");
            std::optional<qint64> due = nextMeterEvent();
            const std::optional<qint64> wakeup = a.link.nextWakeup();
            if (wakeup && (!due || *wakeup < *due))
                due = wakeup;
            if (!due || *due > t)
                break;
            now = std::max(now, *due);
            if (nextMeterEvent() && *nextMeterEvent() <= now) {
                deliver();
                tell();
                continue;
            }
            trace("@" + std::to_string(now) + " A");
            const std::string before = a.frames + std::to_string(writes) + std::to_string(givenUp);
            for (Side *side : {&a, &b}) {
                side->timer->stop(); // as a single-shot timer does when it fires
                QMetaObject::invokeMethod(side->timer, "timeout");
            }
            compare();
            const std::optional<qint64> after = a.link.nextWakeup();
            if (after && *after <= now && a.frames + std::to_string(writes) + std::to_string(givenUp) == before)
                fail("a wakeup that changes nothing");
            tell();
        }
        now = std::max(now, t);
    }

    void deliver()
    {
        const auto first = meterQueue.begin();
        const Fragment fragment = first->second;
        meterQueue.erase(first);
        trace("@" + std::to_string(now) + " D" + fragment.bytes.toHex().toStdString());
        Source &source = sources[size_t(fragment.source)];
        if (source.firstByteMs < 0)
            source.firstByteMs = now;
        if (source.stray)
            doubt([](const Source &) { return true; });
        for (char byte : fragment.bytes)
            fed.push_back({byte, fragment.source, now});
        // The other link gets the same bytes at the same moment, cut in two,
        // and first: what this one's writes bring comes after them.
        const int cut = fragment.bytes.size() > 1 ? 1 + fragment.source % (fragment.bytes.size() - 1) : 0;
        b.device.arrive(fragment.bytes.left(cut));
        emit b.device.readyRead();
        b.device.arrive(fragment.bytes.mid(cut));
        emit b.device.readyRead();
        a.device.arrive(fragment.bytes);
        emit a.device.readyRead();
        compare();
    }

    void compare()
    {
        if (a.frames != b.frames) {
            std::fprintf(stderr, "\n%s\n%s", a.frames.c_str(), b.frames.c_str());
            fail("the links cut different frames from the same bytes");
        }
        if (a.link.nextWakeup() && !a.timer->isActive())
            fail("the link waits for time with no timer running");
    }

    // Replies not yet begun are in doubt from here on, where the rule says so.
    template <typename Rule>
    void doubt(Rule rule)
    {
        for (Source &source : sources)
            if (!source.stray && source.firstByteMs < 0 && rule(source))
                source.doubtMeanwhile = true;
    }

    // The meter hears a command as its byte leaves the device.
    void written(quint8 command, bool inWrite)
    {
        trace("W" + hex(command));
        if (awaiting)
            fail("a command written while the one before awaits its reply");
        if (halted)
            fail("a command written after an unanswered 0x7A on a silent line");
        if (catchUpOwed && command == cmdMeasure)
            fail("a power request before the wavelength was asked again");
        awaiting = true;
        lastWrittenMs = now;
        if (command == cmdQueryWavelength)
            frameSinceQuery = false;
        doubt([command](const Source &source) { return replyKindFor(source.command) != replyKindFor(command); });
        sources.push_back({false, command, now, -1, epoch});
        const int source = int(sources.size()) - 1;
        if (!duringWrite.isEmpty() && inWrite) {
            // Handed to the link inside this write's wait.
            sources.back().firstByteMs = now;
            for (char byte : duringWrite)
                fed.push_back({byte, source, now});
            // The other link, whose writes may fall elsewhere, gets them now.
            b.device.arrive(duringWrite);
            emit b.device.readyRead();
            duringWrite.clear();
            lastReplyMs = now;
            return;
        }
        if (latencyMode == 3)
            return; // never answered
        const qint64 latency = latencyMode == 0   ? latencyPick % (promptMs + 1)
                               : latencyMode == 1 ? latencyPick % 200
                                                  : timing.deadlineMs + 1 + (latencyPick * 7) % (timing.deadlineMs - 1);
        // A meter answers in order: a reply waits for the one before.
        const qint64 at = std::max(now + latency, lastReplyMs);
        lastReplyMs = at;
        QByteArray reply = replyKindFor(command) == ReplyKind::Power ? powerFrame(1500 + command, true, false)
                                                                     : wavelengthFrame(1310);
        if (twoByteWavelengths && replyKindFor(command) == ReplyKind::Wavelength)
            reply = reply.left(2);
        if (splitMode == 0) {
            schedule(reply, at, source);
            return;
        }
        // In two pieces: within the gap (one frame), or beyond it and within two.
        const int cut = 1 + splitPick % (reply.size() - 1);
        const qint64 pause = splitMode == 1 ? splitPick % timing.gapMs : timing.gapMs + 1 + splitPick % (timing.gapMs - 1);
        schedule(reply.left(cut), at, source);
        schedule(reply.mid(cut), at + pause, source);
    }

    void schedule(const QByteArray &bytes, qint64 at, int source)
    {
        // Later bytes never overtake earlier ones on a line.
        const qint64 when = std::max(at, meterQueue.empty() ? at : meterQueue.rbegin()->first);
        meterQueue.insert({when, {bytes, source}});
    }

    void replied(const Reply &reply)
    {
        trace(reply.role ? (reply.late ? "L" : "=") + hex(reply.command) : std::string("?"));
        if (reply.command != 0)
            awaiting = false;
        halted = false;
        frameSinceQuery = true;
        answeredSinceReset = true;
        missedInARow = 0;
        if (reply.role == ReplyKind::Wavelength)
            catchUpOwed = false;
        if (reply.bytes.isEmpty() || fedCursor + size_t(reply.bytes.size()) > fed.size())
            fail("a frame of bytes never received");
        const int source = fed[fedCursor].source;
        const qint64 firstByteMs = fed[fedCursor].atMs;
        bool oneSource = true;
        for (int i = 0; i < reply.bytes.size(); ++i)
            oneSource = oneSource && fed[fedCursor + size_t(i)].source == source;
        // Replies cut across such a frame are out of step: the rest of them is not promised.
        for (int i = 0; !oneSource && i < reply.bytes.size(); ++i)
            sources[size_t(fed[fedCursor + size_t(i)].source)].doubtMeanwhile = true;
        fedCursor += size_t(reply.bytes.size());
        const Source &from = sources[size_t(source)];
        if (!oneSource || from.stray || !reply.role || from.epoch != epoch)
            return;
        const qint64 latency = firstByteMs - from.writtenMs; // of this part of the reply
        const bool promised = latency <= promptMs || (latency < 2 * timing.deadlineMs && !from.doubtMeanwhile);
        if (promised && *reply.role != replyKindFor(from.command))
            fail("a reply shown in the role of another command");
    }

    void gaveUp(const GiveUp &giveUp)
    {
        trace((giveUp.written ? "X" : "Q") + hex(giveUp.command));
        ++givenUp;
        ++missedInARow;
        if (!giveUp.written)
            return;
        if (now - lastWrittenMs < timing.deadlineMs)
            fail("given up before its deadline");
        awaiting = false;
        if (replyKindFor(giveUp.command) == ReplyKind::Wavelength && answeredSinceReset)
            catchUpOwed = true;
        // A meter that has answered is asked again, three times in a row at most.
        if (giveUp.command == cmdQueryWavelength && !frameSinceQuery && (!answeredSinceReset || missedInARow >= 3))
            halted = true;
    }

    Side a;
    Side b;
    qint64 now = 0;
    std::multimap<qint64, Fragment> meterQueue;
    qint64 lastReplyMs = 0;
    std::vector<Source> sources;
    std::vector<Fed> fed;
    size_t fedCursor = 0;
    qint64 lastWrittenMs = 0;
    int epoch = 0;
    bool awaiting = false;
    bool halted = false;
    bool catchUpOwed = false;
    bool answeredSinceReset = false;
    int missedInARow = 0;
    bool frameSinceQuery = false; // a frame arrived since the last 0x7A was written
    int latencyMode = 0;
    quint8 latencyPick = 0;
    int splitMode = 0;
    quint8 splitPick = 0;
    bool twoByteWavelengths = false;
    QByteArray duringWrite;
    bool untold = false; // held bytes have left, and the devices have not said so
    int writes = 0;
    int givenUp = 0;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // The link's timer needs an event dispatcher, though it never runs.
    static QCoreApplication app(*argc, *argv);
    tracing = std::getenv("ZERAK_FUZZ_TRACE") != nullptr;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    Script script;
    script.run(in);
    trace("\n");
    return 0;
}
