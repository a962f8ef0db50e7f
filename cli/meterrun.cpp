#include "cli/meterrun.h"

#include "cli/plot.h"
#include "port/devicegone.h"
#include "port/lineport.h"

#include <QTimer>

namespace cli {

MeterRun::MeterRun(const Options &options, QObject *parent)
    : QObject(parent),
      options(options),
      port(new QSerialPort(this)),
      link(new meter::MeterLink(port, this)),
      nextReading(new QTimer(this)),
      holdTimer(new QTimer(this)),
      progress(options.count)
{
    nextReading->setSingleShot(true);
    connect(nextReading, &QTimer::timeout, this, &MeterRun::requestReading);
    holdTimer->setSingleShot(true);
    connect(holdTimer, &QTimer::timeout, this, &MeterRun::accept);
    connect(port, &QSerialPort::readyRead, link, &meter::MeterLink::readAvailable);
    connect(port, &QSerialPort::errorOccurred, this, &MeterRun::portError);
    connect(link, &meter::MeterLink::replyReceived, this, &MeterRun::replied);
    connect(link, &meter::MeterLink::commandGivenUp, this, &MeterRun::givenUp);
    connect(link, &meter::MeterLink::writeFailed, this, [this] { writeFailedSinceReply = true; });
}

void MeterRun::start()
{
    runClock.start();
    if (const std::optional<OpenFailure> failure = openMeterPort(*port, options.port)) {
        fail(exitCodeFor(*failure), failure->reason);
        return;
    }
    link->reset();
    // The wavelength of a measurement run goes into its CSV and its chart.
    stage = Stage::AskingWavelength;
    asked = options.command == Command::NextWavelength ? meter::cmdNextWavelength : meter::cmdQueryWavelength;
    link->send(asked);
}

void MeterRun::interrupt()
{
    takeHeldReading();
    finish(exitOk);
}

// Nothing came behind it: as good as a reply taken after the quiet.
void MeterRun::takeHeldReading()
{
    if (stage != Stage::Measuring || !held)
        return;
    holdTimer->stop();
    accept();
}

void MeterRun::replied(const meter::Reply &reply)
{
    if (stage != Stage::AskingWavelength && stage != Stage::Measuring)
        return;
    if (held) {
        // Out of step: neither frame can be trusted. Ask again.
        held.reset();
        holdTimer->stop();
        missed(true);
        return;
    }
    // Only a reply to what was asked, in its role: a frame that answers
    // nothing, or a late wavelength among readings, is never taken.
    const quint8 awaited = stage == Stage::Measuring ? quint8(meter::cmdMeasure) : asked;
    if (reply.command != awaited || reply.role != meter::replyKindFor(awaited))
        return;
    writeFailedSinceReply = false;
    // A power reply cut short is noise on the line, not a level.
    if (stage == Stage::Measuring && reply.bytes.size() != meter::frameSize) {
        missed(true);
        return;
    }
    held = meter::decodeFrame(reply.bytes);
    heldAt = QDateTime::currentDateTime();
    heldAt = heldAt.toOffsetFromUtc(heldAt.offsetFromUtc());
    heldElapsedMs = runClock.elapsed();
    holdTimer->start(link->quietMs());
}

void MeterRun::accept()
{
    if (!held)
        return;
    const meter::Frame frame = *held;
    held.reset();
    missedInARow = 0;
    noiseSinceReply = false;
    if (stage == Stage::Measuring) {
        takeReading(frame);
        return;
    }
    if (options.command != Command::Measure) {
        printLine(meter::wavelengthText(frame));
        finish(exitOk);
        return;
    }
    wavelengthNm = frame.value;
    stage = Stage::Measuring;
    if (options.csv)
        printLine(csvHeader(options));
    progress.show(0);
    requestReading();
}

void MeterRun::givenUp(const meter::GiveUp &giveUp)
{
    const quint8 command = giveUp.command;
    if ((stage == Stage::AskingWavelength && command == asked)
        || (stage == Stage::Measuring && command == meter::cmdMeasure))
        missed(false);
}

void MeterRun::missed(bool noise)
{
    ++missedInARow;
    noiseSinceReply = noiseSinceReply || noise;
    // Stepping twice would leave the meter elsewhere than printed.
    const bool mayRepeat = asked != meter::cmdNextWavelength;
    // Where nothing has answered yet, the link writes nothing more.
    if (missedInARow >= maxMissedInARow || !mayRepeat || !link->meterAnswered()) {
        QString reason = noiseSinceReply
                             ? QStringLiteral("no usable reply: frames cut short or out of step")
                             : QStringLiteral("no reply within %1 s").arg(meter::replyDeadlineMs / 1000.0);
        if (missedInARow > 1)
            reason += QStringLiteral(" (%1 requests in a row)").arg(missedInARow);
        if (writeFailedSinceReply)
            reason += QStringLiteral("; writes to the port did not complete");
        fail(exitNoReply, reason);
        return;
    }
    if (stage == Stage::Measuring)
        requestReading();
    else
        link->send(asked);
}

void MeterRun::portError(QSerialPort::SerialPortError error)
{
    if (stage != Stage::Done && deviceGone(port, error))
        fail(exitDeviceLost, QStringLiteral("device lost mid-run (unplugged or switched off)"));
}

void MeterRun::requestReading()
{
    if (stage != Stage::Measuring)
        return;
    lastRequestMs = runClock.elapsed();
    link->send(meter::cmdMeasure);
}

void MeterRun::takeReading(const meter::Frame &frame)
{
    if (readings.isEmpty())
        firstReadingMs = heldElapsedMs;
    const Reading reading = readingFrom(frame, options, heldAt, heldElapsedMs - firstReadingMs);
    readings.append(reading);
    if (reading.pass && !*reading.pass)
        ++outsideLimit;

    progress.clear();
    if (options.reference && !reading.loss && !warnedNoLoss) {
        warnedNoLoss = true;
        printError(options.port + QStringLiteral(": the meter reports dB, not dBm: no loss against --reference"));
    }
    printLine(options.csv ? csvRow(reading, wavelengthNm, options) : readingLine(reading, options));
    if (options.count > 0 && readings.size() >= options.count) {
        finish(exitOk);
        return;
    }
    progress.show(readings.size());
    const qint64 wait = lastRequestMs + options.intervalMs - runClock.elapsed();
    nextReading->start(int(qMax<qint64>(0, wait)));
}

void MeterRun::fail(ExitCode code, const QString &reason)
{
    takeHeldReading(); // may be the last one asked for
    if (stage == Stage::Done)
        return;
    progress.clear();
    printError(options.port + QStringLiteral(": ") + reason);
    finish(code);
}

void MeterRun::finish(int exitCode)
{
    if (stage == Stage::Done)
        return;
    stage = Stage::Done;
    nextReading->stop();
    holdTimer->stop();
    progress.clear();
    closeMeterPort(*port);
    link->reset();
    emit finished(writeSummary(exitCode));
}

// Stats and chart of whatever was read, however the run ended.
int MeterRun::writeSummary(int exitCode)
{
    if (readings.isEmpty())
        return exitCode;
    if (options.stats) {
        const QStringList lines = statsLines(readings);
        for (const QString &line : lines)
            options.csv ? printErrorLine(line) : printLine(line);
    }
    bool plotWritten = true;
    if (!options.plotFile.isEmpty()) {
        const PlotInfo info{options.port, wavelengthNm, options.reference, options.limits};
        QString error;
        plotWritten = writePlot(options.plotFile, readings, info, &error);
        if (!plotWritten)
            printError(QStringLiteral("cannot write the plot to %1: %2").arg(options.plotFile, error));
    }
    if (outsideLimit > 0)
        printError(options.port + QStringLiteral(": %1 of %2 readings outside the limit")
                                      .arg(outsideLimit)
                                      .arg(readings.size()));
    // A broken run says so first; a failing fibre before a lost chart.
    if (exitCode == exitOk && outsideLimit > 0)
        return exitOutsideLimit;
    if (exitCode == exitOk && !plotWritten)
        return exitFailure;
    return exitCode;
}

} // namespace cli
