#pragma once

#include "cliconsole.h"
#include "clioptions.h"

namespace varn {

class JsonEvents;

// A command of the production log's own (series create, series list, log
// sync, log list, with export beside them): it needs neither the unit nor the
// configuration files.
bool OnlyLogCommands(const CliOptions& options);
// Runs them in order; stops at the first that fails. Returns the exit status.
int RunLogCommands(const CliOptions& options, CliConsole& console);
// Writes the log's records (--from/--to) as CSV to path, - for standard
// output, and tells json (when given) what went where. Returns the exit
// status.
int ExportRecords(const QString& location, const CliOptions& options, const QString& path,
                  CliConsole& console, JsonEvents* json);

} // namespace varn
