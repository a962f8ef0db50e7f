// SPDX-License-Identifier: MIT
// zerak-cli serve as a lab script meets it: the server and zerak-sim each a
// process of their own, the client a plain blocking socket on loopback.
//
//   - MEAS:POW? round trip, median and 99th percentile, against a meter of
//     the bench's own answering in 20 ms, as a program on its port sees it
//     (0x82 written, the reply read): p99 at most 2 ms over the port's p99;
//     beside it, in turns, the plain forwarder a user would write
//     (serve_plain), and each query set against its reading's time inside
//     the meter (which leaves the machine's waking of both readers in);
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
#include <cmath>
#include <mutex>
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

// The TCP port the server names on stderr; the program and its arguments
// set, or serve's with these.
int startServer(QProcess &server, const QString &port)
{
    if (server.program().isEmpty()) {
        server.setProgram(QStringLiteral(ZERAK_CLI_PATH));
        server.setArguments({"--port", port, "serve", "--listen", "127.0.0.1:0", "--max-clients", "16"});
    }
    server.setReadChannel(QProcess::StandardError);
    server.start();
    QByteArray err;
    const QRegularExpression listening(QStringLiteral("at 127\\.0\\.0\\.1:(\\d+)"));
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000 && server.waitForReadyRead(10000)) {
        err += server.readAllStandardError();
        const QRegularExpressionMatch match = listening.match(QString::fromLocal8Bit(err));
        if (match.hasMatch())
            return match.captured(1).toInt();
    }
    std::printf("%s did not start: %s\n", qPrintable(server.program()), err.constData());
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

// A meter of the bench's own on a pseudo-terminal: it answers 0x82 20 ms
// after it has read it and notes both times on the client's clock, so that
// each query's round trip is set against that query's own meter latency.
class TimedMeter
{
public:
    TimedMeter()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            return;
        path = QString::fromLocal8Bit(::ptsname(master));
        // Held open, so that the master never sees a hang-up between clients.
        keep = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
        termios settings;
        tcgetattr(keep, &settings);
        cfmakeraw(&settings);
        tcsetattr(keep, TCSANOW, &settings);
        worker = std::thread([this] { run(); });
    }
    ~TimedMeter()
    {
        done = true;
        if (worker.joinable())
            worker.join();
        ::close(keep);
        ::close(master);
    }

    QString path;
    struct Answer
    {
        double readUs;
        double sentUs;
    };
    std::vector<Answer> answers() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return log;
    }

private:
    void run()
    {
        while (!done) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0 || !(p.revents & POLLIN))
                continue;
            unsigned char byte;
            if (::read(master, &byte, 1) != 1)
                continue;
            const double readUs = nowUs();
            static const unsigned char wavelength[4] = {0x05, 0x1E, 0x00, 0x00}; // 1310 nm
            static const unsigned char reading[4] = {0x05, 0xDC, 0x01, 0x00};    // -15.00 dBm
            if (byte != 0x82 && byte != 0x7A)
                continue;
            const timespec due{time_t((readUs + 20000) / 1e6), long(std::fmod(readUs + 20000, 1e6) * 1000)};
            ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
            if (::write(master, byte == 0x82 ? reading : wavelength, 4) != 4)
                continue;
            if (byte == 0x82) {
                std::lock_guard<std::mutex> lock(mutex);
                log.push_back({readUs, nowUs()});
            }
        }
    }

    int master = -1;
    int keep = -1;
    std::thread worker;
    std::atomic<bool> done{false};
    mutable std::mutex mutex;
    std::vector<Answer> log;
};

// Voluntary context switches of every thread: the times it slept and was woken.
long wakeups(qint64 pid)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    long count = 0;
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(tasks.filePath(task + QStringLiteral("/status")));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("voluntary_ctxt_switches:"))
                count += line.mid(24).trimmed().toLong();
    }
    return count;
}

struct Overheads
{
    long wakeups = 0;
    long queries = 0;
    std::vector<double> served; // round trips, ms
    std::vector<double> own;    // the meter's latency for each, ms
    std::vector<double> over;   // the difference
};

