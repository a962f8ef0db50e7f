#include "port/lineport.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <unistd.h>
#endif

namespace {

// Both come back as one error from the port; the file itself can tell.
OpenFailure busyOrNotPermitted(const QString &name)
{
#ifdef Q_OS_UNIX
    const QString path = name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name;
    if (::access(QFile::encodeName(path).constData(), R_OK | W_OK) != 0 && errno == EACCES)
        return {OpenFailure::NotPermitted,
                QStringLiteral("not permitted to open the port (is the user in its group, e.g. dialout?)")};
    return {OpenFailure::Busy, QStringLiteral("port busy: another program has it open")};
#else
    Q_UNUSED(name)
    return {OpenFailure::Busy, QStringLiteral("port busy or not permitted")};
#endif
}

} // namespace

void applyMeterLineSettings(QSerialPort &port)
{
    port.setBaudRate(QSerialPort::Baud115200, QSerialPort::AllDirections);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
}

std::optional<OpenFailure> openMeterPort(QSerialPort &port, const QString &name)
{
    port.setPortName(name);
    applyMeterLineSettings(port);
    if (port.open(QIODevice::ReadWrite)) {
        port.clear(QSerialPort::Input);
        return std::nullopt;
    }
    switch (port.error()) {
    case QSerialPort::DeviceNotFoundError:
        return OpenFailure{OpenFailure::NoSuchPort, QStringLiteral("no such port")};
    case QSerialPort::PermissionError:
    case QSerialPort::OpenError:
        return busyOrNotPermitted(name);
    default:
        return OpenFailure{OpenFailure::NotSerialPort, QStringLiteral("not a serial port (%1)").arg(port.errorString())};
    }
}

void closeMeterPort(QSerialPort &port)
{
    if (!port.isOpen())
        return;
    port.clear(QSerialPort::Output);
    port.close();
}
