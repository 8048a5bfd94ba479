#include "logaccess.h"

#include "production/csvexport.h"
#include "production/productionlog.h"

#include <QDir>

#include <algorithm>

namespace varn {

QString LogLocationOrDefault(const QString& given, const QString& configDir) {
    if (!given.isEmpty())
        return given;
    return QDir(configDir).filePath(QString::fromLatin1(DefaultLogFileName));
}

namespace {

std::unique_ptr<ProductionLog> openLog(const QString& location, bool create, Status* status,
                                       bool readThrough = false) {
    LogOpenOptions options;
    options.create = create;
    options.readThrough = readThrough;
    return ProductionLog::open(location, options, status);
}

} // namespace

Status CreateSeriesIn(const QString& location, const SerialSettings& series) {
    Status status;
    const std::unique_ptr<ProductionLog> log = openLog(location, true, &status);
    if (!log)
        return status;
    if (const Status created = log->createSeries(series); !created)
        return created;
    return Status::Ok(QStringLiteral("Serial series %1 created in %2: %3")
                          .arg(series.name, log->location().text(),
                               SeriesLine(series).section(QLatin1String("  "), 1).trimmed()));
}

Status ListSeries(const QString& location, QList<SerialSettings>* series) {
    Status status;
    const std::unique_ptr<ProductionLog> log = openLog(location, false, &status);
    if (!log)
        return status;
    if (const Status read = log->seriesList(series); !read)
        return read;
    return status;
}

Status SeriesLines(const QString& location, QStringList* lines) {
    QList<SerialSettings> all;
    const Status status = ListSeries(location, &all);
    if (!status)
        return status;
    lines->clear();
    for (const SerialSettings& series : all)
        lines->append(SeriesLine(series));
    return status;
}

Status CreatePoolIn(const QString& location, const NumberPool& pool) {
    Status status;
    const std::unique_ptr<ProductionLog> log = openLog(location, true, &status);
    if (!log)
        return status;
    if (const Status created = log->createPool(pool); !created)
        return created;
    NumberPool fresh = pool;
    fresh.next = pool.first;
    return Status::Ok(QStringLiteral("Number pool %1 created in %2: %3")
                          .arg(pool.name, log->location().text(),
                               fresh.line().section(QLatin1String("  "), 1).trimmed()));
}

Status ListPools(const QString& location, QList<NumberPool>* pools) {
    Status status;
    const std::unique_ptr<ProductionLog> log = openLog(location, false, &status);
    if (!log)
        return status;
    if (const Status read = log->poolList(pools); !read)
        return read;
    return status;
}

Status PoolLines(const QString& location, QStringList* lines) {
    QList<NumberPool> all;
    const Status status = ListPools(location, &all);
    if (!status)
        return status;
    lines->clear();
    for (const NumberPool& pool : all)
        lines->append(pool.line());
    return status;
}

Status PeekNextNumbers(const QString& location, SerialSettings* serial,
                       std::optional<qint64>* nextSerial, QHash<QString, qint64>* poolNext) {
    LogOpenOptions options;
    options.useJournal = false;
    Status status;
    const std::unique_ptr<ProductionLog> log = ProductionLog::open(location, options, &status);
    if (!log)
        return status;
    if (serial && serial->enabled) {
        if (!serial->name.isEmpty())
            if (const Status loaded = log->loadSeries(*serial); !loaded)
                return loaded;
        qint64 number = -1;
        if (const Status peeked = log->peekSerial(*serial, &number); !peeked)
            return peeked;
        *nextSerial = number;
    }
    QList<NumberPool> pools;
    if (const Status read = log->poolList(&pools); !read)
        return read;
    for (const NumberPool& pool : std::as_const(pools))
        if (pool.next <= pool.last)
            poolNext->insert(pool.name, pool.next);
    return Status::Ok();
}

Status SyncJournal(const QString& location) {
    Status status;
    const std::unique_ptr<ProductionLog> log = openLog(location, false, &status);
    if (!log)
        return status;
    // Opening sends on what waits; what is left is why it could not be.
    int sent = 0;
    if (const Status synced = log->sync(&sent); !synced)
        return synced;
    if (status.message.isEmpty())
        status.message = QStringLiteral("Nothing waits in the local journal for %1.")
                             .arg(log->location().text());
    return status;
}

Status ListRecords(const QString& location, const QDateTime& from, const QDateTime& to, int count,
                   QList<ChipRecord>* records) {
    Status status;
    const std::unique_ptr<ProductionLog> log = openLog(location, false, &status);
    if (!log)
        return status;
    records->clear();
    const Status read = from.isValid() || to.isValid() ? log->records(records, from, to)
                                                       : log->lastRecords(count, records);
    if (!read)
        return read;
    if (!from.isValid() && !to.isValid())
        std::reverse(records->begin(), records->end());
    return status;
}

Status RecordLines(const QString& location, const QDateTime& from, const QDateTime& to, int count,
                   QStringList* lines) {
    QList<ChipRecord> records;
    const Status status = ListRecords(location, from, to, count, &records);
    if (!status)
        return status;
    const auto row = [](const QStringList& cells) {
        QString line = QStringLiteral("%1  %2  %3  %4  %5  %6")
                           .arg(cells[0], 6)
                           .arg(cells[1], -24)
                           .arg(cells[2], -16)
                           .arg(cells[3], -11)
                           .arg(cells[4], -16)
                           .arg(cells[5]);
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        return line;
    };
    lines->clear();
    lines->append(
        row({QStringLiteral("Id"), QStringLiteral("Started (UTC)"), QStringLiteral("Station"),
             QStringLiteral("Result"), QStringLiteral("Serial"), QStringLiteral("Failure")}));
    for (const ChipRecord& r : records) {
        const QString serial =
            r.serial >= 0 ? QStringLiteral("%1 %2").arg(r.serialSeries).arg(r.serial) : QString();
        const QString failure = r.passed || r.interrupted()
                                    ? QString()
                                    : r.failedStep + QStringLiteral(": ") + r.failureDetail;
        lines->append(row({QString::number(r.id), r.time.toString(Qt::ISODateWithMs), r.station,
                           r.resultText(), serial, failure}));
    }
    return status;
}

Status ExportCsv(const QString& location, const QDateTime& from, const QDateTime& to,
                 const std::function<Status(QByteArrayView)>& write, int* count) {
    *count = 0;
    Status status;
    const std::unique_ptr<ProductionLog> log = openLog(location, false, &status, true);
    if (!log)
        return status;
    // Lines are handed on in chunks: one call a line costs more than the line.
    constexpr qsizetype Chunk = 32 * 1024;
    QByteArray pending = CsvHeaderLine();
    pending.reserve(Chunk + 4096);
    const Status read = log->csvLines(from, to, pending, [&] {
        ++*count;
        if (pending.size() < Chunk)
            return Status::Ok();
        const Status written = write(pending);
        pending.resize(0); // keeps its room for the next chunk
        return written;
    });
    if (!read)
        return read;
    if (!pending.isEmpty())
        if (const Status written = write(pending); !written)
            return written;
    return status;
}

Status ReportOf(const QString& location, const ReportFilter& filter, ProductionReport* report) {
    Status status;
    const std::unique_ptr<ProductionLog> log = openLog(location, false, &status);
    if (!log)
        return status;
    if (const Status made = log->report(filter, report); !made)
        return made;
    return status;
}

} // namespace varn
