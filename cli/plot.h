#pragma once

// Power against time as a chart, drawn with QPainter: PNG through QImage,
// SVG through QSvgGenerator. Text needs a QGuiApplication.

#include "cli/readings.h"

#include <QSize>

namespace cli {

struct PlotInfo
{
    QString port;
    quint16 wavelengthNm = 0;
    std::optional<int> reference; // hundredths of dBm
    std::optional<Limits> limits;
};

constexpr QSize plotSize(1200, 700);

// By the file's extension, .png or .svg. False with a reason on failure.
bool writePlot(const QString &fileName, const QVector<Reading> &readings, const PlotInfo &info,
               QString *error);

} // namespace cli
