// SPDX-License-Identifier: MIT
#include "cli/jobrun.h"

#include "cli/console.h"
#include "cli/jobcommands.h"
#include "job/cablereport.h"
#include "job/losstest.h"
#include "port/lineport.h"

namespace cli {

namespace {

QString rerunOf(Command command)
{
    switch (command) {
    case Command::JobReference:
        return QStringLiteral("job reference");
    case Command::JobTest:
        return QStringLiteral("job test");
    default:
        break;
    }
    return QStringLiteral("job run");
}

} // namespace

JobRun::JobRun(const Options &options, QObject *parent)
    : QObject(parent),
      options(options),
      session(new session::MeterSession(options.port, meter::Timing{options.gapMs, options.deadlineMs}, this)),
      prompt(new LinePrompt(this))
{
    connect(session, &session::MeterSession::failed, this, &JobRun::fail);
    connect(prompt, &LinePrompt::endOfInput, this, &JobRun::interrupt); // nobody will answer
}

JobRun::~JobRun() = default;

bool JobRun::prepare()
{
    job::JobError error;
    store = job::JobStore::open(options.jobFile, job::JobStore::Access::Write, &error);
    if (!store) {
        failWith(job::exitCodeFor(error), error.message);
        return false;
    }
    const job::JobDefinition &definition = store->definition();
    wavelengths = options.wavelengths.isEmpty() ? definition.wavelengths : options.wavelengths;
    test = new job::CableTest(store.get(), session, options.count, rerunOf(options.command), this);
    test->setSource(options.port, toolName());
    if (options.command == Command::JobReference) {
        for (quint16 nm : qAsConst(wavelengths))
            if (!definition.wavelengths.contains(nm)) {
                failWith(exitBadArguments, QStringLiteral("%1 nm is not a wavelength of the job %2 (%3)")
                                               .arg(nm)
                                               .arg(options.jobFile,
                                                    session::WavelengthStepper::listText(definition.wavelengths)));
                return false;
            }
        return true;
    }
    const QString direction = job::directionName(options.direction);
    if (options.command == Command::JobTest) {
        const std::optional<int> fibre =
            options.fibre ? options.fibre : job::nextFibre(definition, store->results(), options.direction);
        if (!fibre) {
            printLine(QStringLiteral("every fibre of %1 has a result in %2; give --fibre N to test one again")
                          .arg(options.jobFile, direction));
            finish(exitCodeOf(job::statusOf(definition, store->results())));
            return false;
        }
        fibres = {*fibre};
    } else {
        // With --wavelengths, only what those lack.
        fibres = job::fibresToTest(definition, store->results(), options.direction, wavelengths);
        if (fibres.isEmpty()) {
            const job::JobStatus status = job::statusOf(definition, store->results());
            QStringList lines{QStringLiteral("every fibre of %1 has a result in %2: nothing to test").arg(options.jobFile,
                                                                                                     direction)};
            for (const QString &line : lines << job::countLines(status))
                printLine(line);
            finish(exitCodeOf(status));
            return false;
        }
    }
    const QString problem = test->problemWith(fibres, wavelengths);
    if (!problem.isEmpty()) {
        failWith(exitBadArguments, problem);
        return false;
    }
    for (quint16 nm : qAsConst(wavelengths)) {
        const qint64 age = store->latestReference(nm)->taken.secsTo(QDateTime::currentDateTimeUtc());
        if (age > 24 * 3600)
            printError(QStringLiteral("warning: the reference at %1 nm in %2 was taken %3 ago; take a new one with "
                                      "job reference")
                           .arg(nm)
                           .arg(options.jobFile, job::ageText(age)));
    }
    return true;
}

void JobRun::start()
{
    if (!prepare())
        return;
    if (const std::optional<OpenFailure> failure = session->open()) {
        fail(session::exitCodeFor(*failure), session::openFailureText(*failure));
        return;
    }
    opened = true;
    connect(test, &job::CableTest::failed, this, &JobRun::fail);
    connect(test, &job::CableTest::referenced, this, &JobRun::referenced);
    connect(test, &job::CableTest::fibreTested, this, &JobRun::tested);
    connect(test, &job::CableTest::fibreSkipped, this,
            [this](int fibre) { print(QStringLiteral("fibre %1 skipped").arg(fibre)); });
    connect(test, &job::CableTest::finished, this, &JobRun::ended);
    const bool asking = !options.noPrompt && LinePrompt::interactive();
    if (options.command == Command::JobReference) {
        if (asking)
            test->setReferencePrompt([this](quint16 nm, std::function<void()> ready) {
                prompt->ask(QStringLiteral("Connect the reference cord, set the source to %1 nm and press Enter").arg(nm),
                            [ready](const QString &) { ready(); });
            });
        test->reference(wavelengths);
        return;
    }
    if (asking)
        test->setFibrePrompt([this](int fibre, std::function<void(job::CableTest::Answer)> answer) {
            askForFibre(fibre, std::move(answer));
        });
    test->test(fibres, options.direction, wavelengths);
}

void JobRun::askForFibre(int fibre, std::function<void(job::CableTest::Answer)> answer)
{
    prompt->ask(QStringLiteral("Connect fibre %1 and press Enter (s: skip, q: quit)").arg(fibre),
                [this, fibre, answer](const QString &line) {
                    if (line.isEmpty())
                        answer(job::CableTest::Answer::Measure);
                    else if (line == QLatin1String("s") || line == QLatin1String("skip"))
                        answer(job::CableTest::Answer::Skip);
                    else if (line == QLatin1String("q") || line == QLatin1String("quit"))
                        answer(job::CableTest::Answer::Quit);
                    else
                        askForFibre(fibre, answer);
                });
}

bool JobRun::print(const QString &line)
{
    if (printLine(line))
        return true;
    failWith(exitFailure, stdoutError());
    return false;
}

void JobRun::referenced(const QVector<job::StoredReference> &levels)
{
    job::ReferenceRecord record;
    for (const job::StoredReference &level : levels)
        record.levels << job::ReferenceLevel{level.wavelengthNm, level.mean, level.deviation, level.count};
    // Stored first: the lines say it was taken.
    for (const QString &line : job::referenceLines(record))
        if (!print(line))
            return;
    finish(exitOk);
}

void JobRun::tested(int, const QVector<job::StoredResult> &results)
{
    ++storedThisRun;
    print(job::testedLine(results));
}

void JobRun::ended(bool quit)
{
    const job::JobStatus status = job::statusOf(store->definition(), store->results());
    if (options.command == Command::JobTest) {
        const int fibre = fibres.first();
        if (quit) {
            finish(exitInterrupted);
            return;
        }
        for (const job::FibreStatus &entry : status.fibres)
            if (entry.fibre == fibre) {
                // The verdict is on the average where both directions are in: it is shown.
                const QString average = job::averageLine(entry);
                if (!average.isEmpty() && !print(average))
                    return;
                finish(entry.state == job::FibreStatus::Failed ? exitOutsideLimit : exitOk);
                return;
            }
    }
    QStringList lines = job::countLines(status);
    if (quit)
        lines.prepend(QStringLiteral("stopped: %1 fibres stored in this run; job run carries on from the next "
                                     "untested fibre")
                          .arg(storedThisRun));
    for (const QString &line : qAsConst(lines))
        if (!print(line))
            return;
    finish(exitCodeOf(status));
}

void JobRun::interrupt()
{
    if (done)
        return;
    if (options.command == Command::JobReference)
        printError(QStringLiteral("interrupted: the reference was not stored; run job reference again"));
    else if (const std::optional<int> fibre = test ? test->measuring() : std::nullopt)
        printError(QStringLiteral("interrupted: fibre %1 was not stored; %2")
                       .arg(*fibre)
                       .arg(options.command == Command::JobRun
                                ? QStringLiteral("%1 fibres stored in this run stay, and job run carries on from "
                                                 "fibre %2")
                                      .arg(storedThisRun)
                                      .arg(*fibre)
                                : QStringLiteral("run job test again")));
    else if (options.command == Command::JobRun)
        printError(QStringLiteral("interrupted: %1 fibres stored in this run stay; job run carries on from the next "
                                  "untested fibre")
                       .arg(storedThisRun));
    finish(exitInterrupted);
}

void JobRun::fail(int exitCode, const QString &reason)
{
    failWith(exitCode, options.port + QStringLiteral(": ") + reason);
}

void JobRun::failWith(int exitCode, const QString &message)
{
    if (done)
        return;
    printError(message);
    if (options.command == Command::JobReference && opened)
        printError(QStringLiteral("the reference was not stored; run job reference again"));
    if (storedThisRun > 0 && test && test->measuring())
        printError(QStringLiteral("fibre %1 was not stored; the %2 fibres before it are").arg(*test->measuring())
                       .arg(storedThisRun));
    finish(exitCode);
}

void JobRun::finish(int exitCode)
{
    if (done)
        return;
    done = true;
    if (test)
        test->stop();
    prompt->cancel();
    session->close();
    store.reset(); // the lock goes with it
    emit finished(exitCode);
}

} // namespace cli
