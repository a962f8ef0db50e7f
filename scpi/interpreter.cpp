// SPDX-License-Identifier: MIT
#include "scpi/interpreter.h"

#include "scpi/headers.h"
#include "scpi/numbers.h"

#include <QHash>
#include <QPointer>

#include <algorithm>

#include <cmath>

namespace scpi {

namespace {

constexpr int wavelengthLowNm = 400; // no meter offers anything outside these
constexpr int wavelengthHighNm = 1700;
constexpr double referenceLowDbm = -100;
constexpr double referenceHighDbm = 100;

// IEEE 488.2 status byte bits.
constexpr quint8 errorAvailable = 0x04;
constexpr quint8 messageAvailable = 0x10;
constexpr quint8 eventSummary = 0x20;
constexpr quint8 masterSummary = 0x40;

bool isCommandError(int code)
{
    return code <= -100 && code > -200;
}

bool isAnyOf(const QByteArray &word, std::initializer_list<const char *> words)
{
    for (const char *w : words) {
        if (word == w)
            return true;
    }
    return false;
}

QByteArray flag(bool on)
{
    return on ? "1" : "0";
}

} // namespace

struct Interpreter::Command
{
    HeaderPattern pattern;
    Handler set;   // the command form, if any
    Handler query; // the query form, if any
};

const std::vector<Interpreter::Command> &Interpreter::commands()
{
    using I = Interpreter;
    static const std::vector<Command> table = {
        {HeaderPattern("*CLS"), &I::cls, nullptr},
        {HeaderPattern("*ESE"), &I::ese, &I::eseQuery},
        {HeaderPattern("*ESR"), nullptr, &I::esrQuery},
        {HeaderPattern("*IDN"), nullptr, &I::idnQuery},
        {HeaderPattern("*OPC"), &I::opc, &I::opcQuery},
        {HeaderPattern("*RST"), &I::rst, nullptr},
        {HeaderPattern("*SRE"), &I::sre, &I::sreQuery},
        {HeaderPattern("*STB"), nullptr, &I::stbQuery},
        {HeaderPattern("*TST"), nullptr, &I::tstQuery},
        {HeaderPattern("*WAI"), &I::wai, nullptr},
        {HeaderPattern("SYSTem:ERRor[:NEXT]"), nullptr, &I::errorNextQuery},
        {HeaderPattern("SYSTem:ERRor:COUNt"), nullptr, &I::errorCountQuery},
        {HeaderPattern("SYSTem:ERRor:ALL"), nullptr, &I::errorAllQuery},
        {HeaderPattern("SYSTem:VERSion"), nullptr, &I::versionQuery},
        {HeaderPattern("MEASure#:POWer"), nullptr, &I::measureQuery},
        {HeaderPattern("READ#:POWer"), nullptr, &I::measureQuery},
        {HeaderPattern("FETCh#:POWer"), nullptr, &I::fetchQuery},
        {HeaderPattern("INITiate#[:IMMediate]"), &I::initiate, nullptr},
        {HeaderPattern("INITiate#:CONTinuous"), &I::continuous, &I::continuousQuery},
        {HeaderPattern("[SENSe#]:POWer:WAVelength"), &I::wavelength, &I::wavelengthQuery},
        {HeaderPattern("[SENSe#]:POWer:WAVelength:LIST"), nullptr, &I::wavelengthListQuery},
        {HeaderPattern("[SENSe#]:POWer:UNIT"), &I::unit, &I::unitQuery},
        {HeaderPattern("[SENSe#]:POWer:REFerence"), &I::reference, &I::referenceQuery},
        {HeaderPattern("[SENSe#]:POWer:REFerence:DISPlay"), &I::referenceDisplay, nullptr},
        {HeaderPattern("[SENSe#]:POWer:REFerence:STATe"), &I::referenceState, &I::referenceStateQuery},
    };
    return table;
}

Interpreter::Interpreter(Instrument &instrument, const QByteArray &version, QObject *parent)
    : QObject(parent), instrument(instrument), identity("Zerak,OPM,0," + version)
{
}

void Interpreter::feed(const QByteArray &bytes)
{
    int from = 0;
    while (from < bytes.size()) {
        const int newline = bytes.indexOf('\n', from);
        const int end = newline < 0 ? bytes.size() : newline;
        if (!overrun) {
            // Never more than the limit and a '\r' held: a line that grows
            // beyond is dropped as it comes.
            const int room = maxLineBytes + 2 - int(partial.size());
            partial.append(bytes.constData() + from, std::min(end - from, room));
            if (partial.size() > maxLineBytes + 1) {
                overrun = true;
                partial.clear();
                enqueue({{}, inputBufferOverrun});
            }
        }
        if (newline < 0)
            break;
        from = newline + 1;
        if (overrun) {
            overrun = false;
            continue;
        }
        QByteArray line = partial;
        partial.clear();
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.size() > maxLineBytes) {
            enqueue({{}, inputBufferOverrun});
            continue;
        }
        if (std::all_of(line.cbegin(), line.cend(), isWhiteSpace))
            continue; // an empty line asks nothing
        enqueue({line, 0});
    }
    pump();
}

