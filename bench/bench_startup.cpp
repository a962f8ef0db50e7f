// SPDX-License-Identifier: MIT
// Start-up and memory against a bare QMainWindow program built the same way:
// from process start to the window first shown, and peak resident memory
// then. The two programs run in turn, many times; medians are compared.
// Prints each figure against its target and exits non-zero on a miss.
//
// bench_startup [--runs N] [--no-targets]
//
// Run it on a real display (xcb, e.g. under xvfb-run): that is what users
// start. On the offscreen platform the bare window costs almost nothing, so
// the figure there says how much the form itself costs.

#include <QCoreApplication>
#include <QProcess>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

struct Run
{
    double ms = 0;
    double peakMb = 0;
};

bool runOnce(const QString &program, Run &run)
{
    QProcess process;
    process.setStandardErrorFile(QProcess::nullDevice());
    timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    process.start(program, QStringList());
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        return false;
    const QList<QByteArray> fields = process.readAllStandardOutput().trimmed().split(' ');
    if (fields.size() != 2)
        return false;
    const long long shownNs = fields.at(0).toLongLong();
    run.ms = double(shownNs - (static_cast<long long>(start.tv_sec) * 1000000000LL + start.tv_nsec)) / 1e6;
    run.peakMb = fields.at(1).toDouble() / 1024.0;
    return true;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int failures = 0;

bool targets = true;

void report(const char *what, double value, bool met)
{
    if (!targets) {
        std::printf("%-50s %10.2f x\n", what, value);
        return;
    }
    std::printf("%-50s %10.2f x        target <= 1.20    %s\n", what, value, met ? "met" : "MISSED");
    if (!met)
        ++failures;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const int at = arguments.indexOf(QStringLiteral("--runs"));
    const int runs = at >= 0 && at + 1 < arguments.size() ? arguments.at(at + 1).toInt() : 21;
    targets = !arguments.contains(QStringLiteral("--no-targets"));
    const QString dir = QCoreApplication::applicationDirPath();
    const QString programs[2] = {dir + QStringLiteral("/startup_bare"), dir + QStringLiteral("/startup_zerak")};

    std::vector<double> ms[2], peakMb[2];
    Run run;
    for (const QString &program : programs) // once each to warm the caches
        if (!runOnce(program, run)) {
            std::printf("%s did not report\n", qPrintable(program));
            return 1;
        }
    for (int i = 0; i < runs; ++i)
        for (int p = 0; p < 2; ++p) {
            if (!runOnce(programs[p], run)) {
                std::printf("%s did not report\n", qPrintable(programs[p]));
                return 1;
            }
            ms[p].push_back(run.ms);
            peakMb[p].push_back(run.peakMb);
        }

    std::printf("start-up, %d runs each, %s platform: median ms to the window shown, peak RSS MiB\n", runs,
                qgetenv("QT_QPA_PLATFORM").constData());
    std::printf("  bare QMainWindow %8.1f ms %8.1f MiB\n", median(ms[0]), median(peakMb[0]));
    std::printf("  Zerak window     %8.1f ms %8.1f MiB\n", median(ms[1]), median(peakMb[1]));
    const double timeRatio = median(ms[1]) / median(ms[0]);
    const double memoryRatio = median(peakMb[1]) / median(peakMb[0]);
    report("start-up / bare QMainWindow's", timeRatio, timeRatio <= 1.2);
    report("peak RSS / bare QMainWindow's", memoryRatio, memoryRatio <= 1.2);
    return failures == 0 ? 0 : 1;
}
