// SPDX-License-Identifier: MIT
// A whole cable as a technician tests it: a job of 288 fibres at 1310 and
// 1550 nm in both directions, made by driving zerak-cli job run against
// zerak-sim (its --power per wavelength set for the reference, then for each
// direction), every process on its own. On it:
//
//   - job status: the median wall time of five runs, process start included:
//     under 100 ms;
//   - job report to PDF: the median of three: under 2 s; its pages; the peak
//     RSS of the process (from wait4);
//   - one result committed: the median of 200 fibres' results (two rows,
//     one transaction, synced) added to a copy of the job, in this process,
//     on the disk the job is on;
//   - job run: fibres per second against a meter answering at once, -n 1.
//
// Prints each figure against its target; exits 1 when one is missed.
// --keep DIR copies the job and its report there, to be looked at.

#include "job/jobstore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

extern char **environ;

namespace {

bool allMet = true;

void report(const char *what, double value, const char *unit, bool met, const char *target)
{
    std::printf("%-56s %10.2f %-6s target %-9s %s\n", what, value, unit, target, met ? "met" : "MISSED");
    std::fflush(stdout);
    allMet = allMet && met;
}

void figure(const char *what, double value, const char *unit)
{
    std::printf("%-56s %10.2f %-6s\n", what, value, unit);
    std::fflush(stdout);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

QString startSimulator(QProcess &sim, const QString &power)
{
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(ZERAK_SIM_PATH),
              {"--wavelengths", "1310,1550", "--power", power, "--noise", "3", "--delay", "0"});
    if (!sim.waitForStarted() || !sim.waitForReadyRead(5000))
        return QString();
    return QString::fromLocal8Bit(sim.readLine()).trimmed();
}

void stop(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(process.processId()), SIGINT);
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
    }
}

struct Ran
{
    int exitCode = -1;
    double seconds = 0;
    QByteArray out;
    QByteArray err;
};

Ran cli(const QStringList &arguments, int timeoutMs = 600000)
{
    QProcess process;
    QElapsedTimer clock;
    clock.start();
    process.start(QStringLiteral(ZERAK_CLI_PATH), arguments);
    process.closeWriteChannel();
    Ran ran;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    ran.seconds = clock.elapsed() / 1000.0;
    ran.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    ran.out = process.readAllStandardOutput();
    ran.err = process.readAllStandardError();
    return ran;
}

// Peak RSS in MiB of a run, which QProcess does not tell: spawned and reaped here.
double peakMiB(const QStringList &arguments, double *seconds)
{
    std::vector<QByteArray> bytes{QByteArray(ZERAK_CLI_PATH)};
    for (const QString &argument : arguments)
        bytes.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &argument : bytes)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, argv.front(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        return -1;
    int status = 0;
    rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid)
        return -1;
    *seconds = clock.elapsed() / 1000.0;
    return usage.ru_maxrss / 1024.0; // kB on Linux
}

