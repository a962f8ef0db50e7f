// SPDX-License-Identifier: MIT
// The job file: what goes in comes out, files that are not jobs or are
// damaged are refused and left byte for byte as they were, one run holds a
// job at a time, and a read-only job is found out before anything is taken.
// A second process is this program run again (see main()).

#include "job/jobstore.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#ifdef Q_OS_LINUX
#include <linux/fs.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

using namespace job;

namespace {

const char childVariable[] = "TST_JOBSTORE_CHILD";

JobDefinition cable(const QString &fibres = QStringLiteral("1-12"))
{
    JobDefinition job;
    job.cable = QStringLiteral("A-7 \"north\"");
    QString error;
    job.fibres = *fibresFrom(fibres, &error);
    job.wavelengths = {1310, 1550};
    job.endA = QStringLiteral("Rack 1");
    job.endB = QStringLiteral("Rack 2");
    job.operatorName = QStringLiteral("J. Doe");
    job.method = Method::TwoCord;
    job.bidirectional = true;
    job.budget = *computedBudget(builtInTable(), {QStringLiteral("singlemode-outside"), 200, 2, 4}, job.wavelengths,
                                 QStringLiteral("--budget singlemode-outside --length 2 --connectors 2 --splices 4"),
                                 &error);
    job.tool = QStringLiteral("zerak-cli 1.0");
    job.created = QDateTime(QDate(2026, 12, 8), QTime(4, 18, 56, 94), Qt::UTC);
    return job;
}

StoredReference reference(quint16 nm, double mean)
{
    StoredReference level;
    level.wavelengthNm = nm;
    level.mean = mean;
    level.deviation = 1.5;
    level.count = 5;
    level.taken = QDateTime(QDate(2026, 12, 8), QTime(5, 0), Qt::UTC);
    level.port = QStringLiteral("/dev/ttyUSB0");
    level.tool = QStringLiteral("zerak-cli 1.0");
    return level;
}

// Fibre, direction, the loss at both wavelengths, against the references given.
QVector<StoredResult> fibreResults(const JobStore &store, int fibre, Direction direction, double loss)
{
    QVector<StoredResult> results;
    for (quint16 nm : store.definition().wavelengths) {
        const StoredReference level = *store.latestReference(nm);
        StoredResult result;
        result.fibre = fibre;
        result.direction = direction;
        result.wavelengthNm = nm;
        result.reading = level.mean - loss;
        result.deviation = 0.5;
        result.count = 5;
        result.loss = loss;
        result.limit = store.definition().budget.at(nm)->limit;
        result.time = QDateTime(QDate(2026, 12, 8), QTime(6, fibre), Qt::UTC);
        result.referenceId = level.id;
        result.port = QStringLiteral("/dev/ttyUSB0");
        result.tool = QStringLiteral("zerak-cli 1.0");
        results << result;
    }
    return results;
}

QByteArray checksum(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}

// Runs statements on a copy of a job the way another program would.
void tamper(const QString &fileName, const QStringList &statements)
{
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("tamper"));
        database.setDatabaseName(fileName);
        QVERIFY(database.open());
        for (const QString &statement : statements) {
            QSqlQuery query(database);
            QVERIFY2(query.exec(statement), qPrintable(statement));
        }
        database.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("tamper"));
}

// chmod does not stop root: there the file or directory is made immutable,
// which does. False when neither can be done here.
class ReadOnly
{
public:
    explicit ReadOnly(const QString &path) : path(path)
    {
        struct stat status = {};
        ::stat(QFile::encodeName(path).constData(), &status);
        mode = status.st_mode & 07777;
        ::chmod(QFile::encodeName(path).constData(), mode & ~0222);
        if (::access(QFile::encodeName(path).constData(), W_OK) != 0)
            return;
        immutable = setImmutable(true);
    }
    ~ReadOnly()
    {
        if (immutable)
            setImmutable(false);
        ::chmod(QFile::encodeName(path).constData(), mode);
    }
    bool holds() const { return ::access(QFile::encodeName(path).constData(), W_OK) != 0; }

private:
    bool setImmutable(bool on)
    {
#ifdef FS_IOC_SETFLAGS
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
        if (fd < 0)
            return false;
        int flags = 0;
        bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        ::close(fd);
        return done;
#else
        Q_UNUSED(on)
        return false;
#endif
    }

