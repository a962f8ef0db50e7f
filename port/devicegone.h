// SPDX-License-Identifier: MIT
#pragma once

#include <QSerialPort>

// Whether an error on an open port means the device behind it is gone
// (cable pulled, meter switched off) rather than a passing hiccup.
bool deviceGone(QSerialPort *port, QSerialPort::SerialPortError error);
