#include "logjournal.h"

#include "sqllog.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlQuery>
#include <atomic>

namespace varn {

namespace {

QStringList columnNames() {
    QStringList names;
    for (const RecordColumn& column : RecordColumns())
        names.append(QString::fromLatin1(column.name));
    return names;
}

} // namespace

LogJournal::LogJournal(const QString& path) : filePath(path) {
    static std::atomic<int> counter{0};
    connectionName = QStringLiteral("varn-journal-%1").arg(counter.fetch_add(1));
}

LogJournal::~LogJournal() {
    if (!db.isValid())
        return;
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(connectionName);
}

Status LogJournal::fail(const QString& what, const QString& reason) const {
    return Status::Fail(QStringLiteral("Local journal %1: %2: %3").arg(filePath, what, reason));
}

Status LogJournal::open(bool create) {
    if (db.isOpen())
        return Status::Ok();
    if (!create && !QFileInfo::exists(filePath))
        return Status::Fail(QString());
    if (!QDir().mkpath(QFileInfo(filePath).absolutePath()))
        return fail(QStringLiteral("cannot open"), QStringLiteral("cannot create its folder"));
    if (!db.isValid())
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    db.setDatabaseName(filePath);
    // Several station processes of one user share the journal.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    if (!db.open())
        return fail(QStringLiteral("cannot open"), sql::ErrorText(db.lastError()));
    QString columns;
    for (const RecordColumn& column : RecordColumns())
        columns += QStringLiteral(", %1 %2").arg(QString::fromLatin1(column.name),
                                                 QString::fromLatin1(column.sqlType));
    QSqlQuery query(db);
    if (!sql::Exec(query, QStringLiteral("PRAGMA journal_mode=WAL")) ||
        !sql::Exec(query, QStringLiteral("PRAGMA synchronous=FULL")) ||
        !sql::Exec(query, QStringLiteral("CREATE TABLE IF NOT EXISTS journal (entry INTEGER "
                                         "PRIMARY KEY, log TEXT NOT NULL%1, UNIQUE (log, "
                                         "record_uid))")
                              .arg(columns))) {
        const Status status =
            fail(QStringLiteral("cannot open"), sql::ErrorText(query.lastError()));
        db.close();
        return status;
    }
    // A journal an earlier version started lacks the columns added since.
    QStringList present;
    if (sql::Exec(query, QStringLiteral("PRAGMA table_info(journal)")))
        while (query.next())
            present.append(query.value(1).toString());
    for (const RecordColumn& column : RecordColumns()) {
        const QString name = QString::fromLatin1(column.name);
        if (!present.contains(name) &&
            !sql::Exec(query, QStringLiteral("ALTER TABLE journal ADD COLUMN %1 %2")
                                  .arg(name, QString::fromLatin1(column.sqlType)))) {
            const Status status =
                fail(QStringLiteral("cannot upgrade"), sql::ErrorText(query.lastError()));
            db.close();
            return status;
        }
    }
    return Status::Ok();
}

Status LogJournal::keep(const QString& logKey, ChipRecord& record) {
    if (const Status opened = open(true); !opened)
        return opened;
    const QStringList names = columnNames();
    QStringList marks, updates;
    QList<QVariant> values{logKey};
    for (const RecordColumn& column : RecordColumns()) {
        marks.append(QStringLiteral("?"));
        values.append(column.get(record));
    }
    for (const QString& name : names)
        updates.append(QStringLiteral("%1 = excluded.%1").arg(name));
    QSqlQuery query(db);
    if (!sql::Exec(query,
                   QStringLiteral("INSERT INTO journal (log, %1) VALUES (?, %2) ON CONFLICT (log, "
                                  "record_uid) DO UPDATE SET %3")
                       .arg(names.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")),
                            updates.join(QStringLiteral(", "))),
                   values) ||
        !sql::Exec(query,
                   QStringLiteral("SELECT entry FROM journal WHERE log = ? AND record_uid = ?"),
                   {logKey, record.uid}) ||
        !query.next())
        return fail(QStringLiteral("cannot keep the record"), sql::ErrorText(query.lastError()));
    // A record the log already holds keeps its number there.
    if (record.id <= 0)
        record.id = -query.value(0).toLongLong();
    return Status::Ok();
}

Status LogJournal::pending(const QString& logKey, QList<ChipRecord>* out) {
    out->clear();
    if (const Status opened = open(false); !opened)
        return opened.message.isEmpty() ? Status::Ok() : opened;
    QSqlQuery query(db);
    if (!sql::Exec(query,
                   QStringLiteral("SELECT entry, %1 FROM journal WHERE log = ? ORDER BY entry")
                       .arg(columnNames().join(QStringLiteral(", "))),
                   {logKey}))
        return fail(QStringLiteral("cannot read"), sql::ErrorText(query.lastError()));
    const QList<RecordColumn>& columns = RecordColumns();
    while (query.next()) {
        ChipRecord record;
        record.id = -query.value(0).toLongLong();
        for (int i = 0; i < columns.size(); ++i)
            columns[i].set(record, query.value(i + 1));
        out->append(record);
    }
    return Status::Ok();
}

Status LogJournal::remove(const QString& logKey, const QString& uid) {
    if (const Status opened = open(false); !opened)
        return opened;
    QSqlQuery query(db);
    if (!sql::Exec(query, QStringLiteral("DELETE FROM journal WHERE log = ? AND record_uid = ?"),
                   {logKey, uid}))
        return fail(QStringLiteral("cannot clear a record sent on"),
                    sql::ErrorText(query.lastError()));
    return Status::Ok();
}

} // namespace varn
