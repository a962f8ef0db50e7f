// SPDX-License-Identifier: MIT
// reference and loss: per wavelength, set the meter, ask for the cord or
// the link, take N readings.

#include "cli/meterrun.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace cli {

namespace {

bool stdinIsTerminal()
{
#ifdef Q_OS_UNIX
    return ::isatty(STDIN_FILENO) == 1;
#else
    return false;
#endif
}

QString toolName()
{
    return QStringLiteral("zerak-cli ") + QCoreApplication::applicationVersion();
}

// What went wrong printing them, or nothing.
QString printLines(const QStringList &lines)
{
    for (const QString &line : lines)
        if (!printLine(line))
            return stdoutError();
    return QString();
}

} // namespace

// The reference and the budget are checked before the port is opened: they
// need no meter.
bool MeterRun::checkLossTest()
{
    QString error;
    const std::optional<ReferenceRecord> loaded = loadReference(options.referenceFile, &error);
    if (!loaded) {
        failWith(exitBadArguments, error);
        return false;
    }
    loadedReference = *loaded;
    testWavelengths = options.wavelengths;
    if (testWavelengths.isEmpty())
        for (const ReferenceLevel &level : qAsConst(loadedReference.levels))
            testWavelengths << level.wavelengthNm;
    for (quint16 nm : qAsConst(testWavelengths))
        if (!loadedReference.at(nm)) {
            failWith(exitBadArguments, QStringLiteral("%1 nm is not in the reference %2; take a reference at %1 nm "
                                                      "first")
                                           .arg(nm)
                                           .arg(options.referenceFile));
            return false;
        }
    if (options.maxLoss)
        for (quint16 nm : qAsConst(testWavelengths))
            if (!options.maxLoss->at(nm)) {
                failWith(exitBadArguments, QStringLiteral("--max-loss gives no budget for %1 nm").arg(nm));
                return false;
            }
    const qint64 ageSeconds = loadedReference.taken.secsTo(QDateTime::currentDateTime());
    if (ageSeconds > 24 * 3600) {
        const qint64 days = ageSeconds / (24 * 3600);
        printError(QStringLiteral("warning: the reference in %1 was taken %2, %3 ago; take a new one")
                       .arg(options.referenceFile, loadedReference.taken.toString(Qt::ISODate),
                            days == 1 ? QStringLiteral("1 day") : QStringLiteral("%1 days").arg(days)));
    }
    return true;
}

void MeterRun::startLossTest()
{
    if (options.command == Command::Reference)
        testWavelengths = options.wavelengths;
    samples = QVector<session::ReadingStats>(testWavelengths.size());
    onReading = [this](const meter::Frame &frame, quint16 nm) { sampled(frame, nm); };
    if (testWavelengths.isEmpty()) {
        // The meter's current wavelength.
        onConfirmed = [this](quint16 nm) {
            testWavelengths << nm;
            samples.resize(1);
            testWavelength(0);
        };
        session->askWavelength();
        return;
    }
    testWavelength(0);
}

void MeterRun::testWavelength(int index)
{
    current = index;
    const quint16 nm = testWavelengths.at(index);
    onWavelength = [this](quint16 nm) {
        const QString what = options.command == Command::Reference ? QStringLiteral("the reference cord")
                                                                    : QStringLiteral("the link under test");
        waitForEnter(QStringLiteral("Connect %1, set the source to %2 nm and press Enter").arg(what).arg(nm),
                     [this] { session->takeReading(); });
    };
    stepper->stepTo(nm);
}

void MeterRun::waitForEnter(const QString &prompt, std::function<void()> then)
{
    if (options.noPrompt || !stdinIsTerminal()) {
        then();
        return;
    }
    std::fputs(qPrintable(prompt + QStringLiteral(" ")), stderr);
    std::fflush(stderr);
#ifdef Q_OS_UNIX
    // Read in the event loop, so that Ctrl-C and the line stay served.
    stdinNotifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(stdinNotifier, &QSocketNotifier::activated, this, [this, then] {
        char bytes[256];
        const ssize_t count = ::read(STDIN_FILENO, bytes, sizeof bytes);
        if (count <= 0) {
            interrupt(); // end of input: nobody will press Enter
            return;
        }
        if (!memchr(bytes, '\n', size_t(count)))
            return;
        stdinNotifier->deleteLater();
        stdinNotifier = nullptr;
        then();
    });
#else
    then();
#endif
}

