// SPDX-License-Identifier: MIT
#pragma once

// A job kept in an SQLite file (docs/job-file.md). Results are only ever
// added, each batch in a transaction of its own that is on the disk when
// the call returns, so a run that is killed loses at most the fibre it was
// measuring. A file that is not a job, is damaged or comes from a newer
// version is refused before anything is written to it or beside it.

#include "job/jobdata.h"

#include <QString>
#include <QVector>

#include <memory>
#include <optional>

class QLockFile;

namespace job {

struct JobError
{
    enum Kind {
        NoSuchJob,
        Exists,   // job new: a file is already there
        NotAJob,  // not SQLite, or an SQLite file of something else
        Damaged,  // truncated, overwritten, a table missing
        Newer,    // made by a newer version of the tool
        InUse,    // another run holds it
        ReadOnly, // the file or its directory cannot be written
        Failed,   // the disk or the driver failed
    };
    Kind kind = Failed;
    QString message;
};

// A job's own ways to end, after the meter's 0 to 9.
enum JobExitCode {
    exitNotAJob = 10,   // not a job, or damaged
    exitNewerJob = 11,  // made by a newer version
    exitJobInUse = 12,  // held by another run
    exitUntested = 13,  // status: none failed, some untested
};
// 2 for what the user named wrongly (no such job, one already there, a
// read-only one), 1 for a failure of the disk or the driver.
int exitCodeFor(const JobError &error);

class JobStore
{
public:
    enum class Access { Read, Write };
    static constexpr int schemaVersion = 1;
    static constexpr qint32 applicationId = 0x5A4A4F42; // "ZJOB"
    // How long a second run waits for the first to let go.
    static constexpr int lockWaitMs = 2000;

    // Made whole beside the name and then moved there, never over a file.
    static bool create(const QString &fileName, const JobDefinition &definition, JobError *error);
    // Read: a snapshot of the last committed state; it takes no lock, so a
    // status query never waits on a run. Write: the job is held against
    // other writers until the store is destroyed.
    static std::unique_ptr<JobStore> open(const QString &fileName, Access access, JobError *error,
                                          int lockWaitMs = JobStore::lockWaitMs);
    ~JobStore();

    QString fileName() const { return file; }
    const JobDefinition &definition() const { return job; }
    const QVector<StoredReference> &references() const { return storedReferences; } // oldest first
    const QVector<StoredResult> &results() const { return storedResults; }          // as committed
    std::optional<StoredReference> latestReference(quint16 nanometres) const;

    // One transaction each, on the disk when true is returned; the ids, and
    // each result's verdict and margin, are filled in. On false nothing of
    // the batch is stored.
    bool addReferences(QVector<StoredReference> *references, JobError *error);
    bool addResults(QVector<StoredResult> *results, JobError *error);

private:
    JobStore() = default;
    bool load(const QString &connectionName, JobError *error);

    QString file;
    QString connection;
    std::unique_ptr<QLockFile> lock;
    JobDefinition job;
    QVector<StoredReference> storedReferences;
    QVector<StoredResult> storedResults;
};

} // namespace job
