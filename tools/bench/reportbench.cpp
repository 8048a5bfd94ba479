#include "reportbench.h"

#include "production/productionlog.h"
#include "session/logdashboard.h"
#include "tools/pgserver/pgserver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

namespace varn::bench {

namespace {

ChipRecord LineRecord(int i, const QDateTime& start) {
    ChipRecord r;
    r.uid = QStringLiteral("bench-%1").arg(i);
    r.time = start.addSecs(i * 4); // a chip every 4 s on the line
    r.closedAt = r.time.addSecs(3);
    r.state = i % 97 == 0 ? ChipRecord::State::Open : ChipRecord::State::Closed;
    r.station = QStringLiteral("line-%1").arg(i % 4);
    r.operatorName = QStringLiteral("op-%1").arg(i % 3);
    r.lot = QStringLiteral("L%1").arg(i / 5000);
    r.port = QStringLiteral("COM%1").arg(1 + i % 8);
    r.deviceType = QStringLiteral("27C512");
    r.deviceSize = 65536;
    r.imageFile = QStringLiteral("firmware-rev-b.hex");
    r.functions = {QStringLiteral("Erase"), QStringLiteral("Program"), QStringLiteral("Verify")};
    r.passed = i % 20 != 0;
    if (!r.passed) {
        r.failedStep = i % 60 == 0 ? QStringLiteral("Program") : QStringLiteral("Verify");
        r.failure =
            i % 60 == 0 ? ChipRecord::Failure::Communication : ChipRecord::Failure::Mismatch;
        r.failureAddress = r.failure == ChipRecord::Failure::Mismatch ? (i * 16) % 4096 : -1;
    }
    r.programBytesSent = true;
    r.programVersion = QStringLiteral("2.0");
    return r;
}

} // namespace

// Many rows a statement in one transaction: seeding through the log's own
// writes (one durable transaction each) would take hours.
Status Seed(QSqlDatabase& db, int records, const QDateTime& start) {
    const QList<RecordColumn>& columns = RecordColumns();
    QStringList names;
    for (const RecordColumn& column : columns)
        names.append(QString::fromLatin1(column.name));
    QStringList marks(columns.size(), QStringLiteral("?"));
    const QString row = QLatin1Char('(') + marks.join(QLatin1Char(',')) + QLatin1Char(')');
    constexpr int RowsPerStatement = 200;
    QSqlQuery query(db);
    if (!db.transaction())
        return Status::Fail(db.lastError().text());
    int prepared = 0; // rows of the statement prepared last
    for (int first = 0; first < records; first += RowsPerStatement) {
        const int count = std::min(RowsPerStatement, records - first);
        // Prepared once for all full batches: parsing thousands of
        // placeholders costs more than the rows they insert.
        QStringList rows(count, row);
        if (count != prepared &&
            !query.prepare(QStringLiteral("INSERT INTO chip_records (%1) VALUES %2")
                               .arg(names.join(QLatin1Char(',')), rows.join(QLatin1Char(',')))))
            return Status::Fail(query.lastError().text());
        prepared = count;
        for (int i = first; i < first + count; ++i) {
            const ChipRecord record = LineRecord(i, start);
            for (const RecordColumn& column : columns)
                query.addBindValue(column.get(record));
        }
        if (!query.exec())
            return Status::Fail(query.lastError().text());
    }
    return db.commit() ? Status::Ok() : Status::Fail(db.lastError().text());
}

namespace {

void Measure(Table& table, const QString& name, const QString& location, QSqlDatabase db,
             int records) {
    Status opened;
    LogOpenOptions options;
    options.create = true;
    options.useJournal = false;
    const std::unique_ptr<ProductionLog> log = ProductionLog::open(location, options, &opened);
    if (!log || !db.open()) {
        table.failed(name, log ? db.lastError().text() : opened.message);
        return;
    }
    if (const Status seeded = Seed(db, records, QDateTime::currentDateTimeUtc().addDays(-30));
        !seeded) {
        table.failed(name, seeded.message);
        return;
    }
    for (const auto& [scope, filter] :
         {std::pair{QStringLiteral("every record"), ReportFilter{}},
          std::pair{QStringLiteral("one lot (5,000)"), ReportFilter{{}, {}, "L7", {}, {}, {}}}}) {
        std::vector<double> times;
        ProductionReport report;
        for (int run = 0; run < 5; ++run) {
            QElapsedTimer timer;
            timer.start();
            if (const Status made = log->report(filter, &report); !made) {
                table.failed(name, made.message);
                return;
            }
            times.push_back(double(timer.nsecsElapsed()));
        }
        table.target(QStringLiteral("%1: report of %2").arg(name, scope), DurationSpread(times),
                     QStringLiteral("< 1 s"), Median(times) < 1e9);
        table.info(QStringLiteral("  chips, yield, interrupted"),
                   QStringLiteral("%1, %2 %, %3")
                       .arg(report.chips)
                       .arg(report.firstPassYield(), 0, 'f', 2)
                       .arg(report.interrupted));
    }
}

void MeasureSnapshot(Table& table, const QString& name, const QString& location, QSqlDatabase db,
                     int records) {
    {
        Status created;
        LogOpenOptions options;
        options.create = true;
        options.useJournal = false;
        if (!ProductionLog::open(location, options, &created) || !db.open()) {
            table.failed(name, created.message + db.lastError().text());
            return;
        }
    }
    // A line still at work: its last chip a moment ago, 21,600 in the last day.
    const QDateTime start = QDateTime::currentDateTimeUtc().addSecs(-4LL * records);
    if (const Status seeded = Seed(db, records, start); !seeded) {
        table.failed(name, seeded.message);
        return;
    }
    Status opened;
    const std::unique_ptr<LogDashboard> dashboard = LogDashboard::open(location, &opened);
    if (!dashboard) {
        table.failed(name, opened.message);
        return;
    }
    std::vector<double> times;
    if (const Status read = TimeRuns(
            5, [&] { return dashboard->refresh(); }, &times);
        !read) {
        table.failed(name, read.message);
        return;
    }
    table.target(QStringLiteral("%1: serve's snapshot of a change").arg(name),
                 DurationSpread(times), QStringLiteral("< 1 s"), Median(times) < 1e9);
    table.info(QStringLiteral("  snapshot sent to every viewer"),
               QStringLiteral("%1 KiB").arg(dashboard->snapshot().size() / 1024));
}

struct Measured {
    QString error;
    double wallNs = 0;
    long peakKb = 0; // the child's peak resident set
};

// One run of argv in folder with its standard output sent to outPath, under
// /usr/bin/time for the child's own peak memory (wait4's figure of a spawned
// child starts from this process's).
Measured RunMeasured(const QStringList& argv, const QString& folder, const QString& outPath) {
    Measured m;
    std::vector<QByteArray> bytes;
    std::vector<char*> args;
    const QString peakFile = folder + QStringLiteral("/peak.txt");
    for (const QString& a : QStringList{QStringLiteral("/usr/bin/time"), QStringLiteral("-f"),
                                        QStringLiteral("%M"), QStringLiteral("-o"), peakFile} +
                                argv)
        bytes.push_back(a.toLocal8Bit());
    for (QByteArray& b : bytes)
        args.push_back(b.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const QByteArray out = outPath.toLocal8Bit();
    const QByteArray where = folder.toLocal8Bit();
    posix_spawn_file_actions_addchdir_np(&actions, where.constData());
    posix_spawn_file_actions_addopen(&actions, 1, out.constData(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    timespec t0{}, t1{};
    clock_gettime(CLOCK_MONOTONIC, &t0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        m.error = QStringLiteral("cannot start %1: %2").arg(argv[0], qt_error_string(spawned));
        return m;
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    m.wallNs = double(t1.tv_sec - t0.tv_sec) * 1e9 + double(t1.tv_nsec - t0.tv_nsec);
    QFile peak(peakFile);
    m.peakKb = peak.open(QIODevice::ReadOnly) ? peak.readAll().trimmed().toLong() : 0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        m.error =
            QStringLiteral("%1 failed (status %2)").arg(argv.join(QLatin1Char(' '))).arg(status);
    return m;
}

} // namespace

void MeasureExport(Table& table, int records, const QString& cliPath) {
    table.section(
        QStringLiteral("varn-cli export of %1 records (SQLite) beside sqlite3 -csv").arg(records));
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("varn-log.sqlite"));
    {
        Status opened;
        LogOpenOptions options;
        options.create = true;
        options.useJournal = false;
        const bool made = ProductionLog::open(file, options, &opened) != nullptr;
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "bench-export");
        db.setDatabaseName(file);
        const Status seeded = !made ? opened
                              : !db.open()
                                  ? Status::Fail(db.lastError().text())
                                  : Seed(db, records, QDateTime::currentDateTimeUtc().addDays(-30));
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("bench-export"));
        if (!seeded) {
            table.failed(QStringLiteral("export"), seeded.message);
            return;
        }
    }
    // varn-cli reads its configuration from its folder, even for the log's commands.
    for (const auto& [name, bytes] : {std::pair{"varn.cfg", QByteArray("1\r\n1\r\n1\r\n")},
                                      std::pair{"varn.dev", QByteArray("\"TEST\",1,65536\r\n")},
                                      std::pair{"auto.cfg", QByteArray("0\r\n")}}) {
        QFile config(dir.filePath(QLatin1String(name)));
        if (!config.open(QIODevice::WriteOnly) || config.write(bytes) != bytes.size()) {
            table.failed(QStringLiteral("export"), QStringLiteral("cannot write a work folder"));
            return;
        }
    }
    const QString csv = dir.filePath(QStringLiteral("export.csv"));
    const QString discarded = dir.filePath(QStringLiteral("stdout.txt"));
    const QString sqliteCsv = dir.filePath(QStringLiteral("sqlite3.csv"));
    struct Runner {
        QString name;
        QStringList argv;
        QString out;
    };
    const QList<Runner> runners = {
        {QStringLiteral("sqlite3 -csv"),
         {QStringLiteral("/usr/bin/sqlite3"), QStringLiteral("-csv"), QStringLiteral("-header"),
          file, QStringLiteral("SELECT * FROM chip_records ORDER BY id")},
         sqliteCsv},
        {QStringLiteral("varn-cli export FILE"),
         {cliPath, QStringLiteral("-q"), QStringLiteral("--log"), file, QStringLiteral("export"),
          csv},
         discarded},
        {QStringLiteral("varn-cli export -"),
         {cliPath, QStringLiteral("-q"), QStringLiteral("--log"), file, QStringLiteral("export"),
          QStringLiteral("-")},
         discarded},
    };
    double sqliteMedian = 0;
    for (const Runner& runner : runners) {
        std::vector<double> times;
        long peakKb = 0;
        for (int run = 0; run < 5; ++run) {
            const Measured m = RunMeasured(runner.argv, dir.path(), runner.out);
            if (!m.error.isEmpty()) {
                table.failed(runner.name, m.error);
                return;
            }
            times.push_back(m.wallNs);
            peakKb = std::max(peakKb, m.peakKb);
        }
        const double median = Median(times);
        if (sqliteMedian == 0) {
            sqliteMedian = median;
            table.info(runner.name, DurationSpread(times));
        } else {
            table.target(runner.name, DurationSpread(times),
                         QStringLiteral("<= 1.5 x sqlite3 (%1)")
                             .arg(QString::number(median / sqliteMedian, 'f', 2)),
                         median <= 1.5 * sqliteMedian);
        }
        table.target(QStringLiteral("  peak resident memory"),
                     QStringLiteral("%1 MB").arg(double(peakKb) / 1024, 0, 'f', 1),
                     QStringLiteral("< 50 MB"), peakKb < 50 * 1024);
    }
    QFile exported(csv);
    table.info(QStringLiteral("  CSV size"),
               QStringLiteral("%1 MB").arg(double(exported.size()) / 1e6, 0, 'f', 1));
}

void MeasureReport(Table& table, int records) {
    table.section(QStringLiteral("Production report over %1 records").arg(records));
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("varn-log.sqlite"));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "bench-seed");
        db.setDatabaseName(file);
        Measure(table, QStringLiteral("SQLite"), file, db, records);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-seed"));
    PgServer server;
    if (!server.start()) {
        table.failed(QStringLiteral("PostgreSQL"), server.error());
        return;
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), "bench-seed-pg");
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(server.port());
        db.setUserName(QStringLiteral("postgres"));
        db.setDatabaseName(QStringLiteral("postgres"));
        Measure(table, QStringLiteral("PostgreSQL %1").arg(server.version()), server.url(), db,
                records);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-seed-pg"));
}

void MeasureServe(Table& table, int records) {
    table.section(
        QStringLiteral("varn-cli serve: one snapshot per change, %1 records").arg(records));
    QTemporaryDir dir;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "serve-seed");
        const QString path = dir.filePath(QStringLiteral("serve.sqlite"));
        db.setDatabaseName(path);
        MeasureSnapshot(table, QStringLiteral("SQLite"), path, db, records);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("serve-seed"));
    PgServer pg;
    if (!pg.start()) {
        table.failed(QStringLiteral("PostgreSQL"), pg.error());
        return;
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), "serve-seed-pg");
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(pg.port());
        db.setUserName(QStringLiteral("postgres"));
        db.setDatabaseName(QStringLiteral("postgres"));
        MeasureSnapshot(table, QStringLiteral("PostgreSQL ") + pg.version(), pg.url(), db, records);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("serve-seed-pg"));
}

} // namespace varn::bench
