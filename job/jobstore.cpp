// SPDX-License-Identifier: MIT
#include "job/jobstore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryFile>
#include <QUrl>
#include <QVariant>
#include <QtEndian>

#include <functional>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace job {

namespace {

const QString driver = QStringLiteral("QSQLITE");
const QString sqliteCantOpen = QStringLiteral("14");

// Step v takes a job from schema version v to v + 1, in one transaction
// that also sets the version: a file is at one version or the next, never
// between. Steps are only ever added.
const QVector<QStringList> migrations = {
    {
        QStringLiteral("CREATE TABLE job ("
                       " id INTEGER PRIMARY KEY CHECK (id = 1),"
                       " cable TEXT NOT NULL,"
                       " fibres TEXT NOT NULL,"
                       " wavelengths TEXT NOT NULL,"
                       " end_a TEXT NOT NULL,"
                       " end_b TEXT NOT NULL,"
                       " operator TEXT NOT NULL,"
                       " method TEXT NOT NULL CHECK (method IN ('1-cord', '2-cord', '3-cord')),"
                       " bidirectional INTEGER NOT NULL CHECK (bidirectional IN (0, 1)),"
                       " budget TEXT NOT NULL,"
                       " budget_basis TEXT NOT NULL,"
                       " tool TEXT NOT NULL,"
                       " created TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE budget ("
                       " wavelength_nm INTEGER PRIMARY KEY,"
                       " limit_dB REAL NOT NULL,"
                       " formula TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE reference ("
                       " id INTEGER PRIMARY KEY,"
                       " wavelength_nm INTEGER NOT NULL,"
                       " mean_dBm REAL NOT NULL,"
                       " std_dev_dB REAL NOT NULL,"
                       " readings INTEGER NOT NULL,"
                       " time TEXT NOT NULL,"
                       " port TEXT NOT NULL,"
                       " tool TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE result ("
                       " id INTEGER PRIMARY KEY,"
                       " fibre INTEGER NOT NULL,"
                       " direction TEXT NOT NULL CHECK (direction IN ('A-B', 'B-A')),"
                       " wavelength_nm INTEGER NOT NULL,"
                       " reading_dBm REAL NOT NULL,"
                       " std_dev_dB REAL NOT NULL,"
                       " readings INTEGER NOT NULL,"
                       " loss_dB REAL NOT NULL,"
                       " limit_dB REAL NOT NULL,"
                       " margin_dB REAL NOT NULL,"
                       " verdict TEXT NOT NULL CHECK (verdict IN ('PASS', 'FAIL')),"
                       " time TEXT NOT NULL,"
                       " reference_id INTEGER NOT NULL REFERENCES reference (id),"
                       " port TEXT NOT NULL,"
                       " tool TEXT NOT NULL)"),
        QStringLiteral("CREATE INDEX result_by_fibre ON result (fibre, direction, wavelength_nm)"),
    },
};

// The columns each version's tables must have; more are allowed.
QMap<QString, QStringList> tablesOf(int version)
{
    Q_UNUSED(version) // one version so far
    return {
        {QStringLiteral("job"),
         {QStringLiteral("cable"), QStringLiteral("fibres"), QStringLiteral("wavelengths"), QStringLiteral("end_a"),
          QStringLiteral("end_b"), QStringLiteral("operator"), QStringLiteral("method"),
          QStringLiteral("bidirectional"), QStringLiteral("budget"), QStringLiteral("budget_basis"),
          QStringLiteral("tool"), QStringLiteral("created")}},
        {QStringLiteral("budget"),
         {QStringLiteral("wavelength_nm"), QStringLiteral("limit_dB"), QStringLiteral("formula")}},
        {QStringLiteral("reference"),
         {QStringLiteral("id"), QStringLiteral("wavelength_nm"), QStringLiteral("mean_dBm"),
          QStringLiteral("std_dev_dB"), QStringLiteral("readings"), QStringLiteral("time"), QStringLiteral("port"),
          QStringLiteral("tool")}},
        {QStringLiteral("result"),
         {QStringLiteral("id"), QStringLiteral("fibre"), QStringLiteral("direction"), QStringLiteral("wavelength_nm"),
          QStringLiteral("reading_dBm"), QStringLiteral("std_dev_dB"), QStringLiteral("readings"),
          QStringLiteral("loss_dB"), QStringLiteral("limit_dB"), QStringLiteral("margin_dB"),
          QStringLiteral("verdict"), QStringLiteral("time"), QStringLiteral("reference_id"), QStringLiteral("port"),
          QStringLiteral("tool")}},
    };
}

QString newConnectionName()
{
    static int count = 0;
    return QStringLiteral("zerakjob-%1").arg(++count);
}

void removeConnection(const QString &name)
{
    if (name.isEmpty())
        return;
    {
        QSqlDatabase database = QSqlDatabase::database(name, false);
        database.close();
    }
    QSqlDatabase::removeDatabase(name);
}

// A connection for the length of one function.
struct ScopedConnection
{
    QString name = newConnectionName();
    ~ScopedConnection() { removeConnection(name); }
    QSqlDatabase database() const { return QSqlDatabase::database(name, false); }
};

JobError failure(JobError::Kind kind, const QString &message)
{
    return JobError{kind, message};
}

QString driverMissing()
{
    return QStringLiteral("the Qt SQLite driver (QSQLITE) is missing: install libqt5sql5-sqlite (with Qt 6, "
                          "libqt6sql6-sqlite)");
}

// Runs one statement; false with the driver's words in *why.
bool run(QSqlQuery &query, const QString &statement, QString *why)
{
    if (query.exec(statement))
        return true;
    *why = query.lastError().text();
    return false;
}

bool run(const QSqlDatabase &database, const QString &statement, QString *why)
{
    QSqlQuery query(database);
    return run(query, statement, why);
}

// The first value a statement gives, or an invalid variant with *why.
QVariant valueOf(const QSqlDatabase &database, const QString &statement, QString *why, QString *code = nullptr)
{
    QSqlQuery query(database);
    if (!query.exec(statement)) {
        *why = query.lastError().text();
        if (code)
            *code = query.lastError().nativeErrorCode();
        return QVariant();
    }
    if (!query.next()) {
        *why = QStringLiteral("%1 gave nothing").arg(statement);
        return QVariant();
    }
    return query.value(0);
}

QString walOf(const QString &fileName)
{
    return fileName + QStringLiteral("-wal");
}

bool hasWal(const QString &fileName)
{
    const QFileInfo wal(walOf(fileName));
    return wal.exists() && wal.size() > 0;
}

// What the file's first hundred bytes say, before SQLite is let near it: a
// file of something else is never opened as a database.
std::optional<JobError> headerProblem(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return failure(JobError::Failed, QStringLiteral("cannot read the job %1: %2").arg(fileName, file.errorString()));
    const qint64 size = file.size();
    const QByteArray header = file.read(100);
    static const QByteArray magic("SQLite format 3\0", 16);
    if (size == 0)
        return failure(JobError::NotAJob, QStringLiteral("%1 is an empty file, not a job; make a job with zerak-cli "
                                                         "job new")
                                              .arg(fileName));
    if (!header.startsWith(magic.left(header.size())))
        return failure(JobError::NotAJob, QStringLiteral("%1 is not a job: it is not an SQLite database").arg(fileName));
    const QString damaged = QStringLiteral("the job %1 is damaged: %2; it is left as it is").arg(fileName);
    if (header.size() < 100)
        return failure(JobError::Damaged, damaged.arg(QStringLiteral("it is cut short at %1 bytes").arg(size)));
    const auto at32 = [&](int offset) { return qFromBigEndian<quint32>(header.constData() + offset); };
    if (qint32(at32(68)) != JobStore::applicationId)
        return failure(JobError::NotAJob,
                       QStringLiteral("%1 is an SQLite database, but not a job of zerak-cli").arg(fileName));
    const quint16 pageField = qFromBigEndian<quint16>(header.constData() + 16);
    const qint64 pageSize = pageField == 1 ? 65536 : pageField;
    if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0)
        return failure(JobError::Damaged, damaged.arg(QStringLiteral("its header gives no valid page size")));
    if (size % pageSize != 0)
        return failure(JobError::Damaged, damaged.arg(QStringLiteral("it ends within a page (%1 bytes, pages of %2)")
                                                          .arg(size)
                                                          .arg(pageSize)));
    // The size in the header holds when its change counter says so. With
    // a write-ahead log beside it, SQLite may be midway through copying it
    // back, and puts that right itself.
    const qint64 pages = at32(28);
    if (!hasWal(fileName) && at32(92) == at32(24) && pages * pageSize > size)
        return failure(JobError::Damaged, damaged.arg(QStringLiteral("it is cut short: %1 of its %2 bytes are there")
                                                          .arg(size)
                                                          .arg(pages * pageSize)));
    return std::nullopt;
}

