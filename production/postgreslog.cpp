#include "postgreslog.h"

namespace varn {

Status PostgresLog::configure(QSqlDatabase& db, const LogOpenOptions&) {
    db.setHostName(where.host);
    if (where.port >= 0)
        db.setPort(where.port);
    db.setUserName(where.user);
    db.setDatabaseName(where.database);
    // libpq's "key='value'" pairs; Qt turns the ";" between them into spaces.
    QStringList options;
    bool timeout = false;
    for (const auto& [key, value] : where.parameters) {
        QString quoted = value;
        quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
            .replace(QLatin1Char('\''), QLatin1String("\\'"));
        options.append(QStringLiteral("%1='%2'").arg(key, quoted));
        timeout = timeout || key == QLatin1String("connect_timeout");
    }
    if (!timeout)
        options.prepend(QStringLiteral("connect_timeout=5"));
    db.setConnectOptions(options.join(QLatin1Char(';')));
    return Status::Ok();
}

QString PostgresLog::prepareConnection(QSqlDatabase& db) {
    // libpq prints the server's notices on standard error ("relation already
    // exists, skipping" on every run); a production line's output is its own.
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SET client_min_messages TO error")))
        return sql::ErrorText(query.lastError());
    return QString();
}

bool PostgresLog::outOfReach(const QSqlError&) {
    return !answers();
}

bool PostgresLog::answers() {
    if (!db.isOpen())
        return false;
    QSqlQuery query(db);
    return query.exec(QStringLiteral("SELECT 1"));
}

QString PostgresLog::journalKey() const {
    LogLocation key = where;
    key.parameters.clear();
    return key.text();
}

} // namespace varn
