#pragma once

#include "status.h"

#include <QString>

namespace varn {

// How much of the configuration (varn.cfg, varn.dev, auto.cfg) a folder holds.
// Only a folder with none of the three is a first start; a set that is
// incomplete or broken is the user's own and gets the start-up messages.
enum class ConfigFolder { Complete, Empty, Partial };
ConfigFolder InspectConfigFolder(const QString& dir);

// Creates dir when needed and copies the three files from defaultsDir into
// it. Refused (nothing written) unless dir holds none of them, so that a
// user's file is never replaced.
Status CreateConfiguration(const QString& dir, const QString& defaultsDir);

// The configuration the program ships: beside it in the build tree (demo/),
// else in the installed data folder (share/varn/demo).
QString DefaultsDir(const QString& programDir);

// The working folder of the menu entry: varn under the user's data folder
// (~/.local/share/varn, or $XDG_DATA_HOME/varn).
QString UserWorkDir();

} // namespace varn
