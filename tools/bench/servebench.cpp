#include "servebench.h"

#include "reportbench.h"

#include "production/productionlog.h"
#include "session/logdashboard.h"
#include "tools/pgserver/pgserver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>

namespace varn::bench {

namespace {

constexpr double Ms = 1e6;

// The indexes the log adds for its viewers (SqlLog::addViewIndexes).
constexpr const char* ViewIndexes[] = {"chip_records_lot", "chip_records_station",
                                       "chip_records_open"};

struct ViewQuery {
    QString name;
    std::function<Status(ProductionLog&)> run;
};

Status Last(ProductionLog& log, const ReportFilter& filter) {
    QList<ChipRecord> out;
    return log.lastRecords(LogDashboard::ListedRecords, filter, &out);
}

ReportFilter Filter(const QString& lot, const QString& station, const QString& outcome) {
    ReportFilter filter;
    filter.lot = lot;
    filter.station = station;
    filter.outcome = outcome;
    return filter;
}

// Each statement LogDashboard::refresh makes, in the same words, and the
// filtered lists a viewer asks for.
QList<ViewQuery> Views(int records, const QDateTime& now) {
    ReportFilter day;
    day.from = now.addSecs(-24 * 3600);
    const QString newestLot = QStringLiteral("L%1").arg((records - 1) / 5000);
    return {
        {QStringLiteral("units: each unit of the last day, its last 21 records"),
         [day, now](ProductionLog& log) {
             QList<ProductionLog::UnitActivity> units;
             Status status = log.unitActivity(day, now.addSecs(-3600), &units);
             for (const ProductionLog::UnitActivity& unit : std::as_const(units)) {
                 ReportFilter mine = day;
                 mine.station = unit.station;
                 mine.port = unit.port;
                 QList<ChipRecord> out;
                 if (status)
                     status = log.lastRecords(LogDashboard::UnitRecords, mine, &out);
             }
             return status;
         }},
        {QStringLiteral("yield by hour + failures by kind (24 h report)"),
         [day](ProductionLog& log) {
             ProductionReport report;
             return log.report(day, &report);
         }},
        {QStringLiteral("series and pools, numbers left"),
         [](ProductionLog& log) {
             QList<SerialSettings> series;
             QList<NumberPool> pools;
             Status status = log.seriesList(&series);
             for (SerialSettings s : std::as_const(series)) {
                 qint64 next = 0;
                 s.enabled = true;
                 if (status)
                     status = log.peekSerial(s, &next);
             }
             return status ? log.poolList(&pools) : status;
         }},
        {QStringLiteral("last 50 records"), [](ProductionLog& log) { return Last(log, {}); }},
        {QStringLiteral("last 50, today's lot (%1)").arg(newestLot),
         [newestLot](ProductionLog& log) { return Last(log, Filter(newestLot, {}, {})); }},
        {QStringLiteral("last 50, an old lot (L7)"),
         [](ProductionLog& log) { return Last(log, Filter(QStringLiteral("L7"), {}, {})); }},
        {QStringLiteral("last 50, a lot with no records"),
         [](ProductionLog& log) { return Last(log, Filter(QStringLiteral("none"), {}, {})); }},
        {QStringLiteral("last 50, one station"),
         [](ProductionLog& log) { return Last(log, Filter({}, QStringLiteral("line-2"), {})); }},
        {QStringLiteral("last 50, outcome fail"),
         [](ProductionLog& log) { return Last(log, Filter({}, {}, QStringLiteral("fail"))); }},
        {QStringLiteral("last 50, old lot + station + fail"),
         [](ProductionLog& log) {
             return Last(log, Filter(QStringLiteral("L7"), QStringLiteral("line-0"),
                                     QStringLiteral("fail")));
         }},
        {QStringLiteral("interrupted (never closed), last 50"),
         [](ProductionLog& log) {
             return Last(log, Filter({}, {}, QStringLiteral("interrupted")));
         }},
    };
}

void ViewsOn(Table& table, const QString& name, const QString& location, QSqlDatabase db,
             int records, bool withIndexes) {
    LogOpenOptions options;
    options.create = true;
    options.useJournal = false;
    Status opened;
    std::unique_ptr<ProductionLog> log = ProductionLog::open(location, options, &opened);
    if (!log || !db.open()) {
        table.failed(name, log ? db.lastError().text() : opened.message);
        return;
    }
    SerialSettings series;
    series.name = QStringLiteral("board");
    series.first = 1000;
    series.limit = 999999;
    series.length = 4;
    NumberPool pool{QStringLiteral("mac"), 1, 2000000, 1, 1};
    if (const Status made = log->createSeries(series); !made) {
        table.failed(name, made.message);
        return;
    }
    if (const Status made = log->createPool(pool); !made) {
        table.failed(name, made.message);
        return;
    }
    QSqlQuery query(db);
    // The seeding connection's own cache: with SQLite's default of 2 MB, a
    // million rows into seven indexes spill to the disk for half an hour.
    if (db.driverName() == QLatin1String("QSQLITE"))
        query.exec(QStringLiteral("PRAGMA cache_size=-1000000"));
    QElapsedTimer seeding;
    seeding.start();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (const Status seeded = Seed(db, records, now.addSecs(-4LL * records)); !seeded) {
        table.failed(name, seeded.message);
        return;
    }
    // As the server's own statistics would have it after the load: without
    // them it guesses a table of a few pages.
    if (db.driverName() == QLatin1String("QPSQL"))
        query.exec(QStringLiteral("ANALYZE chip_records"));
    table.info(QStringLiteral("%1: seeding %2 records, one transaction").arg(name).arg(records),
               Duration(double(seeding.nsecsElapsed())));
    const std::unique_ptr<LogDashboard> dashboard = LogDashboard::open(location, &opened);
    if (!dashboard) {
        table.failed(name, opened.message);
        return;
    }
    if (!withIndexes)
        for (const char* index : ViewIndexes)
            query.exec(QStringLiteral("DROP INDEX IF EXISTS %1").arg(QLatin1String(index)));
    for (const ViewQuery& view : Views(records, now)) {
        std::vector<double> times;
        if (const Status read = TimeRuns(
                5, [&] { return view.run(*log); }, &times);
            !read) {
            table.failed(view.name, read.message);
            return;
        }
        table.target(QStringLiteral("%1: %2").arg(name, view.name), DurationSpread(times),
                     QStringLiteral("< 200 ms"), Median(times) < 200 * Ms);
    }
    std::vector<double> times;
    if (const Status read = TimeRuns(
            5, [&] { return dashboard->refresh(); }, &times);
        !read) {
        table.failed(name, read.message);
        return;
    }
    table.target(QStringLiteral("%1: whole snapshot of a change (all of the above)").arg(name),
                 DurationSpread(times), QStringLiteral("< 1 s"), Median(times) < 1000 * Ms);
}

// --- serve at work -----------------------------------------------------------

// A station's chip, as varn-cli writes it at the end of its run.
ChipRecord StationChip(const QString& station, int i) {
    ChipRecord r;
    r.station = station;
    r.port = QStringLiteral("COM1");
    r.lot = QStringLiteral("L1");
    r.deviceType = QStringLiteral("27C512");
    r.deviceSize = 65536;
    r.imageFile = QStringLiteral("firmware-rev-b.hex");
    r.functions = {QStringLiteral("Erase"), QStringLiteral("Program"), QStringLiteral("Verify")};
    r.programBytesSent = true;
    r.passed = i % 20 != 7;
    if (!r.passed) {
        r.failedStep = QStringLiteral("Verify");
        r.failure = ChipRecord::Failure::Mismatch;
        r.failureAddress = 0x100;
    }
    r.durationMs = 900;
    r.programVersion = QStringLiteral("2.0");
    return r;
}

struct Commits {
    std::mutex lock;
    std::map<qint64, qint64> atMs; // record id -> commit time
    QStringList errors;
};

// One station: its own connection, a chip a second, each noted once the
// write has returned (committed).
class Writer : public QThread {
public:
    Writer(QString where, QString name, int chips, int offsetMs, Commits& into)
        : location(std::move(where)), station(std::move(name)), count(chips), offset(offsetMs),
          commits(into) {}

protected:
    void run() override {
        LogOpenOptions options;
        options.useJournal = false;
        Status status;
        const std::unique_ptr<ProductionLog> log = ProductionLog::open(location, options, &status);
        if (!log) {
            const std::lock_guard<std::mutex> hold(commits.lock);
            commits.errors.append(status.message);
            return;
        }
        QThread::msleep(ulong(offset));
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < count; ++i) {
            const qint64 wait = qint64(i) * 1000 - clock.elapsed();
            if (wait > 0)
                QThread::msleep(ulong(wait));
            ChipRecord record = StationChip(station, i);
            status = log->writeRecord(record);
            const qint64 at = QDateTime::currentMSecsSinceEpoch();
            const std::lock_guard<std::mutex> hold(commits.lock);
            if (!status) {
                commits.errors.append(status.message);
                return;
            }
            commits.atMs[record.id] = at;
        }
    }

private:
    QString location, station;
    int count, offset;
    Commits& commits;
};

// One browser's stream: when each record id first reached it.
struct Viewer {
    std::unique_ptr<QTcpSocket> socket;
    QByteArray pending;
    int snapshots = 0;
    QHash<qint64, qint64> firstSeenMs;
};

// The ids a snapshot lists; every viewer gets the same bytes, read once.
const QList<qint64>& IdsOf(QHash<QByteArray, QList<qint64>>& known, const QByteArray& data) {
    auto it = known.find(data);
    if (it != known.end())
        return *it;
    QList<qint64> ids;
    const QJsonObject snapshot = QJsonDocument::fromJson(data).object();
    for (const QJsonValue& r : snapshot.value(QLatin1String("records"))
                                   .toObject()
                                   .value(QLatin1String("records"))
                                   .toArray())
        ids.append(r.toObject().value(QLatin1String("id")).toInteger());
    return *known.insert(data, ids);
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[size_t(double(values.size() - 1) * p)];
}

void LiveOn(Table& table, const QString& name, const QString& location, int writers,
            int viewerCount, int seconds, const QString& cliPath) {
    {
        LogOpenOptions options;
        options.create = true;
        options.useJournal = false;
        Status status;
        if (!ProductionLog::open(location, options, &status)) {
            table.failed(name, status.message);
            return;
        }
    }
    QProcess serve;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VARN_SERVE_TRACE"), QStringLiteral("1"));
    serve.setProcessEnvironment(environment);
    serve.start(cliPath, {QStringLiteral("--json"), QStringLiteral("--log"), location,
                          QStringLiteral("serve"), QStringLiteral("--listen"),
                          QStringLiteral("127.0.0.1:0")});
    QDeadlineTimer patience(10000);
    while (!serve.canReadLine() && !patience.hasExpired() && serve.state() != QProcess::NotRunning)
        serve.waitForReadyRead(100);
    const QUrl url(
        QJsonDocument::fromJson(serve.readLine()).object().value(QLatin1String("url")).toString());
    if (url.port() <= 0) {
        table.failed(name, QStringLiteral("varn-cli serve did not start: ") +
                               QString::fromLocal8Bit(serve.readAllStandardError()));
        return;
    }
    QByteArray trace;
    QObject::connect(&serve, &QProcess::readyReadStandardError,
                     [&] { trace += serve.readAllStandardError(); });

    std::vector<Viewer> viewers(static_cast<size_t>(viewerCount));
    QHash<QByteArray, QList<qint64>> known;
    const auto readViewer = [&known](Viewer& viewer) {
        viewer.pending += viewer.socket->readAll();
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        static const QByteArray Head = QByteArrayLiteral("event: snapshot\ndata: ");
        qsizetype end = 0;
        while ((end = viewer.pending.indexOf("\n\n")) >= 0) {
            const QByteArray event = viewer.pending.left(end);
            viewer.pending.remove(0, end + 2);
            const qsizetype at = event.indexOf(Head);
            if (at < 0)
                continue;
            ++viewer.snapshots;
            for (const qint64 id : IdsOf(known, event.mid(at + Head.size())))
                if (!viewer.firstSeenMs.contains(id))
                    viewer.firstSeenMs.insert(id, now);
        }
    };
    for (Viewer& viewer : viewers) {
        viewer.socket = std::make_unique<QTcpSocket>();
        QTcpSocket* socket = viewer.socket.get();
        QObject::connect(socket, &QTcpSocket::readyRead, socket,
                         [&viewer, &readViewer] { readViewer(viewer); });
        socket->connectToHost(QHostAddress::LocalHost, quint16(url.port()));
        socket->write("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: "
                      "text/event-stream\r\n\r\n");
    }
    const auto waitUntil = [](const std::function<bool()>& done, int ms) {
        QDeadlineTimer deadline(ms);
        while (!done() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        return done();
    };
    if (!waitUntil(
            [&] {
                return std::all_of(viewers.begin(), viewers.end(),
                                   [](const Viewer& v) { return v.snapshots > 0; });
            },
            20000)) {
        table.failed(name, QStringLiteral("not every viewer got its first snapshot"));
        return;
    }
    for (Viewer& viewer : viewers)
        viewer.snapshots = 0;
    trace.clear();

    Commits commits;
    std::vector<std::unique_ptr<Writer>> stations;
    for (int i = 0; i < writers; ++i) {
        stations.push_back(std::make_unique<Writer>(
            location, QStringLiteral("station-%1").arg(i + 1, 2, 10, QLatin1Char('0')), seconds,
            i * 1000 / writers, commits));
        stations.back()->start();
    }
    waitUntil(
        [&] {
            return std::all_of(stations.begin(), stations.end(),
                               [](const std::unique_ptr<Writer>& w) { return w->isFinished(); });
        },
        (seconds + 60) * 1000);
    // The last writes' snapshot, and a little more.
    waitUntil([] { return false; }, 3000);
    serve.terminate();
    serve.waitForFinished(5000);
    trace += serve.readAllStandardError();
    if (!commits.errors.isEmpty()) {
        table.failed(name, commits.errors.first());
        return;
    }

    std::vector<double> delays;
    qint64 missing = 0;
    int fewest = std::numeric_limits<int>::max(), most = 0;
    for (const Viewer& viewer : viewers) {
        fewest = std::min(fewest, viewer.snapshots);
        most = std::max(most, viewer.snapshots);
        for (const auto& [id, at] : commits.atMs) {
            const auto seen = viewer.firstSeenMs.constFind(id);
            if (seen == viewer.firstSeenMs.constEnd())
                ++missing;
            else
                delays.push_back(double(*seen - at) * Ms);
        }
    }
    // "varn-cli serve: snapshot sent to N viewers, R log reads" per snapshot.
    const QList<QByteArray> lines = trace.split('\n');
    qint64 firstReads = -1, lastReads = -1;
    int sent = 0;
    for (const QByteArray& line : lines) {
        const qsizetype at = line.indexOf(" viewers, ");
        if (!line.startsWith("varn-cli serve: snapshot sent") || at < 0)
            continue;
        const qint64 reads = line.mid(at + 10).split(' ').first().toLongLong();
        if (firstReads < 0)
            firstReads = reads;
        lastReads = reads;
        ++sent;
    }
    const qint64 changes = qint64(commits.atMs.size());
    // The first line's read is the first one of the run: reads before it
    // were the one at start.
    const qint64 reads = firstReads < 0 ? 0 : lastReads - firstReads + 1;
    table.info(QStringLiteral("%1: records committed by %2 stations in %3 s")
                   .arg(name)
                   .arg(writers)
                   .arg(seconds),
               QString::number(changes));
    table.target(QStringLiteral("  commit -> every viewer, max (%1 viewers)").arg(viewerCount),
                 Duration(delays.empty() ? 0 : *std::max_element(delays.begin(), delays.end())),
                 QStringLiteral("< 2 s"),
                 !delays.empty() && missing == 0 &&
                     *std::max_element(delays.begin(), delays.end()) < 2000 * Ms);
    table.info(QStringLiteral("  commit -> viewer, 95th percentile / median"),
               Duration(Percentile(delays, 0.95)) + QStringLiteral(" / ") +
                   Duration(Percentile(delays, 0.5)),
               QStringLiteral("%1 arrivals, %2 missed").arg(delays.size()).arg(missing));
    table.info(QStringLiteral("  snapshots sent / each viewer received"),
               QStringLiteral("%1 / %2 .. %3").arg(sent).arg(fewest).arg(most));
    table.target(
        QStringLiteral("  log reads for %1 changes, %2 viewers").arg(changes).arg(viewerCount),
        QStringLiteral("%1 (%2 per snapshot sent)")
            .arg(reads)
            .arg(sent ? double(reads) / sent : 0.0, 0, 'f', 2),
        QStringLiteral("<= 1 per snapshot, <= changes"),
        sent > 0 && reads <= sent && reads <= changes && fewest >= sent);
}

} // namespace

void MeasureServeViews(Table& table, int records, bool withIndexes, const QString& only) {
    table.section(QStringLiteral("varn-cli serve: each view's query over %1 records%2")
                      .arg(records)
                      .arg(withIndexes ? QString() : QStringLiteral(", without the view indexes")));
    QTemporaryDir dir;
    if (only != QLatin1String("postgresql")) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "views-seed");
        const QString path = dir.filePath(QStringLiteral("views.sqlite"));
        db.setDatabaseName(path);
        ViewsOn(table, QStringLiteral("SQLite"), path, db, records, withIndexes);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("views-seed"));
    if (only == QLatin1String("sqlite"))
        return;
    PgServer pg;
    if (!pg.start()) {
        table.failed(QStringLiteral("PostgreSQL"), pg.error());
        return;
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), "views-seed-pg");
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(pg.port());
        db.setUserName(QStringLiteral("postgres"));
        db.setDatabaseName(QStringLiteral("postgres"));
        ViewsOn(table, QStringLiteral("PostgreSQL ") + pg.version(), pg.url(), db, records,
                withIndexes);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("views-seed-pg"));
}

void MeasureServeLive(Table& table, int writers, int viewers, int seconds, const QString& cliPath) {
    table.section(
        QStringLiteral("varn-cli serve at work: %1 stations writing a chip a second, %2 viewers")
            .arg(writers)
            .arg(viewers));
    QTemporaryDir dir;
    LiveOn(table, QStringLiteral("SQLite"), dir.filePath(QStringLiteral("live.sqlite")), writers,
           viewers, seconds, cliPath);
    PgServer pg;
    // Commits as a line's server makes them: on the disk.
    pg.setDurable(true);
    if (!pg.start()) {
        table.failed(QStringLiteral("PostgreSQL"), pg.error());
        return;
    }
    LiveOn(table, QStringLiteral("PostgreSQL ") + pg.version(), pg.url(), writers, viewers, seconds,
           cliPath);
}

} // namespace varn::bench