void MeterRun::sampled(const meter::Frame &frame, quint16 nm)
{
    if (frame.unitFlag != 0) {
        fail(exitBadArguments,
             QStringLiteral("the meter reports dB, a loss against its own stored reference; a %1 needs absolute "
                            "levels: switch the meter to dBm")
                 .arg(options.command == Command::Reference ? QStringLiteral("reference")
                                                            : QStringLiteral("loss test")));
        return;
    }
    if (nm != testWavelengths.at(current)) {
        // Changed on the keypad meanwhile: these readings are not of that wavelength.
        fail(exitNoReply, QStringLiteral("the meter changed to %1 nm while measuring %2 nm; nothing was saved: "
                                         "leave its keys alone and run %3 again")
                              .arg(nm)
                              .arg(testWavelengths.at(current))
                              .arg(options.command == Command::Reference ? QStringLiteral("reference")
                                                                         : QStringLiteral("loss")));
        return;
    }
    session::ReadingStats &stats = samples[current];
    stats.add(session::levelOf(frame));
    if (stats.count() < options.count) {
        session->takeReading();
        return;
    }
    if (current + 1 < testWavelengths.size()) {
        testWavelength(current + 1);
        return;
    }
    if (options.command == Command::Reference)
        finishReference();
    else
        finishLoss();
}

void MeterRun::finishReference()
{
    ReferenceRecord record;
    QStringList lines;
    record.taken = session::nowWithOffset();
    record.port = options.port;
    record.tool = toolName();
    for (int i = 0; i < testWavelengths.size(); ++i) {
        const session::ReadingStats &stats = samples.at(i);
        record.levels << ReferenceLevel{testWavelengths.at(i), stats.mean(), stats.deviation(), stats.count()};
        lines << QStringLiteral("%1 nm  %2 dBm  std dev %3 dB  (%4 readings)")
                     .arg(testWavelengths.at(i))
                     .arg(hundredthsText(stats.mean()), hundredthsText(stats.deviation()))
                     .arg(stats.count());
    }
    // Shown before the file is written: a file that cannot be written loses no level.
    QString problem = printLines(lines);
    QString error;
    if (!saveReference(options.outputFile, record, &error)) {
        if (!problem.isEmpty())
            printError(problem);
        problem = QStringLiteral("cannot write the reference to %1: %2").arg(options.outputFile, error);
    }
    if (!problem.isEmpty()) {
        failWith(exitFailure, problem);
        return;
    }
    finish(exitOk);
}

void MeterRun::finishLoss()
{
    LossRecord record;
    record.at = session::nowWithOffset();
    record.port = options.port;
    record.tool = toolName();
    record.referenceFile = options.referenceFile;
    record.reference = loadedReference;
    for (int i = 0; i < testWavelengths.size(); ++i) {
        const quint16 nm = testWavelengths.at(i);
        const std::optional<double> budget = options.maxLoss ? options.maxLoss->at(nm) : std::nullopt;
        record.rows << lossRow(nm, *loadedReference.at(nm), samples.at(i), budget);
    }
    // Shown before the report is written: a report that cannot be written loses no result.
    QString problem = printLines(lossTable(record) << record.verdict());
    QString error;
    if (!options.reportFile.isEmpty() && !writeReport(options.reportFile, record, &error)) {
        if (!problem.isEmpty())
            printError(problem);
        problem = QStringLiteral("cannot write the report to %1: %2").arg(options.reportFile, error);
    }
    if (!problem.isEmpty()) {
        failWith(exitFailure, problem);
        return;
    }
    finish(record.pass() == false ? exitOutsideLimit : exitOk);
}

} // namespace cli
