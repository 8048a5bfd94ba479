#pragma once

#include "core/status.h"
#include "production/chipfield.h"
#include "production/chiprecord.h"
#include "production/productionreport.h"
#include "production/serialnumber.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

namespace varn {

class ProductionLog;

// A line's log at a glance, for a viewer that only reads it (varn-cli
// serve). Each object is one JSON object of doc/json.md's "varn-cli serve".

// The record as log list --json shows it: the CSV export's columns that have
// a value, its id and its result.
QJsonObject RecordObject(const ChipRecord& record);

// One tile per station and port that recorded a chip in recent (its last
// few records, newest first): its state, its last chip, its pace and whether
// it has gone silent (quiet for longer than SilentCycles of its usual
// cycle). thisHour: the log's count of each unit's chips in now's hour; a
// unit missing from it is counted from its records in recent.
inline constexpr int SilentCycles = 3;
using UnitKey = QPair<QString, QString>; // station, port
QJsonArray UnitTiles(const QList<ChipRecord>& recent, const QHash<UnitKey, qint64>& thisHour,
                     const QDateTime& now);
// Chips, passed and first-pass yield for each of the 24 hours up to now's,
// oldest first; hours without chips included.
QJsonArray HourlyYield(const ProductionReport& report, const QDateTime& now);
// A series, or a pool, with the numbers it has left; low when less than a
// tenth of them is left.
QJsonObject SeriesObject(const SerialSettings& series, qint64 next);
QJsonObject PoolObject(const NumberPool& pool);

// The log's figures of the last 24 hours, read once after each change (and
// at once when opened), whatever the number of viewers: each view is a
// finished JSON document, handed out as it is.
class LogDashboard : public QObject {
    Q_OBJECT
public:
    static constexpr int ListedRecords = 50;
    // A unit's last records its pace is judged from.
    static constexpr int UnitRecords = 21;

    // Opens the log (never creating it, leaving the journal alone) and reads
    // it once. nullptr on failure.
    static std::unique_ptr<LogDashboard> open(const QString& location, Status* status);
    ~LogDashboard() override;

    // For tests: the time the figures are computed at (UTC).
    void setClock(std::function<QDateTime()> now);
    // Reads the log again; changed() follows when anything differs.
    Status refresh();
    // Follows other stations' writes from now on: PostgreSQL tells of them,
    // an SQLite file is asked once a second.
    Status watch();

    // "units", "yield", "failures", "series", "records", "interrupted":
    // that view's document; empty for another name.
    QByteArray view(const QString& name) const;
    // Every view in one object ("snapshot"), as the events carry it.
    QByteArray snapshot() const { return all; }
    // The last ListedRecords records filter takes, read now (a filter is a
    // viewer's own).
    Status records(const ReportFilter& filter, QByteArray* json);
    // The status of the last reading (a log that went away).
    const Status& lastStatus() const { return status; }
    // How often the views were read from the log so far (each read is one
    // snapshot, whatever the number of viewers).
    qint64 reads() const { return readCount; }

signals:
    void changed();

private:
    LogDashboard() = default;
    QJsonObject envelope(const char* type) const;
    void publish(QHash<QString, QJsonObject> next);
    void retile();

    std::unique_ptr<ProductionLog> log;
    std::function<QDateTime()> clock;
    QList<ChipRecord> recent;
    QHash<UnitKey, qint64> chipsThisHour;
    QDateTime countedHour; // the hour chipsThisHour counts
    QHash<QString, QByteArray> views;
    QJsonObject tiles;
    QByteArray all;
    QTimer tick;
    QTimer settle;
    Status status;
    qint64 readCount = 0;
};

} // namespace varn
