// SPDX-License-Identifier: MIT
#include "sim/metersimulator.h"

#include "meter/protocol.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/inotify.h>
#endif

namespace {

// How long a pending hang-up waits for the peer to read the last reply: a
// hang-up throws away whatever the slave side still holds.
constexpr int hangUpDrainPollMs = 5;
constexpr int hangUpDrainLimitMs = 500;
// Pause after a wakeup that found nothing, so a hung-up master cannot spin.
constexpr int idleRetryMs = 20;

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

MeterSimulator::MeterSimulator(QObject *parent)
    : QObject(parent),
      sendTimer(new QTimer(this)),
      retryTimer(new QTimer(this)),
      hangUpTimer(new QTimer(this)),
      chatterTimer(new QTimer(this)),
      garbage("\xAA\x55\xAA", 3)
{
    clock.start();
    sendTimer->setSingleShot(true);
    sendTimer->setTimerType(Qt::PreciseTimer);
    connect(sendTimer, &QTimer::timeout, this, &MeterSimulator::sendDue);
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, [this] {
        if (readNotifier)
            readNotifier->setEnabled(true);
    });
    hangUpTimer->setInterval(hangUpDrainPollMs);
    connect(hangUpTimer, &QTimer::timeout, this, &MeterSimulator::checkDrainedForHangUp);
    chatterTimer->setTimerType(Qt::PreciseTimer);
    connect(chatterTimer, &QTimer::timeout, this, &MeterSimulator::chatter);
}

MeterSimulator::~MeterSimulator()
{
    closeFds();
}

bool MeterSimulator::start()
{
    if (isRunning())
        return true;
    error.clear();
    masterFd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (masterFd < 0) {
        error = systemError("posix_openpt");
        return false;
    }
    // A spawned child holding the master would keep the line up after us.
    ::fcntl(masterFd, F_SETFD, FD_CLOEXEC);
    if (::grantpt(masterFd) != 0 || ::unlockpt(masterFd) != 0) {
        error = systemError("grantpt/unlockpt");
        closeFds();
        return false;
    }
    const char *name = ::ptsname(masterFd);
    if (!name) {
        error = systemError("ptsname");
        closeFds();
        return false;
    }
    path = QString::fromLocal8Bit(name);
    slaveKeepFd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slaveKeepFd < 0) {
        error = systemError("open slave");
        closeFds();
        return false;
    }
    // Raw from the start: no echo of replies back to us, no byte translation.
    // A peer's own settings are restored to these when it closes.
    termios settings;
    if (::tcgetattr(slaveKeepFd, &settings) != 0) {
        error = systemError("tcgetattr");
        closeFds();
        return false;
    }
    ::cfmakeraw(&settings);
    if (::tcsetattr(slaveKeepFd, TCSANOW, &settings) != 0) {
        error = systemError("tcsetattr");
        closeFds();
        return false;
    }

    readNotifier = new QSocketNotifier(masterFd, QSocketNotifier::Read, this);
    connect(readNotifier, &QSocketNotifier::activated, this, &MeterSimulator::readMaster);
    writeNotifier = new QSocketNotifier(masterFd, QSocketNotifier::Write, this);
    writeNotifier->setEnabled(false);
    connect(writeNotifier, &QSocketNotifier::activated, this, &MeterSimulator::flushBacklog);
    hangingUp = false;
    watchCloses();
    updateChatterTimer();
    return true;
}

void MeterSimulator::setWavelengths(const QVector<quint16> &nanometres)
{
    if (nanometres.isEmpty())
        return;
    lambdas = nanometres;
    lambdaIndex = 0;
}

void MeterSimulator::setWavelengthIndex(int index)
{
    const int count = lambdas.size();
    lambdaIndex = ((index % count) + count) % count;
}

void MeterSimulator::setPowerLevel(double newLevel)
{
    level = newLevel;
}

void MeterSimulator::setNoise(int hundredths)
{
    noise = qBound(0, hundredths, 0xFFFF);
}

void MeterSimulator::setAnswering(bool on)
{
    answering = on;
}

void MeterSimulator::setReplyDelay(int ms)
{
    replyDelayMs = qMax(0, ms);
}

void MeterSimulator::setWavelengthReplyLength(int bytes)
{
    wavelengthBytes = bytes == 2 ? 2 : meter::frameSize;
}

void MeterSimulator::setSplitReplies(int firstPartBytes, int pauseMs)
{
    splitFirst = qMax(0, firstPartBytes);
    splitPauseMs = qMax(0, pauseMs);
}

void MeterSimulator::setTrickle(int ms)
{
    trickleMs = qMax(0, ms);
}