// count MEAS:POW? one after another through a server on the meter's port.
bool measureThrough(QProcess &server, TimedMeter &meter, int count, Overheads &into)
{
    const int tcp = startServer(server, meter.path);
    const size_t before = meter.answers().size();
    std::vector<double> served;
    {
        Client client(tcp);
        client.ask("MEAS:POW?"); // the port opened, the line's pace learnt
        const long before = wakeups(server.processId());
        for (int i = 0; i < count && client.ok; ++i) {
            const double start = nowUs();
            if (client.ask("MEAS:POW?").empty())
                break;
            served.push_back((nowUs() - start) / 1000);
        }
        into.wakeups += wakeups(server.processId()) - before;
        into.queries += long(served.size());
    }
    stop(server);
    const std::vector<TimedMeter::Answer> answers = meter.answers();
    if (int(served.size()) < count || answers.size() != before + served.size() + 1)
        return false;
    for (size_t i = 0; i < served.size(); ++i) {
        const TimedMeter::Answer &answer = answers.at(before + 1 + i);
        into.served.push_back(served.at(i));
        into.own.push_back((answer.sentUs - answer.readUs) / 1000);
        into.over.push_back(served.at(i) - into.own.back());
    }
    return true;
}

// count 0x82 written straight to the meter's port and answered, as a
// program on the port sees the meter: the meter's own latency, with the
// serial line's and the machine's share of waking a reader.
bool measureDirect(TimedMeter &meter, int count, std::vector<double> &into)
{
    const int fd = ::open(meter.path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return false;
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        const unsigned char request = 0x82;
        const double start = nowUs();
        ok = ::write(fd, &request, 1) == 1;
        int got = 0;
        while (ok && got < 4) {
            pollfd p{fd, POLLIN, 0};
            char reply[4];
            ok = ::poll(&p, 1, 5000) > 0;
            const ssize_t n = ok ? ::read(fd, reply, size_t(4 - got)) : -1;
            ok = n > 0;
            got += int(n);
        }
        if (ok)
            into.push_back((nowUs() - start) / 1000);
    }
    ::close(fd);
    return ok;
}

// serve, the plain forwarder and the port itself in turns, 200 queries each,
// four times: all see the same load on the machine.
void roundTrip()
{
    TimedMeter meter;
    Overheads served;
    Overheads plain;
    std::vector<double> direct;
    for (int turn = 0; turn < 4; ++turn) {
        QProcess serve;
        serve.setProgram(QStringLiteral(ZERAK_CLI_PATH));
        serve.setArguments({"--port", meter.path, "serve", "--listen", "127.0.0.1:0"});
        QProcess forwarder;
        forwarder.setProgram(QStringLiteral(SERVE_PLAIN_PATH));
        forwarder.setArguments({meter.path});
        if (!measureThrough(serve, meter, 200, served) || !measureThrough(forwarder, meter, 200, plain)
            || !measureDirect(meter, 200, direct)) {
            std::printf("round trip: a server stopped answering\n");
            allMet = false;
            return;
        }
    }
    info("the meter inside (0x82 read to reply written), median", percentile(served.own, 0.5), "ms");
    info("the meter inside, p99", percentile(served.own, 0.99), "ms");
    info("the meter at its port (0x82 written to reply read), median", percentile(direct, 0.5), "ms");
    info("the meter at its port, p99", percentile(direct, 0.99), "ms");
    info("MEAS:POW? round trip through serve, median", percentile(served.served, 0.5), "ms");
    info("MEAS:POW? round trip through serve, p99", percentile(served.served, 0.99), "ms");
    info("MEAS:POW? round trip through the plain forwarder, p99", percentile(plain.served, 0.99), "ms");
    info("serve over its own reading's time inside the meter, median", percentile(served.over, 0.5), "ms");
    info("serve over its own reading's time inside the meter, p99", percentile(served.over, 0.99), "ms");
    info("plain forwarder over its reading's time inside the meter, median", percentile(plain.over, 0.5), "ms");
    info("plain forwarder over its reading's time inside the meter, p99", percentile(plain.over, 0.99), "ms");
    info("serve: wakeups per MEAS:POW?", double(served.wakeups) / served.queries, "");
    info("plain forwarder: wakeups per MEAS:POW?", double(plain.wakeups) / plain.queries, "");
    const double median = percentile(served.served, 0.5) - percentile(direct, 0.5);
    const double p99 = percentile(served.served, 0.99) - percentile(direct, 0.99);
    report("MEAS:POW? through serve over the meter at its port, median", median, "ms", median <= 2.0, "<= 2");
    report("MEAS:POW? through serve over the meter at its port, p99", p99, "ms", p99 <= 2.0, "<= 2");
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
