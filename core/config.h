#pragma once

#include "appstate.h"
#include "status.h"

namespace varn {

// File names inside AppDir.
inline constexpr const char* SettingsFileName = "varn.cfg";
inline constexpr const char* DeviceFileName = "varn.dev";
inline constexpr const char* AutoFileName = "auto.cfg";

// varn.cfg: PortNumber, DeviceCount, SelectedDevice, one decimal value per line.
Status LoadSettings(AppState& state);
Status SaveSettings(const AppState& state);
// varn.dev: DeviceCount entries of Name, Code, Size into DeviceTable[1..].
Status LoadDeviceTable(AppState& state);
// auto.cfg: AutoCount, then AutoList[1..AutoCount].
Status LoadAutoList(AppState& state);
Status SaveAutoList(const AppState& state);

// The start-up reading order: AppDir = dir, then varn.cfg, varn.dev, auto.cfg.
// A failure names the file, the entry or line, and the fault; the caller shows
// it and ends the program.
Status Main(AppState& state, const QString& dir);

} // namespace varn
