// SPDX-License-Identifier: MIT
#include "cli/clirun.h"

#include "app/interruption.h"
#include "cli/console.h"
#include "cli/detect.h"
#include "cli/jobcommands.h"
#include "cli/jobrun.h"
#include "cli/meterrun.h"
#include "cli/options.h"
#include "cli/serverun.h"
#include "port/portreport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QSerialPortInfo>

#include <cstdio>
#include <functional>
#include <memory>

namespace cli {

namespace {

// Scripts read stderr: Qt's own chatter (e.g. about XDG_RUNTIME_DIR under
// cron) must not mix with this program's messages. Only its errors pass.
void qtMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        printError(QStringLiteral("Qt: ") + message);
}

int badArguments(const QString &message)
{
    printError(message);
    printErrorLine(QStringLiteral("Try 'zerak-cli --help'."));
    return exitBadArguments;
}

bool listPorts()
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        if (!printLine(portReportBlock(portDetailsOf(port)))) // its last line feed and printLine's: an empty line
            return false;
    return true;
}

// A list nobody received is no success.
int written(bool ok)
{
    if (ok)
        return exitOk;
    printError(stdoutError());
    return exitFailure;
}

template <typename Runner>
int runInLoop(QCoreApplication &app, Runner *runner)
{
    QObject::connect(runner, &Runner::finished, &app, &QCoreApplication::exit, Qt::QueuedConnection);
    // Ctrl-C, SIGTERM, SIGHUP and a closed pipe end a run as its last reading
    // would: output flushed, stats and chart written.
    if (!onInterrupt(app, [runner] { runner->interrupt(); })) {
        std::perror("zerak-cli: signal handling");
        return exitFailure;
    }
    runner->start();
    return app.exec();
}

} // namespace

int run(int argc, char *argv[])
{
    qInstallMessageHandler(qtMessage);
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    addOptions(parser);
    const bool parsed = parser.parse(arguments);

    // Text in a chart needs the GUI application, which needs a platform;
    // without a display the offscreen one does.
    std::unique_ptr<QCoreApplication> app;
    // Qt's plain Unix event loop: the glib one makes system calls for every
    // notifier switched and every event posted, several per reading and per
    // query served. One already chosen is left alone.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    const QStringList positional = parser.positionalArguments();
    const bool cableReport = positional.value(0) == QLatin1String("job") && positional.value(1) == QLatin1String("report");
    const bool drawn = parser.isSet(QStringLiteral("plot")) || cableReport
                       || parser.value(QStringLiteral("report")).endsWith(QLatin1String(".pdf"), Qt::CaseInsensitive);
    if (parsed && drawn) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("zerak-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZERAK_VERSION));
    parser.setApplicationDescription(
        QStringLiteral("Finds the optical power meter on the serial ports, reads its wavelength and logs "
                       "its readings."));

    if (!parsed)
        return badArguments(parser.errorText());
    // --help-all too, where Qt adds it: this program takes no Qt options.
    if (parser.isSet(QStringLiteral("help")) || parser.optionNames().contains(QStringLiteral("help-all"))) {
        QString help = parser.helpText() + helpEpilogue();
        help.chop(1); // printLine ends the line
        return written(printLine(help));
    }
    if (parser.isSet(QStringLiteral("version"))) {
        return written(printLine(QStringLiteral("zerak-cli ") + QCoreApplication::applicationVersion()));
    }
    Options options;
    try {
        options = optionsFrom(parser);
    } catch (const UsageError &error) {
        return badArguments(error.message);
    }

    switch (options.command) {
    case Command::Ports:
        return written(listPorts());
    case Command::Detect: {
        DetectRun detector(meter::Timing{options.gapMs, options.deadlineMs});
        return runInLoop(*app, &detector);
    }
    case Command::JobNew:
        return jobNew(options);
    case Command::JobStatus:
        return jobStatus(options);
    case Command::JobReport:
        return jobReport(options);
    case Command::JobExport:
        return jobExport(options);
    case Command::JobReference:
    case Command::JobTest:
    case Command::JobRun: {
        JobRun jobRun(options);
        return runInLoop(*app, &jobRun);
    }
    case Command::Serve:
        return serve(*app, options);
    default: {
        MeterRun meterRun(options);
        return runInLoop(*app, &meterRun);
    }
    }
}

} // namespace cli
