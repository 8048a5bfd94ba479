#pragma once

#include "cliconsole.h"
#include "clioptions.h"

namespace varn {

// The port serve listens on when --listen names none.
inline constexpr quint16 DefaultServePort = 8470;

// serve: the log at location over HTTP until SIGINT or SIGTERM. Prints the
// URL on standard output (the serving object with --json) once it listens.
// Returns the exit status: 0 after a signal, ExitUsage for a bad --listen or
// token, ExitLog when the log cannot be opened.
int ServeLog(const QString& location, const CliOptions& options, CliConsole& console);

} // namespace varn
