#include "usersettings.h"

#include "appstate.h"

namespace varn {

UserSettings::UserSettings(const AppState& state)
    : UserSettings(state.ConfigPath(QString::fromLatin1(UserSettingsFileName))) {}

UserSettings::UserSettings(const QString& path) : settings(path, QSettings::IniFormat) {}

QVariant UserSettings::value(const QString& key, const QVariant& fallback) const {
    return settings.value(key, fallback);
}

void UserSettings::setValue(const QString& key, const QVariant& value) {
    settings.setValue(key, value);
}

bool UserSettings::sync(QString* error) {
    settings.sync();
    if (settings.status() == QSettings::NoError)
        return true;
    if (error)
        *error = QStringLiteral("Cannot write %1").arg(settings.fileName());
    return false;
}

} // namespace varn
