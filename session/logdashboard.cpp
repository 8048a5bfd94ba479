#include "logdashboard.h"

#include "production/productionlog.h"

#include <QJsonDocument>
#include <QMap>
#include <algorithm>

namespace varn {

namespace {

// The window every view but the record list looks back over.
constexpr qint64 WindowSecs = 24 * 3600;
// How often silence is judged again while the log stays still.
constexpr int TickMs = 5000;
// A station writes a chip in several statements (open, mark, close, its
// numbers), each announced on PostgreSQL: they are read as one change.
constexpr int SettleMs = 250;
// The intervals a unit's usual cycle is the median of.
constexpr int CycleSamples = 20;

QDateTime HourOf(const QDateTime& time) {
    const QDateTime utc = time.toUTC();
    return QDateTime(utc.date(), QTime(utc.time().hour(), 0), Qt::UTC);
}

QString isoTime(const QDateTime& time) {
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// What a failed chip's tile says: the cause in words, else the step.
QString reasonOf(const ChipRecord& record) {
    if (record.passed || record.interrupted())
        return QString();
    if (!record.failureDetail.isEmpty())
        return record.failureDetail;
    return record.failedStep;
}

qint64 numbersLeft(qint64 first, qint64 last, qint64 step, qint64 next) {
    const qint64 from = qMax(next, first);
    if (step <= 0 || from > last)
        return 0;
    return (last - from) / step + 1;
}

QJsonObject withLeft(QJsonObject object, qint64 total, qint64 left) {
    object.insert("total", total);
    object.insert("left", left);
    object.insert("low", left * 10 < total);
    return object;
}

} // namespace

QJsonObject RecordObject(const ChipRecord& record) {
    QJsonObject object;
    for (const RecordColumn& column : RecordColumns()) {
        if (const QString text = column.text(record); !text.isEmpty())
            object.insert(QLatin1String(column.name), text);
    }
    object.insert("id", record.id);
    // An open record reads "interrupted", as in the listing.
    object.insert("result", record.resultText());
    return object;
}

QJsonArray UnitTiles(const QList<ChipRecord>& recent, const QHash<UnitKey, qint64>& thisHour,
                     const QDateTime& now) {
    // Station, then port: a line's units stay in one place on the page.
    QMap<UnitKey, QList<const ChipRecord*>> units;
    for (const ChipRecord& record : recent)
        units[{record.station, record.port}].append(&record);
    const QDateTime hour = HourOf(now);
    QJsonArray tiles;
    for (auto unit = units.cbegin(); unit != units.cend(); ++unit) {
        const QList<const ChipRecord*>& chips = unit.value(); // newest first
        const ChipRecord& last = *chips.first();
        qint64 counted = 0;
        for (const ChipRecord* chip : chips)
            counted += chip->time >= hour ? 1 : 0;
        counted = thisHour.value(unit.key(), counted);
        // The median gap between starts: a break or a slow chip does not
        // make the unit's pace.
        QList<qint64> gaps;
        for (qsizetype i = 0; i + 1 < chips.size() && gaps.size() < CycleSamples; ++i)
            gaps.append(chips[i + 1]->time.msecsTo(chips[i]->time));
        std::sort(gaps.begin(), gaps.end());
        const qint64 cycleMs = gaps.isEmpty() ? -1 : gaps[gaps.size() / 2];
        const QDateTime lastActivity = last.interrupted() || !last.closedAt.isValid()
                                           ? last.time
                                           : qMax(last.time, last.closedAt);
        const qint64 quietMs = qMax<qint64>(0, lastActivity.msecsTo(now));
        const bool silent = cycleMs > 0 && quietMs > SilentCycles * cycleMs;
        const QString state = silent               ? QStringLiteral("silent")
                              : last.interrupted() ? QStringLiteral("programming")
                                                   : QStringLiteral("running");
        QJsonObject tile{{"station", unit.key().first},
                         {"port", unit.key().second},
                         {"state", state},
                         {"silent", silent},
                         {"lastRecordId", last.id},
                         {"lastResult", last.resultText()},
                         {"lastReason", reasonOf(last)},
                         {"lastAt", isoTime(lastActivity)},
                         {"secondsSinceLast", quietMs / 1000},
                         {"chipsThisHour", counted},
                         {"cycleSeconds", cycleMs > 0 ? QJsonValue(double(cycleMs) / 1000.0)
                                                      : QJsonValue(QJsonValue::Null)}};
        tiles.append(tile);
    }
    return tiles;
}

QJsonArray HourlyYield(const ProductionReport& report, const QDateTime& now) {
    QHash<QString, QPair<qint64, qint64>> byHour;
    for (qsizetype i = 0; i < report.chipsByHour.size(); ++i)
        byHour.insert(report.chipsByHour[i].first,
                      {report.chipsByHour[i].second, report.passedByHour.value(i).second});
    QJsonArray hours;
    const QDateTime utc = now.toUTC();
    const QDateTime latest(utc.date(), QTime(utc.time().hour(), 0), Qt::UTC);
    for (int back = 23; back >= 0; --back) {
        const QString hour = latest.addSecs(-3600 * back).toString(QStringLiteral("yyyy-MM-ddTHH"));
        const auto [chips, passed] = byHour.value(hour);
        hours.append(
            QJsonObject{{"hour", hour},
                        {"chips", chips},
                        {"passed", passed},
                        {"yieldPercent", chips ? QJsonValue(100.0 * double(passed) / double(chips))
                                               : QJsonValue(QJsonValue::Null)}});
    }
    return hours;
}

QJsonObject SeriesObject(const SerialSettings& series, qint64 next) {
    const qint64 last = series.maximum();
    return withLeft(QJsonObject{{"name", series.series()},
                                {"first", series.first},
                                {"step", series.step},
                                {"last", last},
                                {"next", next}},
                    numbersLeft(series.first, last, series.step, series.first),
                    numbersLeft(series.first, last, series.step, next));
}

QJsonObject PoolObject(const NumberPool& pool) {
    return withLeft(QJsonObject{{"name", pool.name},
                                {"first", pool.first},
                                {"last", pool.last},
                                {"step", pool.step},
                                {"next", pool.next}},
                    numbersLeft(pool.first, pool.last, pool.step, pool.first),
                    numbersLeft(pool.first, pool.last, pool.step, pool.next));
}

std::unique_ptr<LogDashboard> LogDashboard::open(const QString& location, Status* status) {
    LogOpenOptions options;
    // A viewer sends nothing on: what waits in a journal is its station's.
    options.useJournal = false;
    std::unique_ptr<LogDashboard> dashboard(new LogDashboard);
    dashboard->log = ProductionLog::open(location, options, status);
    if (!dashboard->log)
        return nullptr;
    dashboard->clock = [] { return QDateTime::currentDateTimeUtc(); };
    if (const Status read = dashboard->refresh(); !read) {
        *status = read;
        return nullptr;
    }
    dashboard->tick.setInterval(TickMs);
    connect(&dashboard->tick, &QTimer::timeout, dashboard.get(), &LogDashboard::retile);
    dashboard->tick.start();
    return dashboard;
}

LogDashboard::~LogDashboard() = default;

void LogDashboard::setClock(std::function<QDateTime()> now) {
    clock = std::move(now);
}

QJsonObject LogDashboard::envelope(const char* type) const {
    return QJsonObject{
        {"type", QLatin1String(type)}, {"port", QJsonValue::Null}, {"time", isoTime(clock())}};
}

Status LogDashboard::refresh() {
    ++readCount;
    const QDateTime now = clock();
    ReportFilter window;
    window.from = now.addSecs(-WindowSecs);
    QList<ChipRecord> latest, interrupted;
    ProductionReport report;
    QList<SerialSettings> series;
    QList<NumberPool> pools;
    ReportFilter open = window;
    open.outcome = QStringLiteral("interrupted");
    // Each unit of the window by itself: a unit gone quiet for an hour
    // keeps its tile beside nineteen that write a chip a second.
    QList<ProductionLog::UnitActivity> units;
    countedHour = HourOf(now);
    status = log->unitActivity(window, countedHour, &units);
    recent.clear();
    chipsThisHour.clear();
    for (const ProductionLog::UnitActivity& unit : std::as_const(units)) {
        if (!status)
            break;
        ReportFilter mine = window;
        mine.station = unit.station;
        mine.port = unit.port;
        QList<ChipRecord> records;
        status = log->lastRecords(UnitRecords, mine, &records);
        // A filter passes over an empty name: the unit's own are kept.
        for (const ChipRecord& record : std::as_const(records))
            if (record.station == unit.station && record.port == unit.port)
                recent.append(record);
        chipsThisHour.insert({unit.station, unit.port}, unit.since);
    }
    if (status)
        status = log->report(window, &report);
    if (status)
        status = log->lastRecords(ListedRecords, ReportFilter{}, &latest);
    if (status)
        status = log->lastRecords(ListedRecords, open, &interrupted);
    if (status)
        status = log->seriesList(&series);
    if (status)
        status = log->poolList(&pools);
    if (!status)
        return status;

    QHash<QString, QJsonObject> next;
    QJsonObject yield = envelope("yield");
    yield.insert("hours", HourlyYield(report, now));
    yield.insert("chips", report.chips);
    yield.insert("passed", report.passed);
    yield.insert("firstPassYieldPercent", report.firstPassYield());
    next.insert(QStringLiteral("yield"), yield);

    QJsonObject failures = envelope("failures");
    QJsonArray kinds;
    for (const auto& [kind, count] : std::as_const(report.byKind))
        kinds.append(QJsonObject{{"kind", kind}, {"count", count}});
    failures.insert("failed", report.failed());
    failures.insert("interrupted", report.interrupted);
    failures.insert("kinds", kinds);
    next.insert(QStringLiteral("failures"), failures);

    QJsonArray seriesList, poolList;
    for (SerialSettings s : std::as_const(series)) {
        qint64 number = s.first;
        s.enabled = true;
        if (status = log->peekSerial(s, &number); !status)
            return status;
        seriesList.append(SeriesObject(s, number));
    }
    for (const NumberPool& pool : std::as_const(pools))
        poolList.append(PoolObject(pool));
    QJsonObject numbers = envelope("numbers");
    numbers.insert("series", seriesList);
    numbers.insert("pools", poolList);
    next.insert(QStringLiteral("series"), numbers);

    const auto listOf = [this](const char* type, const QList<ChipRecord>& records) {
        QJsonArray list;
        for (const ChipRecord& record : records)
            list.append(RecordObject(record));
        QJsonObject object = envelope(type);
        object.insert("records", list);
        return object;
    };
    next.insert(QStringLiteral("records"), listOf("records", latest));
    next.insert(QStringLiteral("interrupted"), listOf("interrupted", interrupted));
    publish(std::move(next));
    return status;
}

void LogDashboard::publish(QHash<QString, QJsonObject> next) {
    QJsonObject units = envelope("units");
    units.insert("silentCycles", SilentCycles);
    const QDateTime now = clock();
    units.insert("units",
                 UnitTiles(recent,
                           HourOf(now) == countedHour ? chipsThisHour : QHash<UnitKey, qint64>(),
                           now));
    tiles = units;
    next.insert(QStringLiteral("units"), units);
    QJsonObject snapshot = envelope("snapshot");
    views.clear();
    for (auto view = next.cbegin(); view != next.cend(); ++view) {
        views.insert(view.key(), compact(view.value()));
        snapshot.insert(view.key(), view.value());
    }
    all = compact(snapshot);
}

void LogDashboard::retile() {
    // Only the flags matter: seconds go on counting in the page itself.
    const auto flags = [](const QJsonArray& units) {
        QStringList out;
        for (const QJsonValue& unit : units)
            out << unit[QLatin1String("state")].toString();
        return out;
    };
    const QJsonArray before = tiles.value(QLatin1String("units")).toArray();
    const QDateTime now = clock();
    // Past the hour the log counted, a unit's chips are counted from its
    // records until the next change reads the log again.
    const QJsonArray after = UnitTiles(
        recent, HourOf(now) == countedHour ? chipsThisHour : QHash<UnitKey, qint64>(), now);
    if (flags(before) == flags(after))
        return;
    QHash<QString, QJsonObject> next;
    for (auto view = views.cbegin(); view != views.cend(); ++view)
        if (view.key() != QLatin1String("units"))
            next.insert(view.key(), QJsonDocument::fromJson(view.value()).object());
    publish(std::move(next));
    emit changed();
}

Status LogDashboard::watch() {
    settle.setSingleShot(true);
    settle.setInterval(SettleMs);
    connect(&settle, &QTimer::timeout, this, [this] {
        // A log that cannot be read now keeps its last figures on show.
        if (refresh())
            emit changed();
    });
    return log->watchChanges([this] {
        if (!settle.isActive())
            settle.start();
    });
}

QByteArray LogDashboard::view(const QString& name) const {
    return views.value(name);
}

Status LogDashboard::records(const ReportFilter& filter, QByteArray* json) {
    QList<ChipRecord> list;
    if (const Status read = log->lastRecords(ListedRecords, filter, &list); !read)
        return read;
    QJsonArray records;
    for (const ChipRecord& record : std::as_const(list))
        records.append(RecordObject(record));
    QJsonObject object = envelope("records");
    object.insert("records", records);
    *json = compact(object);
    return Status::Ok();
}

} // namespace varn
