#include "reportbench.h"

#include "production/productionlog.h"
#include "tools/pgserver/pgserver.h"

#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

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

// Many rows a statement in one transaction: seeding through the log's own
// writes (one durable transaction each) would take hours.
Status Seed(QSqlDatabase& db, int records) {
    const QList<RecordColumn>& columns = RecordColumns();
    QStringList names;
    for (const RecordColumn& column : columns)
        names.append(QString::fromLatin1(column.name));
    QStringList marks(columns.size(), QStringLiteral("?"));
    const QString row = QLatin1Char('(') + marks.join(QLatin1Char(',')) + QLatin1Char(')');
    constexpr int RowsPerStatement = 200;
    const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-30);
    QSqlQuery query(db);
    if (!db.transaction())
        return Status::Fail(db.lastError().text());
    for (int first = 0; first < records; first += RowsPerStatement) {
        const int count = std::min(RowsPerStatement, records - first);
        QStringList rows(count, row);
        if (!query.prepare(QStringLiteral("INSERT INTO chip_records (%1) VALUES %2")
                               .arg(names.join(QLatin1Char(',')), rows.join(QLatin1Char(',')))))
            return Status::Fail(query.lastError().text());
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
    if (const Status seeded = Seed(db, records); !seeded) {
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

} // namespace

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

} // namespace varn::bench
