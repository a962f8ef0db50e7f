// SPDX-License-Identifier: MIT
#pragma once

// Readings on a schedule through a MeterSession: reading k at start +
// k * interval, whatever each took, a late one followed at once by the next
// until the schedule is kept again; the wavelength confirmed just ahead of a
// reading rather than making it late. It judges each reading and hands it
// on; what becomes of it is the caller's.

#include "session/metersession.h"
#include "session/readings.h"

#include <QObject>

#include <optional>

class QTimer;

namespace session {

struct Schedule
{
    qint64 count = 0;     // 0: until stopped
    int intervalMs = 1000; // 0: as fast as the meter answers
    std::optional<qint64> durationMs; // from the first reading; one asked for by then is taken
};

class MeasureLoop : public QObject
{
    Q_OBJECT

public:
    MeasureLoop(MeterSession *session, const Schedule &schedule, const ReadingRules &rules, QObject *parent = nullptr);

    void start(); // the first reading is asked for now
    void stop();  // nothing more is asked or handed on
    qint64 taken() const { return count; }

signals:
    // last: the count or the duration is reached; finished() follows unless
    // the receiver stopped the loop.
    void measured(const Reading &reading, bool last);
    void finished();

private:
    void readingTaken(const meter::Frame &frame, quint16 wavelengthNm);
    void wavelengthConfirmed();
    void scheduleReading();
    void requestReading();
    void end();

    MeterSession *session;
    Schedule schedule;
    ReadingRules rules;
    QTimer *nextReading;
    QTimer *durationTimer;
    bool running = false;
    qint64 count = 0;
    qint64 startedMs = -1;
    qint64 slot = 0;
    bool inFlight = false;     // a reading asked for and not yet taken
    bool confirmFirst = false; // the next timeout asks the wavelength, then waits for the reading's time
    bool confirming = false;   // that wavelength asked for
    bool durationOver = false;
};

} // namespace session
