// SPDX-License-Identifier: MIT
#include "port/lineport.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <climits>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX
QString devicePath(const QString &name)
{
    return name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name;
}

// Where Qt's serial port takes its lock: LCK.. and the path without /dev/,
// slashes made underscores, in the first of these directories it may use.
QString lockFilePath(const QString &name)
{
    QString path = devicePath(name);
    if (path.startsWith(QLatin1String("/dev/")))
        path = path.mid(5);
    const QString fileName = QStringLiteral("/LCK..") + path.replace(QLatin1Char('/'), QLatin1Char('_'));
    const QStringList directories = {QStringLiteral("/var/lock"),      QStringLiteral("/etc/locks"),
                                     QStringLiteral("/var/spool/locks"), QStringLiteral("/var/spool/uucp"),
                                     QStringLiteral("/tmp"),           QStringLiteral("/var/tmp"),
                                     QStringLiteral("/var/lock/lockdev"), QStringLiteral("/run/lock"),
                                     QStandardPaths::writableLocation(QStandardPaths::TempLocation)};
    for (const QString &directory : directories) {
        const QFileInfo info(directory);
        if (info.isReadable() && (QFile::exists(directory + fileName) || info.isWritable()))
            return directory + fileName;
    }
    return QString();
}

QString processName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

QString ownerOf(const QString &path)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return QString();
    if (const passwd *user = ::getpwuid(status.st_uid))
        return QString::fromLocal8Bit(user->pw_name);
    return QString::number(status.st_uid);
}

QString groupOf(const QString &path)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return QString();
    if (const group *owner = ::getgrgid(status.st_gid))
        return QString::fromLocal8Bit(owner->gr_name);
    return QString();
}

// The port answered "busy or not permitted"; the files tell which, and why.
OpenFailure whyNotOpened(const QString &name)
{
    const QString path = devicePath(name);
    if (::access(QFile::encodeName(path).constData(), R_OK | W_OK) != 0 && errno == EACCES) {
        const QString group = groupOf(path);
        return {OpenFailure::NotPermitted,
                group.isEmpty() ? QStringLiteral("not permitted to open the port")
                                : QStringLiteral("not permitted to open the port: it belongs to group %1").arg(group),
                group};
    }
    const QString lock = lockFilePath(name);
    if (lock.isEmpty())
        return {OpenFailure::Busy, QStringLiteral("port busy: no directory for its lock file is writable"), {}};
    if (QFileInfo(lock).fileName().toLocal8Bit().size() > NAME_MAX)
        return {OpenFailure::PathTooLong,
                QStringLiteral("the port's path is too long: its lock file would be named with %1 characters, "
                               "more than the %2 a file name may have; use a shorter path or link to it")
                    .arg(QFileInfo(lock).fileName().toLocal8Bit().size())
                    .arg(NAME_MAX),
                {}};
    QFile file(lock);
    if (file.open(QIODevice::ReadOnly)) {
        bool ok = false;
        const qint64 pid = QString::fromLatin1(file.readLine()).trimmed().toLongLong(&ok);
        if (ok && pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM)) {
            const QString process = processName(pid);
            return {OpenFailure::Busy,
                    QStringLiteral("port busy: process %1%2 holds its lock file %3")
                        .arg(pid)
                        .arg(process.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(process), lock),
                    {}};
        }
        const QString owner = ownerOf(lock);
        return {OpenFailure::StaleLock,
                QStringLiteral("a stale lock file %1%2 blocks the port%3; remove it: sudo rm %1")
                    .arg(lock, owner.isEmpty() ? QString() : QStringLiteral(" of user %1").arg(owner),
                         ok ? QStringLiteral(" (process %1 has ended)").arg(pid) : QString()),
                {}};
    }
    if (file.exists())
        return {OpenFailure::StaleLock,
                QStringLiteral("a lock file %1 of user %2 blocks the port and cannot be read; remove it: sudo rm %1")
                    .arg(lock, ownerOf(lock)),
                {}};
    return {OpenFailure::Busy, QStringLiteral("port busy: another program has it open"), {}};
}
#else
OpenFailure whyNotOpened(const QString &)
{
    return {OpenFailure::Busy, QStringLiteral("port busy or not permitted"), {}};
}
#endif

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
        return OpenFailure{OpenFailure::NoSuchPort, QStringLiteral("no such port"), {}};
    case QSerialPort::PermissionError:
    case QSerialPort::OpenError:
        return whyNotOpened(name);
    default:
        return OpenFailure{OpenFailure::NotSerialPort, QStringLiteral("not a serial port (%1)").arg(port.errorString()), {}};
    }
}

void closeMeterPort(QSerialPort &port)
{
    if (!port.isOpen())
        return;
    port.clear(QSerialPort::Output);
    port.close();
}
