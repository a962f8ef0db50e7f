// SPDX-License-Identifier: MIT
#include "cli/meterrun.h"

#include "port/lineport.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cstdio>

namespace cli {

namespace {

// More steps than any meter has wavelengths: a meter reporting something
// new on every step is not cycling.
constexpr int maxSteps = 32;
// Beyond the time a wavelength confirmation takes, for the scheduler's slack.
constexpr qint64 confirmationMarginMs = 200;

QString wavelengthList(QVector<quint16> list)
{
    std::sort(list.begin(), list.end());
    QStringList texts;
    for (quint16 nm : list)
        texts << QString::number(nm);
    return texts.join(QStringLiteral(", "));
}

QDateTime nowWithOffset()
{
    const QDateTime now = QDateTime::currentDateTime();
    return now.toOffsetFromUtc(now.offsetFromUtc());
}

} // namespace

MeterRun::MeterRun(const Options &options, QObject *parent)
    : QObject(parent),
      options(options),
      session(new MeterSession(options.port, meter::Timing{options.gapMs, options.deadlineMs}, this)),
      nextReading(new QTimer(this)),
      durationTimer(new QTimer(this)),
      progress(options.command == Command::Measure ? options.count : 0)
{
    nextReading->setSingleShot(true);
    nextReading->setTimerType(Qt::PreciseTimer);
    connect(nextReading, &QTimer::timeout, this, &MeterRun::requestReading);
    durationTimer->setSingleShot(true);
    durationTimer->setTimerType(Qt::PreciseTimer);
    // A reading asked for before the end is still taken.
    connect(durationTimer, &QTimer::timeout, this, [this] {
        durationOver = true;
        if (!inFlight)
            finish(exitOk);
    });
    connect(session, &MeterSession::wavelengthConfirmed, this, [this](quint16 nm, bool stepped) {
        if (onWavelength)
            onWavelength(nm, stepped);
    });
    connect(session, &MeterSession::readingTaken, this, [this](const meter::Frame &frame, quint16 nm) {
        if (onReading)
            onReading(frame, nm);
    });
    connect(session, &MeterSession::failed, this, &MeterRun::fail);
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
        QString reason = failure->reason;
        const QString group = failure->group;
        if (failure->kind == OpenFailure::NotPermitted && !group.isEmpty() && group != QLatin1String("root"))
            reason += QStringLiteral("; add your user to the %1 group: sudo usermod -aG %1 $USER, then log in again")
                          .arg(group);
        else if (failure->kind == OpenFailure::NotPermitted)
            reason += QStringLiteral("; give the device to the dialout group (a udev rule) and add your user to it: "
                                     "sudo usermod -aG dialout $USER, then log in again");
        fail(exitCodeFor(*failure), reason);
        return;
    }
    switch (options.command) {
    case Command::Wavelength:
        onWavelength = [this](quint16 nm, bool) { report(QStringLiteral("%1 nm").arg(nm)); };
        session->askWavelength();
        break;
    case Command::NextWavelength:
        nextWavelength();
        break;
    case Command::Measure:
        if (options.wavelength)
            setWavelength(*options.wavelength, [this] { startMeasuring(); });
        else {
            onWavelength = [this](quint16, bool) { startMeasuring(); };
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

// Known first, so that a step whose reply was in doubt can be told from one not taken.
void MeterRun::nextWavelength()
{
    onWavelength = [this](quint16 before, bool) {
        onWavelength = [this, before](quint16 nm, bool stepped) {
            if (!stepped && nm == before && ++steps < MeterSession::maxFaultsInARow) {
                session->stepWavelength();
                return;
            }
            report(QStringLiteral("%1 nm").arg(nm));
        };
        session->stepWavelength();
    };
    session->askWavelength();
}

void MeterRun::setWavelength(quint16 nm, std::function<void()> then)
{
    target = nm;
    offered.clear();
    steps = 0;
    whenSet = std::move(then);
    onWavelength = [this](quint16 at, bool) {
        offered << at;
        stepTowards();
    };
    session->askWavelength();
}

void MeterRun::stepTowards()
{
    const quint16 at = offered.last();
    if (at == target) {
        whenSet();
        return;
    }
    // Back where it began: the meter went through all it offers.
    if (offered.size() > 1 && at == offered.first()) {
        offered.removeLast();
        fail(exitNoSuchWavelength, QStringLiteral("the meter offers %1 nm; not %2")
                                       .arg(wavelengthList(offered))
                                       .arg(target));
        return;
    }
    if (++steps > maxSteps) {
        fail(exitNoSuchWavelength, QStringLiteral("the meter reported %1 nm over %2 steps, never %3 nm")
                                       .arg(wavelengthList(offered))
                                       .arg(maxSteps)
                                       .arg(target));
        return;
    }
    onWavelength = [this](quint16 next, bool stepped) {
        // A step in doubt that left the meter where it was: step again.
        if (stepped || next != offered.last())
            offered << next;
        stepTowards();
    };
    session->stepWavelength();
}

void MeterRun::startMeasuring()
{
    if (done)
        return;
    if (options.csv && !write(csvHeader(options)))
        return;
    if (options.plotFile.size())
        chart = std::make_unique<ChartData>();
    onReading = [this](const meter::Frame &frame, quint16 nm) { measured(frame, nm); };
    progress.show(0);
    requestReading();
}

void MeterRun::requestReading()
{
    if (confirmFirst) {
        confirmFirst = false;
        onWavelength = [this](quint16, bool) {
            nextReading->start(int(std::max<qint64>(0, startedMs + slot * options.intervalMs - session->elapsedMs())));
        };
        session->askWavelength();
        return;
    }
    inFlight = true;
    session->takeReading();
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

void MeterRun::measured(const meter::Frame &frame, quint16 nm)
{
    inFlight = false;
    const qint64 now = session->elapsedMs();
    const Reading reading = readingFrom(frame, nm, options, nowWithOffset(), summary.count() == 0 ? 0 : now - startedMs);
    if (summary.count() == 0) {
        startedMs = now; // the schedule, the duration and the chart count from the first reading
        if (options.durationMs)
            durationTimer->start(int(std::min<qint64>(*options.durationMs, INT_MAX)));
    }
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
    if ((options.count > 0 && summary.count() >= options.count) || durationOver) {
        finish(exitOk);
        return;
    }
    progress.show(int(summary.count()));
    scheduleReading();
}

// Reading k at start + k * interval, whatever each took: a late one is
// followed at once by the next until the schedule is kept again.
void MeterRun::scheduleReading()
{
    const qint64 now = session->elapsedMs();
    if (options.intervalMs == 0) {
        requestReading();
        return;
    }
    ++slot;
    const qint64 due = startedMs + slot * options.intervalMs;
    if (options.durationMs && due - startedMs >= *options.durationMs) {
        finish(exitOk);
        return;
    }
    const qint64 wait = due - now;
    // Time enough before the reading: ask the wavelength just ahead of it
    // rather than make the reading late. Asked any earlier, it would be a
    // second old again by the reading and asked twice.
    const qint64 lead = session->confirmationMs() + confirmationMarginMs;
    confirmFirst = wait > lead && session->confirmationAge() + wait > MeterSession::maxConfirmationAgeMs;
    nextReading->start(int(std::max<qint64>(0, confirmFirst ? wait - lead : wait)));
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
    nextReading->stop();
    durationTimer->stop();
    delete stdinNotifier;
    stdinNotifier = nullptr;
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
