#pragma once

#include "chipfield.h"
#include "chiprecord.h"
#include "core/status.h"
#include "productionreport.h"
#include "serialnumber.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <functional>
#include <memory>

namespace varn {

// The log's file name in the working folder when no other is given.
inline constexpr const char* DefaultLogFileName = "varn-log.sqlite";

// Where the log lives: an SQLite file, or a PostgreSQL database shared by the
// stations of a line, given as postgresql://user@host:port/dbname?param=value.
// A URL never carries a password: libpq takes it from PGPASSWORD or
// ~/.pgpass, so it is never written to a settings file or shown in a message.
struct LogLocation {
    bool postgres = false;
    QString path; // SQLite file
    QString user, host, database;
    int port = -1; // PostgreSQL's default when -1
    // Connection parameters after "?" (sslmode=require, ...), for the driver,
    // in the order given.
    QList<QPair<QString, QString>> parameters;

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
// sign in the URL's host encodes a socket folder, as libpq allows. Query
// parameters go to the driver; a password is refused, and no message repeats
// it.
Status ParseLogLocation(const QString& text, LogLocation* location);

// What the station itself puts into each record, besides what the run
// knows: the station's name (the host name when not set), the operator, the
// lot, the work order and the product. The desktop program keeps them in
// varn.ini ("record/station", "record/operator", "record/lot",
// "record/workOrder", "record/product"); varn-cli takes --station,
// --operator, --lot, --work-order and --product.
struct LineFields {
    QString station;
    QString operatorName;
    QString lot;
    QString workOrder;
    QString product;

    // The station's name as records carry it: the one set, or the host name.
    QString stationName() const;
    static LineFields load(const UserSettings& settings);
    void save(UserSettings& settings) const;
};

// The local journal: an SQLite file in the user's data folder
// (~/.local/share/varn/journal.sqlite on Linux).
QString DefaultJournalPath();

struct LogOpenOptions {
    // A log file that does not exist is created only when asked, so that a
    // mistyped path cannot start a new numbering; a PostgreSQL database gets
    // its tables either way (it exists on purpose).
    bool create = false;
    // Where records go while the database cannot be reached; empty: the
    // default journal. Records waiting there for this log are sent on when
    // it opens.
    QString journalPath;
    bool useJournal = true;
    // Only to be read from end to end (an export): SQLite skips the whole
    // file's check at open, since reading every row meets any damage that
    // matters to it, and a long log's check costs as much as a third of
    // the export.
    bool readThrough = false;
};

// The production log. SQLite and PostgreSQL implement it (sqllog.h); a third
// backend is one class more, and one line in open(). An object belongs to the
// thread that opened it and shares nothing with other objects: a program
// that runs units in several threads opens one log per thread. Every write
// is one transaction, so a run killed at any moment leaves only whole
// records. Every failure names the driver's reason.
class ProductionLog {
public:
    // 1: records written when the run ended. 2: records opened before the
    // first byte, spent numbers, named series, the fields a line needs.
    // 3: number pools and the chip's own fields in its record. 4: the image's
    // bytes outside the device.
    static constexpr int SchemaVersion = 4;

    virtual ~ProductionLog();

    // Opens the log the user named (file path or postgresql:// URL), and
    // creates or upgrades its tables. A file that does not exist is an error
    // unless options.create; a damaged SQLite file is refused here (PRAGMA
    // quick_check), before anything is sent to a unit. Records waiting in the
    // local journal for this log are sent on now: the status's message says
    // so (and why, when they cannot be). nullptr on failure.
    static std::unique_ptr<ProductionLog> open(const QString& location,
                                               const LogOpenOptions& options, Status* status);

    virtual const LogLocation& location() const = 0;

    // --- serial numbers ---------------------------------------------------
    // A new series; fails when the name is taken (a series is never changed
    // behind the back of the chips numbered from it).
    virtual Status createSeries(const SerialSettings& series) = 0;
    virtual Status seriesList(QList<SerialSettings>* out) = 0;
    // Fills serial's definition (first, step, maximum, length, encoding,
    // order) from the series it names; fails when the log has no such
    // series. Address and enabled stay as they are.
    virtual Status loadSeries(SerialSettings& serial) = 0;