bool Interpreter::awaitsTerminator() const
{
    return !overrun && partial.contains('?');
}

void Interpreter::inputStalled()
{
    if (!awaitsTerminator())
        return;
    partial.clear();
    enqueue({{}, queryUnterminated});
    pump();
}

void Interpreter::enqueue(Input entry)
{
    held += entry.line.size();
    if (entry.error == 0)
        ++queuedLines;
    input.enqueue(std::move(entry));
}

void Interpreter::pump()
{
    if (pumping)
        return; // an operation completed from within: the loop below goes on
    pumping = true;
    QPointer<Interpreter> alive(this);
    while (!waiting) {
        if (current) {
            if (current->next < current->message.units.size()) {
                const Unit unit = current->message.units.at(current->next++);
                execute(unit);
            } else if (!finish()) {
                return; // deleted by a receiver of response()
            }
            continue;
        }
        if (input.isEmpty())
            break;
        const Input entry = input.dequeue();
        held -= entry.line.size();
        if (entry.error) {
            fail(entry.error);
            continue;
        }
        --queuedLines;
        current = std::make_unique<Running>();
        current->message = parseMessage(entry.line);
        current->hasQuery = current->message.hasQuery();
    }
    // A message came while a query still waited for the meter: its asker
    // has given up on that response.
    if (waiting && current && current->hasQuery && !current->interrupted && queuedLines > 0) {
        current->interrupted = true;
        fail(queryInterrupted);
    }
    pumping = false;
}

// What a header names, remembered: a script asks the same few thousands of
// times. Bounded, so a client sending every header it can think of grows
// nothing.
std::pair<const Interpreter::Command *, bool> Interpreter::lookUp(const QVector<QByteArray> &header, bool common)
{
    struct Found
    {
        const Command *command = nullptr;
        bool suffixOutOfRange = false;
    };
    static QHash<QByteArray, Found> known;
    QByteArray key(1, common ? '*' : ':');
    for (const QByteArray &mnemonic : header)
        key += mnemonic + ':';
    const auto cached = known.constFind(key);
    if (cached != known.constEnd())
        return {cached->command, cached->suffixOutOfRange};
    Found found;
    for (const Command &command : commands()) {
        if (command.pattern.isCommon() != common)
            continue;
        const HeaderPattern::Match match = command.pattern.match(header);
        if (match == HeaderPattern::Match::Yes) {
            found.command = &command;
            break;
        }
        if (match == HeaderPattern::Match::SuffixOutOfRange)
            found.suffixOutOfRange = true;
    }
    if (known.size() >= 512)
        known.clear();
    known.insert(key, found);
    return {found.command, found.suffixOutOfRange};
}

void Interpreter::execute(const Unit &unit)
{
    QVector<QByteArray> header = unit.mnemonics;
    if (!unit.common) {
        if (!unit.rooted)
            header = current->path + unit.mnemonics;
        current->path = header.mid(0, header.size() - 1);
    }
    const auto [found, suffixOutOfRange] = lookUp(header, unit.common);
    if (!found) {
        fail(suffixOutOfRange ? headerSuffixOutOfRange : undefinedHeader);
        return;
    }
    const Handler handler = unit.query ? found->query : found->set;
    if (!handler) {
        fail(undefinedHeader);
        return;
    }
    // Nobody reads what an interrupted message answers: a query there would
    // only lose what it takes, such as an error from the queue.
    if (unit.query && current->interrupted)
        return;
    (this->*handler)(unit);
}

