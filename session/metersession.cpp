// SPDX-License-Identifier: MIT
#include "session/metersession.h"

#include "session/exitcode.h"
#include "port/devicegone.h"
#include "port/lineport.h"

#include <QTimer>

namespace session {

namespace {

QTimer *singleShot(QObject *parent)
{
    auto *timer = new QTimer(parent);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    return timer;
}

} // namespace

MeterSession::MeterSession(const QString &portName, const meter::Timing &timing, QObject *parent)
    : QObject(parent),
      name(portName),
      deadline(timing.deadlineMs),
      port(new QSerialPort(this)),
      link(new meter::MeterLink(port, this, timing)),
      quietTimer(singleShot(this)),
      lateTimer(singleShot(this)),
      watchdog(singleShot(this))
{
    clock.start();
    connect(port, &QSerialPort::readyRead, this, &MeterSession::readDelivery);
    connect(port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        if (deviceGone(port, error))
            fail(exitDeviceLost, QStringLiteral("device lost mid-run (unplugged or switched off)"));
    });
    connect(link, &meter::MeterLink::replyReceived, this, &MeterSession::replied);
    connect(link, &meter::MeterLink::commandGivenUp, this, &MeterSession::givenUp);
    connect(link, &meter::MeterLink::writeFailed, this, [this] { writeFailed = true; });
    connect(quietTimer, &QTimer::timeout, this, &MeterSession::quietKept);
    connect(lateTimer, &QTimer::timeout, this, &MeterSession::lateWaitOver);
    // The link may wait a deadline for quiet, a deadline for the reply, half
    // one for quiet behind it, and one more for a late reply.
    connect(watchdog, &QTimer::timeout, this, [this] { fault(Fault::NoReply); });
}

std::optional<OpenFailure> MeterSession::open()
{
    const std::optional<OpenFailure> failure = openMeterPort(*port, name);
    link->reset();
    return failure;
}

void MeterSession::close()
{
    stop();
    closeMeterPort(*port);
    link->reset();
}

void MeterSession::stop()
{
    goal = Goal::None;
    asked = 0;
    quietTimer->stop();
    lateTimer->stop();
    watchdog->stop();
    candidate.reset();
    heldReading.reset();
}

void MeterSession::askWavelength()
{
    goal = Goal::Wavelength;
    stepInDoubt = false;
    ask(meter::cmdQueryWavelength);
}

void MeterSession::stepWavelength()
{
    goal = Goal::Step;
    stepInDoubt = false;
    ask(meter::cmdNextWavelength);
}

void MeterSession::takeReading(bool confirmWavelength)
{
    goal = Goal::Reading;
    stepInDoubt = false;
    const bool stale = confirmWavelength && (!confirmed || clock.elapsed() - confirmedAtMs > maxConfirmationAgeMs);
    ask(stale ? meter::cmdQueryWavelength : meter::cmdMeasure);
}

void MeterSession::ask(quint8 command)
{
    asked = command;
    candidate.reset();
    heldReading.reset();
    watchdog->start(4 * deadline + 500);
    // After a wavelength command given up the link may have asked 0x7A
    // already; it shares that one with this.
    link->send(command);
}

void MeterSession::replied(const meter::Reply &reply)
{
    if (goal == Goal::None)
        return;
    if (quietTimer->isActive()) {
        // Something came right behind the reply: either may be a frame that
        // answered nothing.
        quietTimer->stop();
        candidate.reset();
        heldReading.reset();
        fault(Fault::OutOfStep);
        return;
    }
    if (!reply.role) {
        ++strayFrames; // counted, never used; the reply may still come
        return;
    }
    // A query answered late, or the link's own query after it: either way the
    // meter's wavelength now, which is what was asked.
    const bool queryAnswered = asked == meter::cmdQueryWavelength && reply.role == meter::ReplyKind::Wavelength;
    if ((lateTimer->isActive() || reply.late) && !queryAnswered) {
        lateTimer->stop();
        if (reply.late)
            lateMs = reply.latencyMs;
        fault(reply.late ? Fault::Late : Fault::NoReply);
        return;
    }
    lateTimer->stop();
    if (!queryAnswered && (reply.command != asked || *reply.role != meter::replyKindFor(asked)))
        return;
    // A reply well before the meter answers may be a frame that answered
    // nothing, taken for it: such a one waits for a quiet line.
    const bool early = reply.early;
    if (!reply.late)
        latency = std::max<qint64>(0, reply.latencyMs);
    const meter::Frame frame = meter::decodeFrame(reply.bytes);
    if (*reply.role == meter::ReplyKind::Power) {
        if (reply.bytes.size() != meter::frameSize) {
            ++shortFrames;
            fault(Fault::Short);
            return;
        }
        // Taken once the rest of its delivery has been seen: a frame right
        // behind it in the same read means the line is out of step. One in
        // doubt, too soon or in another unit than the last, waits for quiet.
        const bool unitChanged = lastUnit && *lastUnit != frame.unitFlag;
        heldReading = frame;
        holdingForQuiet = early || unitChanged;
        quietTimer->start(holdingForQuiet ? link->quietMs() : 0);
        return;
    }
    // A wavelength comes in 2 or 4 bytes.
    if (reply.bytes.size() != 2 && reply.bytes.size() != meter::frameSize) {
        ++shortFrames;
        fault(Fault::Short);
        return;
    }
    if (!meter::plausibleWavelength(frame.value)) {
        implausibleNm = frame.value;
        fault(Fault::Implausible);
        return;
    }
    candidate = frame.value;
    quietTimer->start(link->quietMs());
}

