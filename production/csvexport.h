#pragma once

#include "chiprecord.h"

#include <QByteArray>
#include <QList>

namespace varn {

// The records as CSV for a spreadsheet: a header line of the log's column
// names, then one line per record, fields quoted where RFC 4180 asks for it,
// lines ended by CR LF, UTF-8.
QByteArray RecordsToCsv(const QList<ChipRecord>& records);

} // namespace varn