    QString path;
    mode_t mode = 0;
    bool immutable = false;
};

// The second process: "hold FILE" opens the job for writing, says so and
// waits to be killed; "add FILE N" also commits fibres 1 to N first.
int child(const QString &what)
{
    const QStringList parts = what.split(QLatin1Char('\n'));
    JobError error;
    std::unique_ptr<JobStore> store = JobStore::open(parts.at(1), JobStore::Access::Write, &error, 0);
    if (!store) {
        std::fprintf(stderr, "%s\n", qPrintable(error.message));
        return 1;
    }
    const int fibres = parts.size() > 2 ? parts.at(2).toInt() : 0;
    for (int fibre = 1; fibre <= fibres; ++fibre) {
        QVector<StoredResult> results = fibreResults(*store, fibre, Direction::AToB, 30);
        if (!store->addResults(&results, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error.message));
            return 1;
        }
    }
    std::printf("held\n");
    std::fflush(stdout);
    for (;;)
        ::pause();
}

} // namespace

class JobStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void whatGoesInComesOut();
    void neverWrittenOver();
    void emptyNamesAreStored();
    void refused_data();
    void refused();
    void readOnly_data();
    void readOnly();
    void secondOpenWaitsThenIsRefused();
    void oneRunAtATime();
    void killedRunLosesNothingCommitted();

private:
    QString madeJob(int fibresTested = 0);
    QString path(const QString &name) const { return dir->filePath(name); }
    QProcess *startChild(const QString &what);

    std::unique_ptr<QTemporaryDir> templates;
    QString tested; // a job of 48 fibres, 20 of them tested
    std::unique_ptr<QTemporaryDir> dir;
    std::vector<std::unique_ptr<QProcess>> children;
};

void JobStoreTest::initTestCase()
{
    dir = std::make_unique<QTemporaryDir>();
    tested = madeJob(20);
    templates = std::move(dir);
}

void JobStoreTest::init()
{
    children.clear();
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

QString JobStoreTest::madeJob(int fibresTested)
{
    const QString fileName = path(QStringLiteral("cable.zjob"));
    JobError error;
    if (!JobStore::create(fileName, cable(QStringLiteral("1-48")), &error))
        qFatal("%s", qPrintable(error.message));
    if (fibresTested > 0) {
        std::unique_ptr<JobStore> store = JobStore::open(fileName, JobStore::Access::Write, &error);
        QVector<StoredReference> levels{reference(1310, -1250), reference(1550, -1101)};
        if (!store || !store->addReferences(&levels, &error))
            qFatal("%s", qPrintable(error.message));
        for (int fibre = 1; fibre <= fibresTested; ++fibre) {
            QVector<StoredResult> results = fibreResults(*store, fibre, Direction::AToB, 20 + fibre);
            if (!store->addResults(&results, &error))
                qFatal("%s", qPrintable(error.message));
        }
    }
    return fileName;
}

QProcess *JobStoreTest::startChild(const QString &what)
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(childVariable), what);
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QCoreApplication::applicationFilePath(), QStringList());
    children.push_back(std::move(process));
    return children.back().get();
}

