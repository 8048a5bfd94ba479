#pragma once

#include "report.h"

#include <QString>

namespace varn::bench {

// Each query of varn-cli serve's views on its own, over a log of records
// chips that ends now (SQLite and PostgreSQL). withIndexes false drops the
// indexes the log adds for its viewers, to show what they are worth. only:
// "sqlite" or "postgresql" for one of them.
void MeasureServeViews(Table& table, int records, bool withIndexes, const QString& only = {});

// varn-cli serve at work: the command started as a line starts it, writers
// stations each writing a chip a second through the log's own writes, and
// viewers listening to /api/events. The delay from each record's commit to
// its arrival at every viewer, and how often the server read the log for
// all of them (from its VARN_SERVE_TRACE lines).
void MeasureServeLive(Table& table, int writers, int viewers, int seconds, const QString& cliPath);

} // namespace varn::bench
