// SPDX-License-Identifier: MIT
#include "cli/meterrun.h"

#include "cli/rows.h"
#include "port/lineport.h"


#include <utility>

namespace cli {

namespace {

session::ReadingRules rulesOf(const Options &options)
{
    return {options.reference, options.limits, options.maxLoss};
}

session::Schedule scheduleOf(const Options &options)
{
    return {options.count, options.intervalMs, options.durationMs};
}

} // namespace

MeterRun::MeterRun(const Options &options, QObject *parent)
    : QObject(parent),
      options(options),
      session(new session::MeterSession(options.port, meter::Timing{options.gapMs, options.deadlineMs}, this)),
      stepper(new session::WavelengthStepper(session, this)),
      loop(new session::MeasureLoop(session, scheduleOf(options), rulesOf(options), this)),
      progress(options.command == Command::Measure ? options.count : 0)
{
    connect(session, &session::MeterSession::failed, this, &MeterRun::fail);
    connect(stepper, &session::WavelengthStepper::failed, this, &MeterRun::fail);
    connect(stepper, &session::WavelengthStepper::reached, this, [this](quint16 nm) {
        if (onWavelength)
            onWavelength(nm);
    });
    connect(loop, &session::MeasureLoop::measured, this, &MeterRun::measured);
    connect(loop, &session::MeasureLoop::finished, this, [this] { finish(exitOk); });
    connect(session, &session::MeterSession::wavelengthConfirmed, this, [this](quint16 nm) {
        if (onConfirmed)
            std::exchange(onConfirmed, nullptr)(nm);
    });
    connect(session, &session::MeterSession::readingTaken, this, [this](const meter::Frame &frame, quint16 nm) {
        if (onReading)
            onReading(frame, nm);
    });
}

MeterRun::~MeterRun() = default;

void MeterRun::start()
{
    if (options.command == Command::Loss && !checkLossTest())
        return;
    if (options.command == Command::Measure && !rows.open(options.outputFile)) {
        failWith(exitFailure, rows.error());
        return;
    }
    if (const std::optional<OpenFailure> failure = session->open()) {
        fail(session::exitCodeFor(*failure), session::openFailureText(*failure));
        return;
    }
    switch (options.command) {
    case Command::Wavelength:
        onConfirmed = [this](quint16 nm) { report(QStringLiteral("%1 nm").arg(nm)); };
        session->askWavelength();
        break;
    case Command::NextWavelength:
        onWavelength = [this](quint16 nm) { report(QStringLiteral("%1 nm").arg(nm)); };
        stepper->stepOnce();
        break;
    case Command::Measure:
        if (options.wavelength) {
            onWavelength = [this](quint16) { startMeasuring(); };
            stepper->stepTo(*options.wavelength);
        } else {
            onConfirmed = [this](quint16) { startMeasuring(); };
            session->askWavelength();
        }
        break;
    default:
        startLossTest();
        break;
    }
}

void MeterRun::interrupt()
{
    if (done)
        return;
    interrupted = true;
    session->takeHeldReading(); // may be the last one asked for
    finish(exitOk);
}

void MeterRun::startMeasuring()
{
    if (done)
        return;
    if (options.csv && !write(csvHeader(options)))
        return;
    if (options.plotFile.size())
        chart = std::make_unique<ChartData>();
    progress.show(0);
    loop->start();
}

bool MeterRun::write(const QString &line)
{
    if (rows.writeLine(line))
        return true;
    if (rows.gone()) {
        interrupt(); // the reader has gone: as Ctrl-C
        return false;
    }
    failWith(exitFailure, rows.error());
    return false;
}

void MeterRun::measured(const session::Reading &reading, bool last)
{
    if (reading.decibel && options.reference) {
        fail(exitBadArguments,
             QStringLiteral("the meter reports dB, a loss against its own stored reference: --reference applies "
                            "to dBm readings only; leave it out (--max-loss then applies to -reading)"));
        return;
    }
    if (!reading.decibel && options.maxLoss && !options.reference) {
        fail(exitBadArguments, QStringLiteral("the meter reports dBm: --max-loss needs --reference DBM to "
                                              "compute the loss"));
        return;
    }
    progress.clear();
    const QString line = options.csv ? csvRow(reading, options)
                         : options.json ? jsonRow(reading, options)
                                        : readingLine(reading, options);
    if (!write(line))
        return;
    summary.add(reading);
    if (chart)
        chart->add(reading);
    if (!last)
        progress.show(int(summary.count()));
}

void MeterRun::report(const QString &line)
{
    if (!printLine(line)) {
        failWith(exitFailure, stdoutError());
        return;
    }
    finish(exitOk);
}

void MeterRun::fail(int exitCode, const QString &reason)
{
    failWith(exitCode, options.port + QStringLiteral(": ") + reason);
}

void MeterRun::failWith(int exitCode, const QString &message)
{
    if (done)
        return;
    progress.clear();
    printError(message);
    finish(exitCode);
}

void MeterRun::finish(int exitCode)
{
    if (done)
        return;
    done = true;
    loop->stop();
    stepper->stop();
    if (sweep)
        sweep->stop();
    if (linePrompt)
        linePrompt->cancel();
    progress.clear();
    session->close();
    emit finished(summarise(exitCode));
}

// Stats and chart of whatever was read, however the run ended.
int MeterRun::summarise(int exitCode)
{
    if (options.command == Command::Reference || options.command == Command::Loss) {
        if (exitCode != exitOk || !interrupted)
            return exitCode;
        // Whatever was measured is gone with the run: say so.
        printError(options.command == Command::Reference
                       ? QStringLiteral("interrupted: the reference was not saved; run reference again")
                       : QStringLiteral("interrupted: no verdict and no report; run loss again"));
        return exitInterrupted;
    }
    if (summary.count() == 0)
        return exitCode == exitOk && interrupted ? exitInterrupted : exitCode;
    if (options.stats) {
        // Beside plain rows; apart from CSV, JSON and a stream that is gone.
        const bool withRows = !options.csv && !options.json && !rows.failed();
        const QStringList lines = summary.lines();
        for (const QString &line : lines)
            if (!withRows || !rows.writeLine(line))
                printErrorLine(line);
    }
    bool chartWritten = true;
    if (chart) {
        const PlotInfo info{options.port, options.reference, options.limits, options.maxLoss};
        QString error;
        chartWritten = writePlot(options.plotFile, *chart, info, &error);
        if (!chartWritten)
            printError(QStringLiteral("cannot write the plot to %1: %2").arg(options.plotFile, error));
    }
    if (summary.outsideLimit() > 0)
        printError(options.port + QStringLiteral(": %1 of %2 readings outside the limit")
                                      .arg(summary.outsideLimit())
                                      .arg(summary.count()));
    // A broken run says so first; a failing fibre before a lost chart.
    if (exitCode == exitOk && summary.outsideLimit() > 0)
        return exitOutsideLimit;
    if (exitCode == exitOk && !chartWritten)
        return exitFailure;
    return exitCode;
}

} // namespace cli
