// SPDX-License-Identifier: MIT
#pragma once

// What zerak-cli was asked to do, checked before anything touches a port.

#include "job/budget.h"
#include "job/jobdata.h"
#include "session/exitcode.h"
#include "session/values.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

class QCommandLineParser;

namespace cli {

// The session's exit codes and values, as this program's own.
using session::ExitCode;
using session::exitOk;
using session::exitFailure;
using session::exitBadArguments;
using session::exitNoSuchPort;
using session::exitPortBusy;
using session::exitNoReply;
using session::exitDeviceLost;
using session::exitOutsideLimit;
using session::exitNoSuchWavelength;
using session::exitInterrupted;
using session::Budget;
using session::hundredthsText;
using session::Limits;

enum class Command {
    Ports,
    Detect,
    Wavelength,
    NextWavelength,
    Measure,
    Reference,
    Loss,
    JobNew,
    JobReference,
    JobTest,
    JobRun,
    JobStatus,
    JobReport,
    JobExport,
    Serve,
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

    // job: the file, and for job new what it holds
    QString jobFile;
    job::JobDefinition job; // its tool and time are set when it is made
    std::optional<int> fibre; // job test: else the next one
    job::Direction direction = job::Direction::AToB;
    QHostAddress listenAddress{QHostAddress::LocalHost}; // serve
    quint16 listenPort = 5025;
    int maxClients = 8;
};

bool isJobCommand(Command command);

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