void MeterSimulator::setPairReplies(bool pair)
{
    pairReplies = pair;
    if (!pair && heldReplies > 0) {
        const QByteArray reply = held;
        const int replies = heldReplies;
        held.clear();
        heldReplies = 0;
        queueReply(reply, replies, heldExtraMs);
    }
}

void MeterSimulator::setDropEvery(int n)
{
    dropEvery = qMax(0, n);
}

void MeterSimulator::setGarbageEvery(int n, const QByteArray &bytes)
{
    garbageEvery = qMax(0, n);
    garbage = bytes;
}

void MeterSimulator::setLateEvery(int n, int extraMs)
{
    lateEvery = qMax(0, n);
    lateExtraMs = qMax(0, extraMs);
}

void MeterSimulator::setLateReplies(quint8 command, int extraMs)
{
    if (extraMs > 0)
        lateByCommand.insert(command, extraMs);
    else
        lateByCommand.remove(command);
}

void MeterSimulator::setStrayEvery(int n, int afterMs, const QByteArray &frame)
{
    strayEvery = qMax(0, n);
    strayAfterMs = qMax(0, afterMs);
    strayFrame = frame;
}

QByteArray MeterSimulator::defaultStrayFrame()
{
    return meter::powerFrame(1234, false, true);
}

void MeterSimulator::setChatter(int everyMs, const QByteArray &frame)
{
    chatterMs = qMax(0, everyMs);
    chatterFrame = frame;
    updateChatterTimer();
}

void MeterSimulator::updateChatterTimer()
{
    if (chatterMs > 0 && !chatterFrame.isEmpty() && isRunning())
        chatterTimer->start(chatterMs);
    else
        chatterTimer->stop();
}

void MeterSimulator::chatter()
{
    if (hangingUp)
        return;
    if (logging)
        answerLog.append({0, chatterFrame});
    emit answered(0, chatterFrame);
    // Not inside a reply that is part-way out, but ahead of any that waits.
    int at = 0;
    while (at < queue.size() && queue.at(at).continued)
        ++at;
    queue.insert(at, {chatterFrame, clock.elapsed(), 0, 0});
    sendDue();
}

void MeterSimulator::setHangUpAfter(int n)
{
    hangUpAfter = n;
}

void MeterSimulator::readMaster()
{
    char buffer[256];
    const ssize_t count = ::read(masterFd, buffer, sizeof buffer);
    if (count <= 0) {
        if (count < 0 && errno == EAGAIN)
            return;
        // EIO: no slave fd is open. Ours keeps one, so this should not
        // happen; if it does, back off instead of spinning on the notifier.
        ++emptyWakeups;
        readNotifier->setEnabled(false);
        retryTimer->start(idleRetryMs);
        return;
    }
    const QByteArray bytes(buffer, int(count));
    logEntry(LogEntry::Received, bytes);
    for (char byte : bytes) {
        emit commandReceived(quint8(byte));
        // A slot may have hung up; the rest of the read goes unanswered.
        if (isRunning())
            answer(quint8(byte));
    }
}

void MeterSimulator::answer(quint8 command)
{
    if (!answering || hangingUp || !meter::isCommand(command))
        return;
    QByteArray reply;
    switch (command) {
    case meter::cmdQueryWavelength:
        reply = meter::wavelengthFrame(currentWavelength()).left(wavelengthBytes);
        break;
    case meter::cmdNextWavelength:
        lambdaIndex = (lambdaIndex + 1) % lambdas.size();
        reply = meter::wavelengthFrame(currentWavelength()).left(wavelengthBytes);
        break;
    default:
        reply = powerReply();
        break;
    }
    ++repliesMade;
    if (dropEvery > 0 && repliesMade % dropEvery == 0)
        return;
    if (garbageEvery > 0 && repliesMade % garbageEvery == 0)
        reply = garbage;
    if (logging)
        answerLog.append({command, reply});
    emit answered(command, reply);
    int extraDelayMs = lateEvery > 0 && repliesMade % lateEvery == 0 ? lateExtraMs : 0;
    extraDelayMs = qMax(extraDelayMs, lateByCommand.value(command));
    if (pairReplies) {
        if (heldReplies == 0) {
            held = reply;
            heldReplies = 1;
            heldExtraMs = extraDelayMs;
            return;
        }
        reply.prepend(held);
        held.clear();
        heldReplies = 0;
        queueReply(reply, 2, qMax(extraDelayMs, heldExtraMs));
    } else {
        queueReply(reply, 1, extraDelayMs);
    }
    if (strayEvery > 0 && repliesMade % strayEvery == 0 && !strayFrame.isEmpty()) {
        if (logging)
            answerLog.append({0, strayFrame});
        emit answered(0, strayFrame);
        queue.append({strayFrame, clock.elapsed() + strayAfterMs, strayAfterMs, 0});
        sendDue();
    }
}

