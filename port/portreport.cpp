// SPDX-License-Identifier: MIT
#include "port/portreport.h"

#include <QObject>
#include <QSerialPortInfo>

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#endif

namespace {

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
bool isBusy(const QSerialPortInfo &port)
{
    return port.isBusy();
}
#else
// Qt 6 dropped isBusy(); ask the lock file that QSerialPort takes on open
// instead, without opening the port itself (opening may reset a device).
bool isBusy(const QSerialPortInfo &port)
{
    if (port.portName().isEmpty())
        return false;
    QString fileName = port.portName();
    fileName.replace(QLatin1Char('/'), QLatin1Char('_')).prepend(QStringLiteral("LCK.."));
    const QStringList lockDirectories = {QStringLiteral("/var/lock"), QStringLiteral("/run/lock"),
                                         QDir::tempPath()};
    for (const QString &directory : lockDirectories) {
        const QString path = directory + QLatin1Char('/') + fileName;
        if (!QFileInfo::exists(path))
            continue;
        QLockFile lock(path);
        if (lock.tryLock(0)) {
            lock.unlock(); // it was stale, and is gone now
            continue;
        }
        if (lock.error() == QLockFile::LockFailedError)
            return true;
    }
    return false;
}
#endif

QString identifierText(bool present, quint16 value)
{
    return present ? QString::number(uint(value), 16) : QString();
}

} // namespace

PortDetails portDetailsOf(const QSerialPortInfo &port)
{
    PortDetails details;
    details.portName = port.portName();
    details.systemLocation = port.systemLocation();
    details.description = port.description();
    details.manufacturer = port.manufacturer();
    details.serialNumber = port.serialNumber();
    details.hasVendorIdentifier = port.hasVendorIdentifier();
    details.vendorIdentifier = port.vendorIdentifier();
    details.hasProductIdentifier = port.hasProductIdentifier();
    details.productIdentifier = port.productIdentifier();
    details.busy = isBusy(port);
    return details;
}

QString portReportBlock(const PortDetails &details)
{
    const QChar lineFeed = QLatin1Char('\n');
    return QObject::tr("Port: ") + details.portName + lineFeed
        + QObject::tr("Location: ") + details.systemLocation + lineFeed
        + QObject::tr("Description: ") + details.description + lineFeed
        + QObject::tr("Manufacturer: ") + details.manufacturer + lineFeed
        + QObject::tr("Serial number: ") + details.serialNumber + lineFeed
        + QObject::tr("Vendor Identifier: ")
        + identifierText(details.hasVendorIdentifier, details.vendorIdentifier) + lineFeed
        + QObject::tr("Product Identifier: ")
        + identifierText(details.hasProductIdentifier, details.productIdentifier) + lineFeed
        + QObject::tr("Busy: ") + (details.busy ? QObject::tr("Yes") : QObject::tr("No"))
        + lineFeed;
}
