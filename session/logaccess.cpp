#include "logaccess.h"

#include "production/csvexport.h"
#include "production/productionlog.h"

#include <QDir>

namespace varn {

QString LogLocationOrDefault(const QString& given, const QString& configDir) {
    if (!given.isEmpty())
        return given;
    return QDir(configDir).filePath(QString::fromLatin1(DefaultLogFileName));
}

Status ExportRecordsCsv(const QString& location, const QDateTime& from, const QDateTime& to,
                        QByteArray* csv, int* count) {
    Status opened;
    const std::unique_ptr<ProductionLog> log =
        ProductionLog::open(location, LogOpenOptions{}, &opened);
    if (!log)
        return Status::Fail(opened.message);
    QList<ChipRecord> records;
    if (const Status read = log->records(&records, from, to); !read)
        return read;
    *csv = RecordsToCsv(records);
    *count = int(records.size());
    return Status::Ok();
}

} // namespace varn
