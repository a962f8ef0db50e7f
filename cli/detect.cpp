// SPDX-License-Identifier: MIT
#include "cli/detect.h"

#include "cli/console.h"
#include "cli/options.h"
#include "meter/meterlink.h"
#include "port/devicegone.h"
#include "port/extraports.h"
#include "port/lineport.h"
#include "port/portreport.h"

#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTimer>

#include <optional>

namespace cli {

namespace {

QStringList portsToAsk()
{
    QStringList ports;
    const QList<QSerialPortInfo> available = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : available) {
        if (portDetailsOf(info).busy) {
            printError(info.systemLocation() + QStringLiteral(": port busy, skipped"));
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

} // namespace

struct Detector::Probe
{
    QString path;
    QSerialPort *port = nullptr;
    meter::MeterLink *link = nullptr;
    std::optional<meter::Frame> wavelength;
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
            printError(path + QStringLiteral(": ") + failure->reason + QStringLiteral(", skipped"));
            continue;
        }
        p.link = new meter::MeterLink(p.port, this, timing);
        connect(p.port, &QSerialPort::readyRead, p.link, &meter::MeterLink::readAvailable);
        connect(p.port, &QSerialPort::errorOccurred, this, [this, &p](QSerialPort::SerialPortError error) {
            if (deviceGone(p.port, error))
                settle(p);
        });
        connect(p.link, &meter::MeterLink::replyReceived, this, [this, &p](const meter::Reply &reply) {
            if (reply.command != meter::cmdQueryWavelength || reply.role != meter::ReplyKind::Wavelength)
                return;
            p.wavelength = meter::decodeFrame(reply.bytes);
            settle(p);
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
    int found = 0;
    for (const std::unique_ptr<Probe> &probe : probes) {
        if (probe->wavelength && meter::plausibleWavelength(probe->wavelength->value)) {
            printLine(probe->path + QStringLiteral("  ") + meter::wavelengthText(*probe->wavelength));
            ++found;
        }
    }
    if (found == 0)
        printError(QStringLiteral("no meter answered"));
    emit finished(found > 0 ? exitOk : exitNoReply);
}

} // namespace cli
