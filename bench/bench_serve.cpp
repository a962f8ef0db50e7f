// SPDX-License-Identifier: MIT
// zerak-cli serve as a lab script meets it: the server and zerak-sim each a
// process of their own, the client a plain blocking socket on loopback.
//
//   - MEAS:POW? round trip against a meter answering in 20 ms, median and
//     99th percentile, against the meter's own round trip on its port (0x82
//     written, 4 bytes read) measured first: p99 at most 2 ms over it;
//   - FETC:POW? queries per second, one at a time, from one client (>=
//     10,000/s) and from eight at once, while a ninth keeps the reading fresh
//     with INIT:CONT ON;
//   - the server's CPU time per reading (every thread's, from /proc) over 300
//     readings of MEAS:POW? one after another, against zerak-cli measure
//     --interval 0 over 300 readings of the same meter.
//
// Prints each figure against its target; exits 1 when one is missed.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

bool allMet = true;

void report(const char *what, double value, const char *unit, bool met, const char *target)
{
    std::printf("%-66s %11.2f %-5s target %-9s %s\n", what, value, unit, target, met ? "met" : "MISSED");
    std::fflush(stdout);
    allMet = allMet && met;
}

void info(const char *what, double value, const char *unit)
{
    std::printf("%-66s %11.2f %s\n", what, value, unit);
    std::fflush(stdout);
}

void stop(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(process.processId()), SIGTERM);
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
    }
}

QString startSimulator(QProcess &sim, const QStringList &arguments)
{
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(ZERAK_SIM_PATH), arguments);
    if (!sim.waitForStarted() || !sim.waitForReadyRead(5000))
        return QString();
    return QString::fromLocal8Bit(sim.readLine()).trimmed();
}

// The TCP port the server names on stderr.
int startServer(QProcess &serve, const QString &port)
{
    serve.setReadChannel(QProcess::StandardError);
    serve.start(QStringLiteral(ZERAK_CLI_PATH),
                {"--port", port, "serve", "--listen", "127.0.0.1:0", "--max-clients", "16"});
    QByteArray err;
    const QRegularExpression listening(QStringLiteral("at 127\\.0\\.0\\.1:(\\d+)"));
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000 && serve.waitForReadyRead(10000)) {
        err += serve.readAllStandardError();
        const QRegularExpressionMatch match = listening.match(QString::fromLocal8Bit(err));
        if (match.hasMatch())
            return match.captured(1).toInt();
    }
    std::printf("serve did not start: %s\n", err.constData());
    return -1;
}

// CPU time of every thread of the process, in ns as the scheduler counts it.
double cpuSeconds(qint64 pid)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    double ns = 0;
    bool any = false;
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(tasks.filePath(task + QStringLiteral("/schedstat")));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        ns += stat.readAll().split(' ').first().toDouble();
        any = true;
    }
    return any ? ns / 1e9 : -1;
}

double nowUs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

class Client
{
public:
    explicit Client(int port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(fd); }

    bool send(const std::string &line) { return ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == ssize_t(line.size()); }

    // One reply line, or empty after 5 s.
    std::string ask(const std::string &query)
    {
        if (!send(query + "\n"))
            return {};
        for (;;) {
            const size_t end = pending.find('\n');
            if (end != std::string::npos) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                return line;
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                return {};
            char buffer[4096];
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                return {};
            pending.append(buffer, size_t(got));
        }
    }

    bool ok = false;

private:
    int fd;
    std::string pending;
};

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values.at(std::min(values.size() - 1, size_t(p * (values.size() - 1) + 0.5)));
}

// 0x82 straight to the simulator's port: the meter's own round trip.
std::vector<double> meterRoundTrips(const QString &port, int count)
{
    std::vector<double> ms;
    const int fd = ::open(port.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return ms;
    termios settings;
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
    for (int i = 0; i < count; ++i) {
        const unsigned char command = 0x82;
        const double start = nowUs();
        if (::write(fd, &command, 1) != 1)
            break;
        int got = 0;
        unsigned char reply[4];
        while (got < 4) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0)
                break;
            const ssize_t n = ::read(fd, reply + got, size_t(4 - got));
            if (n <= 0)
                break;
            got += int(n);
        }
        if (got < 4)
            break;
        ms.push_back((nowUs() - start) / 1000);
    }
    ::close(fd);
    return ms;
}

