// SPDX-License-Identifier: MIT
// zerak-cli's measurement loop as users run it: the program against
// zerak-sim, each in a process of its own, rows read from a pipe.
//
//   - memory: RSS (VmRSS from /proc) after 1,000 and after 100,000 readings
//     of measure --interval 0 without --plot, against a meter answering at
//     once: within 1 MiB;
//   - pace: readings per second of measure --interval 0 against a meter that
//     answers after 20 ms, from the first row's time to the last: >= 40;
//   - schedule: measure --interval 50 against the same meter, how far the
//     last reading lies from start + k * 50 ms: under one interval;
//   - keeping the meter's pace: measure --interval 0 --duration 5 against a
//     meter answering in 5 ms, clean, with one reply in 50 or in 10 coming
//     150 ms late, and with a frame that answers nothing every 400 ms. The
//     late rows: at least 0.9x the rows that the late replies' own lost
//     time leaves of the clean run's; the stray frames: no row the meter did
//     not send as a reading, and at least 0.7x the clean run's rows. The
//     median of three runs of each, the cases taken in turn.
//
// Prints each figure against its target; exits 1 when one is missed.

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>

namespace {

bool allMet = true;

void report(const char *what, double value, const char *unit, bool met, const char *target)
{
    std::printf("%-62s %11.2f %-9s target %-9s %s\n", what, value, unit, target, met ? "met" : "MISSED");
    std::fflush(stdout);
    allMet = allMet && met;
}

// The simulator's port, from the first line it prints.
QString startSimulator(QProcess &sim, const QStringList &arguments)
{
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(ZERAK_SIM_PATH), arguments);
    if (!sim.waitForStarted() || !sim.waitForReadyRead(5000))
        return QString();
    return QString::fromLocal8Bit(sim.readLine()).trimmed();
}

double residentMiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return -1;
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

// Reads rows until count have come; calls at(n) after row n for each n in marks.
bool readRows(QProcess &cli, int count, const std::function<void(int, const QByteArray &)> &each)
{
    int rows = 0;
    while (rows < count) {
        if (!cli.canReadLine() && !cli.waitForReadyRead(10000))
            return false;
        while (cli.canReadLine() && rows < count)
            each(++rows, cli.readLine());
    }
    return true;
}

QDateTime timeOf(const QByteArray &row)
{
    return QDateTime::fromString(QString::fromLatin1(row.left(row.indexOf(','))), Qt::ISODateWithMs);
}

void memory()
{
    QProcess sim;
    const QString port = startSimulator(sim, {"--delay", "0", "--noise", "3"});
    QProcess cli;
    cli.start(QStringLiteral(ZERAK_CLI_PATH), {"--port", port, "measure", "--interval", "0", "--stats"});
    double early = -1;
    double late = -1;
    QElapsedTimer clock;
    clock.start();
    const bool read = readRows(cli, 100000, [&](int row, const QByteArray &) {
        if (row == 1000)
            early = residentMiB(cli.processId());
        if (row == 100000)
            late = residentMiB(cli.processId());
    });
    const double seconds = clock.elapsed() / 1000.0;
    stop(cli);
    stop(sim);
    if (!read || early < 0 || late < 0) {
        std::printf("memory: zerak-cli stopped before 100,000 readings: %s\n", cli.readAllStandardError().constData());
        allMet = false;
        return;
    }
    std::printf("measure --interval 0 against zerak-sim --delay 0: 100,000 readings in %.1f s\n", seconds);
    report("RSS after 1,000 readings", early, "MiB", true, "");
    report("RSS after 100,000 readings", late, "MiB", true, "");
    report("RSS growth from 1,000 to 100,000 readings (no --plot)", late - early, "MiB", late - early <= 1.0,
           "<= 1");
}

