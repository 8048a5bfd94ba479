#pragma once

#include "report.h"

namespace varn::bench {

// The cost of one production log record, durable (committed to disk when the
// call returns): SQLite in WAL mode with synchronous=FULL in a folder on the
// benchmark's file system, and PostgreSQL on a throwaway local server with
// fsync on. Also one serial number allocation, the other write a run makes.
void MeasureProductionLog(Table& table, int records);

} // namespace varn::bench
