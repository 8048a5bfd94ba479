#pragma once

#include "report.h"

#include "core/status.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QString>

namespace varn::bench {

// varn-cli report's figures (ProductionLog::report) over a log seeded with
// records chips of a line (20 lots, 4 stations, some failures and
// interrupted chips): the whole log and one lot, SQLite and PostgreSQL.
void MeasureReport(Table& table, int records);

// varn-cli export of a log of records chips to a file and to standard
// output, beside sqlite3 -csv of the same table: wall time and peak memory.
void MeasureExport(Table& table, int records, const QString& cliPath);

// varn-cli serve: the time to read a snapshot after a change (every view at
// once) over a log of records chips that ends now, SQLite and PostgreSQL.
void MeasureServe(Table& table, int records);

// Adds records chips of a line (4 stations, 8 ports, lots of 5,000, one in
// 20 failed, one in 97 interrupted), one every 4 s from start, with the
// columns the log's own writes fill, in one transaction.
Status Seed(QSqlDatabase& db, int records, const QDateTime& start);

} // namespace varn::bench
