// SPDX-License-Identifier: MIT
#pragma once

// wavelength, next-wavelength, measure, reference and loss: one port, one
// meter, through a MeterSession.

#include "cli/console.h"
#include "cli/losstest.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/plot.h"
#include "cli/readings.h"
#include "cli/session.h"

#include <QObject>
#include <QSet>

#include <functional>
#include <memory>

class QSocketNotifier;
class QTimer;

namespace cli {

class MeterRun : public QObject
{
    Q_OBJECT

public:
    explicit MeterRun(const Options &options, QObject *parent = nullptr);
    ~MeterRun() override;

    void start();
    // Ctrl-C, SIGTERM, SIGHUP, SIGPIPE: ends as if the last reading had been asked for.
    void interrupt();

signals:
    void finished(int exitCode);

private:
    // Steps the meter until it reports nm; exit 8 when a whole cycle passes without it.
    void setWavelength(quint16 nm, std::function<void()> then);
    void stepTowards();
    void nextWavelength();

    // measure: the rows, the summary and the chart are fed by measured()
    void startMeasuring();
    void measured(const meter::Frame &frame, quint16 wavelengthNm);
    void scheduleReading();
    void requestReading();
    bool write(const QString &line);

    // reference and loss
    bool checkLossTest();
    void startLossTest();
    void testWavelength(int index);
    void waitForEnter(const QString &prompt, std::function<void()> then);
    void sampled(const meter::Frame &frame, quint16 wavelengthNm);
    void finishReference();
    void finishLoss();

    void report(const QString &line); // the one line a command prints, then done
    void fail(int exitCode, const QString &reason); // about the port: named first
    void failWith(int exitCode, const QString &message);
    void finish(int exitCode);
    int summarise(int exitCode);

    Options options;
    MeterSession *session;
    std::function<void(quint16, bool)> onWavelength;
    std::function<void(const meter::Frame &, quint16)> onReading;
    bool done = false;
    bool interrupted = false;

    // stepping
    quint16 target = 0;
    QVector<quint16> offered; // in the order the meter went through them
    int steps = 0;
    std::function<void()> whenSet;

    // measure
    Output rows;
    Summary summary;
    std::unique_ptr<ChartData> chart;
    QTimer *nextReading;
    QTimer *durationTimer;
    qint64 startedMs = -1;
    qint64 slot = 0;
    bool inFlight = false;     // a reading asked for and not yet taken
    bool confirmFirst = false; // the next timeout asks the wavelength, then waits for the reading's time
    bool durationOver = false;
    Progress progress;

    // reference and loss
    QVector<quint16> testWavelengths;
    QVector<ReadingStats> samples; // per wavelength tested
    int current = -1;
    QSocketNotifier *stdinNotifier = nullptr;
    ReferenceRecord loadedReference; // loss
};

} // namespace cli
