// SPDX-License-Identifier: MIT
#include "job/cabletest.h"

#include "job/losstest.h"
#include "session/exitcode.h"

#include <QDateTime>

#include <algorithm>

namespace job {

namespace {

// Starting where the meter is saves stepping it round between fibres.
QVector<quint16> fromCurrent(QVector<quint16> wavelengths, std::optional<quint16> current)
{
    const int at = current ? wavelengths.indexOf(*current) : -1;
    if (at > 0)
        std::rotate(wavelengths.begin(), wavelengths.begin() + at, wavelengths.end());
    return wavelengths;
}

} // namespace

CableTest::CableTest(JobStore *store, session::MeterSession *session, int readingsPerWavelength, const QString &rerun,
                     QObject *parent)
    : QObject(parent),
      store(store),
      session(session),
      sweep(new LevelSweep(session, readingsPerWavelength, QStringLiteral("job"), rerun, this))
{
    connect(sweep, &LevelSweep::finished, this, &CableTest::measured);
    connect(sweep, &LevelSweep::failed, this, &CableTest::fail);
    connect(session, &session::MeterSession::failed, this, [this] { running = false; });
}

void CableTest::setSource(const QString &port, const QString &tool)
{
    this->port = port;
    this->tool = tool;
}

void CableTest::setReferencePrompt(LevelSweep::Prompt prompt)
{
    referencePrompt = std::move(prompt);
}

QString CableTest::problemWith(const QVector<int> &list, const QVector<quint16> &asked) const
{
    const JobDefinition &job = store->definition();
    for (quint16 nm : asked)
        if (!job.wavelengths.contains(nm))
            return QStringLiteral("%1 nm is not a wavelength of the job %2 (%3)")
                .arg(nm)
                .arg(store->fileName(), session::WavelengthStepper::listText(job.wavelengths));
    for (int fibre : list)
        if (!job.fibres.contains(fibre))
            return QStringLiteral("fibre %1 is not in the job %2 (fibres %3)")
                .arg(fibre)
                .arg(store->fileName(), fibresText(job.fibres));
    for (quint16 nm : asked)
        if (!store->latestReference(nm))
            return QStringLiteral("the job %1 has no reference at %2 nm yet: take one first with zerak-cli job "
                                  "reference")
                .arg(store->fileName())
                .arg(nm);
    return QString();
}

void CableTest::reference(const QVector<quint16> &list)
{
    task = Task::Reference;
    running = true;
    ++generation;
    sweep->setPrompt(referencePrompt);
    sweep->start(list);
}

void CableTest::test(const QVector<int> &list, Direction towards, const QVector<quint16> &asked)
{
    const QString problem = problemWith(list, asked);
    if (!problem.isEmpty()) {
        emit failed(session::exitBadArguments, problem);
        return;
    }
    task = Task::Fibres;
    running = true;
    ++generation;
    fibres = list;
    wavelengths = asked;
    direction = towards;
    index = -1;
    sweep->setPrompt(nullptr);
    next();
}

void CableTest::stop()
{
    running = false;
    asked = false;
    ++generation;
    sweep->stop();
}

void CableTest::next()
{
    asked = false;
    if (!running)
        return;
    if (++index >= fibres.size()) {
        running = false;
        emit finished(false);
        return;
    }
    if (!fibrePrompt) {
        answered(Answer::Measure, generation);
        return;
    }
    fibrePrompt(fibres.at(index), [this, now = generation](Answer answer) { answered(answer, now); });
}

void CableTest::answered(Answer answer, int now)
{
    if (!running || now != generation)
        return;
    switch (answer) {
    case Answer::Measure:
        asked = true;
        sweep->start(fromCurrent(wavelengths, session->wavelength()));
        return;
    case Answer::Skip:
        emit fibreSkipped(fibres.at(index));
        next();
        return;
    case Answer::Quit:
        break;
    }
    running = false;
    emit finished(true);
}

void CableTest::measured(const QVector<WavelengthLevel> &levels)
{
    if (!running)
        return;
    JobError error;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (task == Task::Reference) {
        QVector<StoredReference> stored;
        for (const WavelengthLevel &level : levels)
            stored << StoredReference{0, level.wavelengthNm, level.level.mean(), level.level.deviation(),
                                      level.level.count(), now, port, tool};
        if (!store->addReferences(&stored, &error)) {
            fail(session::exitFailure, error.message);
            return;
        }
        running = false;
        emit referenced(stored);
        return;
    }
    const int fibre = fibres.at(index);
    QVector<StoredResult> results;
    // In the job's order, however the meter was stepped.
    for (quint16 nm : qAsConst(wavelengths))
        for (const WavelengthLevel &level : levels) {
            if (level.wavelengthNm != nm)
                continue;
            const StoredReference reference = *store->latestReference(nm);
            const LossRow row = lossRow(nm, ReferenceLevel{nm, reference.mean, reference.deviation, reference.count},
                                        level.level, store->definition().budget.at(nm)->limit);
            StoredResult result;
            result.fibre = fibre;
            result.direction = direction;
            result.wavelengthNm = nm;
            result.reading = level.level.mean();
            result.deviation = level.level.deviation();
            result.count = level.level.count();
            result.loss = row.loss;
            result.limit = *row.budget;
            result.time = now;
            result.referenceId = reference.id;
            result.port = port;
            result.tool = tool;
            results << result;
        }
    if (!store->addResults(&results, &error)) {
        fail(session::exitFailure, error.message);
        return;
    }
    asked = false;
    emit fibreTested(fibre, results);
    next();
}

void CableTest::fail(int exitCode, const QString &reason)
{
    if (!running)
        return;
    running = false;
    emit failed(exitCode, reason);
}

} // namespace job
