#pragma once

#include "clioptions.h"
#include "core/appstate.h"
#include "jobs/productionjob.h"

namespace varn {

class CliConsole;

// --job FILE, before anything is sent: reads the job, refuses a command line
// that changes what the job fixes (usage status), takes the job's functions
// and options into options, and opens the job onto state (image checked
// against its SHA-256 and loaded, device selected). A job that cannot be
// opened is refused with ExitJob, and the refusal is recorded when --log is
// given. Also checks a job create command line. Returns ExitOk to go on.
int PrepareJob(AppState& state, CliOptions& options, CliConsole& console);

// The job a job create writes: the image file loaded last (path, as loaded
// with load), the buffer's device and CRC-32, and the command line's
// functions and options.
Status MakeJob(const AppState& state, const CliOptions& options, const QString& imagePath,
               const LoadOptions& load, const QString& jobPath, ProductionJob* job);

} // namespace varn
