// SPDX-License-Identifier: MIT
#include "session/stepper.h"

#include "session/exitcode.h"

#include <QStringList>

#include <algorithm>

namespace session {

WavelengthStepper::WavelengthStepper(MeterSession *session, QObject *parent) : QObject(parent), session(session)
{
    connect(session, &MeterSession::wavelengthConfirmed, this, &WavelengthStepper::confirmed);
    connect(session, &MeterSession::failed, this, &WavelengthStepper::stop);
}

QString WavelengthStepper::listText(QVector<quint16> wavelengths)
{
    std::sort(wavelengths.begin(), wavelengths.end());
    QStringList texts;
    for (quint16 nm : wavelengths)
        texts << QString::number(nm);
    return texts.join(QStringLiteral(", "));
}

void WavelengthStepper::stepTo(quint16 nanometres)
{
    target = nanometres;
    start(Mode::To);
}

void WavelengthStepper::stepOnce()
{
    start(Mode::Once);
}

void WavelengthStepper::survey()
{
    start(Mode::Survey);
}

void WavelengthStepper::stop()
{
    mode = Mode::None;
}

// Known first, so that a step whose reply was in doubt can be told from one
// not taken, and the end of a cycle from its start.
void WavelengthStepper::start(Mode next)
{
    mode = next;
    seen.clear();
    before.reset();
    steps = 0;
    session->askWavelength();
}

void WavelengthStepper::confirmed(quint16 nanometres, bool stepped)
{
    if (mode == Mode::None)
        return;
    if (mode == Mode::Once) {
        if (!before) {
            before = nanometres;
        } else if (stepped || nanometres != *before || ++steps >= MeterSession::maxFaultsInARow) {
            end();
            emit reached(nanometres);
            return;
        }
        session->stepWavelength();
        return;
    }
    // A step in doubt that left the meter where it was: step again.
    if (seen.isEmpty() || stepped || nanometres != seen.last())
        seen << nanometres;
    advance();
}

void WavelengthStepper::advance()
{
    const quint16 at = seen.last();
    if (mode == Mode::To && at == target) {
        end();
        emit reached(at);
        return;
    }
    // Back where it began: the meter went through all it offers.
    if (seen.size() > 1 && at == seen.first()) {
        seen.removeLast();
        const Mode was = mode;
        end();
        if (was == Mode::Survey)
            emit surveyed(seen);
        else
            emit failed(exitNoSuchWavelength,
                        QStringLiteral("the meter offers %1 nm; not %2").arg(listText(seen)).arg(target));
        return;
    }
    if (++steps > maxSteps) {
        const Mode was = mode;
        end();
        if (was == Mode::Survey)
            emit failed(exitNoReply, QStringLiteral("the meter reported %1 nm over %2 steps, never %3 nm again")
                                         .arg(listText(seen))
                                         .arg(maxSteps)
                                         .arg(seen.first()));
        else
            emit failed(exitNoSuchWavelength, QStringLiteral("the meter reported %1 nm over %2 steps, never %3 nm")
                                                  .arg(listText(seen))
                                                  .arg(maxSteps)
                                                  .arg(target));
        return;
    }
    session->stepWavelength();
}

void WavelengthStepper::end()
{
    mode = Mode::None;
}

} // namespace session