bool Interpreter::finish()
{
    if (!current->abandoned && current->message.errorCode)
        fail(current->message.errorCode);
    const QVector<QByteArray> replies = current->replies;
    const bool send = !replies.isEmpty() && !current->interrupted;
    current.reset();
    if (!send)
        return true;
    QByteArray message;
    for (const QByteArray &part : replies) {
        if (!message.isEmpty())
            message.append(';');
        message.append(part);
    }
    message.append('\n');
    QPointer<Interpreter> alive(this);
    emit response(message);
    return !alive.isNull();
}

void Interpreter::fail(int code)
{
    errors.push(code);
    eventStatus |= eventBitFor(code);
    // Where one unit's syntax or header is wrong, what follows it on the
    // line cannot be trusted.
    if (isCommandError(code) && current) {
        current->abandoned = true;
        current->next = current->message.units.size();
    }
}

void Interpreter::reply(const QByteArray &text)
{
    if (current)
        current->replies.append(text);
}

void Interpreter::await(Operation operation, quint16 nanometres, std::function<void(const Outcome &)> then)
{
    waiting = true;
    const quint64 mine = ++ticket;
    QPointer<Interpreter> self(this);
    instrument.start(operation, nanometres, [self, mine, then](const Outcome &outcome) {
        if (!self || !self->waiting || self->ticket != mine)
            return; // gone, or an answer given twice
        self->waiting = false;
        if (outcome.error && !isKnownError(outcome.error)) {
            Outcome known = outcome;
            known.error = hardwareError;
            then(known);
        } else {
            then(outcome);
        }
        self->pump();
    });
}

// --- parameters ---------------------------------------------------------

bool Interpreter::noParams(const Unit &unit)
{
    if (unit.params.isEmpty())
        return true;
    fail(parameterNotAllowed);
    return false;
}

const Param *Interpreter::single(const Unit &unit)
{
    if (unit.params.isEmpty()) {
        fail(missingParameter);
        return nullptr;
    }
    if (unit.params.size() > 1) {
        fail(parameterNotAllowed);
        return nullptr;
    }
    return &unit.params.first();
}

// ON, OFF, or a number: rounded, anything but 0 is ON.
std::optional<bool> Interpreter::boolean(const Param &param)
{
    if (param.kind == Param::Kind::Character) {
        if (param.text == "ON")
            return true;
        if (param.text == "OFF")
            return false;
        fail(illegalParameterValue);
        return std::nullopt;
    }
    if (param.kind != Param::Kind::Number) {
        fail(dataTypeError);
        return std::nullopt;
    }
    if (!param.suffix.isEmpty()) {
        fail(suffixNotAllowed);
        return std::nullopt;
    }
    return std::fabs(param.number) >= 0.5;
}

std::optional<int> Interpreter::integer(const Param &param, int low, int high)
{
    if (param.kind != Param::Kind::Number) {
        fail(dataTypeError);
        return std::nullopt;
    }
    if (!param.suffix.isEmpty()) {
        fail(suffixNotAllowed);
        return std::nullopt;
    }
    const double rounded = std::round(param.number);
    if (!(rounded >= low && rounded <= high)) {
        fail(dataOutOfRange);
        return std::nullopt;
    }
    return int(rounded);
}

// A bare number is in nm; a suffix names metres with a multiplier.
std::optional<quint16> Interpreter::nanometres(const Param &param)
{
    if (param.kind != Param::Kind::Number) {
        fail(param.kind == Param::Kind::Character ? illegalParameterValue : dataTypeError);
        return std::nullopt;
    }
    double value = param.number;
    if (!param.suffix.isEmpty()) {
        const std::optional<double> factor = suffixFactor(param.suffix, "M");
        if (!factor) {
            fail(invalidSuffix);
            return std::nullopt;
        }
        value *= *factor * 1e9;
    }
    const double rounded = std::round(value);
    if (!(rounded >= wavelengthLowNm && rounded <= wavelengthHighNm)) {
        fail(dataOutOfRange);
        return std::nullopt;
    }
    return quint16(rounded);
}

