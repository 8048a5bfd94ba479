#pragma once

#include "sqllog.h"

#include <QTimer>

namespace varn {

// The log in an SQLite file: one station, or stations sharing a file on one
// machine. WAL mode with synchronous=FULL: a record is on disk when the call
// returns. A damaged file is refused at open (PRAGMA quick_check).
class SqliteLog : public SqlLog {
public:
    ~SqliteLog() override;
    Status watchChanges(const std::function<void()>& changed) override;

protected:
    QString driverName() const override { return QStringLiteral("QSQLITE"); }
    QString driverPackage() const override { return QStringLiteral("libqt6sql6-sqlite"); }
    Status configure(QSqlDatabase& db, const LogOpenOptions& options) override;
    QString prepareConnection(QSqlDatabase& db) override;
    QString idColumn() const override { return QStringLiteral("id INTEGER PRIMARY KEY"); }
    // Takes the write lock at once, so that two processes reading a counter
    // cannot both go on to write it.
    QString beginStatement() const override { return QStringLiteral("BEGIN IMMEDIATE"); }
    bool outOfReach(const QSqlError& error) override;
    QString journalKey() const override;
    bool eachStoredRow(const QString& sql, const QList<QVariant>& values,
                       const std::function<Status(const StoredValue*)>& take,
                       Status* result) override;

private:
    bool checkFile = true;
    std::unique_ptr<QTimer> watch;
    qint64 seenVersion = -1;
};

} // namespace varn
