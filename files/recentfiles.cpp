#include "recentfiles.h"

#include "core/usersettings.h"

#include <QFileInfo>

namespace varn {

namespace {
const QString ListKey = QStringLiteral("editor/recentFiles");
const QString FolderKey = QStringLiteral("editor/lastFolder");
} // namespace

RecentFiles::RecentFiles(const AppState& appState) : state(appState) {
    const UserSettings settings(appState);
    paths = settings.value(ListKey).toStringList().mid(0, Max);
    paths.removeAll(QString());
    lastFolder = settings.value(FolderKey).toString();
}

bool RecentFiles::Add(const QString& path) {
    const QString full = QFileInfo(path).absoluteFilePath();
    paths.removeAll(full);
    paths.prepend(full);
    paths = paths.mid(0, Max);
    lastFolder = QFileInfo(full).absolutePath();
    UserSettings settings(state);
    settings.setValue(ListKey, paths);
    settings.setValue(FolderKey, lastFolder);
    return settings.sync();
}

} // namespace varn
