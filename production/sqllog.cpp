#include "sqllog.h"

#include <QUuid>
#include <atomic>
#include <limits>

namespace varn {

namespace sql {

QString ErrorText(const QSqlError& error) {
    QString text = error.databaseText().trimmed();
    if (text.isEmpty())
        text = error.driverText().trimmed();
    if (text.isEmpty())
        text = error.text().trimmed();
    // Qt leaves the texts empty for some failures of its own; the code still
    // tells a support call something.
    if (text.isEmpty())
        text = QStringLiteral("the database driver gave no reason (error type %1, code \"%2\")")
                   .arg(int(error.type()))
                   .arg(error.nativeErrorCode());
    return text;
}

bool Exec(QSqlQuery& query, const QString& sql, const QList<QVariant>& values) {
    if (values.isEmpty())
        return query.exec(sql);
    if (!query.prepare(sql))
        return false;
    for (const QVariant& value : values)
        query.addBindValue(value);
    return query.exec();
}

} // namespace sql

namespace {

using sql::ErrorText;
using sql::Exec;

QString nowText() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QStringList columnNames(int upToVersion = ProductionLog::SchemaVersion) {
    QStringList names;
    for (const RecordColumn& column : RecordColumns()) {
        if (column.since <= upToVersion)
            names.append(QString::fromLatin1(column.name));
    }
    return names;
}

QString marks(qsizetype count) {
    QStringList list;
    for (qsizetype i = 0; i < count; ++i)
        list.append(QStringLiteral("?"));
    return list.join(QStringLiteral(", "));
}

QList<QVariant> columnValues(const ChipRecord& record) {
    QList<QVariant> values;
    for (const RecordColumn& column : RecordColumns())
        values.append(column.get(record));
    return values;
}

// The definition columns of serial_series, in the order seriesFrom reads them.
const char* const SeriesColumns =
    "name, first_number, step, maximum, length, encoding, byte_order, next_number";

SerialSettings seriesFrom(const QSqlQuery& query) {
    SerialSettings s;
    s.name = query.value(0).toString();
    s.first = query.value(1).toLongLong();
    s.step = query.value(2).toLongLong();
    s.limit = query.value(3).toLongLong();
    s.length = query.value(4).toInt();
    ParseEncoding(query.value(5).toString(), &s.encoding);
    ParseOrder(query.value(6).toString(), &s.order);
    return s;
}

QString seriesText(const SerialSettings& s) {
    return QStringLiteral("%1-byte %2 %3")
        .arg(s.length)
        .arg(EncodingName(s.encoding), OrderName(s.order));
}

} // namespace

SqlLog::SqlLog() {
    static std::atomic<int> counter{0};
    connectionName = QStringLiteral("varn-log-%1").arg(counter.fetch_add(1));
}

SqlLog::~SqlLog() {
    if (!db.isValid())
        return;
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(connectionName);
}

Status SqlLog::fail(const QString& what, const QString& reason) const {
    return Status::Fail(
        QStringLiteral("Production log %1: %2: %3").arg(where.text(), what, reason));
}

Status SqlLog::failQuery(const QString& what, const QSqlQuery& query) {
    lastFailure = query.lastError();
    return fail(what, ErrorText(lastFailure));
}

bool SqlLog::begin() {
    // A connection lost before (the server was away) is made again first.
    if (!db.isOpen() && !openConnection())
        return false;
    QSqlQuery query(db);
    if (query.exec(beginStatement()))
        return true;
    lastFailure = query.lastError();
    return false;
}

bool SqlLog::commit() {
    QSqlQuery query(db);
    if (query.exec(QStringLiteral("COMMIT")))
        return true;
    lastFailure = query.lastError();
    return false;
}

void SqlLog::rollback() {
    QSqlQuery query(db);
    query.exec(QStringLiteral("ROLLBACK"));
}

Status SqlLog::connect(const LogLocation& location, const LogOpenOptions& options) {
    where = location;
    openOptions = options;
    if (!QSqlDatabase::isDriverAvailable(driverName()))
        return fail(QStringLiteral("cannot open"),
                    QStringLiteral("the Qt SQL driver %1 is not installed (Debian package %2)")
                        .arg(driverName(), driverPackage()));
    db = QSqlDatabase::addDatabase(driverName(), connectionName);
    if (const Status configured = configure(db, options); !configured)
        return fail(QStringLiteral("cannot open"), configured.message);
    if (const Status opened = openConnection(); !opened)
        return opened;
    if (const Status tables = createOrUpgrade(); !tables) {
        db.close();
        return tables;
    }
    if (options.useJournal)
        journal = std::make_unique<LogJournal>(options.journalPath.isEmpty() ? DefaultJournalPath()
                                                                             : options.journalPath);
    int sent = 0;
    // Records left in the journal do not stop this run: they wait on.
    return Status::Ok(sendJournal(&sent).message);
}

Status SqlLog::openConnection() {
    if (!db.open()) {
        lastFailure = db.lastError();
        return fail(QStringLiteral("cannot open"), ErrorText(lastFailure));
    }
    if (QString refused = prepareConnection(db); !refused.isEmpty()) {
        if (!db.isOpen()) // the driver saw the server go
            refused = QStringLiteral("the server closed the connection at once");
        db.close();
        return fail(QStringLiteral("cannot open"), refused);
    }
    return Status::Ok();
}

bool SqlLog::reconnectIfLost() {
    if (db.isOpen() && answers())
        return false;
    db.close();
    return bool(openConnection());
}

Status SqlLog::ensureOpen(const QString& what) {
    reconnectIfLost();
    if (db.isOpen())
        return Status::Ok();
    return fail(what, ErrorText(lastFailure));
}

Status SqlLog::createOrUpgrade() {
    if (!begin())
        return fail(QStringLiteral("cannot open"), ErrorText(lastFailure));
    QSqlQuery query(db);
    const auto failed = [&](const QString& what) {
        const Status status = failQuery(what, query);
        rollback();
        return status;
    };
    if (!schemaLock().isEmpty() && !Exec(query, schemaLock()))
        return failed(QStringLiteral("cannot lock the schema"));
    if (!Exec(query,
              QStringLiteral(
                  "CREATE TABLE IF NOT EXISTS varn_log_schema (version INTEGER NOT NULL)")) ||
        !Exec(query, QStringLiteral("SELECT version FROM varn_log_schema")))
        return failed(QStringLiteral("cannot read the schema version"));
    const bool hasRow = query.next();
    const int version = hasRow ? query.value(0).toInt() : 0;
    if (version > SchemaVersion) {
        rollback();
        return fail(QStringLiteral("cannot open"),
                    QStringLiteral("written by a newer program (schema version %1, this program "
                                   "knows up to %2)")
                        .arg(version)
                        .arg(SchemaVersion));
    }
    if (version < 1) {
        // The tables as the first version made them; the steps after it
        // upgrade a new log exactly as they upgrade an old one.
        QString columns = idColumn();
        for (const RecordColumn& column : RecordColumns()) {
            if (column.since == 1)
                columns += QStringLiteral(", %1 %2").arg(QString::fromLatin1(column.name),
                                                         QString::fromLatin1(column.sqlType));
        }
        for (const QString& statement :
             {QStringLiteral("CREATE TABLE chip_records (%1)").arg(columns),
              QStringLiteral("CREATE INDEX chip_records_time ON chip_records (recorded_at)"),
              QStringLiteral("CREATE TABLE serial_counters (series TEXT PRIMARY KEY, "
                             "next_number BIGINT NOT NULL)"),
              QStringLiteral("CREATE TABLE serial_returned (series TEXT NOT NULL, "
                             "number BIGINT NOT NULL, PRIMARY KEY (series, number))")}) {
            if (!Exec(query, statement))
                return failed(QStringLiteral("cannot create the tables"));
        }
    }
    if (version < 2) {
        if (const Status upgraded = upgradeToVersion2(query); !upgraded) {
            rollback();
            return upgraded;
        }
    }
    if (version < 3) {
        if (const Status upgraded = upgradeToVersion3(query); !upgraded) {
            rollback();
            return upgraded;
        }
    }
    if (version < 4) {
        if (const Status upgraded = upgradeToVersion4(query); !upgraded) {
            rollback();
            return upgraded;
        }
    }
    addViewIndexes(query);
    if (const Status notice = addChangeNotice(query); !notice) {
        rollback();
        return notice;
    }
    if (version < SchemaVersion) {
        const QString sql =
            hasRow ? QStringLiteral("UPDATE varn_log_schema SET version = ?")
                   : QStringLiteral("INSERT INTO varn_log_schema (version) VALUES (?)");
        if (!Exec(query, sql, {SchemaVersion}))
            return failed(QStringLiteral("cannot store the schema version"));
    }
    if (!commit())
        return fail(QStringLiteral("cannot store the tables"), ErrorText(lastFailure));
    return Status::Ok();
}

Status SqlLog::upgradeToVersion2(QSqlQuery& query) {
    const QString what = QStringLiteral("cannot upgrade the tables to version 2");
    for (const RecordColumn& column : RecordColumns()) {
        if (column.since == 2 &&
            !Exec(query,
                  QStringLiteral("ALTER TABLE chip_records ADD COLUMN %1 %2")
                      .arg(QString::fromLatin1(column.name), QString::fromLatin1(column.sqlType))))
            return failQuery(what, query);
    }
    // Records of version 1 were written whole at the end of their run. Whether
    // their chips received program bytes was not kept: left unknown, they
    // hold no number against later chips, and their numbers are spent anyway
    // (the counter is past them, and the numbers version 1 gave back for
    // reuse are dropped below, as some of those chips were programmed).
    QList<QPair<QString, qint64>> counters;
    for (const QString& statement :
         {QStringLiteral("UPDATE chip_records SET record_uid = 'v1-' || CAST(id AS TEXT), "
                         "closed_at = recorded_at WHERE record_uid IS NULL"),
          QStringLiteral("CREATE UNIQUE INDEX chip_records_uid ON chip_records (record_uid)"),
          // A number is in one chip only: unique among the chips that
          // received program bytes, and the chips still being programmed.
          QStringLiteral("CREATE UNIQUE INDEX chip_records_spent ON chip_records "
                         "(serial_series, serial_number) WHERE program_bytes_sent = 1 OR "
                         "closed_at IS NULL"),
          QStringLiteral("CREATE TABLE serial_series (name TEXT PRIMARY KEY, first_number "
                         "BIGINT NOT NULL, step BIGINT NOT NULL, maximum BIGINT NOT NULL, "
                         "length INTEGER NOT NULL, encoding TEXT NOT NULL, byte_order TEXT "
                         "NOT NULL, next_number BIGINT NOT NULL, created_at TEXT)"),
          QStringLiteral("DELETE FROM serial_returned"),
          QStringLiteral("SELECT series, next_number FROM serial_counters")}) {
        if (!Exec(query, statement))
            return failQuery(what, query);
    }
    while (query.next())
        counters.append({query.value(0).toString(), query.value(1).toLongLong()});
    // A counter of version 1 was known by "FIRST+STEP" only; its length and
    // encoding came with each run (length 0 keeps it so).
    for (const auto& [series, next] : counters) {
        if (!Exec(query,
                  QStringLiteral("INSERT INTO serial_series (%1, created_at) VALUES (?, ?, ?, ?, "
                                 "0, 'binary', 'msb', ?, ?)")
                      .arg(QLatin1String(SeriesColumns)),
                  {series, series.section(QLatin1Char('+'), 0, 0).toLongLong(),
                   series.section(QLatin1Char('+'), 1).toLongLong(),
                   std::numeric_limits<qint64>::max(), next, nowText()}))
            return failQuery(what, query);
    }
    if (!Exec(query, QStringLiteral("DROP TABLE serial_counters")))
        return failQuery(what, query);
    return Status::Ok();
}

Status SqlLog::upgradeToVersion3(QSqlQuery& query) {
    const QString what = QStringLiteral("cannot upgrade the tables to version 3");
    for (const RecordColumn& column : RecordColumns()) {
        if (column.since == 3 &&
            !Exec(query,
                  QStringLiteral("ALTER TABLE chip_records ADD COLUMN %1 %2")
                      .arg(QString::fromLatin1(column.name), QString::fromLatin1(column.sqlType))))
            return failQuery(what, query);
    }
    // Every number a pool handed out stays in pool_numbers: its primary key
    // is what keeps a number in one chip, whatever the counter says.
    for (const QString& statement :
         {QStringLiteral("CREATE TABLE number_pools (name TEXT PRIMARY KEY, first_number BIGINT "
                         "NOT NULL, last_number BIGINT NOT NULL, step BIGINT NOT NULL, "
                         "next_number BIGINT NOT NULL, created_at TEXT)"),
          QStringLiteral(
              "CREATE TABLE pool_numbers (pool TEXT NOT NULL, number BIGINT NOT NULL, "
              "allocated_at TEXT NOT NULL, station TEXT, PRIMARY KEY (pool, number))")}) {
        if (!Exec(query, statement))
            return failQuery(what, query);
    }
    return Status::Ok();
}

Status SqlLog::upgradeToVersion4(QSqlQuery& query) {
    for (const RecordColumn& column : RecordColumns()) {
        if (column.since == 4 &&
            !Exec(query,
                  QStringLiteral("ALTER TABLE chip_records ADD COLUMN %1 %2")
                      .arg(QString::fromLatin1(column.name), QString::fromLatin1(column.sqlType))))
            return failQuery(QStringLiteral("cannot upgrade the tables to version 4"), query);
    }
    return Status::Ok();
}

void SqlLog::addViewIndexes(QSqlQuery& query) {
    // What a viewer asks of a long log: the last records of a lot or a
    // station, and the records never closed (an outcome is found soon
    // enough going back from the newest; an index on it would lead the 24
    // hours' report through every failure ever recorded). Without these,
    // a lot of last month or the few open records are found only by reading
    // every record. They change no table, so a log of any version takes them
    // and an older program reads it as before. A station whose user may not
    // add an index to a table it does not own still opens the log: the
    // savepoint keeps the open's own work.
    if (!Exec(query, QStringLiteral("SAVEPOINT varn_view_indexes")))
        return;
    for (const char* statement :
         {"CREATE INDEX IF NOT EXISTS chip_records_lot ON chip_records (lot, id)",
          "CREATE INDEX IF NOT EXISTS chip_records_station ON chip_records (station, id)",
          "CREATE INDEX IF NOT EXISTS chip_records_open ON chip_records (id) "
          "WHERE closed_at IS NULL"}) {
        if (!Exec(query, QLatin1String(statement))) {
            Exec(query, QStringLiteral("ROLLBACK TO SAVEPOINT varn_view_indexes"));
            break;
        }
    }
    Exec(query, QStringLiteral("RELEASE SAVEPOINT varn_view_indexes"));
}

// --- number pools -----------------------------------------------------------

Status SqlLog::createPool(const NumberPool& pool) {
    const QString what = QStringLiteral("cannot create the number pool %1").arg(pool.name);
    if (const Status valid = pool.check(); !valid)
        return fail(what, valid.message);
    if (const Status open = ensureOpen(what); !open)
        return open;
    QSqlQuery query(db);
    if (!Exec(query, QStringLiteral("SELECT name FROM number_pools WHERE name = ?"), {pool.name}))
        return failQuery(what, query);
    if (query.next())
        return fail(what, QStringLiteral("the log already holds a pool of that name"));
    if (!Exec(query,
              QStringLiteral("INSERT INTO number_pools (name, first_number, last_number, step, "
                             "next_number, created_at) VALUES (?, ?, ?, ?, ?, ?)"),
              {pool.name, pool.first, pool.last, pool.step, pool.first, nowText()}))
        return failQuery(what, query);
    return Status::Ok();
}

Status SqlLog::poolList(QList<NumberPool>* out) {
    out->clear();
    const QString what = QStringLiteral("cannot read the number pools");
    if (const Status open = ensureOpen(what); !open)
        return open;
    QSqlQuery query(db);
    if (!Exec(query, QStringLiteral("SELECT name, first_number, last_number, step, next_number "
                                    "FROM number_pools ORDER BY name")))
        return failQuery(what, query);
    while (query.next())
        out->append({query.value(0).toString(), query.value(1).toLongLong(),
                     query.value(2).toLongLong(), query.value(3).toLongLong(),
                     query.value(4).toLongLong()});
    return Status::Ok();
}

Status SqlLog::takePoolNumber(const QString& pool, const QString& station, qint64* number) {
    const QString what = QStringLiteral("cannot draw a number from the pool %1").arg(pool);
    if (!begin())
        return fail(what, ErrorText(lastFailure));
    QSqlQuery query(db);
    const auto failed = [&](const QString& reason) {
        rollback();
        return fail(what, reason);
    };
    const auto queryFailed = [&]() {
        lastFailure = query.lastError();
        return failed(ErrorText(lastFailure));
    };
    if (!Exec(query,
              QStringLiteral("SELECT last_number, step, next_number FROM number_pools WHERE name "
                             "= ?") +
                  lockClause(),
              {pool}))
        return queryFailed();
    if (!query.next())
        return failed(QStringLiteral("the log holds no such pool (create it with varn-cli pool "
                                     "create)"));
    const qint64 last = query.value(0).toLongLong(), step = query.value(1).toLongLong();
    const qint64 next = query.value(2).toLongLong();
    if (next > last)
        return failed(
            QStringLiteral("the pool is used up (its last number %1 was handed out)").arg(last));
    const qint64 after = next > last - step ? last + 1 : next + step;
    if (!Exec(query, QStringLiteral("UPDATE number_pools SET next_number = ? WHERE name = ?"),
              {after, pool}) ||
        !Exec(query,
              QStringLiteral("INSERT INTO pool_numbers (pool, number, allocated_at, station) "
                             "VALUES (?, ?, ?, ?)"),
              {pool, next, nowText(), station}))
        return queryFailed();
    if (!commit())
        return failed(ErrorText(lastFailure));
    *number = next;
    return Status::Ok();
}

Status SqlLog::allocatePoolNumber(const QString& pool, const QString& station, qint64* number) {
    Status status = takePoolNumber(pool, station, number);
    if (!status && reconnectIfLost())
        status = takePoolNumber(pool, station, number);
    return status;
}

// --- serial numbers ---------------------------------------------------------

Status SqlLog::createSeries(const SerialSettings& series) {
    const QString what = QStringLiteral("cannot create the serial series %1").arg(series.name);
    if (series.name.isEmpty())
        return fail(QStringLiteral("cannot create a serial series"),
                    QStringLiteral("it needs a name"));
    if (const Status valid = series.check(); !valid)
        return fail(what, valid.message);
    if (const Status open = ensureOpen(what); !open)
        return open;
    QSqlQuery query(db);
    if (!Exec(query, QStringLiteral("SELECT name FROM serial_series WHERE name = ?"),
              {series.name}))
        return failQuery(what, query);
    if (query.next())
        return fail(what, QStringLiteral("the log already holds a series of that name"));
    if (!Exec(query,
              QStringLiteral("INSERT INTO serial_series (%1, created_at) VALUES (?, ?, ?, ?, ?, "
                             "?, ?, ?, ?)")
                  .arg(QLatin1String(SeriesColumns)),
              {series.name, series.first, series.step, series.maximum(), series.length,
               EncodingName(series.encoding), OrderName(series.order), series.first, nowText()}))
        return failQuery(what, query);
    return Status::Ok();
}

Status SqlLog::seriesList(QList<SerialSettings>* out) {
    out->clear();
    if (const Status open = ensureOpen(QStringLiteral("cannot read the serial series")); !open)
        return open;
    QSqlQuery query(db);
    if (!Exec(query, QStringLiteral("SELECT %1 FROM serial_series ORDER BY name")
                         .arg(QLatin1String(SeriesColumns))))
        return failQuery(QStringLiteral("cannot read the serial series"), query);
    while (query.next())
        out->append(seriesFrom(query));
    return Status::Ok();
}

Status SqlLog::loadSeries(SerialSettings& serial) {
    const QString what = QStringLiteral("cannot read the serial series %1").arg(serial.series());
    if (const Status open = ensureOpen(what); !open)
        return open;
    QSqlQuery query(db);
    if (!Exec(query,
              QStringLiteral("SELECT %1 FROM serial_series WHERE name = ?")
                  .arg(QLatin1String(SeriesColumns)),
              {serial.series()}))
        return failQuery(what, query);
    if (!query.next())
        return fail(what, QStringLiteral("the log holds no such series (create it with varn-cli "
                                         "series create, or in Options > Production Log)"));
    const SerialSettings stored = seriesFrom(query);
    if (stored.length == 0) // a counter of version 1: the run's own definition
        return Status::Ok();
    serial.first = stored.first;
    serial.step = stored.step;
    serial.limit = stored.limit;
    serial.length = stored.length;
    serial.encoding = stored.encoding;
    serial.order = stored.order;
    return Status::Ok();
}

Status SqlLog::takeSerial(const SerialSettings& serial, bool allocate, qint64* number) {
    const QString what = allocate ? QStringLiteral("cannot allocate a serial number")
                                  : QStringLiteral("cannot read the next serial number");
    if (const Status valid = serial.check(); !valid)
        return fail(what, valid.message);
    if (!db.isOpen() && !openConnection())
        return fail(what, ErrorText(lastFailure));
    if (allocate && !begin())
        return fail(what, ErrorText(lastFailure));
    QSqlQuery query(db);
    const auto failed = [&](const QString& reason) {
        if (allocate)
            rollback();
        return fail(what, reason);
    };
    const auto queryFailed = [&]() {
        lastFailure = query.lastError();
        return failed(ErrorText(lastFailure));
    };
    const QString name = serial.series();
    const QString selectSeries = QStringLiteral("SELECT %1 FROM serial_series WHERE name = ?")
                                     .arg(QLatin1String(SeriesColumns)) +
                                 (allocate ? lockClause() : QString());
    if (!Exec(query, selectSeries, {name}))
        return queryFailed();
    if (!query.next()) {
        if (!serial.name.isEmpty())
            return failed(QStringLiteral("the log holds no serial series %1 (create it with "
                                         "varn-cli series create, or in Options > Production "
                                         "Log)")
                              .arg(name));
        // Settings of an earlier version name no series: its counter
        // appears with the first number, as it always did.
        if (!allocate) {
            *number = serial.first;
            return Status::Ok();
        }
        if (!Exec(query,
                  QStringLiteral("INSERT INTO serial_series (%1, created_at) VALUES (?, ?, ?, ?, "
                                 "0, 'binary', 'msb', ?, ?) ON CONFLICT (name) DO NOTHING")
                      .arg(QLatin1String(SeriesColumns)),
                  {name, serial.first, serial.step, std::numeric_limits<qint64>::max(),
                   serial.first, nowText()}) ||
            !Exec(query, selectSeries, {name}) || !query.next())
            return queryFailed();
    }
    SerialSettings stored = seriesFrom(query);
    const qint64 next = query.value(7).toLongLong();
    if (stored.length == 0) {
        stored.step = serial.step;
        stored.limit = serial.maximum();
    } else if (stored.length != serial.length || stored.encoding != serial.encoding ||
               stored.order != serial.order) {
        return failed(QStringLiteral("the series %1 holds %2 numbers; this run would write %3")
                          .arg(name, seriesText(stored), seriesText(serial)));
    }
    const qint64 maximum = qMin(stored.limit, serial.encodingMaximum());
    if (!Exec(query, QStringLiteral("SELECT MIN(number) FROM serial_returned WHERE series = ?"),
              {name}) ||
        !query.next())
        return queryFailed();
    qint64 chosen = next;
    if (!query.value(0).isNull()) {
        chosen = query.value(0).toLongLong();
        if (allocate &&
            !Exec(query,
                  QStringLiteral("DELETE FROM serial_returned WHERE series = ? AND number = ?"),
                  {name, chosen}))
            return queryFailed();
    } else {
        if (next > maximum)
            return failed(QStringLiteral("the series %1 is used up: %2 is beyond its last number "
                                         "%3")
                              .arg(name)
                              .arg(next)
                              .arg(maximum));
        const qint64 after = next > maximum - stored.step ? maximum + 1 : next + stored.step;
        if (allocate &&
            !Exec(query, QStringLiteral("UPDATE serial_series SET next_number = ? WHERE name = ?"),
                  {after, name}))
            return queryFailed();
    }
    if (allocate && !commit())
        return failed(ErrorText(lastFailure));
    *number = chosen;
    return Status::Ok();
}

Status SqlLog::allocateSerial(const SerialSettings& serial, qint64* number) {
    Status status = takeSerial(serial, true, number);
    if (!status && reconnectIfLost())
        status = takeSerial(serial, true, number);
    return status;
}

Status SqlLog::peekSerial(const SerialSettings& serial, qint64* number) {
    Status status = takeSerial(serial, false, number);
    if (!status && reconnectIfLost())
        status = takeSerial(serial, false, number);
    return status;
}

// --- records ----------------------------------------------------------------

Status SqlLog::insertOpen(const ChipRecord& record, qint64* id) {
    const QString what = QStringLiteral("cannot open the record");
    const QStringList names = columnNames();
    if (!begin())
        return fail(what, ErrorText(lastFailure));
    QSqlQuery query(db);
    const auto failed = [&]() {
        const Status status = failQuery(what, query);
        rollback();
        return status;
    };
    QStringList updates;
    for (const QString& name : names)
        updates.append(QStringLiteral("%1 = excluded.%1").arg(name));
    // Sent twice (a journal sent on after a lost reply), it is stored once;
    // sent again while open, it is a mark of how far its run has come. A
    // closed record is never changed by it.
    if (!Exec(query,
              QStringLiteral("INSERT INTO chip_records (%1) VALUES (%2) ON CONFLICT (record_uid) "
                             "DO UPDATE SET %3 WHERE chip_records.closed_at IS NULL")
                  .arg(names.join(QStringLiteral(", ")), marks(names.size()),
                       updates.join(QStringLiteral(", "))),
              columnValues(record)) ||
        !Exec(query, QStringLiteral("SELECT id FROM chip_records WHERE record_uid = ?"),
              {record.uid}) ||
        !query.next())
        return failed();
    *id = query.value(0).toLongLong();
    if (!commit()) {
        const Status status = fail(what, ErrorText(lastFailure));
        rollback();
        return status;
    }
    return Status::Ok();
}

Status SqlLog::storeClosed(const ChipRecord& record, qint64* id) {
    const QString what = QStringLiteral("cannot write the record");
    const QStringList names = columnNames();
    QStringList updates;
    for (const QString& name : names)
        updates.append(QStringLiteral("%1 = excluded.%1").arg(name));
    if (!begin())
        return fail(what, ErrorText(lastFailure));
    QSqlQuery query(db);
    const auto failed = [&]() {
        const Status status = failQuery(what, query);
        rollback();
        return status;
    };
    // The record's end is written once: a closed record is never changed
    // again, so a journal sent on twice cannot give a number back twice.
    if (!Exec(query,
              QStringLiteral("INSERT INTO chip_records (%1) VALUES (%2) ON CONFLICT (record_uid) "
                             "DO UPDATE SET %3 WHERE chip_records.closed_at IS NULL")
                  .arg(names.join(QStringLiteral(", ")), marks(names.size()),
                       updates.join(QStringLiteral(", "))),
              columnValues(record)))
        return failed();
    const bool changed = query.numRowsAffected() > 0;
    // Only a number whose chip received no program byte may go to another chip.
    if (changed && !record.programBytesSent && record.serial >= 0 &&
        !record.serialSeries.isEmpty() &&
        !Exec(query,
              QStringLiteral("INSERT INTO serial_returned (series, number) VALUES (?, ?) "
                             "ON CONFLICT (series, number) DO NOTHING"),
              {record.serialSeries, record.serial}))
        return failed();
    if (!Exec(query, QStringLiteral("SELECT id FROM chip_records WHERE record_uid = ?"),
              {record.uid}) ||
        !query.next())
        return failed();
    *id = query.value(0).toLongLong();
    if (!commit()) {
        const Status status = fail(what, ErrorText(lastFailure));
        rollback();
        return status;
    }
    return Status::Ok();
}

Status SqlLog::write(ChipRecord& record, const QString& what, bool open) {
    if (record.uid.isEmpty())
        record.uid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const auto keepInJournal = [&](const QString& why) {
        if (const Status kept = journal->keep(journalKey(), record); !kept)
            return Status::Fail(why + QLatin1Char('\n') + kept.message);
        return Status::Ok(
            why + QStringLiteral("\nThe record is kept in the local journal %1 and goes to the "
                                 "log when it answers again (at the next run, or with varn-cli "
                                 "log sync).")
                      .arg(journal->path()));
    };
    // A record that began in the journal ends there: it reaches the log whole.
    if (record.id < 0 && journal)
        return keepInJournal(
            fail(what, QStringLiteral("its start waits in the local journal")).message);
    qint64 id = 0;
    const auto attempt = [&]() {
        return open ? insertOpen(record, &id) : storeClosed(record, &id);
    };
    Status status = attempt();
    // A server restarted since the last statement: connect again, once.
    if (!status && reconnectIfLost())
        status = attempt();
    if (status) {
        record.id = id;
        return status;
    }
    if (!journal || !outOfReach(lastFailure))
        return status;
    return keepInJournal(status.message);
}

Status SqlLog::openRecord(ChipRecord& record) {
    record.state = ChipRecord::State::Open;
    record.closedAt = QDateTime();
    if (!record.time.isValid())
        record.time = QDateTime::currentDateTimeUtc();
    return write(record, QStringLiteral("cannot open the record"), true);
}

Status SqlLog::markRecord(ChipRecord& record) {
    record.state = ChipRecord::State::Open;
    record.closedAt = QDateTime();
    return write(record, QStringLiteral("cannot mark the record"), true);
}

Status SqlLog::closeRecord(ChipRecord& record) {
    record.state = ChipRecord::State::Closed;
    if (!record.closedAt.isValid())
        record.closedAt = QDateTime::currentDateTimeUtc();
    return write(record, QStringLiteral("cannot close the record"), false);
}

Status SqlLog::writeRecord(ChipRecord& record) {
    if (!record.time.isValid())
        record.time = QDateTime::currentDateTimeUtc();
    return closeRecord(record);
}

Status SqlLog::select(const QString& sqlTail, const QList<QVariant>& values,
                      const std::function<Status(const ChipRecord&)>& take) {
    if (const Status open = ensureOpen(QStringLiteral("cannot read the records")); !open)
        return open;
    QSqlQuery query(db);
    // Forward only: each row is let go once read (PostgreSQL then sends them
    // one at a time), so reading the whole log takes no more memory than one record.
    query.setForwardOnly(true);
    if (!Exec(query,
              QStringLiteral("SELECT id, %1 FROM chip_records %2")
                  .arg(columnNames().join(QStringLiteral(", ")), sqlTail),
              values))
        return failQuery(QStringLiteral("cannot read the records"), query);
    const QList<RecordColumn>& columns = RecordColumns();
    ChipRecord record;
    while (query.next()) {
        record.id = query.value(0).toLongLong();
        for (int i = 0; i < columns.size(); ++i)
            columns[i].set(record, query.value(i + 1));
        if (Status taken = take(record); !taken)
            return taken;
    }
    if (query.lastError().isValid())
        return failQuery(QStringLiteral("cannot read the records"), query);
    return Status::Ok();
}

namespace {

QString timeRange(const QDateTime& from, const QDateTime& to, QList<QVariant>* values) {
    QStringList conditions;
    if (from.isValid()) {
        conditions.append(QStringLiteral("recorded_at >= ?"));
        values->append(from.toUTC().toString(Qt::ISODateWithMs));
    }
    if (to.isValid()) {
        conditions.append(QStringLiteral("recorded_at < ?"));
        values->append(to.toUTC().toString(Qt::ISODateWithMs));
    }
    if (conditions.isEmpty())
        return QString();
    return QStringLiteral("WHERE ") + conditions.join(QStringLiteral(" AND ")) + QLatin1Char(' ');
}

} // namespace

Status SqlLog::eachRecord(const QDateTime& from, const QDateTime& to,
                          const std::function<Status(const ChipRecord&)>& take) {
    QList<QVariant> values;
    const QString tail = timeRange(from, to, &values) + QStringLiteral("ORDER BY id");
    return select(tail, values, take);
}

Status SqlLog::csvLines(const QDateTime& from, const QDateTime& to, QByteArray& csv,
                        const std::function<Status()>& lineAdded) {
    if (const Status open = ensureOpen(QStringLiteral("cannot read the records")); !open)
        return open;
    QList<QVariant> values;
    const QString sql =
        QStringLiteral("SELECT id, %1 FROM chip_records %2ORDER BY id")
            .arg(columnNames().join(QStringLiteral(", ")), timeRange(from, to, &values));
    Status result;
    if (eachStoredRow(
            sql, values,
            [&](const StoredValue* row) {
                AppendStoredCsvLine(csv, row);
                return lineAdded();
            },
            &result))
        return result;
    return ProductionLog::csvLines(from, to, csv, lineAdded);
}

Status SqlLog::records(QList<ChipRecord>* out, const QDateTime& from, const QDateTime& to) {
    out->clear();
    return eachRecord(from, to, [out](const ChipRecord& record) {
        out->append(record);
        return Status::Ok();
    });
}

Status SqlLog::lastRecords(int count, QList<ChipRecord>* out) {
    out->clear();
    return select(QStringLiteral("ORDER BY id DESC LIMIT ?"), {qMax(0, count)},
                  [out](const ChipRecord& record) {
                      out->append(record);
                      return Status::Ok();
                  });
}

Status SqlLog::sendJournal(int* sent) {
    *sent = 0;
    if (!journal)
        return Status::Ok();
    QList<ChipRecord> waiting;
    if (const Status read = journal->pending(journalKey(), &waiting); !read)
        return read;
    for (const ChipRecord& record : waiting) {
        qint64 id = 0;
        const Status stored = record.state == ChipRecord::State::Open ? insertOpen(record, &id)
                                                                      : storeClosed(record, &id);
        if (stored)
            if (const Status removed = journal->remove(journalKey(), record.uid); !removed)
                return removed;
        if (!stored)
            return Status::Fail(QStringLiteral("%1 record(s) wait in the local journal %2: %3")
                                    .arg(waiting.size() - *sent)
                                    .arg(journal->path(), stored.message));
        ++*sent;
    }
    if (*sent == 0)
        return Status::Ok();
    return Status::Ok(QStringLiteral("%1 record(s) from the local journal %2 were sent on to "
                                     "the production log %3.")
                          .arg(*sent)
                          .arg(journal->path(), where.text()));
}

Status SqlLog::sync(int* sent) {
    int count = 0;
    if (!answers()) {
        db.close();
        if (const Status opened = openConnection(); !opened) {
            if (sent)
                *sent = 0;
            return opened;
        }
    }
    const Status status = sendJournal(&count);
    if (sent)
        *sent = count;
    return status;
}

} // namespace varn
