#pragma once

#include "sqllog.h"

namespace varn {

// The log in a PostgreSQL database shared by the stations of a line. The
// URL's parameters (sslmode, ...) go to the driver; the server's notices are
// kept off standard error; a connection lost to a server restart is made
// again before a record goes to the journal.
class PostgresLog : public SqlLog {
public:
    Status watchChanges(const std::function<void()>& changed) override;

protected:
    Status addChangeNotice(QSqlQuery& query) override;
    QString driverName() const override { return QStringLiteral("QPSQL"); }
    QString driverPackage() const override { return QStringLiteral("libqt6sql6-psql"); }
    Status configure(QSqlDatabase& db, const LogOpenOptions& options) override;
    QString prepareConnection(QSqlDatabase& db) override;
    QString idColumn() const override { return QStringLiteral("id BIGSERIAL PRIMARY KEY"); }
    QString lockClause() const override { return QStringLiteral(" FOR UPDATE"); }
    QString schemaLock() const override {
        return QStringLiteral("SELECT pg_advisory_xact_lock(7310013)");
    }
    bool outOfReach(const QSqlError& error) override;
    bool answers() override;
    QString journalKey() const override;
};

} // namespace varn
