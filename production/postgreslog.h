#pragma once

#include "sqllog.h"

#include <QTimer>
#include <functional>
#include <memory>

namespace varn {

// The log in a PostgreSQL database shared by the stations of a line. The
// URL's parameters (sslmode, ...) go to the driver; the server's notices are
// kept off standard error; a connection lost to a server restart is made
// again before a record goes to the journal.
class PostgresLog : public SqlLog {
public:
    ~PostgresLog() override;
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

private:
    bool listen();
    // Asks the server now and then whether it is still there: a LISTEN ends
    // with its connection, and nothing else would tell.
    void probe();

    std::function<void()> onChange;
    std::unique_ptr<QTimer> prober;
    bool heard = false; // the driver's notification is connected
};

} // namespace varn
