#pragma once

#include "chiprecord.h"

#include <QByteArray>
#include <QList>

namespace varn {

// The records as CSV for a spreadsheet: a header line of the log's column
// names (the record's id first), then one line per record, fields quoted where
// RFC 4180 asks for it, lines ended by CR LF, UTF-8. Bytes, addresses and
// CRCs are hexadecimal; a record never closed reads "interrupted".
QByteArray RecordsToCsv(const QList<ChipRecord>& records);
// The same in pieces, for an export that goes out as the log is read: the
// header line, then one record's line appended to csv.
QByteArray CsvHeaderLine();
void AppendCsvLine(QByteArray& csv, const ChipRecord& record);

// A value as the database holds it, borrowed from the database's own buffer.
struct StoredValue {
    enum class Type { Null, Integer, Text, Real, Blob };
    Type type = Type::Null;
    qint64 integer = 0;
    double real = 0;
    const char* bytes = nullptr; // Text (UTF-8) and Blob
    qsizetype size = 0;
};
// One record's line from its row as stored (id, then RecordColumns()'s
// order): byte for byte the line AppendCsvLine gives for the record the row
// reads as, without building the record for rows the log itself wrote. A
// long export spends most of its time turning values into records and back.
void AppendStoredCsvLine(QByteArray& csv, const StoredValue* row);

} // namespace varn
