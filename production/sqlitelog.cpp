#include "sqlitelog.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QThread>

namespace varn {

namespace {

// How long a station waits for another one's lock on the file.
constexpr int SqliteBusyMs = 10000;
// SQLite's primary result codes (the low byte of the extended ones).
constexpr int SqliteBusy = 5;

} // namespace

Status SqliteLog::configure(QSqlDatabase& db, const LogOpenOptions& options) {
    const QFileInfo info(where.path);
    if (!info.dir().exists())
        return Status::Fail(QStringLiteral("the folder does not exist"));
    if (!info.exists() && !options.create)
        return Status::Fail(QStringLiteral(
            "no such file; a new log is started only when asked (varn-cli --create-log or "
            "series create, or creating a serial series in Options > Production Log)"));
    db.setDatabaseName(where.path);
    // Another station process may hold the write lock for a moment.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(SqliteBusyMs));
    return Status::Ok();
}

QString SqliteLog::prepareConnection(QSqlDatabase& db) {
    QSqlQuery query(db);
    // A damaged file must fail now, not after a chip was programmed.
    if (!query.exec(QStringLiteral("PRAGMA quick_check")))
        return QStringLiteral("the file cannot be read as a log: ") +
               sql::ErrorText(query.lastError());
    QStringList problems;
    while (query.next())
        problems.append(query.value(0).toString());
    if (problems != QStringList{QStringLiteral("ok")})
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

} // namespace varn