bool openReadOnly(const QString &name, const QString &fileName, bool immutable)
{
    QSqlDatabase database = QSqlDatabase::addDatabase(driver, name);
    if (immutable) {
        database.setDatabaseName(QUrl::fromLocalFile(QFileInfo(fileName).absoluteFilePath()).toString(QUrl::FullyEncoded)
                                 + QStringLiteral("?mode=ro&immutable=1"));
        database.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=2000"));
    } else {
        database.setDatabaseName(fileName);
        database.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=2000"));
    }
    return database.open();
}

// Everything a job must be, asked of a read-only connection. A file that
// fails any of it is reported and never written.
std::optional<JobError> contentProblem(const QString &fileName, const QString &name, int *version)
{
    const QString damaged = QStringLiteral("the job %1 is damaged: %2; it is left as it is").arg(fileName);
    QString why;
    QString code;
    if (!openReadOnly(name, fileName, false))
        return failure(JobError::Failed, QStringLiteral("cannot open the job %1: %2")
                                             .arg(fileName, QSqlDatabase::database(name, false).lastError().text()));
    QVariant id = valueOf(QSqlDatabase::database(name, false), QStringLiteral("PRAGMA application_id"), &why, &code);
    if (!id.isValid() && code == sqliteCantOpen && !hasWal(fileName)) {
        // A directory that cannot be written has no room for the shared
        // memory a reader keeps; with no log beside it the file is whole
        // and no writer can be at work in there.
        removeConnection(name);
        if (!openReadOnly(name, fileName, true))
            return failure(JobError::Failed, QStringLiteral("cannot open the job %1: %2")
                                                 .arg(fileName, QSqlDatabase::database(name, false).lastError().text()));
        id = valueOf(QSqlDatabase::database(name, false), QStringLiteral("PRAGMA application_id"), &why, &code);
    }
    const QSqlDatabase database = QSqlDatabase::database(name, false);
    if (!id.isValid())
        return failure(code == sqliteCantOpen ? JobError::Failed : JobError::Damaged,
                       code == sqliteCantOpen
                           ? QStringLiteral("cannot read the job %1: %2").arg(fileName, why)
                           : damaged.arg(why));
    if (id.toInt() != JobStore::applicationId)
        return failure(JobError::NotAJob,
                       QStringLiteral("%1 is an SQLite database, but not a job of zerak-cli").arg(fileName));
    const QVariant userVersion = valueOf(database, QStringLiteral("PRAGMA user_version"), &why);
    if (!userVersion.isValid())
        return failure(JobError::Damaged, damaged.arg(why));
    *version = userVersion.toInt();
    if (*version > JobStore::schemaVersion)
        return failure(JobError::Newer, QStringLiteral("the job %1 was made by a newer zerak-cli (job file version %2; "
                                                       "this one reads up to %3); open it with that version or a "
                                                       "later one; it is left as it is")
                                            .arg(fileName)
                                            .arg(*version)
                                            .arg(JobStore::schemaVersion));
    if (*version < 1)
        return failure(JobError::Damaged, damaged.arg(QStringLiteral("it has no schema version")));
    {
        QSqlQuery check(database);
        if (!run(check, QStringLiteral("PRAGMA quick_check"), &why))
            return failure(JobError::Damaged, damaged.arg(why));
        if (!check.next() || check.value(0).toString() != QLatin1String("ok")) {
            // The first of SQLite's findings, which may run to pages.
            QStringList findings = check.value(0).toString().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            findings.removeAll(QStringLiteral("*** in database main ***"));
            return failure(JobError::Damaged,
                           damaged.arg(QStringLiteral("its pages do not hold together (%1)")
                                           .arg(findings.value(0, QStringLiteral("SQLite's check failed")))));
        }
    }
    const QMap<QString, QStringList> tables = tablesOf(*version);
    for (auto table = tables.begin(); table != tables.end(); ++table) {
        QSqlQuery columns(database);
        if (!run(columns, QStringLiteral("PRAGMA table_info(%1)").arg(table.key()), &why))
            return failure(JobError::Damaged, damaged.arg(why));
        QStringList present;
        while (columns.next())
            present << columns.value(1).toString();
        if (present.isEmpty())
            return failure(JobError::Damaged, damaged.arg(QStringLiteral("the table '%1' is missing").arg(table.key())));
        for (const QString &column : table.value())
            if (!present.contains(column))
                return failure(JobError::Damaged, damaged.arg(QStringLiteral("the table '%1' has no column '%2'")
                                                                  .arg(table.key(), column)));
    }
    return std::nullopt;
}

