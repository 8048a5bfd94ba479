#include "recentfiles.h"

#include "core/usersettings.h"

#include <QFileInfo>

namespace varn {

namespace {
const QString ListKey = QStringLiteral("editor/recentFiles");
const QString FolderKey = QStringLiteral("editor/lastFolder");
} // namespace

RecentFiles::RecentFiles(const AppState& state) : m_state(state) {
    const UserSettings settings(state);
    m_paths = settings.value(ListKey).toStringList().mid(0, Max);
    m_paths.removeAll(QString());
    m_lastFolder = settings.value(FolderKey).toString();
}

bool RecentFiles::Add(const QString& path) {
    const QString full = QFileInfo(path).absoluteFilePath();
    m_paths.removeAll(full);
    m_paths.prepend(full);
    m_paths = m_paths.mid(0, Max);
    m_lastFolder = QFileInfo(full).absolutePath();
    UserSettings settings(m_state);
    settings.setValue(ListKey, m_paths);
    settings.setValue(FolderKey, m_lastFolder);
    return settings.sync();
}

} // namespace varn