    // Hands out the next number of the series serial names, in one
    // transaction that locks the series' row (SELECT ... FOR UPDATE), so two
    // stations never get the same number. A number given back (its chip
    // received no program byte) goes out again first. Fails when serial's
    // length, encoding or order differ from the series'.
    virtual Status allocateSerial(const SerialSettings& serial, qint64* number) = 0;
    // The number allocateSerial would hand out now, without handing it out
    // (for display: another station may take it first).
    virtual Status peekSerial(const SerialSettings& serial, qint64* number) = 0;

    // --- number pools -----------------------------------------------------
    // A new pool; fails when the name is taken.
    virtual Status createPool(const NumberPool& pool) = 0;
    virtual Status poolList(QList<NumberPool>* out) = 0;
    // Hands out the pool's next number in one transaction that locks the
    // pool's row, and notes it (with the station) among the pool's numbers,
    // where the database refuses it twice. A number handed out is spent,
    // whatever becomes of its chip: it never goes out again. Fails when the
    // pool is used up.
    virtual Status allocatePoolNumber(const QString& pool, const QString& station,
                                      qint64* number) = 0;

    // --- records ----------------------------------------------------------
    // Inserts the record as open before anything is sent to the unit; sets
    // record.id, uid and state. A record never closed (crash, kill -9, power
    // cut) reads as "interrupted" in every view and export. Ok with a
    // message: the database could not be reached and the record waits in the
    // local journal (record.id is then negative).
    virtual Status openRecord(ChipRecord& record) = 0;
    // The final state of a record opened before. A number whose chip received
    // no program byte (!record.programBytesSent) goes back to its series; a
    // spent number never does. The database enforces it: (series, serial) is
    // unique among records with programBytesSent (and open ones). Ok with a
    // message: kept in the local journal, to be sent on later.
    virtual Status closeRecord(ChipRecord& record) = 0;
    // Brings a record still open up to what its run has done so far: program
    // bytes sent, the functions begun, the address reached (failureAddress)
    // and the duration, so that a chip cut off from here on (kill -9, a power
    // cut) leaves a record that says what reached it. A record closed
    // meanwhile is left as it is. Ok with a message: kept in the local
    // journal, as openRecord.
    virtual Status markRecord(ChipRecord& record) = 0;
    // A record opened and closed at once (a chip refused before anything
    // was sent, or a run recorded at its end).
    virtual Status writeRecord(ChipRecord& record) = 0;

    // Records with from <= time < to (an invalid bound is open), oldest first.
    virtual Status records(QList<ChipRecord>* out, const QDateTime& from = {},
                           const QDateTime& to = {}) = 0;
    // The same records handed to take one at a time as the database gives
    // them, oldest first, none kept: memory does not grow with the log. A
    // failure take returns ends the reading and is returned as it is.
    virtual Status eachRecord(const QDateTime& from, const QDateTime& to,
                              const std::function<Status(const ChipRecord&)>& take) = 0;
    // The same records as CSV lines (csvexport.h) appended to csv, with
    // lineAdded called after each; a failure it returns ends the reading.
    virtual Status csvLines(const QDateTime& from, const QDateTime& to, QByteArray& csv,
                            const std::function<Status()>& lineAdded);
    // The last count records, newest first.
    virtual Status lastRecords(int count, QList<ChipRecord>* out) = 0;
    // The last count records filter takes, newest first.
    virtual Status lastRecords(int count, const ReportFilter& filter, QList<ChipRecord>* out) = 0;
    // Every unit (station and port) that recorded a chip within window's
    // times, and how many it recorded from countFrom on: one pass over the
    // window however fast the line writes.
    struct UnitActivity {
        QString station;
        QString port;
        qint64 since = 0;
    };
    virtual Status unitActivity(const ReportFilter& window, const QDateTime& countFrom,
                                QList<UnitActivity>* out) = 0;
    // The figures of the records filter takes, computed by the database.
    virtual Status report(const ReportFilter& filter, ProductionReport* out) = 0;

    // --- watching ---------------------------------------------------------
    // Calls changed, from this thread's event loop, soon after another
    // connection wrote to the log (records, series, pools), for a viewer that
    // shows the log as it grows. Several writes may come as one call.
    virtual Status watchChanges(const std::function<void()>& changed) = 0;

    // Sends on what waits in the local journal for this log; *sent: how many
    // records. Ok with nothing to send.
    virtual Status sync(int* sent) = 0;

protected:
    ProductionLog() = default;
    ProductionLog(const ProductionLog&) = delete;
    ProductionLog& operator=(const ProductionLog&) = delete;
};

} // namespace varn
