#include "sqlitelog.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QSqlDriver>
#include <QThread>
#include <memory>
#include <sqlite3.h>
#include <vector>

namespace varn {

namespace {

// How long a station waits for another one's lock on the file.
constexpr int SqliteBusyMs = 10000;
// SQLite's primary result codes (the low byte of the extended ones).
constexpr int SqliteBusy = 5;
// How often a watched file is asked whether another connection wrote to it.
constexpr int WatchIntervalMs = 1000;

} // namespace

SqliteLog::~SqliteLog() = default;

Status SqliteLog::watchChanges(const std::function<void()>& changed) {
    // SQLite tells no one else of a commit; its data_version moves whenever
    // another connection has committed, and reading it costs no page of the
    // file, so asking once a second is cheap however large the log grows.
    const auto version = [this]() -> qint64 {
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("PRAGMA data_version")) || !query.next())
            return -1;
        return query.value(0).toLongLong();
    };
    seenVersion = version();
    if (seenVersion < 0)
        return fail(QStringLiteral("cannot be watched"), sql::ErrorText(db.lastError()));
    watch = std::make_unique<QTimer>();
    watch->setInterval(WatchIntervalMs);
    QObject::connect(watch.get(), &QTimer::timeout, [this, version, changed] {
        const qint64 now = version();
        if (now < 0 || now == seenVersion)
            return;
        seenVersion = now;
        changed();
    });
    watch->start();
    return Status::Ok();
}

Status SqliteLog::configure(QSqlDatabase& db, const LogOpenOptions& options) {
    const QFileInfo info(where.path);
    if (!info.dir().exists())
        return Status::Fail(QStringLiteral("the folder does not exist"));
    if (!info.exists() && !options.create)
        return Status::Fail(QStringLiteral(
            "no such file; a new log is started only when asked (varn-cli --create-log or "
            "series create, or creating a serial series in Options > Production Log)"));
    checkFile = !options.readThrough;
    db.setDatabaseName(where.path);
    // Another station process may hold the write lock for a moment.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(SqliteBusyMs));
    return Status::Ok();
}

QString SqliteLog::prepareConnection(QSqlDatabase& db) {
    QSqlQuery query(db);
    // A damaged file must fail now, not after a chip was programmed.
    if (checkFile && !query.exec(QStringLiteral("PRAGMA quick_check")))
        return QStringLiteral("the file cannot be read as a log: ") +
               sql::ErrorText(query.lastError());
    QStringList problems;
    while (checkFile && query.next())
        problems.append(query.value(0).toString());
    if (checkFile && problems != QStringList{QStringLiteral("ok")})
        return QStringLiteral("the file is damaged (PRAGMA quick_check: %1); restore it from a "
                              "backup")
            .arg(problems.mid(0, 3).join(QStringLiteral("; ")));
    // A committed record survives a power cut: the write-ahead log is synced
    // on every commit. Switching a new file to the write-ahead log reports
    // "locked" at once, without the busy wait, while a second station process
    // opens the same file; try again for as long as the busy wait would have.
    QDeadlineTimer patience(SqliteBusyMs);
    bool set = false;
    while (!(set = query.exec(QStringLiteral("PRAGMA journal_mode=WAL")) &&
                   query.exec(QStringLiteral("PRAGMA synchronous=FULL"))) &&
           (query.lastError().nativeErrorCode().toInt() & 0xff) == SqliteBusy &&
           !patience.hasExpired())
        QThread::msleep(5);
    return set ? QString() : sql::ErrorText(query.lastError());
}

bool SqliteLog::outOfReach(const QSqlError& error) {
    // Busy, locked, out of memory, read-only, I/O error, disk full, cannot
    // open: the file is there but cannot take the record now. A refused
    // statement (a constraint) is no reason to wait.
    switch (error.nativeErrorCode().toInt() & 0xff) {
    case 5:
    case 6:
    case 7:
    case 8:
    case 10:
    case 13:
    case 14:
        return true;
    default:
        return false;
    }
}

QString SqliteLog::journalKey() const {
    const QFileInfo info(where.path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
}

bool SqliteLog::eachStoredRow(const QString& sql, const QList<QVariant>& values,
                              const std::function<Status(const StoredValue*)>& take,
                              Status* result) {
    // Qt's driver hands the connection over as a QVariant holding sqlite3*.
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return false;
    sqlite3* connection = *static_cast<sqlite3* const*>(handle.constData());
    if (!connection)
        return false;
    const QString what = QStringLiteral("cannot read the records");
    const auto failed = [&] {
        *result = fail(what, QString::fromUtf8(sqlite3_errmsg(connection)));
        return true;
    };
    sqlite3_stmt* raw = nullptr;
    const QByteArray text = sql.toUtf8();
    if (sqlite3_prepare_v2(connection, text.constData(), int(text.size()), &raw, nullptr) !=
        SQLITE_OK)
        return failed();
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
    for (int i = 0; i < values.size(); ++i) {
        const QByteArray value = values[i].toString().toUtf8();
        if (sqlite3_bind_text(raw, i + 1, value.constData(), int(value.size()), SQLITE_TRANSIENT) !=
            SQLITE_OK)
            return failed();
    }
    std::vector<StoredValue> row(size_t(sqlite3_column_count(raw)));
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(raw)) == SQLITE_ROW) {
        for (int i = 0; i < int(row.size()); ++i) {
            StoredValue& v = row[size_t(i)];
            switch (sqlite3_column_type(raw, i)) {
            case SQLITE_INTEGER:
                v.type = StoredValue::Type::Integer;
                v.integer = sqlite3_column_int64(raw, i);
                break;
            case SQLITE_FLOAT:
                v.type = StoredValue::Type::Real;
                v.real = sqlite3_column_double(raw, i);
                break;
            case SQLITE_TEXT:
                v.type = StoredValue::Type::Text;
                v.bytes = reinterpret_cast<const char*>(sqlite3_column_text(raw, i));
                v.size = sqlite3_column_bytes(raw, i);
                break;
            case SQLITE_BLOB:
                v.type = StoredValue::Type::Blob;
                v.bytes = static_cast<const char*>(sqlite3_column_blob(raw, i));
                v.size = sqlite3_column_bytes(raw, i);
                break;
            default:
                v.type = StoredValue::Type::Null;
            }
        }
        if (Status taken = take(row.data()); !taken) {
            *result = taken;
            return true;
        }
    }
    if (step != SQLITE_DONE)
        return failed();
    *result = Status::Ok();
    return true;
}

} // namespace varn