bool migrate(const QSqlDatabase &database, int from, QString *why)
{
    for (int version = from; version < JobStore::schemaVersion; ++version) {
        QStringList statements = migrations.at(version);
        statements.prepend(QStringLiteral("BEGIN IMMEDIATE"));
        statements << QStringLiteral("PRAGMA user_version = %1").arg(version + 1) << QStringLiteral("COMMIT");
        for (const QString &statement : qAsConst(statements))
            if (!run(database, statement, why)) {
                QString ignored;
                run(database, QStringLiteral("ROLLBACK"), &ignored);
                return false;
            }
    }
    return true;
}

// On the disk, as the results are: synced at every commit.
bool setUpForWriting(const QSqlDatabase &database, QString *why)
{
    const QVariant mode = valueOf(database, QStringLiteral("PRAGMA journal_mode"), why);
    if (!mode.isValid())
        return false;
    if (mode.toString() != QLatin1String("wal")) {
        const QVariant set = valueOf(database, QStringLiteral("PRAGMA journal_mode = WAL"), why);
        if (!set.isValid())
            return false;
        if (set.toString() != QLatin1String("wal")) {
            *why = QStringLiteral("the write-ahead log cannot be used here (journal mode %1)").arg(set.toString());
            return false;
        }
    }
    return run(database, QStringLiteral("PRAGMA synchronous = FULL"), why)
           && run(database, QStringLiteral("PRAGMA foreign_keys = ON"), why);
}

