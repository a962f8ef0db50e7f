// SPDX-License-Identifier: MIT
#include "port/devicegone.h"

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

bool deviceGone(QSerialPort *port, QSerialPort::SerialPortError error)
{
    if (!port->isOpen())
        return false;
    if (error == QSerialPort::ResourceError)
        return true; // the port has stopped reading by itself
    if (error != QSerialPort::ReadError)
        return false;
#ifdef Q_OS_UNIX
    // A read that found nothing is also reported as a read error: it happens
    // when a write's wait has already taken the data the event loop was told
    // about. Only a hung-up line is a lost device.
    pollfd line = {int(port->handle()), 0, 0};
    if (::poll(&line, 1, 0) >= 0 && (line.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) {
        port->clearError();
        return false;
    }
#endif
    return true;
}
