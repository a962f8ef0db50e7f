#include "cli/meterport.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <unistd.h>
#endif

namespace cli {

namespace {

// Both come back as one error from the port; the file itself can tell.
QString busyOrNotPermitted(const QString &name)
{
#ifdef Q_OS_UNIX
    const QString path = name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name;
    if (::access(QFile::encodeName(path).constData(), R_OK | W_OK) != 0 && errno == EACCES)
        return QStringLiteral("not permitted to open the port (is the user in its group, e.g. dialout?)");
    return QStringLiteral("port busy: another program has it open");
#else
    Q_UNUSED(name)
    return QStringLiteral("port busy or not permitted");
#endif
}

} // namespace

std::optional<OpenFailure> openMeterPort(QSerialPort &port, const QString &name)
{
    port.setPortName(name);
    port.setBaudRate(QSerialPort::Baud115200, QSerialPort::AllDirections);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
    if (port.open(QIODevice::ReadWrite)) {
        port.clear(QSerialPort::Input);
        return std::nullopt;
    }
    switch (port.error()) {
    case QSerialPort::DeviceNotFoundError:
        return OpenFailure{exitNoSuchPort, QStringLiteral("no such port")};
    case QSerialPort::PermissionError:
    case QSerialPort::OpenError:
        return OpenFailure{exitPortBusy, busyOrNotPermitted(name)};
    default:
        return OpenFailure{exitNoSuchPort, QStringLiteral("not a serial port (%1)").arg(port.errorString())};
    }
}

void closeMeterPort(QSerialPort &port)
{
    if (!port.isOpen())
        return;
    port.clear(QSerialPort::Output);
    port.close();
}

} // namespace cli
