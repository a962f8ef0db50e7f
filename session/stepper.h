// SPDX-License-Identifier: MIT
#pragma once

// Moves the meter between wavelengths through a MeterSession: to one asked
// for, one step on, or once around all it offers. The meter only steps to
// its next wavelength, so what it offers is learnt on the way.

#include "session/metersession.h"

#include <QObject>
#include <QVector>

#include <optional>

namespace session {

class WavelengthStepper : public QObject
{
    Q_OBJECT

public:
    // More steps than any meter has wavelengths: a meter reporting something
    // new on every step is not cycling.
    static constexpr int maxSteps = 32;

    explicit WavelengthStepper(MeterSession *session, QObject *parent = nullptr);

    // Each ends in reached(), surveyed() or failed(), unless the session fails first.
    void stepTo(quint16 nanometres); // exit 8 when a whole cycle passes without it
    void stepOnce();                 // the next wavelength, as 0x7B gives it
    void survey();                   // once around, back where the meter began
    void stop();
    // The wavelengths the meter went through, in its order, each once.
    QVector<quint16> offered() const { return seen; }
    // "850, 1310, 1550", sorted.
    static QString listText(QVector<quint16> wavelengths);

signals:
    void reached(quint16 nanometres);
    void surveyed(const QVector<quint16> &offered);
    void failed(int exitCode, const QString &reason);

private:
    enum class Mode { None, To, Once, Survey };
    void start(Mode mode);
    void confirmed(quint16 nanometres, bool stepped);
    void advance();
    void end();

    MeterSession *session;
    Mode mode = Mode::None;
    quint16 target = 0;
    QVector<quint16> seen;
    std::optional<quint16> before; // stepOnce: where the meter was
    int steps = 0;
};

} // namespace session