bool drive(const QString &job, const QString &power, const QStringList &arguments, double *seconds)
{
    QProcess sim;
    const QString port = startSimulator(sim, power);
    if (port.isEmpty()) {
        std::printf("zerak-sim did not start\n");
        return false;
    }
    const Ran ran = cli(QStringList{"--port", port, "--gap", "10", "--timeout", "200"} + arguments + QStringList{job});
    stop(sim);
    *seconds = ran.seconds;
    if (ran.exitCode != 0 && ran.exitCode != 7 && ran.exitCode != 13) {
        std::printf("%s: exit %d\n%s", qPrintable(arguments.join(' ')), ran.exitCode, ran.err.constData());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString job = dir.filePath(QStringLiteral("cable-288.zjob"));
    Ran made = cli({"job", "new", job, "--cable", "B-288", "--fibres", "1-288", "--bidirectional", "--budget",
                    "singlemode-outside", "--length", "2", "--connectors", "2", "--splices", "4"});
    if (made.exitCode != 0) {
        std::printf("job new: %s", made.err.constData());
        return 1;
    }
    double seconds = 0;
    if (!drive(job, "1310:-12.50,1550:-11.00", {"job", "reference", "-n", "3"}, &seconds))
        return 1;
    if (!drive(job, "1310:-15.40,1550:-14.10", {"job", "run", "-n", "1", "--no-prompt"}, &seconds))
        return 1;
    std::printf("job run, 288 fibres A-B against zerak-sim --delay 0 (-n 1, --gap 10): %.1f s\n", seconds);
    figure("job run: fibres stored per second", 288 / seconds, "/s");
    if (!drive(job, "1310:-15.60,1550:-14.30", {"job", "run", "-n", "1", "--no-prompt", "--direction", "B-A"},
               &seconds))
        return 1;
    std::printf("job run, 288 fibres B-A: %.1f s; the job is %.0f KiB\n", seconds, QFileInfo(job).size() / 1024.0);

    std::vector<double> statusTimes;
    Ran status;
    for (int i = 0; i < 5; ++i) {
        status = cli({"job", "status", job});
        statusTimes.push_back(status.seconds * 1000);
    }
    const int lines = status.out.count('\n');
    if (status.exitCode < 0 || lines != 2 + 288 + 2) {
        std::printf("job status: exit %d, %d lines\n%s", status.exitCode, lines, status.err.constData());
        return 1;
    }
    report("job status, 288 fibres x 2 wavelengths x 2 directions", median(statusTimes), "ms",
           median(statusTimes) < 100, "< 100 ms");

    const QString pdf = dir.filePath(QStringLiteral("report.pdf"));
    std::vector<double> reportTimes;
    double peak = 0;
    for (int i = 0; i < 3; ++i) {
        double taken = 0;
        peak = std::max(peak, peakMiB({"job", "report", job, "--output", pdf}, &taken));
        reportTimes.push_back(taken);
    }
    QFile written(pdf);
    const QByteArray bytes = written.open(QIODevice::ReadOnly) ? written.readAll() : QByteArray();
    const int tree = bytes.indexOf("/Type /Pages");
    const int count = bytes.indexOf("/Count ", tree);
    const int pages = tree >= 0 && count > tree ? bytes.mid(count + 7, bytes.indexOf('\n', count) - count - 7).toInt() : 0;
    if (pages < 2) {
        std::printf("job report wrote no PDF of the cable\n");
        return 1;
    }
    report(qPrintable(QStringLiteral("job report to PDF (%1 pages, %2 KiB)").arg(pages).arg(bytes.size() / 1024)),
           median(reportTimes), "s", median(reportTimes) < 2, "< 2 s");
    figure("job report to PDF: peak RSS", peak, "MiB");

    // Commits on a copy, so the cable's figures above stay its own.
    const QString copy = dir.filePath(QStringLiteral("commits.zjob"));
    QFile::copy(job, copy);
    job::JobError error;
    std::unique_ptr<job::JobStore> store = job::JobStore::open(copy, job::JobStore::Access::Write, &error);
    if (!store) {
        std::printf("%s\n", qPrintable(error.message));
        return 1;
    }
    const QVector<job::StoredResult> model(store->results().mid(0, 2));
    std::vector<double> commits;
    for (int i = 0; i < 200; ++i) {
        QVector<job::StoredResult> results = model;
        QElapsedTimer clock;
        clock.start();
        if (!store->addResults(&results, &error)) {
            std::printf("%s\n", qPrintable(error.message));
            return 1;
        }
        commits.push_back(clock.nsecsElapsed() / 1e6);
    }
    const int keep = app.arguments().indexOf(QStringLiteral("--keep"));
    if (keep > 0 && keep + 1 < app.arguments().size()) {
        const QString there = app.arguments().at(keep + 1);
        QFile::remove(there + QStringLiteral("/cable-288.zjob"));
        QFile::remove(there + QStringLiteral("/cable-288.pdf"));
        QFile::copy(job, there + QStringLiteral("/cable-288.zjob"));
        QFile::copy(pdf, there + QStringLiteral("/cable-288.pdf"));
    }
    figure(qPrintable(QStringLiteral("one fibre's result committed (median of 200; max %1 ms)")
                          .arg(*std::max_element(commits.begin(), commits.end()), 0, 'f', 1)),
           median(commits), "ms");
    return allMet ? 0 : 1;
}
