#pragma once

// What zerak-cli was asked to do, checked before anything touches a port.

#include <QString>
#include <QStringList>

#include <optional>

class QCommandLineParser;
struct OpenFailure;

namespace cli {

// Every way a run can end, so a script can tell them apart.
enum ExitCode {
    exitOk = 0,
    exitFailure = 1, // anything else, e.g. the plot could not be written
    exitBadArguments = 2,
    exitNoSuchPort = 3,
    exitPortBusy = 4, // busy or not permitted
    exitNoReply = 5,  // also: detect found no meter
    exitDeviceLost = 6,
    exitOutsideLimit = 7,
};

ExitCode exitCodeFor(const ::OpenFailure &failure);

enum class Command { Ports, Detect, Wavelength, NextWavelength, Measure };

// Levels and losses are kept in hundredths of a dB, the meter's resolution,
// so that comparisons and differences are exact.
struct Limits
{
    std::optional<int> low;
    std::optional<int> high;
    bool contains(int hundredths) const;
};

struct Options
{
    Command command = Command::Ports;
    QString port;
    int count = 0; // 0: until interrupted
    int intervalMs = 1000;
    bool csv = false;
    bool stats = false;
    std::optional<int> reference; // dBm, in hundredths
    std::optional<Limits> limits;
    QString plotFile;
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

} // namespace cli
