// SPDX-License-Identifier: MIT
#pragma once

// The one meter that every client of the server drives, through one
// session: requests in the order they arrive, one on the line at a time.
// Readings asked for by several clients before the same 0x82 went out share
// its reply; none is ever answered from a reading asked for before it came.
// When the meter is unplugged every request answers -241 at once, and the
// port is looked for until it can be opened again.

#include "scpi/instrument.h"

#include "meter/meterlink.h"
#include "port/lineport.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QVector>

#include <memory>
#include <optional>

class QTimer;

namespace session {
class MeterSession;
class WavelengthStepper;
}

namespace scpi {

class SharedMeter : public QObject
{
    Q_OBJECT

public:
    static constexpr int reopenEveryMs = 500;

    SharedMeter(const QString &portName, const meter::Timing &timing, QObject *parent = nullptr);
    ~SharedMeter() override;

    std::optional<OpenFailure> open();
    QString portName() const { return name; }
    bool isPresent() const { return present; }

    // One client's view. Destroyed with the client: what it queued is
    // dropped, what it has on the meter finishes for nobody else's harm.
    std::unique_ptr<Instrument> connect();

signals:
    void unplugged();
    void pluggedIn();
    // What went wrong with a request, as the session tells it, with the
    // code the clients were answered. Not repeated while it stays the same.
    void trouble(const QString &reason, int code);

private:
    class Client;
    struct Request
    {
        quint64 client = 0; // 0: the meter's own, for continuous readings
        Operation operation = Operation::Measure;
        quint16 nanometres = 0;
        Instrument::Done done;
    };

    void submit(Request request);
    void forget(quint64 client);
    void setContinuous(quint64 client, bool on);
    Outcome latest() const;

    void build();
    void scheduleAdvance();
    void advance();
    void finish(const Outcome &outcome);
    void failed(int exitCode, const QString &reason);
    void lost();
    void tryReopen();

    QString name;
    meter::Timing timing;
    session::MeterSession *meterSession = nullptr; // a new one for each meter plugged in
    session::WavelengthStepper *stepper = nullptr;
    QTimer *reopenTimer;
    QElapsedTimer clock;
    bool present = true;

    QVector<Request> queue;
    QVector<Request> running; // on the meter now: one request, or readings that share one reply
    bool busy = false;
    bool advanceScheduled = false;
    quint64 nextClient = 1;
    QSet<quint64> continuous;

    std::optional<Reading> last;
    qint64 lastAtMs = 0;
    QVector<quint16> offered; // learnt once around; forgotten when the meter goes
    QString lastTrouble;
};

} // namespace scpi