double decibels(double hundredths)
{
    return hundredths / 100.0;
}

// A text column is never NULL: an empty name is stored as empty.
QVariant text(const QString &value)
{
    return QVariant(value.isNull() ? QStringLiteral("") : value);
}

double hundredths(const QVariant &decibels)
{
    return decibels.toDouble() * 100.0;
}

QString wavelengthsText(const QVector<quint16> &wavelengths)
{
    QStringList names;
    for (quint16 nm : wavelengths)
        names << QString::number(nm);
    return names.join(QLatin1Char(','));
}

QDateTime timeFrom(const QVariant &value)
{
    QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    return time.isValid() ? time.toUTC() : time;
}

#ifdef Q_OS_UNIX
// So that the new name itself survives a power cut, not only the file.
void syncDirectory(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}
#else
void syncDirectory(const QString &)
{
}
#endif

void removeBeside(const QString &fileName)
{
    for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm"), QStringLiteral("-journal")})
        QFile::remove(fileName + suffix);
}

} // namespace

int exitCodeFor(const JobError &error)
{
    switch (error.kind) {
    case JobError::NoSuchJob:
    case JobError::Exists:
    case JobError::ReadOnly:
        return 2;
    case JobError::NotAJob:
    case JobError::Damaged:
        return exitNotAJob;
    case JobError::Newer:
        return exitNewerJob;
    case JobError::InUse:
        return exitJobInUse;
    case JobError::Failed:
        break;
    }
    return 1;
}