QByteArray MeterSimulator::powerReply()
{
    // Clamped before rounding: a wild level must not overflow the cast.
    const double value = levels.value(currentWavelength(), level);
    qint64 hundredths = qRound64(qMin(std::fabs(value), 1000.0) * 100.0);
    if (noise > 0)
        hundredths += qint64(rng.bounded(quint32(2 * noise + 1))) - noise;
    hundredths = qBound(qint64(0), hundredths, qint64(0xFFFF));
    return meter::powerFrame(quint16(hundredths), value < 0, decibelUnit);
}

void MeterSimulator::queueReply(const QByteArray &bytes, int replies, int extraDelayMs)
{
    const qint64 due = clock.elapsed() + replyDelayMs + extraDelayMs;
    if (trickleMs > 0 && bytes.size() > 1) {
        const int last = bytes.size() - 1;
        for (int i = 0; i <= last; ++i)
            queue.append({bytes.mid(i, 1), due, i > 0 ? trickleMs : 0, i == last ? replies : 0, i > 0});
    } else if (splitFirst > 0 && splitFirst < bytes.size()) {
        queue.append({bytes.left(splitFirst), due, 0, 0});
        // The pause counts from the first part, however late that went out.
        queue.append({bytes.mid(splitFirst), due, splitPauseMs, replies, true});
    } else {
        queue.append({bytes, due, 0, replies});
    }
    sendDue();
}

void MeterSimulator::sendDue()
{
    while (!queue.isEmpty() && isRunning() && !hangingUp) {
        const qint64 now = clock.elapsed();
        const Outgoing &next = queue.first();
        const qint64 due = qMax(next.dueMs, lastWriteMs + next.pauseMs);
        if (due > now) {
            sendTimer->start(int(due - now));
            return;
        }
        const Outgoing out = queue.takeFirst();
        lastWriteMs = now;
        writeMaster(out.bytes);
        sentReplies += out.replies;
        emit replySent(out.bytes);
        if (hangUpAfter >= 0 && sentReplies >= hangUpAfter) {
            hangingUp = true;
            queue.clear();
            hangUpWait.start();
            hangUpTimer->start();
        }
    }
}

void MeterSimulator::checkDrainedForHangUp()
{
    int unread = 0;
    if (slaveKeepFd >= 0 && ::ioctl(slaveKeepFd, FIONREAD, &unread) != 0)
        unread = 0;
    if ((unread > 0 || !backlog.isEmpty()) && hangUpWait.elapsed() < hangUpDrainLimitMs)
        return;
    hangUp();
}