// A level in dBm, bare or with DBM, or a power in W with a multiplier.
std::optional<double> Interpreter::dbm(const Param &param)
{
    if (param.kind != Param::Kind::Number) {
        fail(dataTypeError);
        return std::nullopt;
    }
    double level = param.number;
    if (!param.suffix.isEmpty() && param.suffix != "DBM") {
        const std::optional<double> factor = suffixFactor(param.suffix, "W");
        if (!factor) {
            fail(invalidSuffix);
            return std::nullopt;
        }
        const double watts = param.number * *factor;
        if (!(watts > 0)) {
            fail(parameterError); // no power has that level in dBm
            return std::nullopt;
        }
        level = 10 * std::log10(watts * 1000);
    }
    if (!(level >= referenceLowDbm && level <= referenceHighDbm)) {
        fail(dataOutOfRange);
        return std::nullopt;
    }
    return level;
}

// The reading in this client's unit: dBm, W, or dB against its reference;
// the meter's own relative mode gives dB, which is sent as it is.
std::optional<double> Interpreter::value(const Reading &reading)
{
    const double shown = reading.hundredths / 100.0;
    if (reading.decibel) {
        if (relative) {
            fail(settingsConflict); // a dB reading has no level to set against the reference
            return std::nullopt;
        }
        return shown;
    }
    if (relative)
        return shown - referenceDbm;
    if (powerUnit == PowerUnit::Watt)
        return std::pow(10.0, shown / 10) / 1000;
    return shown;
}

void Interpreter::replyReading(const Outcome &outcome)
{
    if (outcome.error) {
        fail(outcome.error);
        return;
    }
    if (!outcome.reading) {
        fail(hardwareError);
        return;
    }
    if (const std::optional<double> v = value(*outcome.reading))
        reply(nr3(*v));
}

quint8 Interpreter::statusByte() const
{
    quint8 status = 0;
    if (!errors.isEmpty())
        status |= errorAvailable;
    if (current && !current->replies.isEmpty())
        status |= messageAvailable;
    if (eventStatus & eventEnable)
        status |= eventSummary;
    if (status & serviceEnable)
        status |= masterSummary;
    return status;
}

// --- common commands -----------------------------------------------------

void Interpreter::cls(const Unit &u)
{
    if (!noParams(u))
        return;
    errors.clear();
    eventStatus = 0;
}

void Interpreter::ese(const Unit &u)
{
    if (const Param *p = single(u)) {
        if (const std::optional<int> mask = integer(*p, 0, 255))
            eventEnable = quint8(*mask);
    }
}

void Interpreter::eseQuery(const Unit &u)
{
    if (noParams(u))
        reply(QByteArray::number(eventEnable));
}

void Interpreter::esrQuery(const Unit &u)
{
    if (!noParams(u))
        return;
    reply(QByteArray::number(eventStatus));
    eventStatus = 0;
}

void Interpreter::idnQuery(const Unit &u)
{
    if (noParams(u))
        reply(identity);
}

// Every command has finished by the time the next one runs.
void Interpreter::opc(const Unit &u)
{
    if (noParams(u))
        eventStatus |= operationComplete;
}

void Interpreter::opcQuery(const Unit &u)
{
    if (noParams(u))
        reply("1");
}

// This client's settings only: the wavelength is the meter's, and others'.
void Interpreter::rst(const Unit &u)
{
    if (!noParams(u))
        return;
    powerUnit = PowerUnit::Dbm;
    referenceDbm = 0;
    relative = false;
    if (continuousOn)
        instrument.setContinuous(false);
    continuousOn = false;
}

void Interpreter::sre(const Unit &u)
{
    if (const Param *p = single(u)) {
        if (const std::optional<int> mask = integer(*p, 0, 255))
            serviceEnable = quint8(*mask) & ~masterSummary;
    }
}

void Interpreter::sreQuery(const Unit &u)
{
    if (noParams(u))
        reply(QByteArray::number(serviceEnable));
}

void Interpreter::stbQuery(const Unit &u)
{
    if (noParams(u))
        reply(QByteArray::number(statusByte()));
}