// The whole delivery has been seen once the link has read it: a reading
// nothing came behind is taken now, without a pass of the event loop.
void MeterSession::readDelivery()
{
    link->readAvailable();
    if (heldReading && !holdingForQuiet && quietTimer->isActive()) {
        quietTimer->stop();
        quietKept();
    }
}

void MeterSession::take(const meter::Frame &frame)
{
    lastUnit = frame.unitFlag;
    faults = 0;
    shortFrames = strayFrames = 0;
    writeFailed = false;
    goal = Goal::None;
    asked = 0;
    watchdog->stop();
    emit readingTaken(frame, confirmed.value_or(0));
}

void MeterSession::quietKept()
{
    if (heldReading) {
        const meter::Frame frame = *heldReading;
        heldReading.reset();
        take(frame);
        return;
    }
    if (!candidate)
        return;
    confirmed = candidate;
    // Counted from here, not from the reply: a slow meter's quiet wait alone
    // would make every confirmation stale and ask twice before each reading.
    confirmedAtMs = clock.elapsed();
    candidate.reset();
    faults = 0;
    shortFrames = strayFrames = 0;
    writeFailed = false;
    if (goal == Goal::Reading) {
        ask(meter::cmdMeasure);
        return;
    }
    const bool stepped = goal == Goal::Step && !stepInDoubt;
    goal = Goal::None;
    asked = 0;
    watchdog->stop();
    emit wavelengthConfirmed(*confirmed, stepped);
}

void MeterSession::givenUp(const meter::GiveUp &giveUp)
{
    if (goal == Goal::None || giveUp.command != asked)
        return;
    if (!giveUp.written) {
        strayFrames = giveUp.strayFrames;
        fault(Fault::NeverQuiet);
        return;
    }
    if (asked == meter::cmdNextWavelength)
        stepInDoubt = true;
    // Until a deadline has passed the link takes any reply as possibly the
    // late one: wait that out, or for the late reply itself.
    lateTimer->start(deadline);
}

void MeterSession::lateWaitOver()
{
    // The link writes nothing more until the meter speaks.
    if (link->isHalted()) {
        ++faults;
        lastFault = Fault::NoReply;
        fail(exitNoReply, reason());
        return;
    }
    fault(Fault::NoReply);
}

void MeterSession::fault(Fault kind)
{
    if (goal == Goal::None)
        return;
    ++faults;
    lastFault = kind;
    if (faults >= maxFaultsInARow) {
        fail(exitNoReply, reason());
        return;
    }
    retry();
}

void MeterSession::retry()
{
    // The meter answered the step with something: it may have stepped.
    if (asked == meter::cmdNextWavelength && lastFault != Fault::NeverQuiet && lastFault != Fault::NoReply)
        stepInDoubt = true;
    if (asked == meter::cmdNextWavelength && !stepInDoubt)
        ask(meter::cmdNextWavelength);
    else if (asked == meter::cmdMeasure)
        ask(meter::cmdMeasure);
    else
        ask(meter::cmdQueryWavelength);
}

QString MeterSession::deadlineText() const
{
    return QStringLiteral("%1 ms (--timeout)").arg(deadline);
}

QString MeterSession::reason() const
{
    QString text;
    switch (lastFault) {
    case Fault::NoReply:
        text = QStringLiteral("no reply within %1").arg(deadlineText());
        break;
    case Fault::Late:
        text = QStringLiteral("the meter answered %1 ms after the request; the deadline is %2")
                   .arg(lateMs)
                   .arg(deadlineText());
        break;
    case Fault::Short:
        text = QStringLiteral("replies arrive broken up: %1 frames shorter than 4 bytes").arg(shortFrames);
        break;
    case Fault::Implausible:
        text = QStringLiteral("the meter reports %1 nm, which no optical power meter uses").arg(implausibleNm);
        break;
    case Fault::NeverQuiet:
        text = QStringLiteral("the line never went quiet: %1 frames that answered nothing in %2 s")
                   .arg(strayFrames)
                   .arg(deadline / 1000.0);
        break;
    case Fault::OutOfStep:
        text = QStringLiteral("frames that answered nothing keep landing right behind the replies");
        break;
    }
    if (faults > 1)
        text += QStringLiteral(" (%1 requests in a row)").arg(faults);
    if (writeFailed)
        text += QStringLiteral("; writes to the port did not complete");
    return text;
}

void MeterSession::takeHeldReading()
{
    if (!heldReading)
        return;
    quietTimer->stop();
    quietKept();
}

void MeterSession::fail(int exitCode, const QString &why)
{
    if (!port->isOpen())
        return;
    // Whole, and nothing came behind it: the last reading, not a lost one.
    takeHeldReading();
    if (!port->isOpen())
        return; // that reading ended the run
    stop();
    emit failed(exitCode, why);
}

} // namespace session
