#pragma once

#include "programmingsession.h"

namespace varn {

// How the desktop windows run a session: the reply policy and Only the Image,
// the production log and the serial numbers as varn.ini holds them, and the
// record's context from the main window.
SessionSettings DesktopSessionSettings(const AppState& state, const RunContext& context);

// The production log varn.ini names (whether or not runs are recorded), for
// the windows that read it.
QString DesktopLogLocation(const AppState& state);

} // namespace varn