void pace()
{
    QProcess sim;
    const QString port = startSimulator(sim, {"--delay", "20", "--noise", "3"});
    QProcess cli;
    cli.start(QStringLiteral(ZERAK_CLI_PATH), {"--port", port, "measure", "--interval", "0", "--csv", "-n", "401"});
    QDateTime first;
    QDateTime last;
    const bool read = readRows(cli, 402, [&](int row, const QByteArray &line) {
        if (row == 2)
            first = timeOf(line);
        if (row == 402)
            last = timeOf(line);
    });
    stop(cli);
    if (!read || !first.isValid() || !last.isValid()) {
        std::printf("pace: zerak-cli stopped early: %s\n", cli.readAllStandardError().constData());
        allMet = false;
        stop(sim);
        return;
    }
    const double rate = 400 / (first.msecsTo(last) / 1000.0);
    report("readings/s, measure --interval 0, meter answering in 20 ms", rate, "/s", rate >= 40, ">= 40");

    cli.start(QStringLiteral(ZERAK_CLI_PATH), {"--port", port, "measure", "--interval", "50", "--csv", "-n", "201"});
    QVector<QDateTime> times;
    const bool scheduled = readRows(cli, 202, [&](int row, const QByteArray &line) {
        if (row > 1)
            times << timeOf(line);
    });
    stop(cli);
    stop(sim);
    if (!scheduled || times.size() != 201) {
        std::printf("schedule: zerak-cli stopped early\n");
        allMet = false;
        return;
    }
    const qint64 drift = times.first().msecsTo(times.last()) - 200 * 50;
    report("last of 201 readings at --interval 50: ms after start + 200 * 50 ms", double(drift), "ms",
           drift >= -5 && drift < 50, "< 50");
}

struct Logged
{
    int rows = 0;
    int wrong = 0; // not the level the meter was set to, in dBm
};

Logged measureFiveSeconds(const QStringList &fault)
{
    QProcess sim;
    const QString port = startSimulator(sim, QStringList{"--delay", "5", "--noise", "0", "--power", "-15.00"} + fault);
    QProcess cli;
    cli.start(QStringLiteral(ZERAK_CLI_PATH), {"--port", port, "measure", "--interval", "0", "--duration", "5", "--csv"});
    Logged logged;
    if (!cli.waitForFinished(30000) || cli.exitCode() != 0) {
        std::printf("pace: zerak-cli failed: %s\n", cli.readAllStandardError().constData());
        allMet = false;
    }
    const QList<QByteArray> lines = cli.readAllStandardOutput().split('\n');
    for (const QByteArray &line : lines.mid(1)) {
        if (line.isEmpty())
            continue;
        ++logged.rows;
        const QList<QByteArray> fields = line.split(',');
        if (fields.size() < 4 || fields.at(2) != "-15.00" || fields.at(3) != "dBm")
            ++logged.wrong;
    }
    stop(sim);
    return logged;
}

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

void keepingPace()
{
    struct Case
    {
        const char *name;
        QStringList fault;
        int lateEvery; // 0: none
    };
    const QVector<Case> cases = {{"clean", {}, 0},
                                 {"--late-every 50:150", {"--late-every", "50:150"}, 50},
                                 {"--late-every 10:150", {"--late-every", "10:150"}, 10},
                                 {"--chatter 400", {"--chatter", "400"}, 0}};
    QVector<QVector<double>> rows(cases.size());
    int wrong = 0;
    for (int run = 0; run < 3; ++run)
        for (int i = 0; i < cases.size(); ++i) {
            const Logged logged = measureFiveSeconds(cases.at(i).fault);
            rows[i] << logged.rows;
            wrong += i == cases.size() - 1 ? logged.wrong : 0;
            if (i < cases.size() - 1 && logged.wrong > 0) {
                std::printf("pace: %d wrong rows with %s\n", logged.wrong, cases.at(i).name);
                allMet = false;
            }
        }
    const double clean = median(rows.at(0));
    std::printf("measure --interval 0 --duration 5 against zerak-sim --delay 5 --noise 0, median of 3:\n");
    report("rows in 5 s, clean", clean, "rows", clean > 0, "");
    for (int i = 1; i < cases.size(); ++i) {
        const Case &c = cases.at(i);
        const double logged = median(rows.at(i));
        char what[96];
        if (c.lateEvery > 0) {
            // Each late reply costs its 150 ms and nothing more.
            const double left = 5000.0 / (5000.0 / clean + 150.0 / c.lateEvery);
            std::snprintf(what, sizeof what, "rows with %s (%.0f left by the late replies)", c.name, left);
            report(what, logged, "rows", true, "");
            std::snprintf(what, sizeof what, "  against what the late replies leave");
            report(what, logged / left, "x", logged / left >= 0.9, ">= 0.9");
        } else {
            std::snprintf(what, sizeof what, "rows with %s", c.name);
            report(what, logged, "rows", true, "");
            report("  against the clean run", logged / clean, "x", logged / clean >= 0.7, ">= 0.7");
            report("  rows the meter never sent as a reading (3 runs)", wrong, "rows", wrong == 0, "0");
        }
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    // --only pace: the pace rows alone.
    if (!arguments.contains(QStringLiteral("--only"))) {
        memory();
        pace();
    }
    keepingPace();
    return allMet ? 0 : 1;
}