bool JobStore::create(const QString &fileName, const JobDefinition &definition, JobError *error)
{
    if (!QSqlDatabase::isDriverAvailable(driver)) {
        *error = failure(JobError::Failed, driverMissing());
        return false;
    }
    const QString problem = problemWith(definition);
    if (!problem.isEmpty()) {
        *error = failure(JobError::Failed, QStringLiteral("cannot make the job %1: %2").arg(fileName, problem));
        return false;
    }
    const QFileInfo info(fileName);
    if (info.exists() || info.isSymLink()) {
        *error = failure(JobError::Exists, QStringLiteral("%1 already exists, and a job is never written over: choose "
                                                          "another name, or move that file away first")
                                               .arg(fileName));
        return false;
    }
    const QFileInfo directory(info.absolutePath());
    if (!directory.isDir()) {
        *error = failure(JobError::Failed,
                         QStringLiteral("cannot make the job %1: there is no directory %2").arg(fileName, directory.filePath()));
        return false;
    }
    if (!directory.isWritable()) {
        *error = failure(JobError::ReadOnly, QStringLiteral("cannot make the job %1: the directory %2 is read-only")
                                                 .arg(fileName, directory.filePath()));
        return false;
    }
    // Made under a name of its own, so that a job half made is never taken
    // for one, then moved to its name only if nothing is there by then.
    QString temporary;
    {
        QTemporaryFile reserve(QDir(directory.absoluteFilePath()).filePath(QStringLiteral(".%1.XXXXXX").arg(info.fileName())));
        reserve.setAutoRemove(false);
        if (!reserve.open()) {
            *error = failure(JobError::Failed,
                             QStringLiteral("cannot make the job %1: %2").arg(fileName, reserve.errorString()));
            return false;
        }
        temporary = reserve.fileName();
    }
    const auto cannot = [&](const QString &why) {
        *error = failure(JobError::Failed, QStringLiteral("cannot make the job %1: %2").arg(fileName, why));
        removeBeside(temporary);
        return false;
    };
    {
        ScopedConnection connection;
        QSqlDatabase database = QSqlDatabase::addDatabase(driver, connection.name);
        database.setDatabaseName(temporary);
        if (!database.open())
            return cannot(database.lastError().text());
        QString why;
        if (!run(database, QStringLiteral("PRAGMA application_id = %1").arg(applicationId), &why)
            || !setUpForWriting(database, &why) || !migrate(database, 0, &why))
            return cannot(why);
        if (!run(database, QStringLiteral("BEGIN IMMEDIATE"), &why))
            return cannot(why);
        QSqlQuery insert(database);
        insert.prepare(QStringLiteral("INSERT INTO job (id, cable, fibres, wavelengths, end_a, end_b, operator, method,"
                                      " bidirectional, budget, budget_basis, tool, created)"
                                      " VALUES (1, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
        for (const QVariant &value :
             {text(definition.cable), text(fibresText(definition.fibres)), text(wavelengthsText(definition.wavelengths)),
              text(definition.endA), text(definition.endB), text(definition.operatorName),
              text(methodName(definition.method)), QVariant(definition.bidirectional ? 1 : 0),
              text(definition.budget.given), text(definition.budget.basis), text(definition.tool),
              text(timeText(definition.created.isValid() ? definition.created : QDateTime::currentDateTimeUtc()))})
            insert.addBindValue(value);
        if (!insert.exec())
            return cannot(insert.lastError().text());
        QSqlQuery limit(database);
        limit.prepare(QStringLiteral("INSERT INTO budget (wavelength_nm, limit_dB, formula) VALUES (?, ?, ?)"));
        for (quint16 nm : definition.wavelengths) {
            const WavelengthLimit *at = definition.budget.at(nm);
            limit.addBindValue(int(nm));
            limit.addBindValue(decibels(at->limit));
            limit.addBindValue(text(at->formula));
            if (!limit.exec())
                return cannot(limit.lastError().text());
        }
        insert.finish();
        limit.finish();
        if (!run(database, QStringLiteral("COMMIT"), &why))
            return cannot(why);
    } // closed here: the log is copied back and removed
    QFile made(temporary);
    if (!made.rename(fileName)) {
        const bool there = QFileInfo::exists(fileName);
        *error = failure(there ? JobError::Exists : JobError::Failed,
                         there ? QStringLiteral("%1 appeared meanwhile, and a job is never written over").arg(fileName)
                               : QStringLiteral("cannot make the job %1: %2").arg(fileName, made.errorString()));
        removeBeside(temporary);
        return false;
    }
    syncDirectory(directory.absoluteFilePath());
    return true;
}

std::unique_ptr<JobStore> JobStore::open(const QString &fileName, Access access, JobError *error, int lockWaitMs)
{
    if (!QSqlDatabase::isDriverAvailable(driver)) {
        *error = failure(JobError::Failed, driverMissing());
        return nullptr;
    }
    const QFileInfo info(fileName);
    if (!info.exists()) {
        *error = failure(JobError::NoSuchJob,
                         QStringLiteral("there is no job %1; make one with zerak-cli job new").arg(fileName));
        return nullptr;
    }
    if (!info.isFile()) {
        *error = failure(JobError::NotAJob, QStringLiteral("%1 is not a job: it is not a file").arg(fileName));
        return nullptr;
    }
    if (access == Access::Write) {
        // Before anything is measured: a result that cannot be stored is lost.
        const QFileInfo directory(info.absolutePath());
        if (!info.isWritable()) {
            *error = failure(JobError::ReadOnly, QStringLiteral("the job %1 is read-only: nothing could be stored in "
                                                                "it; make it writable, or copy it somewhere it is")
                                                     .arg(fileName));
            return nullptr;
        }
        if (!directory.isWritable()) {
            *error = failure(JobError::ReadOnly, QStringLiteral("the job %1 is in a read-only directory (%2), where its "
                                                                "log cannot be kept; copy it somewhere writable")
                                                     .arg(fileName, directory.filePath()));
            return nullptr;
        }
    }
    if (const std::optional<JobError> problem = headerProblem(fileName)) {
        *error = *problem;
        return nullptr;
    }
    std::unique_ptr<JobStore> store(new JobStore);
    store->file = fileName;
    if (access == Access::Write) {
        store->lock = std::make_unique<QLockFile>(fileName + QStringLiteral(".lock"));
        // A run may wait at a prompt for an hour: the lock is stale only
        // when the process that took it is gone (kill -9, a crash).
        store->lock->setStaleLockTime(0);
        if (!store->lock->tryLock(lockWaitMs)) {
            qint64 pid = 0;
            QString host;
            QString application;
            if (store->lock->error() == QLockFile::LockFailedError) {
                const QString holder = store->lock->getLockInfo(&pid, &host, &application)
                                           ? QStringLiteral(" (%1, process %2 on %3)").arg(application).arg(pid).arg(host)
                                           : QString();
                *error = failure(JobError::InUse, QStringLiteral("the job %1 is in use by another run%2; wait for it to "
                                                                 "end, or end it, then try again")
                                                      .arg(fileName, holder));
            } else {
                *error = failure(store->lock->error() == QLockFile::PermissionError ? JobError::ReadOnly
                                                                                     : JobError::Failed,
                                 QStringLiteral("cannot hold the job %1: its lock file %2.lock cannot be made")
                                     .arg(fileName, fileName));
            }
            store->lock.reset();
            return nullptr;
        }
    }
    int version = 0;
    {
        ScopedConnection check;
        if (const std::optional<JobError> problem = contentProblem(fileName, check.name, &version)) {
            *error = *problem;
            return nullptr;
        }
        // What an older version made is read once it has been brought up to date.
        if (version == schemaVersion && !store->load(check.name, error))
            return nullptr;
        if (access == Access::Read) {
            if (version < schemaVersion) {
                *error = failure(JobError::Failed, QStringLiteral("the job %1 is from an earlier version of zerak-cli "
                                                                  "(job file version %2): open it for writing once, "
                                                                  "e.g. with job reference, to bring it up to date")
                                                       .arg(fileName)
                                                       .arg(version));
                return nullptr;
            }
            return store;
        }
    }
    store->connection = newConnectionName();
    QSqlDatabase database = QSqlDatabase::addDatabase(driver, store->connection);
    database.setDatabaseName(fileName);
    database.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(JobStore::lockWaitMs));
    QString why;
    if (!database.open() || !setUpForWriting(database, &why) || !migrate(database, version, &why)) {
        *error = failure(JobError::Failed, QStringLiteral("cannot open the job %1 for writing: %2")
                                               .arg(fileName, why.isEmpty() ? database.lastError().text() : why));
        return nullptr;
    }
    if (version < schemaVersion && !store->load(store->connection, error))
        return nullptr;
    return store;
}

JobStore::~JobStore()
{
    removeConnection(connection);
}

bool JobStore::load(const QString &connectionName, JobError *error)
{
    const QSqlDatabase database = QSqlDatabase::database(connectionName, false);
    const QString damaged = QStringLiteral("the job %1 is damaged: %2; it is left as it is").arg(file);
    const auto fail = [&](const QString &why) {
        *error = failure(JobError::Damaged, damaged.arg(why));
        return false;
    };
    QSqlQuery query(database);
    if (!query.exec(QStringLiteral("SELECT cable, fibres, wavelengths, end_a, end_b, operator, method, bidirectional,"
                                   " budget, budget_basis, tool, created FROM job WHERE id = 1")))
        return fail(query.lastError().text());
    if (!query.next())
        return fail(QStringLiteral("it holds no job"));
    QString why;
    job.cable = query.value(0).toString();
    const std::optional<QVector<int>> fibres = fibresFrom(query.value(1).toString(), &why);
    if (!fibres)
        return fail(QStringLiteral("its list of fibres: %1").arg(why));
    job.fibres = *fibres;
    for (const QString &item : query.value(2).toString().split(QLatin1Char(','))) {
        bool ok = false;
        const int nm = item.toInt(&ok);
        if (!ok || nm < 400 || nm > 1700)
            return fail(QStringLiteral("its wavelengths '%1'").arg(query.value(2).toString()));
        job.wavelengths << quint16(nm);
    }
    job.endA = query.value(3).toString();
    job.endB = query.value(4).toString();
    job.operatorName = query.value(5).toString();
    const std::optional<Method> method = methodFrom(query.value(6).toString());
    if (!method)
        return fail(QStringLiteral("its method '%1'").arg(query.value(6).toString()));
    job.method = *method;
    job.bidirectional = query.value(7).toInt() != 0;
    job.budget.given = query.value(8).toString();
    job.budget.basis = query.value(9).toString();
    job.tool = query.value(10).toString();
    job.created = timeFrom(query.value(11));
    if (!job.created.isValid())
        return fail(QStringLiteral("its time of making '%1'").arg(query.value(11).toString()));

    if (!query.exec(QStringLiteral("SELECT wavelength_nm, limit_dB, formula FROM budget")))
        return fail(query.lastError().text());
    QMap<quint16, WavelengthLimit> limits;
    while (query.next())
        limits.insert(quint16(query.value(0).toInt()),
                      WavelengthLimit{quint16(query.value(0).toInt()), hundredths(query.value(1)),
                                      query.value(2).toString()});
    for (quint16 nm : qAsConst(job.wavelengths)) {
        if (!limits.contains(nm))
            return fail(QStringLiteral("it has no limit at %1 nm").arg(nm));
        job.budget.limits << limits.value(nm);
    }

    if (!query.exec(QStringLiteral("SELECT id, wavelength_nm, mean_dBm, std_dev_dB, readings, time, port, tool"
                                   " FROM reference ORDER BY id")))
        return fail(query.lastError().text());
    while (query.next()) {
        StoredReference reference;
        reference.id = query.value(0).toLongLong();
        reference.wavelengthNm = quint16(query.value(1).toInt());
        reference.mean = hundredths(query.value(2));
        reference.deviation = hundredths(query.value(3));
        reference.count = query.value(4).toLongLong();
        reference.taken = timeFrom(query.value(5));
        reference.port = query.value(6).toString();
        reference.tool = query.value(7).toString();
        storedReferences << reference;
    }

    if (!query.exec(QStringLiteral("SELECT id, fibre, direction, wavelength_nm, reading_dBm, std_dev_dB, readings,"
                                   " loss_dB, limit_dB, verdict, time, reference_id, port, tool"
                                   " FROM result ORDER BY id")))
        return fail(query.lastError().text());
    while (query.next()) {
        StoredResult result;
        result.id = query.value(0).toLongLong();
        result.fibre = query.value(1).toInt();
        const std::optional<Direction> direction = directionFrom(query.value(2).toString());
        if (!direction)
            return fail(QStringLiteral("result %1 has the direction '%2'").arg(result.id).arg(query.value(2).toString()));
        result.direction = *direction;
        result.wavelengthNm = quint16(query.value(3).toInt());
        result.reading = hundredths(query.value(4));
        result.deviation = hundredths(query.value(5));
        result.count = query.value(6).toLongLong();
        result.loss = hundredths(query.value(7));
        result.limit = hundredths(query.value(8));
        result.pass = query.value(9).toString() == QLatin1String("PASS");
        result.time = timeFrom(query.value(10));
        result.referenceId = query.value(11).toLongLong();
        result.port = query.value(12).toString();
        result.tool = query.value(13).toString();
        storedResults << result;
    }
    return true;
}

std::optional<StoredReference> JobStore::latestReference(quint16 nanometres) const
{
    for (auto it = storedReferences.crbegin(); it != storedReferences.crend(); ++it)
        if (it->wavelengthNm == nanometres)
            return *it;
    return std::nullopt;
}

namespace {

// The batch in one transaction; all of it or nothing.
bool storeBatch(const QString &connection, const QString &statement, int rows,
           const std::function<void(QSqlQuery &, int)> &bind, QVector<qint64> *ids, QString *why)
{
    const QSqlDatabase database = QSqlDatabase::database(connection, false);
    if (!database.isOpen()) {
        *why = QStringLiteral("the job was opened for reading only");
        return false;
    }
    if (!run(database, QStringLiteral("BEGIN IMMEDIATE"), why))
        return false;
    {
        QSqlQuery insert(database);
        if (!insert.prepare(statement)) {
            *why = insert.lastError().text();
        } else {
            for (int i = 0; i < rows; ++i) {
                bind(insert, i);
                if (!insert.exec()) {
                    *why = insert.lastError().text();
                    break;
                }
                *ids << insert.lastInsertId().toLongLong();
            }
        }
    }
    if (ids->size() == rows && run(database, QStringLiteral("COMMIT"), why))
        return true;
    QString ignored;
    run(database, QStringLiteral("ROLLBACK"), &ignored);
    ids->clear();
    return false;
}

} // namespace

bool JobStore::addReferences(QVector<StoredReference> *references, JobError *error)
{
    QVector<qint64> ids;
    QString why;
    for (StoredReference &reference : *references)
        if (!reference.taken.isValid())
            reference.taken = QDateTime::currentDateTimeUtc();
    const bool stored = storeBatch(
        connection,
        QStringLiteral("INSERT INTO reference (wavelength_nm, mean_dBm, std_dev_dB, readings, time, port, tool)"
                       " VALUES (?, ?, ?, ?, ?, ?, ?)"),
        references->size(),
        [references](QSqlQuery &insert, int i) {
            const StoredReference &reference = references->at(i);
            insert.addBindValue(int(reference.wavelengthNm));
            insert.addBindValue(decibels(reference.mean));
            insert.addBindValue(decibels(reference.deviation));
            insert.addBindValue(reference.count);
            insert.addBindValue(timeText(reference.taken));
            insert.addBindValue(text(reference.port));
            insert.addBindValue(text(reference.tool));
        },
        &ids, &why);
    if (!stored) {
        *error = failure(JobError::Failed, QStringLiteral("the reference could not be stored in %1: %2; nothing of it "
                                                          "was saved")
                                               .arg(file, why));
        return false;
    }
    for (int i = 0; i < references->size(); ++i) {
        (*references)[i].id = ids.at(i);
        storedReferences << references->at(i);
    }
    return true;
}

bool JobStore::addResults(QVector<StoredResult> *results, JobError *error)
{
    for (StoredResult &result : *results) {
        if (!job.fibres.contains(result.fibre) || !job.wavelengths.contains(result.wavelengthNm)) {
            *error = failure(JobError::Failed, QStringLiteral("fibre %1 at %2 nm is not part of the job %3; nothing "
                                                              "was saved")
                                                   .arg(result.fibre)
                                                   .arg(result.wavelengthNm)
                                                   .arg(file));
            return false;
        }
        result.pass = withinLimit(result.loss, result.limit);
        if (!result.time.isValid())
            result.time = QDateTime::currentDateTimeUtc();
    }
    QVector<qint64> ids;
    QString why;
    const bool stored = storeBatch(
        connection,
        QStringLiteral("INSERT INTO result (fibre, direction, wavelength_nm, reading_dBm, std_dev_dB, readings,"
                       " loss_dB, limit_dB, margin_dB, verdict, time, reference_id, port, tool)"
                       " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
        results->size(),
        [results](QSqlQuery &insert, int i) {
            const StoredResult &result = results->at(i);
            insert.addBindValue(result.fibre);
            insert.addBindValue(directionName(result.direction));
            insert.addBindValue(int(result.wavelengthNm));
            insert.addBindValue(decibels(result.reading));
            insert.addBindValue(decibels(result.deviation));
            insert.addBindValue(result.count);
            insert.addBindValue(decibels(result.loss));
            insert.addBindValue(decibels(result.limit));
            insert.addBindValue(decibels(result.margin()));
            insert.addBindValue(result.pass ? QStringLiteral("PASS") : QStringLiteral("FAIL"));
            insert.addBindValue(timeText(result.time));
            insert.addBindValue(result.referenceId);
            insert.addBindValue(text(result.port));
            insert.addBindValue(text(result.tool));
        },
        &ids, &why);
    if (!stored) {
        QStringList fibres;
        for (const StoredResult &result : qAsConst(*results))
            if (!fibres.contains(QString::number(result.fibre)))
                fibres << QString::number(result.fibre);
        *error = failure(JobError::Failed, QStringLiteral("the result of fibre %1 could not be stored in %2: %3; "
                                                          "nothing of it was saved")
                                               .arg(fibres.join(QStringLiteral(", ")), file, why));
        return false;
    }
    for (int i = 0; i < results->size(); ++i) {
        (*results)[i].id = ids.at(i);
        storedResults << results->at(i);
    }
    return true;
}

} // namespace job
