// SPDX-License-Identifier: MIT
#include "job/levelsweep.h"

#include "session/exitcode.h"
#include "session/readings.h"

namespace job {

LevelSweep::LevelSweep(session::MeterSession *session, int readingsPerWavelength, const QString &task,
                       const QString &rerun, QObject *parent)
    : QObject(parent),
      session(session),
      stepper(new session::WavelengthStepper(session, this)),
      perWavelength(readingsPerWavelength),
      task(task),
      rerun(rerun)
{
    connect(stepper, &session::WavelengthStepper::reached, this, &LevelSweep::reached);
    connect(stepper, &session::WavelengthStepper::failed, this, &LevelSweep::fail);
    connect(session, &session::MeterSession::readingTaken, this, &LevelSweep::sampled);
    connect(session, &session::MeterSession::wavelengthConfirmed, this, [this](quint16 nm) {
        if (!running || !askingCurrent)
            return;
        askingCurrent = false;
        levels = {WavelengthLevel{nm, {}}};
        measureAt(0);
    });
    connect(session, &session::MeterSession::failed, this, &LevelSweep::stop);
}

void LevelSweep::start(const QVector<quint16> &wavelengths)
{
    running = true;
    ++generation;
    levels.clear();
    for (quint16 nm : wavelengths)
        levels << WavelengthLevel{nm, {}};
    if (levels.isEmpty()) {
        askingCurrent = true;
        session->askWavelength();
        return;
    }
    measureAt(0);
}

void LevelSweep::stop()
{
    running = false;
    askingCurrent = false;
    measuring = false;
    ++generation;
    stepper->stop();
}

void LevelSweep::measureAt(int index)
{
    current = index;
    stepper->stepTo(levels.at(index).wavelengthNm);
}

void LevelSweep::reached(quint16 nanometres)
{
    if (!running)
        return;
    const auto ready = [this, asked = generation] {
        if (!running || asked != generation)
            return;
        measuring = true;
        session->takeReading();
    };
    if (prompt)
        prompt(nanometres, ready);
    else
        ready();
}

void LevelSweep::sampled(const meter::Frame &frame, quint16 wavelengthNm)
{
    if (!running || !measuring)
        return;
    const quint16 measuringNm = levels.at(current).wavelengthNm;
    if (frame.unitFlag != 0) {
        fail(session::exitBadArguments,
             QStringLiteral("the meter reports dB, a loss against its own stored reference; a %1 needs absolute "
                            "levels: switch the meter to dBm")
                 .arg(task));
        return;
    }
    if (wavelengthNm != measuringNm) {
        // Changed on the keypad meanwhile: these readings are not of that wavelength.
        fail(session::exitNoReply, QStringLiteral("the meter changed to %1 nm while measuring %2 nm; nothing was "
                                                  "saved: leave its keys alone and run %3 again")
                                       .arg(wavelengthNm)
                                       .arg(measuringNm)
                                       .arg(rerun));
        return;
    }
    session::ReadingStats &stats = levels[current].level;
    stats.add(session::levelOf(frame));
    if (stats.count() < perWavelength) {
        session->takeReading();
        return;
    }
    measuring = false;
    if (current + 1 < levels.size()) {
        measureAt(current + 1);
        return;
    }
    running = false;
    emit finished(levels);
}

void LevelSweep::fail(int exitCode, const QString &reason)
{
    if (!running)
        return;
    stop();
    emit failed(exitCode, reason);
}

} // namespace job
