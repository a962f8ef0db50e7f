// SPDX-License-Identifier: MIT
#pragma once

// A meter on a pseudo-terminal: the far end of the serial line for tests,
// demos and benchmarks. The slave side (portPath()) is opened like any serial
// port; the simulator reads command bytes from the master side and answers
// them with reply frames, optionally misbehaving in the ways real lines do.

#include <QByteArray>
#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QRandomGenerator>
#include <QString>
#include <QVector>

class QSocketNotifier;
class QTimer;

class MeterSimulator : public QObject
{
    Q_OBJECT

public:
    struct LogEntry
    {
        enum Direction { Received, Sent } direction;
        QByteArray bytes; // one read or one write, as it happened
        qint64 msecs;     // since the simulator was created
    };

    explicit MeterSimulator(QObject *parent = nullptr);
    ~MeterSimulator() override;

    // Opens a new pseudo-terminal; false with errorString() on failure.
    bool start();
    QString errorString() const { return error; }
    QString portPath() const { return path; }
    bool isRunning() const { return masterFd >= 0; }

    void setWavelengths(const QVector<quint16> &nanometres); // an empty list is ignored
    QVector<quint16> wavelengths() const { return lambdas; }
    quint16 currentWavelength() const { return lambdas.at(lambdaIndex); }
    void setWavelengthIndex(int index); // taken modulo the list size

    void setPowerLevel(double level); // signed; magnitude rounded to hundredths
    double powerLevel() const { return level; }
    // A level per wavelength: the current wavelength picks the one a reading
    // reports; wavelengths left out report powerLevel().
    void setPowerLevels(const QMap<quint16, double> &byWavelength) { levels = byWavelength; }
    void setPowerInDecibel(bool decibel) { decibelUnit = decibel; }
    void setNoise(int hundredths); // uniform +-noise on the magnitude; 0 = exact
    void setNoiseSeed(quint32 seed) { rng.seed(seed); }

    // Fault knobs.
    void setAnswering(bool answering); // false: commands are logged and have no effect
    void setReplyDelay(int ms);
    void setWavelengthReplyLength(int bytes); // 2 or 4
    void setSplitReplies(int firstPartBytes, int pauseMs); // 0 bytes = off
    // Writes each reply a byte at a time, ms apart; wins over a split. 0 = off.
    void setTrickle(int ms);
    void setPairReplies(bool pair);
    void setDropEvery(int n);
    void setGarbageEvery(int n, const QByteArray &garbage = QByteArray("\xAA\x55\xAA", 3));
    // Sends every Nth reply extraMs later than due; the replies behind it wait
    // for it, as a meter answering in order does. 0 = off.
    void setLateEvery(int n, int extraMs);
    // The same for every reply to one command. 0 ms = off.
    void setLateReplies(quint8 command, int extraMs);
    // After every Nth reply, afterMs later, sends a frame that answers
    // nothing. 0 = off.
    void setStrayEvery(int n, int afterMs = 0, const QByteArray &frame = defaultStrayFrame());
    static QByteArray defaultStrayFrame(); // 12.34 dB
    // Every everyMs, whatever the commands, a frame that answers nothing: a
    // worn cable or another program on the line. It goes out between
    // replies, ahead of late ones. 0 = off.
    void setChatter(int everyMs, const QByteArray &frame = defaultStrayFrame());
    void setHangUpAfter(int n); // -1 = never
    void hangUp();
    void sendRaw(const QByteArray &bytes);
    // Drops what was written to the port but not yet read from it, as a
    // device reset would.
    void discardUnread();

    // Every frame queued for sending, with the command it answers (0 for a
    // stray or chatter frame): what a reading on the window may have come from.
    struct Answer
    {
        quint8 command;
        QByteArray bytes;
    };
    QVector<Answer> answers() const { return answerLog; }

    QVector<LogEntry> log() const { return entries; }
    // The logs grow with every byte; long runs switch them off.
    void setLogging(bool on) { logging = on; }
    QByteArray received() const;
    QByteArray sent() const;
    void clearLog() { entries.clear(); }
    int repliesSent() const { return sentReplies; }
    // Times the master woke the simulator with nothing to read: stays 0
    // unless the pseudo-terminal hangs up under it.
    int idleWakeups() const { return emptyWakeups; }

signals:
    void commandReceived(quint8 command); // every byte read, known or not
    void replySent(const QByteArray &bytes); // every write of reply bytes
    // Every frame queued for sending, as answers() logs it, even with logging off.
    void answered(quint8 command, const QByteArray &bytes);
    void hungUp();
    // A client closed the port (closes in quick succession may come as one).
    // freed: the client that held it exclusively is gone without giving it
    // up, and the simulator cleared the exclusive flag. Linux only.
    void portClosed(bool freed);

private:
    struct Outgoing
    {
        QByteArray bytes;
        qint64 dueMs;
        int pauseMs; // at least this long after the previous write
        int replies; // replies completed by this write
        bool continued = false; // a later part of a reply already begun
    };

    void readMaster();
    void answer(quint8 command);
    QByteArray powerReply();
    void queueReply(const QByteArray &bytes, int replies, int extraDelayMs = 0);
    void sendDue();
    void writeMaster(const QByteArray &bytes);
    void flushBacklog();
    void checkDrainedForHangUp();
    void chatter();
    void updateChatterTimer();
    void watchCloses();
    void readCloses();
    bool slaveOpenElsewhere() const;
    void closeFds();
    void logEntry(LogEntry::Direction direction, const QByteArray &bytes);

    int masterFd = -1;
    int slaveKeepFd = -1; // keeps the master from hanging up between peers
    QString path;
    QString error;
    QSocketNotifier *readNotifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
    int closeWatchFd = -1; // inotify on the slave path
    QSocketNotifier *closeNotifier = nullptr;
    QByteArray backlog; // what the master would not take yet
    QTimer *sendTimer;
    QTimer *retryTimer;
    QTimer *hangUpTimer;
    QTimer *chatterTimer;
    QElapsedTimer clock;
    QElapsedTimer hangUpWait;

    QVector<quint16> lambdas{850, 1300, 1310, 1490, 1550, 1625};
    int lambdaIndex = 0;
    double level = -15.0;
    QMap<quint16, double> levels;
    bool decibelUnit = false;
    int noise = 3;
    QRandomGenerator rng{1};

    bool answering = true;
    int replyDelayMs = 0;
    int wavelengthBytes = 4;
    int splitFirst = 0;
    int splitPauseMs = 0;
    int trickleMs = 0;
    bool pairReplies = false;
    QByteArray held; // a reply waiting for its pair
    int heldReplies = 0;
    int heldExtraMs = 0;
    int dropEvery = 0;
    int garbageEvery = 0;
    QByteArray garbage;
    int lateEvery = 0;
    int lateExtraMs = 0;
    QMap<quint8, int> lateByCommand;
    int strayEvery = 0;
    int strayAfterMs = 0;
    QByteArray strayFrame;
    int chatterMs = 0;
    QByteArray chatterFrame;
    int hangUpAfter = -1;
    bool hangingUp = false;

    QVector<Outgoing> queue;
    qint64 lastWriteMs = 0;
    int repliesMade = 0; // replies due, counting dropped ones
    int sentReplies = 0;
    int emptyWakeups = 0;
    QVector<LogEntry> entries;
    QVector<Answer> answerLog;
    bool logging = true;
};
