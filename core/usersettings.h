#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>

namespace varn {

class AppState;

// Settings the three configuration files have no room for live in one INI
// file beside them, so that varn.cfg, varn.dev and auto.cfg keep their exact
// format for the scripts and tools that read them. Keys are grouped by feature
// ("editor/...", "device/...", "log/..."); a missing file or key reads as the
// default, so an old working folder behaves as before.
inline constexpr const char* UserSettingsFileName = "varn.ini";

class UserSettings {
public:
    explicit UserSettings(const AppState& state);
    explicit UserSettings(const QString& path);

    QVariant value(const QString& key, const QVariant& fallback = {}) const;
    void setValue(const QString& key, const QVariant& value);
    // Writes pending changes; false (with a reason) when the file cannot be written.
    bool sync(QString* error = nullptr);
    QString path() const { return settings.fileName(); }

private:
    QSettings settings;
};

} // namespace varn
