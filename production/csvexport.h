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

} // namespace varn
