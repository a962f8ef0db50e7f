// SPDX-License-Identifier: MIT
#pragma once

// job reference, test and run: a job and a meter. Everything the job can
// refuse is found out before the port is opened.

#include "cli/lineprompt.h"
#include "cli/options.h"
#include "job/cabletest.h"
#include "job/jobstore.h"
#include "session/metersession.h"

#include <QObject>

#include <memory>

namespace cli {

class JobRun : public QObject
{
    Q_OBJECT

public:
    explicit JobRun(const Options &options, QObject *parent = nullptr);
    ~JobRun() override;

    void start();
    // Ctrl-C, SIGTERM, SIGHUP: what is stored stays; the fibre being measured is not stored.
    void interrupt();

signals:
    void finished(int exitCode);

private:
    bool prepare(); // the job, its fibres and references: false when refused
    void askForFibre(int fibre, std::function<void(job::CableTest::Answer)> answer);
    void referenced(const QVector<job::StoredReference> &levels);
    void tested(int fibre, const QVector<job::StoredResult> &results);
    void ended(bool quit);
    bool print(const QString &line);
    void fail(int exitCode, const QString &reason); // about the port: named first
    void failWith(int exitCode, const QString &message);
    void finish(int exitCode);

    Options options;
    std::unique_ptr<job::JobStore> store;
    session::MeterSession *session;
    job::CableTest *test = nullptr;
    LinePrompt *prompt;
    QVector<int> fibres;
    QVector<quint16> wavelengths;
    int storedThisRun = 0;
    bool opened = false; // the meter was asked: a refusal came before it
    bool done = false;
};

} // namespace cli