// The meter answers its wavelength: 0. Otherwise 1, and why in the queue.
void Interpreter::tstQuery(const Unit &u)
{
    if (!noParams(u))
        return;
    await(Operation::QueryWavelength, 0, [this](const Outcome &outcome) {
        if (outcome.error)
            fail(outcome.error);
        reply(outcome.error ? "1" : "0");
    });
}

void Interpreter::wai(const Unit &u)
{
    noParams(u);
}

// --- SYSTem ----------------------------------------------------------------

void Interpreter::errorNextQuery(const Unit &u)
{
    if (noParams(u))
        reply(errorEntry(errors.pop()));
}

void Interpreter::errorCountQuery(const Unit &u)
{
    if (noParams(u))
        reply(QByteArray::number(errors.count()));
}

void Interpreter::errorAllQuery(const Unit &u)
{
    if (!noParams(u))
        return;
    QByteArray all = errorEntry(errors.pop());
    while (!errors.isEmpty())
        all += ',' + errorEntry(errors.pop());
    reply(all);
}

void Interpreter::versionQuery(const Unit &u)
{
    if (noParams(u))
        reply("1999.0");
}

// --- readings ----------------------------------------------------------------

void Interpreter::measureQuery(const Unit &u)
{
    if (noParams(u))
        await(Operation::Measure, 0, [this](const Outcome &outcome) { replyReading(outcome); });
}

void Interpreter::fetchQuery(const Unit &u)
{
    if (!noParams(u))
        return;
    const Outcome last = instrument.latest();
    if (!last.error && (!last.reading || last.reading->ageMs > freshMs)) {
        fail(dataStale);
        return;
    }
    replyReading(last);
}

void Interpreter::initiate(const Unit &u)
{
    if (!noParams(u))
        return;
    await(Operation::Measure, 0, [this](const Outcome &outcome) {
        if (outcome.error)
            fail(outcome.error);
    });
}

void Interpreter::continuous(const Unit &u)
{
    const Param *p = single(u);
    if (!p)
        return;
    if (const std::optional<bool> on = boolean(*p)) {
        if (*on != continuousOn)
            instrument.setContinuous(*on);
        continuousOn = *on;
    }
}

void Interpreter::continuousQuery(const Unit &u)
{
    if (noParams(u))
        reply(flag(continuousOn));
}

// --- wavelength --------------------------------------------------------------

void Interpreter::wavelength(const Unit &u)
{
    const Param *p = single(u);
    if (!p)
        return;
    const auto set = [this](quint16 nm) {
        await(Operation::SetWavelength, nm, [this](const Outcome &outcome) {
            if (outcome.error)
                fail(outcome.error);
        });
    };
    if (p->kind == Param::Kind::Character && isAnyOf(p->text, {"MIN", "MINIMUM", "MAX", "MAXIMUM"})) {
        const bool lowest = p->text.startsWith("MIN");
        await(Operation::ListWavelengths, 0, [this, lowest, set](const Outcome &outcome) {
            if (outcome.error || outcome.wavelengths.isEmpty()) {
                fail(outcome.error ? outcome.error : hardwareError);
                return;
            }
            set(lowest ? outcome.wavelengths.first() : outcome.wavelengths.last());
        });
        return;
    }
    if (const std::optional<quint16> nm = nanometres(*p))
        set(*nm);
}

namespace {

// "NM" or "M" (the default): how a wavelength is answered.
std::optional<bool> inNanometres(const Param &param, int &error)
{
    if (param.kind != Param::Kind::Character) {
        error = dataTypeError;
        return std::nullopt;
    }
    if (param.text == "NM")
        return true;
    if (param.text == "M")
        return false;
    error = illegalParameterValue;
    return std::nullopt;
}

QByteArray wavelengthText(quint16 nm, bool nanometres)
{
    return nr3(nanometres ? double(nm) : nm * 1e-9);
}

} // namespace

