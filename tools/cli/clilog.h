#pragma once

#include "cliconsole.h"
#include "clioptions.h"

namespace varn {

// A command of the production log's own (series create, series list, log
// sync, log list, with export beside them): it needs neither the unit nor the
// configuration files.
bool OnlyLogCommands(const CliOptions& options);
// Runs them in order; stops at the first that fails. Returns the exit status.
int RunLogCommands(const CliOptions& options, CliConsole& console);

} // namespace varn
