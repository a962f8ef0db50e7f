// SPDX-License-Identifier: MIT
#pragma once

// One meter on one port, asked one thing at a time through the meter link,
// trusting only whole replies in the role asked for. Every wait ends: after
// three faults in a row the session fails, saying what the line did.

#include "meter/meterlink.h"
#include "port/lineport.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>

#include <climits>
#include <optional>

class QTimer;

namespace session {

class MeterSession : public QObject
{
    Q_OBJECT

public:
    static constexpr int maxFaultsInARow = 3;
    // A wavelength confirmed longer ago is asked again before a reading, so a
    // change on the meter's keypad shows in the log.
    static constexpr int maxConfirmationAgeMs = 1000;

    MeterSession(const QString &portName, const meter::Timing &timing, QObject *parent = nullptr);

    std::optional<OpenFailure> open();
    void close();
    QString portName() const { return name; }
    qint64 elapsedMs() const { return clock.elapsed(); }

    // One at a time; each ends in wavelengthConfirmed(), readingTaken() or failed().
    void askWavelength();
    // 0x7B. When its reply is in doubt the meter is asked where it is instead:
    // stepped is then false, and the wavelength may be the one before.
    void stepWavelength();
    // confirmWavelength false: the 0x82 goes at once, however old the
    // confirmation, for a caller that reports no wavelength with the reading.
    void takeReading(bool confirmWavelength = true);
    // Nothing more is asked or signalled.
    void stop();
    // A reading that waits for a quiet line, taken now: the run ends.
    void takeHeldReading();
    std::optional<quint16> wavelength() const { return confirmed; }
    qint64 confirmationAge() const { return confirmed ? clock.elapsed() - confirmedAtMs : LLONG_MAX / 2; }
    // How long asking the wavelength takes: the meter's latency and the quiet behind its reply.
    qint64 confirmationMs() const { return latency + link->quietMs(); }

signals:
    void wavelengthConfirmed(quint16 nanometres, bool stepped);
    void readingTaken(const meter::Frame &frame, quint16 wavelengthNm);
    void failed(int exitCode, const QString &reason);

private:
    enum class Goal { None, Wavelength, Step, Reading };
    enum class Fault { NoReply, Late, Short, Implausible, NeverQuiet, OutOfStep };

    void ask(quint8 command);
    void replied(const meter::Reply &reply);
    void givenUp(const meter::GiveUp &giveUp);
    void quietKept();
    void lateWaitOver();
    void take(const meter::Frame &frame);
    void readDelivery();
    void fault(Fault kind);
    void retry();
    QString reason() const;
    void fail(int exitCode, const QString &reason);
    QString deadlineText() const;

    QString name;
    int deadline;
    QSerialPort *port;
    meter::MeterLink *link;
    QTimer *quietTimer;  // a wavelength, or a reading in doubt, is taken once the line stays quiet behind it
    QTimer *lateTimer;   // after a give-up: one deadline for the late reply
    QTimer *watchdog;   // whatever the link does, a request ends
    QElapsedTimer clock;

    Goal goal = Goal::None;
    quint8 asked = 0;         // the command whose reply is awaited
    bool stepInDoubt = false; // the step may have happened: ask where the meter is
    std::optional<quint16> candidate;
    std::optional<meter::Frame> heldReading;
    bool holdingForQuiet = false; // else only until the end of its delivery
    std::optional<quint8> lastUnit;
    std::optional<quint16> confirmed;
    qint64 confirmedAtMs = 0;
    qint64 latency = 0; // of the last reply in time

    int faults = 0;
    Fault lastFault = Fault::NoReply;
    int shortFrames = 0;
    qint64 lateMs = 0;
    int strayFrames = 0;
    quint16 implausibleNm = 0;
    bool writeFailed = false;
};

} // namespace session
