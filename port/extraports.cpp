// SPDX-License-Identifier: MIT
#include "port/extraports.h"

#include <QString>

QStringList extraPortPaths()
{
    QStringList paths = QString::fromLocal8Bit(qgetenv("ZERAK_EXTRA_PORTS")).split(QLatin1Char(':'));
    paths.removeAll(QString());
    return paths;
}
