// SPDX-License-Identifier: MIT
#pragma once

// What the SCPI commands ask of the meter. An operation takes one or more
// round trips on the line, so it completes later, through its callback; an
// implementation may also complete it before start() returns. The server
// gives each client one of these over the meter they all share.

#include <QVector>

#include <functional>
#include <optional>

namespace scpi {

struct Reading
{
    int hundredths = 0;    // signed, as the meter shows it: dBm, or dB in its own relative mode
    bool decibel = false;  // the meter's own relative mode
    qint64 ageMs = 0;      // since it was taken
};

enum class Operation {
    Measure,         // a new reading, asked for after the operation started
    QueryWavelength, // the wavelength the meter is at
    SetWavelength,   // step the meter to a wavelength
    ListWavelengths, // the wavelengths it offers
};

struct Outcome
{
    // 0, or what went wrong as a standard code: -222 a wavelength the meter
    // does not offer, -240 no usable answer, -241 the meter is unplugged.
    int error = 0;
    std::optional<Reading> reading;
    quint16 wavelengthNm = 0;
    QVector<quint16> wavelengths; // ascending
};

class Instrument
{
public:
    using Done = std::function<void(const Outcome &)>;

    virtual ~Instrument() = default;
    // done runs exactly once. nanometres: for SetWavelength.
    virtual void start(Operation operation, quint16 nanometres, Done done) = 0;
    // The last reading the meter gave anyone, at once: error -241 while it is
    // unplugged; no reading when there is none.
    virtual Outcome latest() const = 0;
    // Keep taking readings, one after another, while on.
    virtual void setContinuous(bool on) = 0;
};

} // namespace scpi
