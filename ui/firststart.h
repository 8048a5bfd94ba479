#pragma once

#include "ui/mdimain.h"

#include <QString>
#include <functional>
#include <memory>

namespace varn {

// Lets the user pick a folder, starting in startDir; empty when cancelled.
// Tests answer it without a dialog.
using FolderChooser = std::function<QString(const QString& startDir)>;
// The folder dialog of the desktop.
QString ChooseFolderDialog(const QString& startDir);

// The program's start in dir. When dir holds none of the three configuration
// files, the user is asked whether to create them there from defaultsDir or
// to open another folder (asked again there when it holds none either).
// Otherwise, and once they are created, StartUp in that folder: a set that is
// incomplete or broken gets its start-up message, and nothing is written over
// a user's file. Null when the user quits or the start fails; the folder the
// program works in is left in *workDir.
std::unique_ptr<mdiMain> StartInFolder(AppState& state, const QString& dir,
                                       const QString& defaultsDir, const FolderChooser& choose,
                                       QString* workDir = nullptr);

} // namespace varn
