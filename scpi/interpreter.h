// SPDX-License-Identifier: MIT
#pragma once

// One client's SCPI conversation: bytes in, response messages and an error
// queue out, no socket. Lines run one after another; a unit that needs the
// meter suspends its line until the instrument answers, so responses stay in
// the order of the queries. Each client has its own error queue, status
// bytes, unit and reference; the wavelength is the meter's.
//
// Two query errors, as close to IEEE 488.2's meaning as a socket allows:
//  -410 a new program message arrives while a query of the one before it
//       still waits for the meter: the client has stopped waiting for that
//       response (a read timed out, say), so it is thrown away and the
//       client reads the answer to what it asked next;
//  -420 text holding a query has come without its terminator and then
//       nothing for a while (inputStalled()): the client waits for a
//       response to a message that never ended; that text is dropped.

#include "scpi/errors.h"
#include "scpi/instrument.h"
#include "scpi/message.h"

#include <QByteArray>
#include <QObject>
#include <QQueue>

#include <memory>
#include <optional>
#include <vector>

namespace scpi {

class Interpreter : public QObject
{
    Q_OBJECT

public:
    static constexpr int maxLineBytes = 4096; // longer: -363, the line dropped
    static constexpr int freshMs = 1000;      // FETC:POW? takes no older reading

    Interpreter(Instrument &instrument, const QByteArray &version, QObject *parent = nullptr);

    // What the client sent, cut anywhere. Ends with the lines run as far as
    // the meter lets them.
    void feed(const QByteArray &bytes);
    // The unterminated rest of the input holds a query.
    bool awaitsTerminator() const;
    // The client has sent nothing for a while: see -420 above.
    void inputStalled();

    bool isWaiting() const { return waiting; }
    // Input held: lines not yet run and the unterminated rest.
    int heldBytes() const { return int(held + partial.size()); }
    const ErrorQueue &errorQueue() const { return errors; }

signals:
    // One response message, its units joined by ';', ending in '\n'. A
    // receiver must not delete the interpreter from here.
    void response(const QByteArray &message);

private:
    struct Command;
    using Handler = void (Interpreter::*)(const Unit &);
    struct Input
    {
        QByteArray line;
        int error = 0; // instead of a line: an error to queue in its turn
    };
    struct Running
    {
        Message message;
        int next = 0;
        QVector<QByteArray> path; // the current path: the node of the last header
        QVector<QByteArray> replies;
        bool hasQuery = false;
        bool abandoned = false;   // a command error: the rest of the line is not run
        bool interrupted = false; // -410: its response is thrown away
    };
    enum class PowerUnit { Dbm, Watt };

    static const std::vector<Command> &commands();
    static std::pair<const Command *, bool> lookUp(const QVector<QByteArray> &header, bool common);

    void enqueue(Input input);
    void pump();
    void execute(const Unit &unit);
    bool finish();
    void fail(int code);
    void reply(const QByteArray &text);
    void await(Operation operation, quint16 nanometres, std::function<void(const Outcome &)> then);

    bool noParams(const Unit &unit);
    const Param *single(const Unit &unit);
    std::optional<bool> boolean(const Param &param);
    std::optional<int> integer(const Param &param, int low, int high);
    std::optional<quint16> nanometres(const Param &param);
    std::optional<double> dbm(const Param &param);
    std::optional<double> value(const Reading &reading);
    void replyReading(const Outcome &outcome);
    quint8 statusByte() const;

    void cls(const Unit &);
    void ese(const Unit &);
    void eseQuery(const Unit &);
    void esrQuery(const Unit &);
    void idnQuery(const Unit &);
    void opc(const Unit &);
    void opcQuery(const Unit &);
    void rst(const Unit &);
    void sre(const Unit &);
    void sreQuery(const Unit &);
    void stbQuery(const Unit &);
    void tstQuery(const Unit &);
    void wai(const Unit &);
    void errorNextQuery(const Unit &);
    void errorCountQuery(const Unit &);
    void errorAllQuery(const Unit &);
    void versionQuery(const Unit &);
    void measureQuery(const Unit &);
    void fetchQuery(const Unit &);
    void initiate(const Unit &);
    void continuous(const Unit &);
    void continuousQuery(const Unit &);
    void wavelength(const Unit &);
    void wavelengthQuery(const Unit &);
    void wavelengthListQuery(const Unit &);
    void unit(const Unit &);
    void unitQuery(const Unit &);
    void reference(const Unit &);
    void referenceQuery(const Unit &);
    void referenceDisplay(const Unit &);
    void referenceState(const Unit &);
    void referenceStateQuery(const Unit &);

    Instrument &instrument;
    QByteArray identity;
    QQueue<Input> input;
    qint64 held = 0;
    int queuedLines = 0;
    QByteArray partial;
    bool overrun = false; // dropping a line that grew too long, up to its end
    std::unique_ptr<Running> current;
    bool waiting = false;
    quint64 ticket = 0;
    bool pumping = false;

    ErrorQueue errors;
    quint8 eventStatus = 0;
    quint8 eventEnable = 0;
    quint8 serviceEnable = 0;
    PowerUnit powerUnit = PowerUnit::Dbm;
    double referenceDbm = 0;
    bool relative = false;
    bool continuousOn = false;
};

} // namespace scpi
