#pragma once

#include "chiprecord.h"
#include "core/status.h"
#include "serialnumber.h"

#include <QDateTime>
#include <QList>
#include <QSqlDatabase>
#include <QString>

namespace varn {

// The log's file name in the working folder when no other is given.
inline constexpr const char* DefaultLogFileName = "varn-log.sqlite";

// Where the log lives: an SQLite file, or a PostgreSQL database shared by the
// stations of a line, given as postgresql://user@host:port/dbname. A URL
// never carries a password: libpq takes it from PGPASSWORD or ~/.pgpass, so
// it is never written to a settings file.
struct LogLocation {
    bool postgres = false;
    QString path; // SQLite file
    QString user, host, database;
    int port = -1; // PostgreSQL's default when -1

    // Path or URL as the user gave it (for settings and messages).
    QString text() const;
};

class AppState;
class UserSettings;

// The desktop program's log settings in varn.ini: "log/enabled" and
// "log/url" (a path or URL; empty means varn-log.sqlite in the working
// folder).
bool LogEnabled(const UserSettings& settings);
QString ConfiguredLogLocation(const AppState& state, const UserSettings& settings);

// Accepts a file path or a postgresql:// (or postgres://) URL; a percent
// sign in the URL's host encodes a socket folder, as libpq allows.
Status ParseLogLocation(const QString& text, LogLocation* location);

// One connection to the production log. An object belongs to the thread that
// opened it and shares nothing with other objects: a program that runs units
// in several threads opens one ProductionLog per thread (each gets a
// connection name of its own). Every write is one transaction, so a run
// killed at any moment leaves only whole records.
class ProductionLog {
public:
    static constexpr int SchemaVersion = 1;

    ProductionLog();
    ~ProductionLog();
    ProductionLog(const ProductionLog&) = delete;
    ProductionLog& operator=(const ProductionLog&) = delete;

    // Connects, and creates or upgrades the tables. SQLite runs in WAL mode
    // with synchronous=FULL: a record is on disk when writeRecord returns.
    Status open(const LogLocation& location);
    Status open(const QString& location);
    void close();
    bool isOpen() const { return db.isOpen(); }
    const LogLocation& location() const { return logLocation; }

    // Hands out the next number of the series in one transaction that locks
    // the series' counter row (SELECT ... FOR UPDATE), so two stations never
    // get the same number. A number given back by a failed chip's record
    // goes out again first.
    Status allocateSerial(const SerialSettings& settings, qint64* number);
    // The number allocateSerial would hand out now, without handing it out
    // (for display: another station may take it first).
    Status peekSerial(const SerialSettings& settings, qint64* number);

    // Stores one record. A failed run's serial number goes back to its series
    // in the same transaction, for the next chip.
    Status writeRecord(const ChipRecord& record);

    // Records with from <= time < to (an invalid bound is open), oldest first.
    Status records(QList<ChipRecord>* out, const QDateTime& from = {}, const QDateTime& to = {});
    // The last count records, newest first.
    Status lastRecords(int count, QList<ChipRecord>* out);

private:
    Status fail(const QString& what, const QString& reason);
    bool begin();
    bool commit();
    void rollback();
    Status createOrUpgrade();
    Status select(const QString& sqlTail, const QList<QVariant>& values, QList<ChipRecord>* out);

    QString connectionName;
    QSqlDatabase db;
    LogLocation logLocation;
};

} // namespace varn
