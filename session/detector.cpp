// SPDX-License-Identifier: MIT
#include "session/detector.h"

#include "meter/meterlink.h"
#include "port/devicegone.h"
#include "port/extraports.h"
#include "port/lineport.h"
#include "port/portreport.h"

#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTimer>

#include <optional>

namespace session {

QStringList Detector::portsToAsk()
{
    QStringList ports;
    const QList<QSerialPortInfo> available = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : available) {
        if (portDetailsOf(info).busy) {
            emit skipped(info.systemLocation(), QStringLiteral("port busy"));
            continue;
        }
        ports << info.systemLocation();
    }
    const QStringList extra = extraPortPaths();
    for (const QString &path : extra)
        if (!ports.contains(path))
            ports << path;
    return ports;
}

struct Detector::Probe
{
    QString path;
    QSerialPort *port = nullptr;
    meter::MeterLink *link = nullptr;
    QTimer *quiet = nullptr; // a wavelength is taken once the line stays quiet behind it
    std::optional<meter::Frame> candidate;
    std::optional<meter::Frame> wavelength;
    QString problem; // why a port that answered is not listed
    bool settled = false;
};

Detector::Detector(const meter::Timing &timing, QObject *parent) : QObject(parent), timing(timing)
{
}

Detector::~Detector() = default;

void Detector::start()
{
    const QStringList paths = portsToAsk();
    for (const QString &path : paths) {
        auto probe = std::make_unique<Probe>();
        Probe &p = *probe;
        p.path = path;
        p.port = new QSerialPort(this);
        if (const std::optional<OpenFailure> failure = openMeterPort(*p.port, path)) {
            emit skipped(path, failure->reason);
            continue;
        }
        p.link = new meter::MeterLink(p.port, this, timing);
        connect(p.port, &QSerialPort::readyRead, p.link, &meter::MeterLink::readAvailable);
        connect(p.port, &QSerialPort::errorOccurred, this, [this, &p](QSerialPort::SerialPortError error) {
            if (deviceGone(p.port, error))
                settle(p);
        });
        p.quiet = new QTimer(this);
        p.quiet->setSingleShot(true);
        connect(p.quiet, &QTimer::timeout, this, [this, &p] {
            p.wavelength = p.candidate;
            settle(p);
        });
        // Only a whole reply with a wavelength a meter uses, and nothing behind
        // it: a frame that answered nothing may have been taken for the reply.
        connect(p.link, &meter::MeterLink::replyReceived, this, [this, &p](const meter::Reply &reply) {
            if (p.settled)
                return;
            const meter::Frame frame = meter::decodeFrame(reply.bytes);
            if (p.candidate)
                p.problem = QStringLiteral("the line never went quiet behind the reply");
            else if (reply.command != meter::cmdQueryWavelength || reply.role != meter::ReplyKind::Wavelength)
                return;
            else if (reply.bytes.size() != 2 && reply.bytes.size() != meter::frameSize)
                p.problem = reply.bytes.size() == 1
                                ? QStringLiteral("the reply arrived broken up: a frame of 1 byte")
                                : QStringLiteral("the reply arrived broken up: a frame of %1 bytes").arg(reply.bytes.size());
            else if (!meter::plausibleWavelength(frame.value))
                p.problem = QStringLiteral("reports %1 nm, which no optical power meter uses").arg(frame.value);
            if (!p.problem.isEmpty()) {
                p.quiet->stop();
                settle(p);
                return;
            }
            p.candidate = frame;
            p.quiet->start(p.link->quietMs());
        });
        connect(p.link, &meter::MeterLink::commandGivenUp, this, [this, &p] { settle(p); });
        probes.push_back(std::move(probe));
        p.link->send(meter::cmdQueryWavelength);
    }
    // Whatever a port does, the probe ends.
    QTimer::singleShot(2 * timing.deadlineMs + timing.gapMs, this, &Detector::interrupt);
    finishWhenSettled();
}

void Detector::interrupt()
{
    for (const std::unique_ptr<Probe> &probe : probes)
        settle(*probe);
    finishWhenSettled();
}

void Detector::settle(Probe &probe)
{
    if (probe.settled)
        return;
    probe.settled = true;
    if (probe.quiet)
        probe.quiet->stop();
    closeMeterPort(*probe.port);
    probe.link->reset();
    finishWhenSettled();
}

void Detector::finishWhenSettled()
{
    if (done)
        return;
    for (const std::unique_ptr<Probe> &probe : probes)
        if (!probe->settled)
            return;
    done = true;
    QVector<DetectedPort> ports;
    for (const std::unique_ptr<Probe> &probe : probes)
        ports << DetectedPort{probe->path, probe->wavelength, probe->problem};
    emit finished(ports);
}

} // namespace session
