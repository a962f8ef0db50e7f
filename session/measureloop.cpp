// SPDX-License-Identifier: MIT
#include "session/measureloop.h"

#include <QTimer>

#include <algorithm>
#include <climits>

namespace session {

namespace {

// Beyond the time a wavelength confirmation takes, for the scheduler's slack.
constexpr qint64 confirmationMarginMs = 200;

QTimer *preciseSingleShot(QObject *parent)
{
    auto *timer = new QTimer(parent);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    return timer;
}

} // namespace

MeasureLoop::MeasureLoop(MeterSession *session, const Schedule &schedule, const ReadingRules &rules, QObject *parent)
    : QObject(parent),
      session(session),
      schedule(schedule),
      rules(rules),
      nextReading(preciseSingleShot(this)),
      durationTimer(preciseSingleShot(this))
{
    connect(nextReading, &QTimer::timeout, this, &MeasureLoop::requestReading);
    // A reading asked for before the end is still taken.
    connect(durationTimer, &QTimer::timeout, this, [this] {
        durationOver = true;
        if (!inFlight)
            end();
    });
    connect(session, &MeterSession::readingTaken, this, &MeasureLoop::readingTaken);
    connect(session, &MeterSession::wavelengthConfirmed, this, &MeasureLoop::wavelengthConfirmed);
    connect(session, &MeterSession::failed, this, &MeasureLoop::stop);
}

void MeasureLoop::start()
{
    running = true;
    requestReading();
}

void MeasureLoop::stop()
{
    running = false;
    confirming = false;
    nextReading->stop();
    durationTimer->stop();
}

void MeasureLoop::end()
{
    if (!running)
        return;
    stop();
    emit finished();
}

void MeasureLoop::requestReading()
{
    if (confirmFirst) {
        confirmFirst = false;
        confirming = true;
        session->askWavelength();
        return;
    }
    inFlight = true;
    session->takeReading();
}

void MeasureLoop::wavelengthConfirmed()
{
    if (!running || !confirming)
        return;
    confirming = false;
    nextReading->start(int(std::max<qint64>(0, startedMs + slot * schedule.intervalMs - session->elapsedMs())));
}

void MeasureLoop::readingTaken(const meter::Frame &frame, quint16 wavelengthNm)
{
    if (!running)
        return;
    inFlight = false;
    const qint64 now = session->elapsedMs();
    const Reading reading = readingFrom(frame, wavelengthNm, rules, nowWithOffset(), count == 0 ? 0 : now - startedMs);
    if (count == 0) {
        startedMs = now; // the schedule and the duration count from the first reading
        if (schedule.durationMs)
            durationTimer->start(int(std::min<qint64>(*schedule.durationMs, INT_MAX)));
    }
    ++count;
    const bool last = (schedule.count > 0 && count >= schedule.count) || durationOver;
    emit measured(reading, last);
    if (!running)
        return;
    if (last) {
        end();
        return;
    }
    scheduleReading();
}

void MeasureLoop::scheduleReading()
{
    const qint64 now = session->elapsedMs();
    if (schedule.intervalMs == 0) {
        requestReading();
        return;
    }
    ++slot;
    const qint64 due = startedMs + slot * schedule.intervalMs;
    if (schedule.durationMs && due - startedMs >= *schedule.durationMs) {
        end();
        return;
    }
    const qint64 wait = due - now;
    // Time enough before the reading: ask the wavelength just ahead of it
    // rather than make the reading late. Asked any earlier, it would be a
    // second old again by the reading and asked twice.
    const qint64 lead = session->confirmationMs() + confirmationMarginMs;
    confirmFirst = wait > lead && session->confirmationAge() + wait > MeterSession::maxConfirmationAgeMs;
    nextReading->start(int(std::max<qint64>(0, confirmFirst ? wait - lead : wait)));
}

} // namespace session