// [MIN|MAX][,NM|M], or NM|M alone.
void Interpreter::wavelengthQuery(const Unit &u)
{
    int bound = 0; // -1 the shortest offered, 1 the longest
    bool nm = false;
    for (int k = 0; k < u.params.size(); ++k) {
        const Param &p = u.params.at(k);
        if (k == 0 && p.kind == Param::Kind::Character
            && isAnyOf(p.text, {"MIN", "MINIMUM", "MAX", "MAXIMUM"})) {
            bound = p.text.startsWith("MIN") ? -1 : 1;
            continue;
        }
        if (k > 1 || (k == 1 && bound == 0)) {
            fail(parameterNotAllowed);
            return;
        }
        int error = 0;
        const std::optional<bool> unit = inNanometres(p, error);
        if (!unit) {
            fail(error);
            return;
        }
        nm = *unit;
    }
    if (bound) {
        await(Operation::ListWavelengths, 0, [this, bound, nm](const Outcome &outcome) {
            if (outcome.error || outcome.wavelengths.isEmpty()) {
                fail(outcome.error ? outcome.error : hardwareError);
                return;
            }
            reply(wavelengthText(bound < 0 ? outcome.wavelengths.first() : outcome.wavelengths.last(), nm));
        });
        return;
    }
    await(Operation::QueryWavelength, 0, [this, nm](const Outcome &outcome) {
        if (outcome.error)
            fail(outcome.error);
        else
            reply(wavelengthText(outcome.wavelengthNm, nm));
    });
}

void Interpreter::wavelengthListQuery(const Unit &u)
{
    if (u.params.size() > 1) {
        fail(parameterNotAllowed);
        return;
    }
    bool nm = false;
    if (!u.params.isEmpty()) {
        int error = 0;
        const std::optional<bool> unit = inNanometres(u.params.first(), error);
        if (!unit) {
            fail(error);
            return;
        }
        nm = *unit;
    }
    await(Operation::ListWavelengths, 0, [this, nm](const Outcome &outcome) {
        if (outcome.error) {
            fail(outcome.error);
            return;
        }
        QByteArray list;
        for (const quint16 wavelength : outcome.wavelengths) {
            if (!list.isEmpty())
                list.append(',');
            list.append(wavelengthText(wavelength, nm));
        }
        reply(list);
    });
}

// --- unit and reference --------------------------------------------------------

void Interpreter::unit(const Unit &u)
{
    const Param *p = single(u);
    if (!p)
        return;
    if (p->kind != Param::Kind::Character) {
        fail(dataTypeError);
        return;
    }
    if (p->text == "DBM")
        powerUnit = PowerUnit::Dbm;
    else if (p->text == "W" || p->text == "WATT")
        powerUnit = PowerUnit::Watt;
    else
        fail(illegalParameterValue);
}

// The unit readings come in: dB against the reference, or from the meter's
// own relative mode, shown by its last reading.
void Interpreter::unitQuery(const Unit &u)
{
    if (!noParams(u))
        return;
    const Outcome last = instrument.latest();
    if (relative || (last.reading && last.reading->decibel))
        reply("DB");
    else
        reply(powerUnit == PowerUnit::Watt ? "W" : "DBM");
}

void Interpreter::reference(const Unit &u)
{
    if (const Param *p = single(u)) {
        if (const std::optional<double> level = dbm(*p))
            referenceDbm = *level;
    }
}

void Interpreter::referenceQuery(const Unit &u)
{
    if (noParams(u))
        reply(nr3(referenceDbm));
}

// A new reading becomes the reference; it must be a level, in dBm.
void Interpreter::referenceDisplay(const Unit &u)
{
    if (!noParams(u))
        return;
    await(Operation::Measure, 0, [this](const Outcome &outcome) {
        if (outcome.error) {
            fail(outcome.error);
            return;
        }
        if (!outcome.reading) {
            fail(hardwareError);
            return;
        }
        if (outcome.reading->decibel) {
            fail(settingsConflict);
            return;
        }
        referenceDbm = outcome.reading->hundredths / 100.0;
    });
}

void Interpreter::referenceState(const Unit &u)
{
    if (const Param *p = single(u)) {
        if (const std::optional<bool> on = boolean(*p))
            relative = *on;
    }
}

void Interpreter::referenceStateQuery(const Unit &u)
{
    if (noParams(u))
        reply(flag(relative));
}

} // namespace scpi
