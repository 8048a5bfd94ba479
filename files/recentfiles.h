#pragma once

#include "core/appstate.h"

#include <QString>
#include <QStringList>

namespace varn {

// The files last loaded or saved, newest first, and the folder the file
// dialogs start in; both kept in varn.ini so that they outlast the run.
class RecentFiles {
public:
    static constexpr int Max = 4;

    explicit RecentFiles(const AppState& state);

    const QStringList& Paths() const { return paths; }
    // The folder of the file last loaded or saved; empty before the first.
    QString LastFolder() const { return lastFolder; }
    // Puts path first (once), keeps Max, and writes the settings at once, so
    // a program that ends abnormally still remembers. False when the
    // settings file cannot be written (the list in memory is still updated).
    bool Add(const QString& path);

private:
    const AppState& state;
    QStringList paths;
    QString lastFolder;
};

} // namespace varn
