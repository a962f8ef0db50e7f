// SPDX-License-Identifier: MIT
#pragma once

// What zerak-cli was asked to do, checked before anything touches a port.

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

class QCommandLineParser;
struct OpenFailure;

namespace cli {

// Every way a run can end, so a script can tell them apart.
enum ExitCode {
    exitOk = 0,
    exitFailure = 1, // anything else, e.g. a row, the chart or the report could not be written
    exitBadArguments = 2,
    exitNoSuchPort = 3,
    exitPortBusy = 4, // busy or not permitted
    exitNoReply = 5,  // no usable reply; also: detect found no meter
    exitDeviceLost = 6,
    exitOutsideLimit = 7, // a reading outside --limit, a loss over --max-loss
    exitNoSuchWavelength = 8,
    exitInterrupted = 9, // interrupted before anything was measured
};

ExitCode exitCodeFor(const ::OpenFailure &failure);

enum class Command { Ports, Detect, Wavelength, NextWavelength, Measure, Reference, Loss };

// Bounds in hundredths of a dB, taken from the decimal text as written: a
// limit is never rounded to the meter's resolution.
struct Limits
{
    std::optional<double> low;
    std::optional<double> high;
    bool contains(double hundredths) const;
};

// The loss budget: one for every wavelength, or one per wavelength.
struct Budget
{
    std::optional<double> all; // hundredths of a dB
    QMap<quint16, double> byWavelength;
    std::optional<double> at(quint16 nanometres) const;
};

struct Options
{
    Command command = Command::Ports;
    QString port;
    int deadlineMs = 1000;
    int gapMs = 50;
    int count = 0; // measure: 0 = until interrupted; reference, loss: per wavelength
    int intervalMs = 1000;
    std::optional<qint64> durationMs;
    bool csv = false;
    bool json = false;
    bool stats = false;
    std::optional<double> reference; // measure: dBm, in hundredths
    std::optional<Limits> limits;
    std::optional<Budget> maxLoss;
    std::optional<quint16> wavelength;
    QVector<quint16> wavelengths;
    bool noPrompt = false;
    QString plotFile;
    QString outputFile;
    QString referenceFile; // loss
    QString reportFile;
};

struct UsageError
{
    QString message;
};

void addOptions(QCommandLineParser &parser);
// Throws UsageError.
Options optionsFrom(const QCommandLineParser &parser);
// Appended to the parser's own help: the commands and the exit codes.
QString helpEpilogue();

// "-15.00" from hundredths, rounded to the hundredth; never "-0.00".
QString hundredthsText(double hundredths);

} // namespace cli
