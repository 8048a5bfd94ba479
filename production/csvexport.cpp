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
    const QList<RecordColumn>& columns = RecordColumns();
    QByteArray csv;
    for (int i = 0; i < columns.size(); ++i)
        csv += (i ? "," : "") + QByteArray(columns[i].name);
    csv += "\r\n";
    for (const ChipRecord& record : records) {
        for (int i = 0; i < columns.size(); ++i) {
            const QVariant value = columns[i].get(record);
            csv += (i ? "," : "") + (value.isNull() ? QByteArray() : field(value.toString()));
        }
        csv += "\r\n";
    }
    return csv;
}

} // namespace varn