void JobStoreTest::whatGoesInComesOut()
{
    const QString fileName = path(QStringLiteral("cable.zjob"));
    JobError error;
    QVERIFY2(JobStore::create(fileName, cable(QStringLiteral("1-12,25-36")), &error), qPrintable(error.message));
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("cable.zjob")});
    {
        std::unique_ptr<JobStore> store = JobStore::open(fileName, JobStore::Access::Write, &error);
        QVERIFY2(store, qPrintable(error.message));
        QVector<StoredReference> first{reference(1310, -1250), reference(1550, -1101)};
        QVERIFY(store->addReferences(&first, &error));
        QVector<StoredResult> failed = fibreResults(*store, 7, Direction::AToB, 371);
        QVERIFY(store->addResults(&failed, &error));
        QCOMPARE(failed.first().pass, false);
        // Referenced again, then fibre 7 tested again: both kept.
        QVector<StoredReference> second{reference(1310, -1248), reference(1550, -1100)};
        QVERIFY(store->addReferences(&second, &error));
        QVector<StoredResult> retest = fibreResults(*store, 7, Direction::AToB, 37);
        QVERIFY(store->addResults(&retest, &error));
        QVector<StoredResult> back = fibreResults(*store, 7, Direction::BToA, 370);
        QVERIFY(store->addResults(&back, &error));
        QCOMPARE(back.first().pass, true);
        QVector<StoredResult> outside = fibreResults(*store, 13, Direction::AToB, 10);
        QVERIFY(!store->addResults(&outside, &error));
        QCOMPARE(error.message, QStringLiteral("fibre 13 at 1310 nm is not part of the job %1; nothing was saved")
                                    .arg(fileName));
    }
    std::unique_ptr<JobStore> store = JobStore::open(fileName, JobStore::Access::Read, &error);
    QVERIFY2(store, qPrintable(error.message));
    const JobDefinition job = store->definition();
    const JobDefinition made = cable(QStringLiteral("1-12,25-36"));
    QCOMPARE(job.cable, made.cable);
    QCOMPARE(job.fibres, made.fibres);
    QCOMPARE(job.wavelengths, made.wavelengths);
    QCOMPARE(job.endA, made.endA);
    QCOMPARE(job.endB, made.endB);
    QCOMPARE(job.operatorName, made.operatorName);
    QCOMPARE(job.method, Method::TwoCord);
    QCOMPARE(job.bidirectional, true);
    QCOMPARE(job.budget.given, made.budget.given);
    QCOMPARE(job.budget.basis, made.budget.basis);
    QCOMPARE(job.budget.limits.size(), 2);
    QCOMPARE(job.budget.at(1310)->limit, 370.0);
    QCOMPARE(job.budget.at(1310)->formula, made.budget.at(1310)->formula);
    QCOMPARE(job.tool, made.tool);
    QCOMPARE(job.created, made.created);

    QCOMPARE(store->references().size(), 4);
    QCOMPARE(store->latestReference(1310)->mean, -1248.0);
    QCOMPARE(store->latestReference(1310)->taken, reference(1310, 0).taken);
    const QVector<StoredResult> &results = store->results();
    QCOMPARE(results.size(), 6);
    // Fibre 7 at 1310 nm, A-B: the failure, then the re-test against the
    // second reference.
    QCOMPARE(results.at(0).loss, 371.0);
    QCOMPARE(results.at(0).pass, false);
    QCOMPARE(results.at(0).margin(), -1.0);
    QCOMPARE(results.at(0).referenceId, store->references().at(0).id);
    QCOMPARE(results.at(2).loss, 37.0);
    QCOMPARE(results.at(2).referenceId, store->references().at(2).id);
    QCOMPARE(results.at(2).reading, -1248.0 - 37.0);
    QCOMPARE(results.at(2).time, QDateTime(QDate(2026, 12, 8), QTime(6, 7), Qt::UTC));
    QCOMPARE(results.at(4).direction, Direction::BToA);
    QCOMPARE(results.at(4).pass, true); // 3.70 dB against 3.70 dB
    QVERIFY(results.at(0).id < results.at(2).id);

    // As another program reads it: the margin is the limit less the loss.
    QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("look"));
    database.setDatabaseName(fileName);
    QVERIFY(database.open());
    {
        QSqlQuery query(database);
        QVERIFY(query.exec(QStringLiteral("SELECT margin_dB, verdict FROM result ORDER BY id LIMIT 1")));
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toDouble(), -0.01);
        QCOMPARE(query.value(1).toString(), QStringLiteral("FAIL"));
    }
    database.close();
    database = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("look"));
}

