#pragma once

#include <QString>

namespace varn {

// Where an installed program keeps its shared files, relative to the folder
// of the program itself (bin/ -> share/varn/), so that any install prefix works.
inline constexpr const char* InstalledDataDir = "../share/varn";

// A file that ships with the program (the help page): beside the program in
// the build tree, else in the installed data folder. When neither holds it,
// the path beside the program, so that a message can name it.
QString FindDataFile(const QString& programDir, const QString& fileName);

} // namespace varn
