// SPDX-License-Identifier: MIT
#pragma once

// The measuring of a job: its reference, and its fibres one after another,
// each stored, in a transaction of its own, before the next is asked for.
// A run stopped or killed between fibres loses nothing; one stopped within
// a fibre loses only that fibre.

#include "job/jobstore.h"
#include "job/levelsweep.h"

#include <QObject>
#include <QVector>

#include <functional>
#include <optional>

namespace job {

class CableTest : public QObject
{
    Q_OBJECT

public:
    enum class Answer { Measure, Skip, Quit };
    // Asked before each fibre; it is measured, skipped or the run ends as
    // the answer says. Without one every fibre is measured.
    using FibrePrompt = std::function<void(int fibre, std::function<void(Answer)> answer)>;

    // rerun: the command that measures again what a failure lost, e.g. "job run".
    CableTest(JobStore *store, session::MeterSession *session, int readingsPerWavelength, const QString &rerun,
              QObject *parent = nullptr);

    // Recorded with what is stored.
    void setSource(const QString &port, const QString &tool);
    void setReferencePrompt(LevelSweep::Prompt prompt);
    void setFibrePrompt(FibrePrompt prompt) { fibrePrompt = std::move(prompt); }

    // What keeps a fibre from being measured, or nothing: a wavelength the job
    // lacks, a fibre outside it, a wavelength not yet referenced.
    QString problemWith(const QVector<int> &fibres, const QVector<quint16> &wavelengths) const;

    // Ends in referenced() or failed().
    void reference(const QVector<quint16> &wavelengths);
    // Each fibre in turn; ends in finished() or failed().
    void test(const QVector<int> &fibres, Direction direction, const QVector<quint16> &wavelengths);
    void stop();
    // The fibre being measured, or the one a failure cut short; none between fibres.
    std::optional<int> measuring() const { return asked ? std::optional<int>(fibres.value(index)) : std::nullopt; }

signals:
    void referenced(const QVector<job::StoredReference> &levels);
    void fibreTested(int fibre, const QVector<job::StoredResult> &results);
    void fibreSkipped(int fibre);
    void finished(bool quit);
    void failed(int exitCode, const QString &reason);

private:
    enum class Task { None, Reference, Fibres };
    void next();
    void answered(Answer answer, int asked);
    void measured(const QVector<job::WavelengthLevel> &levels);
    void fail(int exitCode, const QString &reason);

    JobStore *store;
    session::MeterSession *session;
    LevelSweep *sweep;
    LevelSweep::Prompt referencePrompt;
    FibrePrompt fibrePrompt;
    QString port;
    QString tool;
    Task task = Task::None;
    bool running = false;
    bool asked = false; // the current fibre is being measured
    QVector<int> fibres;
    QVector<quint16> wavelengths;
    Direction direction = Direction::AToB;
    int index = -1;
    int generation = 0; // an answer given after a stop is not for this run
};

} // namespace job
