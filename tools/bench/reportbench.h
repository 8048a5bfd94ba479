#pragma once

#include "report.h"

namespace varn::bench {

// varn-cli report's figures (ProductionLog::report) over a log seeded with
// records chips of a line (20 lots, 4 stations, some failures and
// interrupted chips): the whole log and one lot, SQLite and PostgreSQL.
void MeasureReport(Table& table, int records);

} // namespace varn::bench
