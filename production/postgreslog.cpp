#include "postgreslog.h"

#include <QSqlDriver>
#include <QSqlQuery>
#include <dlfcn.h>

namespace varn {

namespace {

// libpq's notice processor, reached through the library the driver loaded:
// the log needs no libpq headers or link of its own.
using NoticeProcessor = void (*)(void*, const char*);
using SetNoticeProcessor = NoticeProcessor (*)(void*, NoticeProcessor, void*);

void dropNotice(void*, const char*) {}

// libpq prints what the server says outside a query (notices, "FATAL:
// terminating connection due to administrator command" when it restarts) on
// standard error; a production line's output is its own, and whatever matters
// comes back as an error of the statement that meets it.
void silenceNotices(const QSqlDatabase& db) {
    const QVariant handle = db.driver()->handle();
    if (qstrcmp(handle.typeName(), "PGconn*") != 0)
        return;
    static const SetNoticeProcessor setProcessor = [] {
        void* library = dlopen("libpq.so.5", RTLD_NOW | RTLD_NOLOAD);
        return library
                   ? reinterpret_cast<SetNoticeProcessor>(dlsym(library, "PQsetNoticeProcessor"))
                   : SetNoticeProcessor();
    }();
    void* connection = *static_cast<void* const*>(handle.constData());
    if (setProcessor && connection)
        setProcessor(connection, dropNotice, nullptr);
}

// The channel every station's writes are announced on. A statement-level
// trigger announces each write once, and the server folds the notices of one
// transaction into one.
constexpr const char* ChangeChannel = "varn_log_changed";
// How soon a restarted server is listened to again.
constexpr int ProbeIntervalMs = 1000;

} // namespace

Status PostgresLog::addChangeNotice(QSqlQuery& query) {
    // Added to a log of any version without changing it: a program that
    // knows nothing of the trigger reads and writes the log as before. A
    // station whose database user may not create triggers still opens the
    // log: the notice only serves the live view, which says what it lacks.
    if (!sql::Exec(query, QStringLiteral("SELECT COUNT(*) FROM pg_trigger WHERE tgname = "
                                         "'varn_log_changed_records'")) ||
        !query.next())
        return fail(QStringLiteral("cannot add the change notice"),
                    sql::ErrorText(query.lastError()));
    if (query.value(0).toInt() > 0)
        return Status::Ok();
    QStringList statements{
        QStringLiteral("CREATE OR REPLACE FUNCTION varn_log_changed() RETURNS trigger "
                       "LANGUAGE plpgsql AS $$ BEGIN PERFORM pg_notify('%1', TG_TABLE_NAME); "
                       "RETURN NULL; END $$")
            .arg(QLatin1String(ChangeChannel))};
    for (const char* table : {"chip_records", "serial_series", "serial_returned", "number_pools"})
        statements.append(QStringLiteral("CREATE OR REPLACE TRIGGER varn_log_changed_%1 AFTER "
                                         "INSERT OR UPDATE OR DELETE ON %2 FOR EACH STATEMENT "
                                         "EXECUTE FUNCTION varn_log_changed()")
                              .arg(QLatin1String(table).mid(QLatin1String(table).indexOf('_') + 1),
                                   QLatin1String(table)));
    // A refused statement spoils the transaction it is in; the savepoint
    // keeps the open's own work.
    if (!sql::Exec(query, QStringLiteral("SAVEPOINT varn_change_notice")))
        return fail(QStringLiteral("cannot add the change notice"),
                    sql::ErrorText(query.lastError()));
    for (const QString& statement : statements)
        if (!sql::Exec(query, statement)) {
            sql::Exec(query, QStringLiteral("ROLLBACK TO SAVEPOINT varn_change_notice"));
            break;
        }
    sql::Exec(query, QStringLiteral("RELEASE SAVEPOINT varn_change_notice"));
    return Status::Ok();
}

PostgresLog::~PostgresLog() = default;

Status PostgresLog::watchChanges(const std::function<void()>& changed) {
    // Without the trigger nothing would ever be heard: the view would stand
    // still while the line goes on.
    QSqlQuery query(db);
    if (!sql::Exec(query, QStringLiteral("SELECT COUNT(*) FROM pg_trigger WHERE tgname = "
                                         "'varn_log_changed_records'")) ||
        !query.next())
        return fail(QStringLiteral("cannot be watched"), sql::ErrorText(query.lastError()));
    if (query.value(0).toInt() == 0)
        return fail(QStringLiteral("cannot be watched"),
                    QStringLiteral("it has no change notice (its owner adds it by opening the "
                                   "log once with varn-cli, e.g. varn-cli --log URL series list)"));
    onChange = changed;
    if (!listen())
        return fail(QStringLiteral("cannot be watched"), sql::ErrorText(db.driver()->lastError()));
    prober = std::make_unique<QTimer>();
    prober->setInterval(ProbeIntervalMs);
    QObject::connect(prober.get(), &QTimer::timeout, [this] { probe(); });
    prober->start();
    return Status::Ok();
}

bool PostgresLog::listen() {
    QSqlDriver* driver = db.driver();
    if (!db.isOpen() || !driver->subscribeToNotification(QLatin1String(ChangeChannel)))
        return false;
    // The driver outlives its connections: connected once, it hears every
    // LISTEN made on it.
    if (!heard)
        QObject::connect(driver, &QSqlDriver::notification, driver, [this](const QString& name) {
            if (name == QLatin1String(ChangeChannel) && onChange)
                onChange();
        });
    heard = true;
    return true;
}

void PostgresLog::probe() {
    // A connection made again by any statement (a viewer's filtered list)
    // has no LISTEN either: the driver forgets it when the connection closes.
    const bool back = reconnectIfLost();
    if (!db.isOpen() ||
        (!back && db.driver()->subscribedToNotifications().contains(QLatin1String(ChangeChannel))))
        return;
    // Writes made while nobody listened were never announced: read again.
    if (listen() && onChange)
        onChange();
}

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
    silenceNotices(db);
    // Nor does the server send what a run need not hear ("relation already
    // exists, skipping" on every run).
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
