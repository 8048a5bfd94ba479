#include "productionlog.h"

#include "core/appstate.h"
#include "core/usersettings.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QUrl>
#include <atomic>

namespace varn {

namespace {

// How long a station waits for another one's lock on the SQLite file.
constexpr int SqliteBusyMs = 10000;
// SQLITE_BUSY; its extended codes share the low byte.
constexpr int SqliteBusy = 5;

QString lastError(const QSqlError& error) {
    QString text = error.databaseText().trimmed();
    if (text.isEmpty())
        text = error.driverText().trimmed();
    if (text.isEmpty())
        text = error.text().trimmed();
    return text;
}

// The tables of each schema version, as the steps from the one before.
QStringList schemaStep(int version, bool postgres) {
    QStringList statements;
    if (version == 1) {
        QString columns = postgres ? QStringLiteral("id BIGSERIAL PRIMARY KEY")
                                   : QStringLiteral("id INTEGER PRIMARY KEY");
        for (const RecordColumn& column : RecordColumns())
            columns += QStringLiteral(", %1 %2").arg(QString::fromLatin1(column.name),
                                                     QString::fromLatin1(column.sqlType));
        statements << QStringLiteral("CREATE TABLE chip_records (%1)").arg(columns)
                   << QStringLiteral("CREATE INDEX chip_records_time ON chip_records (recorded_at)")
                   << QStringLiteral("CREATE TABLE serial_counters (series TEXT PRIMARY KEY, "
                                     "next_number BIGINT NOT NULL)")
                   << QStringLiteral("CREATE TABLE serial_returned (series TEXT NOT NULL, "
                                     "number BIGINT NOT NULL, PRIMARY KEY (series, number))");
    }
    return statements;
}

// Statements without values run as they are: PostgreSQL cannot prepare DDL.
bool exec(QSqlQuery& query, const QString& sql, const QList<QVariant>& values = {}) {
    if (values.isEmpty())
        return query.exec(sql);
    if (!query.prepare(sql))
        return false;
    for (const QVariant& value : values)
        query.addBindValue(value);
    return query.exec();
}

} // namespace

QString LogLocation::text() const {
    if (!postgres)
        return path;
    QString url = QStringLiteral("postgresql://");
    if (!user.isEmpty())
        url += QString::fromUtf8(QUrl::toPercentEncoding(user)) + QLatin1Char('@');
    url += QString::fromUtf8(QUrl::toPercentEncoding(host));
    if (port >= 0)
        url += QLatin1Char(':') + QString::number(port);
    return url + QLatin1Char('/') + QString::fromUtf8(QUrl::toPercentEncoding(database));
}

bool LogEnabled(const UserSettings& settings) {
    return settings.value(QStringLiteral("log/enabled"), false).toBool();
}

QString ConfiguredLogLocation(const AppState& state, const UserSettings& settings) {
    const QString location = settings.value(QStringLiteral("log/url")).toString();
    return location.isEmpty() ? state.ConfigPath(QString::fromLatin1(DefaultLogFileName))
                              : location;
}

Status ParseLogLocation(const QString& text, LogLocation* location) {
    static const QRegularExpression scheme(QStringLiteral("^postgres(ql)?://"),
                                           QRegularExpression::CaseInsensitiveOption);
    LogLocation parsed;
    if (!scheme.match(text).hasMatch()) {
        if (text.isEmpty())
            return Status::Fail(QStringLiteral("no log file or URL given"));
        parsed.path = text;
        *location = parsed;
        return Status::Ok();
    }
    static const QRegularExpression url(
        QStringLiteral("^postgres(?:ql)?://(?:([^@/:]*)(:[^@/]*)?@)?([^/:?]*)(?::([0-9]{1,5}))?(?:/"
                       "([^?]*))?$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = url.match(text);
    if (!m.hasMatch())
        return Status::Fail(
            QStringLiteral("%1: not a postgresql://user@host:port/dbname URL").arg(text));
    if (m.capturedLength(2) > 0)
        return Status::Fail(QStringLiteral("%1: no password in the URL, please; put it in "
                                           "~/.pgpass or PGPASSWORD")
                                .arg(text.left(m.capturedStart(2))));
    parsed.postgres = true;
    const auto decode = [](const QString& part) {
        return QUrl::fromPercentEncoding(part.toUtf8());
    };
    parsed.user = decode(m.captured(1));
    parsed.host = decode(m.captured(3));
    parsed.port = m.capturedLength(4) > 0 ? m.captured(4).toInt() : -1;
    parsed.database = decode(m.captured(5));
    if (parsed.port > 65535)
        return Status::Fail(QStringLiteral("%1: port out of range").arg(text));
    *location = parsed;
    return Status::Ok();
}

ProductionLog::ProductionLog() {
    static std::atomic<int> counter{0};
    connectionName = QStringLiteral("varn-log-%1").arg(counter.fetch_add(1));
}

ProductionLog::~ProductionLog() {
    close();
}

void ProductionLog::close() {
    if (!db.isValid())
        return;
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(connectionName);
}

Status ProductionLog::fail(const QString& what, const QString& reason) {
    return Status::Fail(
        QStringLiteral("Production log %1: %2: %3").arg(logLocation.text(), what, reason));
}

Status ProductionLog::open(const QString& location) {
    LogLocation parsed;
    if (const Status status = ParseLogLocation(location, &parsed); !status)
        return Status::Fail(QStringLiteral("Production log ") + status.message);
    return open(parsed);
}

Status ProductionLog::open(const LogLocation& location) {
    close();
    logLocation = location;
    const QString driver = location.postgres ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE");
    if (!QSqlDatabase::isDriverAvailable(driver))
        return fail(QStringLiteral("cannot open"),
                    QStringLiteral("the Qt SQL driver %1 is not installed (Debian package %2)")
                        .arg(driver, location.postgres ? QStringLiteral("libqt6sql6-psql")
                                                       : QStringLiteral("libqt6sql6-sqlite")));
    db = QSqlDatabase::addDatabase(driver, connectionName);
    if (location.postgres) {
        db.setHostName(location.host);
        if (location.port >= 0)
            db.setPort(location.port);
        db.setUserName(location.user);
        db.setDatabaseName(location.database);
        db.setConnectOptions(QStringLiteral("connect_timeout=5"));
    } else {
        const QFileInfo info(location.path);
        if (!info.dir().exists())
            return fail(QStringLiteral("cannot open"), QStringLiteral("the folder does not exist"));
        db.setDatabaseName(location.path);
        // Another station process may hold the write lock for a moment.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(SqliteBusyMs));
    }
    if (!db.open()) {
        const Status status = fail(QStringLiteral("cannot open"), lastError(db.lastError()));
        close();
        return status;
    }
    if (!location.postgres) {
        QSqlQuery query(db);
        // A committed record survives a power cut: the write-ahead log is
        // synced on every commit. Switching a new file to the write-ahead log
        // reports "locked" at once, without the busy wait, while a second
        // station process opens the same file; try again for as long as the
        // busy wait would have waited.
        QDeadlineTimer patience(SqliteBusyMs);
        bool set = false;
        while (!(set = query.exec(QStringLiteral("PRAGMA journal_mode=WAL")) &&
                       query.exec(QStringLiteral("PRAGMA synchronous=FULL"))) &&
               (query.lastError().nativeErrorCode().toInt() & 0xff) == SqliteBusy &&
               !patience.hasExpired())
            QThread::msleep(5);
        if (!set) {
            const Status status = fail(QStringLiteral("cannot open"), lastError(query.lastError()));
            close();
            return status;
        }
    }
    if (const Status status = createOrUpgrade(); !status) {
        close();
        return status;
    }
    return Status::Ok();
}

bool ProductionLog::begin() {
    QSqlQuery query(db);
    // SQLite: take the write lock at once, so that two processes reading the
    // counter cannot both go on to write it.
    return query.exec(logLocation.postgres ? QStringLiteral("BEGIN")
                                           : QStringLiteral("BEGIN IMMEDIATE"));
}

bool ProductionLog::commit() {
    QSqlQuery query(db);
    return query.exec(QStringLiteral("COMMIT"));
}

void ProductionLog::rollback() {
    QSqlQuery query(db);
    query.exec(QStringLiteral("ROLLBACK"));
}

Status ProductionLog::createOrUpgrade() {
    if (!begin())
        return fail(QStringLiteral("cannot open"), lastError(db.lastError()));
    QSqlQuery query(db);
    const auto failed = [&](const QString& what) {
        const Status status = fail(what, lastError(query.lastError()));
        rollback();
        return status;
    };
    // Two stations starting together must not both create the tables.
    if (logLocation.postgres &&
        !exec(query, QStringLiteral("SELECT pg_advisory_xact_lock(7310013)")))
        return failed(QStringLiteral("cannot lock the schema"));
    if (!exec(query,
              QStringLiteral(
                  "CREATE TABLE IF NOT EXISTS varn_log_schema (version INTEGER NOT NULL)")) ||
        !exec(query, QStringLiteral("SELECT version FROM varn_log_schema")))
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
    for (int step = version + 1; step <= SchemaVersion; ++step) {
        for (const QString& statement : schemaStep(step, logLocation.postgres)) {
            if (!exec(query, statement))
                return failed(QStringLiteral("cannot create the tables"));
        }
    }
    if (version < SchemaVersion) {
        const QString sql =
            hasRow ? QStringLiteral("UPDATE varn_log_schema SET version = ?")
                   : QStringLiteral("INSERT INTO varn_log_schema (version) VALUES (?)");
        if (!exec(query, sql, {SchemaVersion}))
            return failed(QStringLiteral("cannot store the schema version"));
    }
    if (!commit())
        return failed(QStringLiteral("cannot create the tables"));
    return Status::Ok();
}

Status ProductionLog::allocateSerial(const SerialSettings& settings, qint64* number) {
    if (const Status valid = settings.check(); !valid)
        return valid;
    if (!isOpen())
        return fail(QStringLiteral("cannot allocate a serial number"), QStringLiteral("not open"));
    if (!begin())
        return fail(QStringLiteral("cannot allocate a serial number"), lastError(db.lastError()));
    QSqlQuery query(db);
    const auto failed = [&](const QString& reason) {
        rollback();
        return fail(QStringLiteral("cannot allocate a serial number"), reason);
    };
    const QString series = settings.series();
    // The counter row is created once; whoever comes second finds it.
    if (!exec(query,
              QStringLiteral("INSERT INTO serial_counters (series, next_number) VALUES (?, ?) "
                             "ON CONFLICT (series) DO NOTHING"),
              {series, settings.first}))
        return failed(lastError(query.lastError()));
    // Locking the counter row also guards the series' returned numbers.
    QString lockSql = QStringLiteral("SELECT next_number FROM serial_counters WHERE series = ?");
    if (logLocation.postgres)
        lockSql += QStringLiteral(" FOR UPDATE");
    if (!exec(query, lockSql, {series}) || !query.next())
        return failed(lastError(query.lastError()));
    const qint64 next = query.value(0).toLongLong();

    if (!exec(query, QStringLiteral("SELECT MIN(number) FROM serial_returned WHERE series = ?"),
              {series}) ||
        !query.next())
        return failed(lastError(query.lastError()));
    qint64 chosen = next;
    if (!query.value(0).isNull()) {
        chosen = query.value(0).toLongLong();
        if (!exec(query,
                  QStringLiteral("DELETE FROM serial_returned WHERE series = ? AND number = ?"),
                  {series, chosen}))
            return failed(lastError(query.lastError()));
    } else {
        if (next > settings.maximum())
            return failed(QStringLiteral("the series %1 is used up: %2 does not fit in %3 %4 bytes")
                              .arg(series)
                              .arg(next)
                              .arg(settings.length)
                              .arg(EncodingName(settings.encoding)));
        const qint64 after = next > settings.maximum() - settings.step ? settings.maximum() + 1
                                                                       : next + settings.step;
        if (!exec(query,
                  QStringLiteral("UPDATE serial_counters SET next_number = ? WHERE series = ?"),
                  {after, series}))
            return failed(lastError(query.lastError()));
    }
    if (!commit())
        return failed(lastError(db.lastError()));
    *number = chosen;
    return Status::Ok();
}

Status ProductionLog::peekSerial(const SerialSettings& settings, qint64* number) {
    if (const Status valid = settings.check(); !valid)
        return valid;
    if (!isOpen())
        return fail(QStringLiteral("cannot read the next serial number"),
                    QStringLiteral("not open"));
    QSqlQuery query(db);
    const QString series = settings.series();
    // A returned number goes out first, as in allocateSerial.
    if (!exec(query, QStringLiteral("SELECT MIN(number) FROM serial_returned WHERE series = ?"),
              {series}) ||
        !query.next())
        return fail(QStringLiteral("cannot read the next serial number"),
                    lastError(query.lastError()));
    if (!query.value(0).isNull()) {
        *number = query.value(0).toLongLong();
        return Status::Ok();
    }
    if (!exec(query, QStringLiteral("SELECT next_number FROM serial_counters WHERE series = ?"),
              {series}))
        return fail(QStringLiteral("cannot read the next serial number"),
                    lastError(query.lastError()));
    const qint64 next = query.next() ? query.value(0).toLongLong() : settings.first;
    if (next > settings.maximum())
        return fail(QStringLiteral("cannot read the next serial number"),
                    QStringLiteral("the series %1 is used up").arg(series));
    *number = next;
    return Status::Ok();
}

Status ProductionLog::writeRecord(const ChipRecord& record) {
    if (!isOpen())
        return fail(QStringLiteral("cannot write the record"), QStringLiteral("not open"));
    QStringList names;
    QStringList marks;
    QList<QVariant> values;
    for (const RecordColumn& column : RecordColumns()) {
        names.append(QString::fromLatin1(column.name));
        marks.append(QStringLiteral("?"));
        values.append(column.get(record));
    }
    if (!begin())
        return fail(QStringLiteral("cannot write the record"), lastError(db.lastError()));
    QSqlQuery query(db);
    const auto failed = [&]() {
        const Status status =
            fail(QStringLiteral("cannot write the record"), lastError(query.lastError()));
        rollback();
        return status;
    };
    if (!exec(query,
              QStringLiteral("INSERT INTO chip_records (%1) VALUES (%2)")
                  .arg(names.join(QStringLiteral(", ")), marks.join(QStringLiteral(", "))),
              values))
        return failed();
    if (!record.passed && record.serial >= 0 && !record.serialSeries.isEmpty() &&
        !exec(query,
              QStringLiteral("INSERT INTO serial_returned (series, number) VALUES (?, ?) "
                             "ON CONFLICT (series, number) DO NOTHING"),
              {record.serialSeries, record.serial}))
        return failed();
    if (!commit())
        return failed();
    return Status::Ok();
}

Status ProductionLog::select(const QString& sqlTail, const QList<QVariant>& values,
                             QList<ChipRecord>* out) {
    if (!isOpen())
        return fail(QStringLiteral("cannot read the records"), QStringLiteral("not open"));
    QStringList names;
    for (const RecordColumn& column : RecordColumns())
        names.append(QString::fromLatin1(column.name));
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!exec(query,
              QStringLiteral("SELECT %1 FROM chip_records %2")
                  .arg(names.join(QStringLiteral(", ")), sqlTail),
              values))
        return fail(QStringLiteral("cannot read the records"), lastError(query.lastError()));
    const QList<RecordColumn>& columns = RecordColumns();
    out->clear();
    while (query.next()) {
        ChipRecord record;
        for (int i = 0; i < columns.size(); ++i)
            columns[i].set(record, query.value(i));
        out->append(record);
    }
    return Status::Ok();
}

Status ProductionLog::records(QList<ChipRecord>* out, const QDateTime& from, const QDateTime& to) {
    QStringList conditions;
    QList<QVariant> values;
    if (from.isValid()) {
        conditions.append(QStringLiteral("recorded_at >= ?"));
        values.append(from.toUTC().toString(Qt::ISODateWithMs));
    }
    if (to.isValid()) {
        conditions.append(QStringLiteral("recorded_at < ?"));
        values.append(to.toUTC().toString(Qt::ISODateWithMs));
    }
    QString tail;
    if (!conditions.isEmpty())
        tail =
            QStringLiteral("WHERE ") + conditions.join(QStringLiteral(" AND ")) + QLatin1Char(' ');
    return select(tail + QStringLiteral("ORDER BY id"), values, out);
}

Status ProductionLog::lastRecords(int count, QList<ChipRecord>* out) {
    return select(QStringLiteral("ORDER BY id DESC LIMIT ?"), {qMax(0, count)}, out);
}

} // namespace varn