// A client that opens the port with QSerialPort makes it exclusive (TIOCEXCL)
// and gives that up (TIOCNXCL) only when it closes it cleanly. Our own slave
// fd keeps the tty alive between clients, so after a client was killed the
// flag would stay and every later open by an ordinary user fail with EBUSY.
// The kernel reports each close of the slave to inotify, SIGKILL included;
// after one, if no process but us has the slave open, the flag is cleared.
// Nothing runs while nobody opens or closes the port.
void MeterSimulator::watchCloses()
{
#ifdef Q_OS_LINUX
    closeWatchFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (closeWatchFd < 0)
        return; // the port still works; only a killed client's flag stays
    if (::inotify_add_watch(closeWatchFd, path.toLocal8Bit().constData(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(closeWatchFd);
        closeWatchFd = -1;
        return;
    }
    closeNotifier = new QSocketNotifier(closeWatchFd, QSocketNotifier::Read, this);
    connect(closeNotifier, &QSocketNotifier::activated, this, &MeterSimulator::readCloses);
#endif
}

void MeterSimulator::readCloses()
{
#ifdef Q_OS_LINUX
    bool closed = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(closeWatchFd, buffer, sizeof buffer);
        if (count <= 0)
            break;
        for (ssize_t at = 0; at < count;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            closed = closed || (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE));
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    if (!closed || slaveKeepFd < 0)
        return;
    int exclusive = 1; // a kernel that cannot tell: clear it anyway
    ::ioctl(slaveKeepFd, TIOCGEXCL, &exclusive);
    const bool freed = exclusive && !slaveOpenElsewhere() && ::ioctl(slaveKeepFd, TIOCNXCL) == 0;
    emit portClosed(freed);
#endif
}

// Whether any fd but our own keep-alive one refers to the slave. Processes of
// other users cannot be looked into; they could not open our port anyway.
bool MeterSimulator::slaveOpenElsewhere() const
{
    struct stat slave;
    if (::fstat(slaveKeepFd, &slave) != 0)
        return true;
    DIR *processes = ::opendir("/proc");
    if (!processes)
        return true;
    const QByteArray target = path.toLocal8Bit();
    const long self = long(::getpid());
    bool found = false;
    while (!found) {
        const dirent *process = ::readdir(processes);
        if (!process)
            break;
        char *end = nullptr;
        const long pid = std::strtol(process->d_name, &end, 10);
        if (end == process->d_name || *end != '\0')
            continue;
        char fdPath[64];
        std::snprintf(fdPath, sizeof fdPath, "/proc/%ld/fd", pid);
        DIR *fds = ::opendir(fdPath);
        if (!fds)
            continue; // gone, or another user's
        while (const dirent *fd = ::readdir(fds)) {
            if (fd->d_name[0] == '.' || (pid == self && std::atoi(fd->d_name) == slaveKeepFd))
                continue;
            char link[PATH_MAX];
            const ssize_t length = ::readlinkat(::dirfd(fds), fd->d_name, link, sizeof link - 1);
            if (length != target.size() || std::memcmp(link, target.constData(), size_t(length)) != 0)
                continue;
            // The name could be another devpts instance's: compare the inode.
            struct stat other;
            if (::fstatat(::dirfd(fds), fd->d_name, &other, 0) == 0 && other.st_dev == slave.st_dev
                && other.st_ino == slave.st_ino) {
                found = true;
                break;
            }
        }
        ::closedir(fds);
    }
    ::closedir(processes);
    return found;
}

void MeterSimulator::sendRaw(const QByteArray &bytes)
{
    if (isRunning() && !bytes.isEmpty())
        writeMaster(bytes);
}

void MeterSimulator::discardUnread()
{
    if (slaveKeepFd >= 0)
        ::tcflush(slaveKeepFd, TCIFLUSH);
}

void MeterSimulator::writeMaster(const QByteArray &bytes)
{
    logEntry(LogEntry::Sent, bytes);
    if (!backlog.isEmpty()) {
        backlog.append(bytes);
        return;
    }
    backlog = bytes;
    flushBacklog();
}

void MeterSimulator::flushBacklog()
{
    while (!backlog.isEmpty() && masterFd >= 0) {
        const ssize_t written = ::write(masterFd, backlog.constData(), size_t(backlog.size()));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                backlog.clear(); // nobody can take it any more
            break;
        }
        backlog.remove(0, int(written));
    }
    // The peer is not reading: wait for room rather than drop the bytes.
    if (writeNotifier)
        writeNotifier->setEnabled(!backlog.isEmpty());
}

void MeterSimulator::hangUp()
{
    if (!isRunning())
        return;
    closeFds();
    emit hungUp();
}

void MeterSimulator::closeFds()
{
    sendTimer->stop();
    retryTimer->stop();
    hangUpTimer->stop();
    chatterTimer->stop();
    queue.clear();
    held.clear();
    heldReplies = 0;
    heldExtraMs = 0;
    backlog.clear();
    // Possibly called from inside the read notifier's own signal.
    for (QSocketNotifier *notifier : {readNotifier, writeNotifier}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    if (closeNotifier) {
        closeNotifier->setEnabled(false);
        closeNotifier->deleteLater();
        closeNotifier = nullptr;
    }
    // Before the slave fd: our own close is nobody's business.
    if (closeWatchFd >= 0)
        ::close(closeWatchFd);
    closeWatchFd = -1;
    readNotifier = nullptr;
    writeNotifier = nullptr;
    // The master first: the peer's hang-up comes from it.
    if (masterFd >= 0)
        ::close(masterFd);
    masterFd = -1;
    if (slaveKeepFd >= 0)
        ::close(slaveKeepFd);
    slaveKeepFd = -1;
}

QByteArray MeterSimulator::received() const
{
    QByteArray bytes;
    for (const LogEntry &entry : entries)
        if (entry.direction == LogEntry::Received)
            bytes.append(entry.bytes);
    return bytes;
}

QByteArray MeterSimulator::sent() const
{
    QByteArray bytes;
    for (const LogEntry &entry : entries)
        if (entry.direction == LogEntry::Sent)
            bytes.append(entry.bytes);
    return bytes;
}

void MeterSimulator::logEntry(LogEntry::Direction direction, const QByteArray &bytes)
{
    if (!logging)
        return;
    entries.append({direction, bytes, clock.elapsed()});
}
