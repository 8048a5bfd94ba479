#pragma once

#include "files/loadedfile.h"
#include "jobs/productionjob.h"
#include "production/chippreview.h"
#include "programmingsession.h"

namespace varn {

// How the desktop windows run a session: the reply policy and Only the Image,
// the production log and the serial numbers as varn.ini holds them, and the
// record's context from the main window.
SessionSettings DesktopSessionSettings(const AppState& state, const RunContext& context);

// The production log varn.ini names (whether or not runs are recorded), for
// the windows that read it.
QString DesktopLogLocation(const AppState& state);

// What the next chip a session of settings programs would get besides the
// image: its fields, its serial series as the log holds it (only with the
// log on, as runs use it), the numbers the log would hand out next (peeked,
// never drawn), now as the time and its lot. *note (when given): why the
// log's numbers are unknown.
ChipPreviewSource SessionChipPreviewSource(const SessionSettings& settings,
                                           QString* note = nullptr);
// The same for the desktop windows' runs, as varn.ini sets them.
ChipPreviewSource DesktopChipPreviewSource(const AppState& state, QString* note = nullptr);

// File > Save Job: a job of loaded (the file loaded last, its bytes as the
// buffer holds them) with Only the Image and Allow Partial Image as given, and
// the reply time-out, retries and per-chip fields of varn.ini, written to
// path. Refused (nothing written) when the image does not fit the device.
Status SaveDesktopJob(const AppState& state, const LoadedFile& loaded, const QString& path,
                      bool onlyImage, bool allowPartial, ProductionJob* job);

} // namespace varn