// A text left out is stored empty: the columns take no NULL.
void JobStoreTest::emptyNamesAreStored()
{
    JobDefinition job = cable();
    job.operatorName = QString();
    job.endA = QString();
    job.tool = QString();
    const QString fileName = path(QStringLiteral("plain.zjob"));
    JobError error;
    QVERIFY2(JobStore::create(fileName, job, &error), qPrintable(error.message));
    std::unique_ptr<JobStore> store = JobStore::open(fileName, JobStore::Access::Write, &error);
    QVERIFY2(store, qPrintable(error.message));
    QCOMPARE(store->definition().operatorName, QString(""));
    QVector<StoredReference> levels{reference(1310, -1250), reference(1550, -1101)};
    levels[0].port = QString();
    QVERIFY2(store->addReferences(&levels, &error), qPrintable(error.message));
}

void JobStoreTest::neverWrittenOver()
{
    const QString fileName = path(QStringLiteral("cable.zjob"));
    QFile other(fileName);
    QVERIFY(other.open(QIODevice::WriteOnly));
    other.write("a file already there\n");
    other.close();
    const QByteArray before = checksum(fileName);
    JobError error;
    QVERIFY(!JobStore::create(fileName, cable(), &error));
    QCOMPARE(error.kind, JobError::Exists);
    QCOMPARE(checksum(fileName), before);
    // Nothing half made is left beside it.
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("cable.zjob")});
}

// Each file is opened for reading and for writing; every one is refused
// with its reason, and its bytes are as they were.
void JobStoreTest::refused_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("message"); // a regular expression; FILE is the file's path

    QTest::newRow("cut to half") << "half" << int(JobError::Damaged)
        << "^the job FILE is damaged: it is cut short: \\d+ of its \\d+ bytes are there; it is left as it is$";
    QTest::newRow("cut within a page") << "mid-page" << int(JobError::Damaged)
        << "^the job FILE is damaged: it ends within a page \\(\\d+ bytes, pages of 4096\\); it is left as it is$";
    QTest::newRow("cut within the header") << "header" << int(JobError::Damaged)
        << "^the job FILE is damaged: it is cut short at 50 bytes; it is left as it is$";
    QTest::newRow("empty") << "empty" << int(JobError::NotAJob)
        << "^FILE is an empty file, not a job; make a job with zerak-cli job new$";
    QTest::newRow("random bytes") << "random" << int(JobError::NotAJob)
        << "^FILE is not a job: it is not an SQLite database$";
    QTest::newRow("random bytes over its tables") << "overwritten" << int(JobError::Damaged)
        << "^the job FILE is damaged: .+; it is left as it is$";
    QTest::newRow("a table missing") << "drop" << int(JobError::Damaged)
        << "^the job FILE is damaged: the table 'result' is missing; it is left as it is$";
    QTest::newRow("a column missing") << "column" << int(JobError::Damaged)
        << "^the job FILE is damaged: the table 'budget' has no column 'formula'; it is left as it is$";
    QTest::newRow("no job in it") << "no job" << int(JobError::Damaged)
        << "^the job FILE is damaged: it holds no job; it is left as it is$";
    QTest::newRow("from a newer version") << "newer" << int(JobError::Newer)
        << "^the job FILE was made by a newer zerak-cli \\(job file version 2; this one reads up to 1\\); open it "
           "with that version or a later one; it is left as it is$";
    QTest::newRow("another program's SQLite file") << "foreign" << int(JobError::NotAJob)
        << "^FILE is an SQLite database, but not a job of zerak-cli$";
    QTest::newRow("a text file") << "text" << int(JobError::NotAJob)
        << "^FILE is not a job: it is not an SQLite database$";
    QTest::newRow("a directory") << "directory" << int(JobError::NotAJob) << "^FILE is not a job: it is not a file$";
    QTest::newRow("no such file") << "missing" << int(JobError::NoSuchJob)
        << "^there is no job FILE; make one with zerak-cli job new$";
}

