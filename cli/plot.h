// SPDX-License-Identifier: MIT
#pragma once

// measure --plot: power against time, one panel and trace per unit, with
// the limits asked for drawn where a reading passes them. Text needs a
// QGuiApplication.

#include "session/readings.h"

#include <QVector>

namespace cli {

using session::Budget;
using session::hundredthsText;
using session::Limits;
using session::Reading;
using session::ReadingStats;

struct PlotInfo
{
    QString port;
    std::optional<double> reference; // hundredths of dBm
    std::optional<Limits> limits;
    std::optional<Budget> maxLoss;
};

// What the chart keeps of each reading; only runs that draw one keep it.
class ChartData
{
public:
    struct Point
    {
        qint64 ms;
        int hundredths;
        bool failed;
    };
    void add(const Reading &reading);
    const QVector<Point> &points(bool decibel) const { return traces[decibel ? 1 : 0]; }
    const ReadingStats &stats(bool decibel) const { return levels[decibel ? 1 : 0]; }
    qint64 count() const { return levels[0].count() + levels[1].count(); }
    QVector<quint16> wavelengths() const { return seen; }
    QDateTime firstAt() const { return first; }
    qint64 lastMs() const { return last; }

private:
    QVector<Point> traces[2];
    ReadingStats levels[2];
    QVector<quint16> seen;
    QDateTime first;
    qint64 last = 0;
};

// By the file's extension: .png, .svg or .pdf; written whole or not at all.
// False with a reason on failure.
bool writePlot(const QString &fileName, const ChartData &data, const PlotInfo &info, QString *error);

} // namespace cli
