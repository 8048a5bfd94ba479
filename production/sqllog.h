#pragma once

#include "csvexport.h"
#include "logjournal.h"
#include "productionlog.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <memory>

namespace varn {

namespace sql {
// The driver's reason for a failure, never empty.
QString ErrorText(const QSqlError& error);
// Runs sql; with values, prepared with them bound in order. Statements
// without values run as they are: PostgreSQL cannot prepare DDL.
bool Exec(QSqlQuery& query, const QString& sql, const QList<QVariant>& values = {});
} // namespace sql

// The production log in an SQL database through Qt SQL: the tables, the
// serial series, the records and the journal, written once for every
// database. A backend says how to connect and where its SQL differs
// (sqlitelog.h, postgreslog.h).
class SqlLog : public ProductionLog {
public:
    ~SqlLog() override;

    // Connects, checks, creates or upgrades the tables, and sends on what
    // waits in the journal (the returned message says so).
    Status connect(const LogLocation& location, const LogOpenOptions& options);

    const LogLocation& location() const override { return where; }
    Status createSeries(const SerialSettings& series) override;
    Status seriesList(QList<SerialSettings>* out) override;
    Status loadSeries(SerialSettings& serial) override;
    Status allocateSerial(const SerialSettings& serial, qint64* number) override;
    Status peekSerial(const SerialSettings& serial, qint64* number) override;
    Status createPool(const NumberPool& pool) override;
    Status poolList(QList<NumberPool>* out) override;
    Status allocatePoolNumber(const QString& pool, const QString& station, qint64* number) override;
    Status openRecord(ChipRecord& record) override;
    Status markRecord(ChipRecord& record) override;
    Status closeRecord(ChipRecord& record) override;
    Status writeRecord(ChipRecord& record) override;
    Status records(QList<ChipRecord>* out, const QDateTime& from = {},
                   const QDateTime& to = {}) override;
    Status eachRecord(const QDateTime& from, const QDateTime& to,
                      const std::function<Status(const ChipRecord&)>& take) override;
    Status csvLines(const QDateTime& from, const QDateTime& to, QByteArray& csv,
                    const std::function<Status()>& lineAdded) override;
    Status lastRecords(int count, QList<ChipRecord>* out) override;
    // In sqlreport.cpp, beside the report, whose filter they share.
    Status lastRecords(int count, const ReportFilter& filter, QList<ChipRecord>* out) override;
    Status unitActivity(const ReportFilter& window, const QDateTime& countFrom,
                        QList<UnitActivity>* out) override;
    // In sqlreport.cpp.
    Status report(const ReportFilter& filter, ProductionReport* out) override;
    Status sync(int* sent) override;

protected:
    SqlLog();

    // --- what a backend says ---------------------------------------------
    virtual QString driverName() const = 0;
    // The Debian package that brings the driver.
    virtual QString driverPackage() const = 0;
    // Names the database on db before it opens; refuses what must not be
    // opened (a file that does not exist, unless asked to create it).
    virtual Status configure(QSqlDatabase& db, const LogOpenOptions& options) = 0;
    // Right after each connection (and reconnection) opens: the session's
    // settings and checks. A failure's reason, or an empty string.
    virtual QString prepareConnection(QSqlDatabase& db) = 0;
    // The id column's definition.
    virtual QString idColumn() const = 0;
    virtual QString beginStatement() const { return QStringLiteral("BEGIN"); }
    // Appended to a SELECT that must lock the rows it reads.
    virtual QString lockClause() const { return QString(); }
    // Run first in the transaction that creates or upgrades the tables, so
    // that two stations starting together do not both do it.
    virtual QString schemaLock() const { return QString(); }
    // Whether the failure means the database is out of reach (the record
    // then waits in the journal) rather than that it refused the statement.
    virtual bool outOfReach(const QSqlError& error) = 0;
    // Whether the connection still answers; a backend whose connection can
    // drop (a server restart) reconnects when it does not.
    virtual bool answers() { return true; }
    // The log's name in the journal: the same log always has the same key.
    virtual QString journalKey() const = 0;
    // Run in the transaction that creates or upgrades the tables, after it:
    // what a backend needs so that watchChanges hears other stations' writes.
    virtual Status addChangeNotice(QSqlQuery& query) {
        Q_UNUSED(query);
        return Status::Ok();
    }
    // Hands take the rows of sql (values bound in order) as the database
    // holds them, where the driver can do so without Qt SQL's copy of every
    // value; false: it cannot, and *result is untouched.
    virtual bool eachStoredRow(const QString& sql, const QList<QVariant>& values,
                               const std::function<Status(const StoredValue*)>& take,
                               Status* result) {
        Q_UNUSED(sql);
        Q_UNUSED(values);
        Q_UNUSED(take);
        Q_UNUSED(result);
        return false;
    }

    // "Production log WHERE: what: reason".
    Status fail(const QString& what, const QString& reason) const;
    // True when the connection had dropped and is back.
    bool reconnectIfLost();

    QSqlDatabase db;
    LogLocation where;

private:
    Status failQuery(const QString& what, const QSqlQuery& query);
    // The WHERE condition of the records filter takes, its values appended.
    static QString filterWhere(const ReportFilter& filter, QList<QVariant>* values);
    bool begin();
    bool commit();
    void rollback();
    Status openConnection();
    // The connection, made again if it dropped; or the failure for what.
    Status ensureOpen(const QString& what);
    Status createOrUpgrade();
    Status upgradeToVersion2(QSqlQuery& query);
    Status upgradeToVersion3(QSqlQuery& query);
    Status upgradeToVersion4(QSqlQuery& query);
    void addViewIndexes(QSqlQuery& query);
    Status takePoolNumber(const QString& pool, const QString& station, qint64* number);
    Status select(const QString& sqlTail, const QList<QVariant>& values,
                  const std::function<Status(const ChipRecord&)>& take);
    Status insertOpen(const ChipRecord& record, qint64* id);
    Status storeClosed(const ChipRecord& record, qint64* id);
    Status takeSerial(const SerialSettings& serial, bool allocate, qint64* number);
    // Runs one write, reconnecting once when the connection dropped; when the
    // database stays out of reach the record goes to the journal.
    Status write(ChipRecord& record, const QString& what, bool open);
    Status sendJournal(int* sent);

    QString connectionName;
    LogOpenOptions openOptions;
    std::unique_ptr<LogJournal> journal;
    QSqlError lastFailure;
};

} // namespace varn