void JobStoreTest::refused()
{
    QFETCH(QString, damage);
    QFETCH(int, kind);
    QFETCH(QString, message);

    QString fileName = path(QStringLiteral("cable.zjob"));
    QVERIFY(QFile::copy(tested, fileName));
    const auto rewrite = [&](const QByteArray &bytes) {
        QFile file(fileName);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(bytes), qint64(bytes.size()));
    };
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray whole = file.readAll();
    file.close();
    QVERIFY(whole.size() >= 4 * 4096);
    QByteArray random(whole.size(), '\0');
    QRandomGenerator generator(26);
    for (char &byte : random)
        byte = char(generator.bounded(256));
    if (damage == QLatin1String("half")) {
        rewrite(whole.left(whole.size() / 2 / 4096 * 4096));
    } else if (damage == QLatin1String("mid-page")) {
        rewrite(whole.left(whole.size() - 100));
    } else if (damage == QLatin1String("header")) {
        rewrite(whole.left(50));
    } else if (damage == QLatin1String("empty")) {
        rewrite(QByteArray());
    } else if (damage == QLatin1String("random")) {
        rewrite(random);
    } else if (damage == QLatin1String("overwritten")) {
        rewrite(whole.left(4096) + random.mid(4096));
    } else if (damage == QLatin1String("drop")) {
        tamper(fileName, {QStringLiteral("DROP TABLE result")});
    } else if (damage == QLatin1String("column")) {
        tamper(fileName, {QStringLiteral("ALTER TABLE budget DROP COLUMN formula")});
    } else if (damage == QLatin1String("no job")) {
        tamper(fileName, {QStringLiteral("DELETE FROM job")});
    } else if (damage == QLatin1String("newer")) {
        tamper(fileName, {QStringLiteral("PRAGMA user_version = 2")});
    } else if (damage == QLatin1String("foreign")) {
        fileName = path(QStringLiteral("notes.db"));
        tamper(fileName, {QStringLiteral("PRAGMA journal_mode = WAL"), QStringLiteral("CREATE TABLE job (cable TEXT)"),
                          QStringLiteral("INSERT INTO job VALUES ('A-7')")});
    } else if (damage == QLatin1String("text")) {
        rewrite("cable,fibre,loss\nA-7,1,0.3\n");
    } else if (damage == QLatin1String("directory")) {
        fileName = path(QStringLiteral("folder.zjob"));
        QVERIFY(QDir().mkdir(fileName));
    } else if (damage == QLatin1String("missing")) {
        fileName = path(QStringLiteral("none.zjob"));
    }
    const QByteArray before = checksum(fileName);
    const QStringList beside = QDir(dir->path()).entryList(QDir::Files | QDir::Hidden | QDir::Dirs | QDir::NoDotAndDotDot);
    for (JobStore::Access access : {JobStore::Access::Read, JobStore::Access::Write}) {
        JobError error;
        QVERIFY(!JobStore::open(fileName, access, &error, 0));
        QCOMPARE(int(error.kind), kind);
        const QString expected = QString(message).replace(QStringLiteral("FILE"), QRegularExpression::escape(fileName));
        QVERIFY2(QRegularExpression(expected).match(error.message).hasMatch(), qPrintable(error.message));
        QCOMPARE(checksum(fileName), before);
        QVERIFY(!QFileInfo::exists(fileName + QStringLiteral(".lock")));
    }
    // What is not a job is never opened as a database: nothing appears beside it.
    if (kind == JobError::NotAJob)
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden | QDir::Dirs | QDir::NoDotAndDotDot), beside);
}

void JobStoreTest::readOnly_data()
{
    QTest::addColumn<bool>("directory"); // else the file
    QTest::newRow("a read-only file") << false;
    QTest::newRow("a read-only directory") << true;
}

void JobStoreTest::readOnly()
{
    QFETCH(bool, directory);

    const QString fileName = madeJob(3);
    const QByteArray before = checksum(fileName);
    JobError error;
    {
        ReadOnly guard(directory ? dir->path() : fileName);
        if (!guard.holds())
            QSKIP("neither chmod nor the immutable flag makes anything read-only here");
        QVERIFY(!JobStore::open(fileName, JobStore::Access::Write, &error));
        QCOMPARE(error.kind, JobError::ReadOnly);
        QCOMPARE(error.message,
                 directory ? QStringLiteral("the job %1 is in a read-only directory (%2), where its log cannot be "
                                            "kept; copy it somewhere writable")
                                 .arg(fileName, dir->path())
                           : QStringLiteral("the job %1 is read-only: nothing could be stored in it; make it writable, "
                                            "or copy it somewhere it is")
                                 .arg(fileName));
        // Still read: status and reports need no writing.
        std::unique_ptr<JobStore> store = JobStore::open(fileName, JobStore::Access::Read, &error);
        QVERIFY2(store, qPrintable(error.message));
        QCOMPARE(store->results().size(), 6);
        if (directory) {
            QVERIFY(!JobStore::create(path(QStringLiteral("other.zjob")), cable(), &error));
            QCOMPARE(error.kind, JobError::ReadOnly);
        }
    }
    QCOMPARE(checksum(fileName), before);
}

