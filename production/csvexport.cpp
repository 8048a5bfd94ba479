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

QByteArray CsvHeaderLine() {
    return ExportColumnNames().join(QLatin1Char(',')).toUtf8() + "\r\n";
}

void AppendCsvLine(QByteArray& csv, const ChipRecord& record) {
    csv += QByteArray::number(record.id);
    for (const RecordColumn& column : RecordColumns()) {
        csv += ',';
        csv += field(column.text(record));
    }
    csv += "\r\n";
}

QByteArray RecordsToCsv(const QList<ChipRecord>& records) {
    QByteArray csv = CsvHeaderLine();
    for (const ChipRecord& record : records)
        AppendCsvLine(csv, record);
    return csv;
}

} // namespace varn
