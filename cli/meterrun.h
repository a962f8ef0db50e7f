// SPDX-License-Identifier: MIT
#pragma once

// wavelength, next-wavelength, measure, reference and loss: one port, one
// meter, through a MeterSession.

#include "cli/console.h"
#include "cli/lineprompt.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/plot.h"
#include "job/levelsweep.h"
#include "session/measureloop.h"
#include "session/metersession.h"
#include "session/stepper.h"

#include <QObject>

#include <functional>
#include <memory>

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
    // measure: the rows, the summary and the chart are fed by measured()
    void startMeasuring();
    void measured(const session::Reading &reading, bool last);
    bool write(const QString &line);

    // reference and loss
    bool checkLossTest();
    void startLossTest();
    void testWavelength(int index);
    void waitForEnter(const QString &prompt, std::function<void()> then);
    void finishReference(const QVector<job::WavelengthLevel> &levels);
    void finishLoss(const QVector<job::WavelengthLevel> &levels);

    void report(const QString &line); // the one line a command prints, then done
    void fail(int exitCode, const QString &reason); // about the port: named first
    void failWith(int exitCode, const QString &message);
    void finish(int exitCode);
    int summarise(int exitCode);

    Options options;
    session::MeterSession *session;
    session::WavelengthStepper *stepper;
    session::MeasureLoop *loop;
    std::function<void(quint16)> onWavelength; // what a wavelength stepped to is for
    std::function<void(quint16)> onConfirmed;  // the next wavelength the session confirms, once
    std::function<void(const meter::Frame &, quint16)> onReading;
    bool done = false;
    bool interrupted = false;

    // measure
    Output rows;
    session::Summary summary;
    std::unique_ptr<ChartData> chart;
    Progress progress;

    // reference and loss
    QVector<quint16> testWavelengths; // none: the meter's current one
    job::LevelSweep *sweep = nullptr;
    LinePrompt *linePrompt = nullptr;
    job::ReferenceRecord loadedReference; // loss
};

} // namespace cli