void JobStoreTest::secondOpenWaitsThenIsRefused()
{
    const QString fileName = madeJob();
    JobError error;
    std::unique_ptr<JobStore> first = JobStore::open(fileName, JobStore::Access::Write, &error);
    QVERIFY2(first, qPrintable(error.message));
    // The 2 s a run waits is tried by tst_jobcli; here a shorter wait.
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!JobStore::open(fileName, JobStore::Access::Write, &error, 200));
    QVERIFY(clock.elapsed() >= 200);
    QCOMPARE(error.kind, JobError::InUse);
    QVERIFY2(error.message.startsWith(QStringLiteral("the job %1 is in use by another run (").arg(fileName))
                 && error.message.contains(QStringLiteral("process %1 on").arg(QCoreApplication::applicationPid())),
             qPrintable(error.message));
    // A reader does not wait.
    clock.restart();
    QVERIFY(JobStore::open(fileName, JobStore::Access::Read, &error));
    QVERIFY(clock.elapsed() < JobStore::lockWaitMs);
    first.reset();
    QVERIFY2(JobStore::open(fileName, JobStore::Access::Write, &error, 0), qPrintable(error.message));
}

void JobStoreTest::oneRunAtATime()
{
    const QString fileName = madeJob(1);
    QProcess *holder = startChild(QStringLiteral("hold\n") + fileName);
    QVERIFY(holder->waitForStarted());
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += holder->readAllStandardOutput()).contains("held"), 10000);
    JobError error;
    QVERIFY(!JobStore::open(fileName, JobStore::Access::Write, &error, 100));
    QCOMPARE(error.kind, JobError::InUse);
    QVERIFY2(error.message.contains(QStringLiteral("process %1 on").arg(holder->processId())), qPrintable(error.message));
    // Killed, its lock is stale at once: the next run goes on.
    ::kill(pid_t(holder->processId()), SIGKILL);
    QVERIFY(holder->waitForFinished());
    QVERIFY(QFileInfo::exists(fileName + QStringLiteral(".lock")));
    std::unique_ptr<JobStore> store = JobStore::open(fileName, JobStore::Access::Write, &error, 0);
    QVERIFY2(store, qPrintable(error.message));
}

void JobStoreTest::killedRunLosesNothingCommitted()
{
    const QString fileName = madeJob(1);
    QProcess *run = startChild(QStringLiteral("add\n%1\n12").arg(fileName));
    QVERIFY(run->waitForStarted());
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += run->readAllStandardOutput()).contains("held"), 10000);
    ::kill(pid_t(run->processId()), SIGKILL);
    QVERIFY(run->waitForFinished());
    // Its log was never copied back: it is read with the file.
    QVERIFY(QFileInfo(fileName + QStringLiteral("-wal")).size() > 0);
    JobError error;
    std::unique_ptr<JobStore> reader = JobStore::open(fileName, JobStore::Access::Read, &error);
    QVERIFY2(reader, qPrintable(error.message));
    QCOMPARE(reader->results().size(), 2 + 12 * 2);
    std::unique_ptr<JobStore> store = JobStore::open(fileName, JobStore::Access::Write, &error, 0);
    QVERIFY2(store, qPrintable(error.message));
    QVector<StoredResult> more = fibreResults(*store, 13, Direction::AToB, 30);
    QVERIFY(store->addResults(&more, &error));
    QCOMPARE(store->results().size(), 2 + 12 * 2 + 2);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet(childVariable))
        return child(qEnvironmentVariable(childVariable));
    JobStoreTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_jobstore.moc"
