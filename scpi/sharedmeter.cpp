// SPDX-License-Identifier: MIT
#include "scpi/sharedmeter.h"

#include "scpi/errors.h"

#include "port/lineport.h"
#include "session/exitcode.h"
#include "session/metersession.h"
#include "session/readings.h"
#include "session/stepper.h"

#include <QPointer>
#include <QTimer>

#include <algorithm>

namespace scpi {

class SharedMeter::Client : public Instrument
{
public:
    Client(SharedMeter *meter, quint64 id) : meter(meter), id(id) {}
    ~Client() override
    {
        if (meter)
            meter->forget(id);
    }

    void start(Operation operation, quint16 nanometres, Done done) override
    {
        if (!meter) {
            Outcome gone;
            gone.error = hardwareMissing;
            done(gone);
            return;
        }
        meter->submit({id, operation, nanometres, std::move(done)});
    }

    Outcome latest() const override
    {
        if (meter)
            return meter->latest();
        Outcome gone;
        gone.error = hardwareMissing;
        return gone;
    }

    void setContinuous(bool on) override
    {
        if (meter)
            meter->setContinuous(id, on);
    }

private:
    QPointer<SharedMeter> meter;
    quint64 id;
};

SharedMeter::SharedMeter(const QString &portName, const meter::Timing &timing, QObject *parent)
    : QObject(parent), name(portName), timing(timing), reopenTimer(new QTimer(this))
{
    clock.start();
    reopenTimer->setInterval(reopenEveryMs);
    QObject::connect(reopenTimer, &QTimer::timeout, this, &SharedMeter::tryReopen);
    build();
}

SharedMeter::~SharedMeter() = default;

void SharedMeter::build()
{
    meterSession = new session::MeterSession(name, timing, this);
    stepper = new session::WavelengthStepper(meterSession, this);
    using session::MeterSession;
    using session::WavelengthStepper;
    QObject::connect(meterSession, &MeterSession::readingTaken, this, [this](const meter::Frame &frame, quint16) {
        if (!busy || running.first().operation != Operation::Measure)
            return;
        last = Reading{session::levelOf(frame), frame.unitFlag != 0, 0};
        lastAtMs = clock.elapsed();
        Outcome outcome;
        outcome.reading = last;
        finish(outcome);
    });
    // Steps confirm wavelengths too: those are the stepper's.
    QObject::connect(meterSession, &MeterSession::wavelengthConfirmed, this, [this](quint16 nanometres, bool) {
        if (!busy || running.first().operation != Operation::QueryWavelength)
            return;
        Outcome outcome;
        outcome.wavelengthNm = nanometres;
        finish(outcome);
    });
    QObject::connect(meterSession, &MeterSession::failed, this, &SharedMeter::failed);
    QObject::connect(stepper, &WavelengthStepper::reached, this, [this](quint16 nanometres) {
        Outcome outcome;
        outcome.wavelengthNm = nanometres;
        finish(outcome);
    });
    QObject::connect(stepper, &WavelengthStepper::surveyed, this, [this](QVector<quint16> wavelengths) {
        std::sort(wavelengths.begin(), wavelengths.end());
        offered = wavelengths;
        Outcome outcome;
        outcome.wavelengths = wavelengths;
        finish(outcome);
    });
    QObject::connect(stepper, &WavelengthStepper::failed, this, &SharedMeter::failed);
}

std::optional<OpenFailure> SharedMeter::open()
{
    return meterSession->open();
}

std::unique_ptr<Instrument> SharedMeter::connect()
{
    return std::make_unique<Client>(this, nextClient++);
}

void SharedMeter::submit(Request request)
{
    if (!present) {
        Outcome missing;
        missing.error = hardwareMissing;
        request.done(missing);
        return;
    }
    queue.append(std::move(request));
    scheduleAdvance();
}

void SharedMeter::forget(quint64 client)
{
    queue.erase(std::remove_if(queue.begin(), queue.end(), [client](const Request &r) { return r.client == client; }),
                queue.end());
    for (Request &request : running) {
        if (request.client == client)
            request.done = nullptr;
    }
    continuous.remove(client);
}

void SharedMeter::setContinuous(quint64 client, bool on)
{
    if (on)
        continuous.insert(client);
    else
        continuous.remove(client);
    scheduleAdvance();
}

Outcome SharedMeter::latest() const
{
    Outcome outcome;
    if (!present)
        outcome.error = hardwareMissing;
    if (last) {
        outcome.reading = last;
        outcome.reading->ageMs = clock.elapsed() - lastAtMs;
    }
    return outcome;
}

// From the event loop, never from inside a signal of the session or the
// stepper: one of theirs may still be on its way to a slot.
void SharedMeter::scheduleAdvance()
{
    if (advanceScheduled)
        return;
    advanceScheduled = true;
    QMetaObject::invokeMethod(this, &SharedMeter::advance, Qt::QueuedConnection);
}

void SharedMeter::advance()
{
    advanceScheduled = false;
    if (busy || !present)
        return;
    if (queue.isEmpty()) {
        if (continuous.isEmpty())
            return;
        queue.append({0, Operation::Measure, 0, nullptr});
    }
    running = {queue.takeFirst()};
    // Every reading asked for by now is asked for before the 0x82 goes out.
    if (running.first().operation == Operation::Measure) {
        while (!queue.isEmpty() && queue.first().operation == Operation::Measure)
            running.append(queue.takeFirst());
    }
    busy = true;
    const Request &head = running.first();
    const bool confirmed = meterSession->wavelength()
                           && meterSession->confirmationAge() < session::MeterSession::maxConfirmationAgeMs;
    Outcome known;
    switch (head.operation) {
    case Operation::Measure:
        // No answer tells the reading's wavelength: asking it first would
        // only hold the reading up.
        meterSession->takeReading(false);
        return;
    case Operation::QueryWavelength:
        if (!confirmed) {
            meterSession->askWavelength();
            return;
        }
        known.wavelengthNm = *meterSession->wavelength();
        break;
    case Operation::SetWavelength:
        if (!offered.isEmpty() && !offered.contains(head.nanometres)) {
            known.error = dataOutOfRange;
            break;
        }
        if (!confirmed || *meterSession->wavelength() != head.nanometres) {
            stepper->stepTo(head.nanometres);
            return;
        }
        known.wavelengthNm = head.nanometres;
        break;
    case Operation::ListWavelengths:
        if (offered.isEmpty()) {
            stepper->survey();
            return;
        }
        known.wavelengths = offered;
        break;
    }
    finish(known);
}

void SharedMeter::finish(const Outcome &outcome)
{
    if (!busy)
        return;
    const QVector<Request> done = running;
    running.clear();
    busy = false;
    if (!outcome.error)
        lastTrouble.clear();
    for (const Request &request : done) {
        if (request.done)
            request.done(outcome);
    }
    scheduleAdvance();
}

void SharedMeter::failed(int exitCode, const QString &reason)
{
    if (exitCode == session::exitDeviceLost) {
        lost();
        return;
    }
    const int code = exitCode == session::exitNoSuchWavelength ? int(dataOutOfRange) : int(hardwareError);
    // A wavelength the meter does not offer is the asker's business.
    if (code == hardwareError && reason != lastTrouble) {
        lastTrouble = reason;
        emit trouble(reason, code);
    }
    Outcome outcome;
    outcome.error = code;
    finish(outcome);
}

void SharedMeter::lost()
{
    if (!present)
        return;
    present = false;
    offered.clear();
    last.reset();
    lastTrouble.clear();
    // Closed from the event loop: this may run inside the port's own signal.
    meterSession->stop();
    stepper->stop();
    meterSession->disconnect(this);
    stepper->disconnect(this);
    QPointer<session::MeterSession> gone(meterSession);
    QTimer::singleShot(0, this, [gone] {
        if (gone) {
            gone->close();
            gone->deleteLater();
        }
    });
    stepper->deleteLater();
    meterSession = nullptr;
    stepper = nullptr;
    emit unplugged();
    reopenTimer->start();
    const QVector<Request> waiting = running + queue;
    running.clear();
    queue.clear();
    busy = false;
    Outcome missing;
    missing.error = hardwareMissing;
    for (const Request &request : waiting) {
        if (request.done)
            request.done(missing);
    }
}

// A new session for the meter that came back: nothing known of the old one
// holds for it.
void SharedMeter::tryReopen()
{
    if (!meterSession)
        build();
    if (meterSession->open())
        return;
    reopenTimer->stop();
    present = true;
    emit pluggedIn();
    scheduleAdvance();
}

} // namespace scpi
