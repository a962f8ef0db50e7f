#pragma once

// wavelength, next-wavelength and measure: one port, one meter, through the
// meter link the window uses.

#include "cli/console.h"
#include "cli/options.h"
#include "cli/readings.h"
#include "meter/meterlink.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>

class QTimer;

namespace cli {

class MeterRun : public QObject
{
    Q_OBJECT

public:
    // Requests given up in a row before the run ends with "no reply".
    static constexpr int maxMissedInARow = 3;

    explicit MeterRun(const Options &options, QObject *parent = nullptr);

    void start();
    // Ctrl-C: ends as if the last reading had been asked for.
    void interrupt();

signals:
    void finished(int exitCode);

private:
    enum class Stage { Idle, AskingWavelength, Measuring, Done };

    void replied(const meter::Reply &reply);
    void givenUp(const meter::GiveUp &giveUp);
    void portError(QSerialPort::SerialPortError error);
    void requestReading();
    void accept();
    void takeHeldReading();
    void takeReading(const meter::Frame &frame);
    void missed(bool noise);
    void fail(ExitCode code, const QString &reason);
    void finish(int exitCode);
    int writeSummary(int exitCode);

    Options options;
    QSerialPort *port;
    meter::MeterLink *link;
    QTimer *nextReading;
    QTimer *holdTimer;
    // A reply is taken once the line has been quiet after it: a frame right
    // behind it means a stray frame was taken for the reply, or the reply
    // for one.
    std::optional<meter::Frame> held;
    QDateTime heldAt;
    qint64 heldElapsedMs = 0;
    QElapsedTimer runClock;
    qint64 lastRequestMs = 0;
    qint64 firstReadingMs = 0;
    Stage stage = Stage::Idle;
    quint8 asked = 0;
    int missedInARow = 0;
    bool writeFailedSinceReply = false;
    bool noiseSinceReply = false;
    quint16 wavelengthNm = 0;
    QVector<Reading> readings;
    int outsideLimit = 0;
    bool warnedNoLoss = false;
    Progress progress;
};

} // namespace cli
