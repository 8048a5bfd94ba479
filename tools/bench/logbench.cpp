#include "logbench.h"

#include "production/productionlog.h"
#include "tools/pgserver/pgserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <algorithm>

namespace varn::bench {

namespace {

ChipRecord TypicalRecord(int i) {
    ChipRecord r;
    r.time = QDateTime::currentDateTimeUtc();
    r.station = QStringLiteral("bench");
    r.port = QStringLiteral("/dev/ttyUSB0");
    r.unitName = QStringLiteral("ABCD");
    r.unitVersion = QStringLiteral("2.1");
    r.deviceType = QStringLiteral("27C512");
    r.deviceSize = 65536;
    r.imageFile = QStringLiteral("firmware-rev-b.hex");
    r.imageCrc32 = 0xCBF43926u + quint32(i);
    r.imageChecksum = 0x0FA3;
    r.functions = {QStringLiteral("Erase"), QStringLiteral("Blank Check"),
                   QStringLiteral("Program"), QStringLiteral("Verify")};
    r.passed = true;
    r.serial = 1000 + i;
    r.serialSeries = QStringLiteral("1000+1");
    r.durationMs = 24000;
    r.programVersion = QStringLiteral("2.0");
    return r;
}

void Measure(Table& table, const QString& name, const QString& location, int records,
             const QString& target) {
    Status opened;
    LogOpenOptions options;
    options.create = true;
    options.useJournal = false;
    const std::unique_ptr<ProductionLog> log = ProductionLog::open(location, options, &opened);
    if (!log) {
        table.failed(name, opened.message);
        return;
    }
    SerialSettings serial;
    serial.enabled = true;
    serial.first = 1000;
    std::vector<double> write, allocate;
    for (int i = 0; i < records; ++i) {
        QElapsedTimer timer;
        timer.start();
        qint64 number = 0;
        if (const Status s = log->allocateSerial(serial, &number); !s) {
            table.failed(name, s.message);
            return;
        }
        allocate.push_back(double(timer.nsecsElapsed()));
        timer.restart();
        ChipRecord record = TypicalRecord(i);
        if (const Status s = log->writeRecord(record); !s) {
            table.failed(name, s.message);
            return;
        }
        write.push_back(double(timer.nsecsElapsed()));
    }
    std::vector<double> sorted = write;
    std::sort(sorted.begin(), sorted.end());
    const double p95 = sorted[size_t(double(sorted.size() - 1) * 0.95)];
    if (target.isEmpty())
        table.info(name + QStringLiteral(": one record"), DurationSpread(write));
    else
        table.target(name + QStringLiteral(": one record"), DurationSpread(write), target,
                     Median(write) < 20e6);
    table.info(QStringLiteral("  95th percentile of %1 records").arg(records), Duration(p95));
    table.info(QStringLiteral("  one serial number allocation"), DurationSpread(allocate));
}

} // namespace

void MeasureProductionLog(Table& table, int records) {
    table.section(QStringLiteral("Production log: durable record and serial number (%1 of each)")
                      .arg(records));
    // Beside the working folder, not in a RAM-backed /tmp: the figure is
    // about the disk the log will live on.
    QTemporaryDir dir(QDir::current().filePath(QStringLiteral("varn-bench-log-XXXXXX")));
    const QString fs = QString::fromLatin1(QStorageInfo(QDir::currentPath()).fileSystemType());
    Measure(table, QStringLiteral("SQLite, WAL, synchronous=FULL (%1)").arg(fs),
            dir.filePath(QStringLiteral("varn-log.sqlite")), records, QStringLiteral("< 20 ms"));

    PgServer server;
    server.setDurable(true);
    if (!server.start()) {
        table.failed(QStringLiteral("PostgreSQL, local throwaway server"), server.error());
        return;
    }
    Measure(table, QStringLiteral("PostgreSQL %1, 127.0.0.1, fsync on").arg(server.version()),
            server.url(), records, QString());
}

} // namespace varn::bench
