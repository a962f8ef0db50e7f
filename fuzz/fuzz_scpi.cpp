// SPDX-License-Identifier: MIT
// libFuzzer target for the SCPI conversation of one client. The first byte
// sets the fake meter: bit 0 it answers only when told, bits 1-2 how its
// operations fail (not, -240, -241, a code of no standard), bit 3 its
// readings are dB, bit 4 a last reading exists, bit 5 that one is stale. The
// rest is what the client sends, where byte 0x01 ends a delivery and lets
// the meter complete its oldest operation, 0x02 ends one and the client goes
// quiet, 0x03 lets the meter complete everything. Whatever breaks these
// promises prints what broke and traps:
//  - every response is printable ASCII ending in its one '\n';
//  - the error queue never holds more than 20 entries, each a standard code;
//  - the meter is asked one thing at a time, each operation completed once;
//  - once the meter has answered everything, a client that ends its line
//    and asks gets its answer: nothing is left waiting or stuck.

#include "scpi/interpreter.h"

#include <cstdint>
#include <cstdio>
#include <deque>

using namespace scpi;

namespace {

[[noreturn]] void fail(const char *rule)
{
    std::fprintf(stderr, "\nbroken: %s\n", rule);
    __builtin_trap();
}

class Meter : public Instrument
{
public:
    explicit Meter(quint8 mode) : mode(mode) {}

    void start(Operation operation, quint16 nanometres, Done done) override
    {
        if (!pending.empty())
            fail("an operation started while another was out");
        pending.push_back([this, operation, nanometres, done] {
            Outcome o;
            static const int failures[] = {0, hardwareError, hardwareMissing, -7};
            o.error = failures[(mode >> 1) & 3];
            if (operation == Operation::Measure)
                o.reading = Reading{-1234, (mode & 8) != 0, 0};
            if (operation == Operation::ListWavelengths)
                o.wavelengths = {850, 1310, 1550};
            o.wavelengthNm = 1310;
            if (operation == Operation::SetWavelength && nanometres != 850 && nanometres != 1310 && nanometres != 1550)
                o.error = dataOutOfRange;
            done(o);
        });
        if (!(mode & 1))
            completeOne();
    }

    Outcome latest() const override
    {
        Outcome o;
        if (((mode >> 1) & 3) == 2)
            o.error = hardwareMissing;
        if (mode & 16)
            o.reading = Reading{250, (mode & 8) != 0, (mode & 32) ? 5000 : 10};
        return o;
    }

    void setContinuous(bool) override {}

    bool completeOne()
    {
        if (pending.empty())
            return false;
        const std::function<void()> next = pending.front();
        pending.pop_front();
        next();
        return true;
    }

private:
    quint8 mode;
    std::deque<std::function<void()>> pending;
};

void checkQueue(const Interpreter &interpreter)
{
    const QVector<int> &codes = interpreter.errorQueue().codes();
    if (codes.size() > ErrorQueue::capacity)
        fail("more than 20 errors queued");
    for (const int code : codes) {
        if (code == 0 || !isKnownError(code))
            fail("a code that is no standard error");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    Meter meter(data[0]);
    Interpreter interpreter(meter, "1.0");
    QByteArrayList responses;
    QObject::connect(&interpreter, &Interpreter::response, [&responses](const QByteArray &message) {
        if (message.isEmpty() || !message.endsWith('\n') || message.count('\n') != 1)
            fail("a response not ending in its one newline");
        for (int k = 0; k + 1 < message.size(); ++k) {
            if (quint8(message.at(k)) < 0x20 || quint8(message.at(k)) > 0x7E)
                fail("a response byte outside printable ASCII");
        }
        responses.append(message);
    });

    QByteArray delivery;
    for (size_t k = 1; k < size; ++k) {
        const char c = char(data[k]);
        if (c < 1 || c > 3) {
            delivery.append(c);
            continue;
        }
        interpreter.feed(delivery);
        delivery.clear();
        checkQueue(interpreter);
        if (c == 1)
            meter.completeOne();
        else if (c == 2)
            interpreter.inputStalled();
        else
            while (meter.completeOne()) {}
        checkQueue(interpreter);
    }
    interpreter.feed(delivery);
    checkQueue(interpreter);
    while (meter.completeOne())
        checkQueue(interpreter);
    if (interpreter.isWaiting())
        fail("waiting for a meter that has answered everything");

    // Whatever came before, once its line has ended, the client is answered.
    interpreter.feed("\n");
    while (meter.completeOne()) {}
    responses.clear();
    interpreter.feed("*CLS;SYST:ERR:COUN?\n");
    if (responses != QByteArrayList{"0\n"})
        fail("a client asking after it all is not answered");
    return 0;
}
