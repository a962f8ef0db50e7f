// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

class QSerialPortInfo;

// What the port report shows of one port, taken from the enumeration once.
struct PortDetails
{
    QString portName;
    QString systemLocation;
    QString description;
    QString manufacturer;
    QString serialNumber;
    bool hasVendorIdentifier = false;
    quint16 vendorIdentifier = 0;
    bool hasProductIdentifier = false;
    quint16 productIdentifier = 0;
    bool busy = false;
};

PortDetails portDetailsOf(const QSerialPortInfo &port);

// Eight "Label: value" lines, each ending in a line feed.
QString portReportBlock(const PortDetails &details);