void roundTrip()
{
    QProcess sim;
    const QString port = startSimulator(sim, {"--delay", "20", "--noise", "0"});
    const std::vector<double> direct = meterRoundTrips(port, 200);
    QProcess serve;
    const int tcp = startServer(serve, port);
    std::vector<double> served;
    {
        Client client(tcp);
        client.ask("MEAS:POW?"); // the port opened, the wavelength known
        for (int i = 0; i < 400 && client.ok; ++i) {
            const double start = nowUs();
            if (client.ask("MEAS:POW?").empty())
                break;
            served.push_back((nowUs() - start) / 1000);
        }
    }
    stop(serve);
    stop(sim);
    if (direct.size() < 200 || served.size() < 400) {
        std::printf("round trip: %zu of 200 direct, %zu of 400 through serve\n", direct.size(), served.size());
        allMet = false;
        return;
    }
    info("meter's own round trip (0x82 on its port), median", percentile(direct, 0.5), "ms");
    info("meter's own round trip, p99", percentile(direct, 0.99), "ms");
    info("MEAS:POW? through serve, median", percentile(served, 0.5), "ms");
    info("MEAS:POW? through serve, p99", percentile(served, 0.99), "ms");
    info("MEAS:POW? over the meter's own, median", percentile(served, 0.5) - percentile(direct, 0.5), "ms");
    const double over = percentile(served, 0.99) - percentile(direct, 0.99);
    report("MEAS:POW? over the meter's own round trip, p99", over, "ms", over <= 2.0, "<= 2");
}

// FETC:POW? one at a time for a second from each of clients at once.
double fetchRate(int tcp, int clients)
{
    std::atomic<long> answered{0};
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int k = 0; k < clients; ++k) {
        threads.emplace_back([&] {
            Client client(tcp);
            const double end = nowUs() + 1e6;
            long mine = 0;
            while (client.ok && nowUs() < end) {
                if (client.ask("FETC:POW?").empty()) {
                    failed = true;
                    break;
                }
                ++mine;
            }
            answered += mine;
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    return failed ? -1 : double(answered);
}

void fetch()
{
    QProcess sim;
    const QString port = startSimulator(sim, {"--delay", "20", "--noise", "0"});
    QProcess serve;
    const int tcp = startServer(serve, port);
    Client keeper(tcp);
    keeper.ask("INIT:CONT ON;*OPC?");
    keeper.ask("MEAS:POW?");
    const double before = cpuSeconds(serve.processId());
    const double one = fetchRate(tcp, 1);
    const double spent = cpuSeconds(serve.processId()) - before;
    const double eight = fetchRate(tcp, 8);
    stop(serve);
    stop(sim);
    report("FETC:POW? per second, one client, one query at a time", one, "/s", one >= 10000, ">= 10000");
    info("serve: CPU per FETC:POW?, one client", spent / one * 1e6, "us");
    info("FETC:POW? per second, eight clients at once, in all", eight, "/s");
}

// CPU seconds per reading from reading 50 to reading 350.
double serveCpu(const QString &port)
{
    QProcess serve;
    const int tcp = startServer(serve, port);
    double before = -1;
    double after = -1;
    {
        Client client(tcp);
        for (int i = 1; i <= 350 && client.ok; ++i) {
            if (client.ask("MEAS:POW?").empty())
                break;
            if (i == 50)
                before = cpuSeconds(serve.processId());
            if (i == 350)
                after = cpuSeconds(serve.processId());
        }
    }
    stop(serve);
    return before < 0 || after < 0 ? -1 : (after - before) / 300;
}

double measureCpu(const QString &port)
{
    QProcess cli;
    cli.start(QStringLiteral(ZERAK_CLI_PATH), {"--port", port, "measure", "--interval", "0", "-n", "350"});
    double before = -1;
    double after = -1;
    int rows = 0;
    while (rows < 350 && (cli.canReadLine() || cli.waitForReadyRead(10000))) {
        while (cli.canReadLine() && rows < 350) {
            cli.readLine();
            ++rows;
            if (rows == 50)
                before = cpuSeconds(cli.processId());
            if (rows == 350)
                after = cpuSeconds(cli.processId());
        }
    }
    stop(cli);
    return before < 0 || after < 0 ? -1 : (after - before) / 300;
}

void cpu()
{
    QProcess sim;
    const QString port = startSimulator(sim, {"--delay", "20", "--noise", "0"});
    const double served = serveCpu(port);
    const double measured = measureCpu(port);
    stop(sim);
    if (served <= 0 || measured <= 0) {
        std::printf("cpu: %f s per reading through serve, %f through measure\n", served, measured);
        allMet = false;
        return;
    }
    info("serve: CPU per MEAS:POW? reading, meter answering in 20 ms", served * 1e6, "us");
    info("measure --interval 0: CPU per reading, same meter", measured * 1e6, "us");
    report("CPU per reading, serve / measure --interval 0", served / measured, "", served / measured <= 2.0,
           "<= 2");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    roundTrip();
    fetch();
    cpu();
    return allMet ? 0 : 1;
}
