#include "csvexport.h"

namespace varn {

namespace {

QByteArray field(const QString& text) {
    QByteArray bytes = text.toUtf8();
    if (bytes.contains(',') || bytes.contains('"') || bytes.contains('\n') ||
        bytes.contains('\r')) {
        bytes.replace("\"", "\"\"");
        bytes = '"' + bytes + '"';
    }
    return bytes;
}

} // namespace

QByteArray RecordsToCsv(const QList<ChipRecord>& records) {
    QByteArray csv = ExportColumnNames().join(QLatin1Char(',')).toUtf8() + "\r\n";
    for (const ChipRecord& record : records) {
        csv += QByteArray::number(record.id);
        for (const RecordColumn& column : RecordColumns())
            csv += ',' + field(column.text(record));
        csv += "\r\n";
    }
    return csv;
}

} // namespace varn
