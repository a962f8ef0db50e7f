// SPDX-License-Identifier: MIT
#pragma once

// The measuring of a reference or a loss test: for each wavelength, step the
// meter to it, have the cord or the link connected, take N readings. Only
// dBm readings at the wavelength being measured count: a meter switched to
// dB, or stepped on its keypad meanwhile, ends the sweep.

#include "job/losstest.h"
#include "session/metersession.h"
#include "session/stepper.h"

#include <QObject>
#include <QVector>

#include <functional>

namespace job {

class LevelSweep : public QObject
{
    Q_OBJECT

public:
    // Asked before the readings at each wavelength; the readings start once
    // ready() is called. Without one they start at once.
    using Prompt = std::function<void(quint16 nanometres, std::function<void()> ready)>;

    // task: "reference" or "loss test", as a failure names it; rerun: the
    // command that would take it again, e.g. "reference".
    LevelSweep(session::MeterSession *session, int readingsPerWavelength, const QString &task, const QString &rerun,
               QObject *parent = nullptr);

    void setPrompt(Prompt prompt) { this->prompt = std::move(prompt); }
    // Ends in finished() or failed(), unless the session fails first. No
    // wavelengths: the meter's current one.
    void start(const QVector<quint16> &wavelengths);
    void stop();

signals:
    void finished(const QVector<job::WavelengthLevel> &levels);
    void failed(int exitCode, const QString &reason);

private:
    void measureAt(int index);
    void reached(quint16 nanometres);
    void sampled(const meter::Frame &frame, quint16 wavelengthNm);
    void fail(int exitCode, const QString &reason);

    session::MeterSession *session;
    session::WavelengthStepper *stepper;
    int perWavelength;
    QString task;
    QString rerun;
    Prompt prompt;
    QVector<WavelengthLevel> levels;
    int current = -1;
    bool running = false;
    bool askingCurrent = false; // the meter's wavelength asked for, to measure at
    bool measuring = false;     // readings asked for at levels[current]
    int generation = 0;         // a prompt answered after a stop is not for this sweep
};

} // namespace job
