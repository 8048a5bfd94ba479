#include "desktopsettings.h"

#include "core/usersettings.h"
#include "production/productionlog.h"

namespace varn {

SessionSettings DesktopSessionSettings(const AppState& state, const RunContext& context) {
    const UserSettings ini(state);
    SessionSettings settings;
    settings.functions = SettingsFunctionOptions(ini);
    settings.context = context;
    settings.context.fields = LineFields::load(ini);
    // A field that does not read refuses every chip: none is programmed
    // without it.
    const QStringList fields = ini.value(QStringLiteral("fields/list")).toStringList();
    if (const Status read = FieldsFromText(fields, &settings.fields); !read)
        settings.fieldsProblem = QStringLiteral("varn.ini fields/list: ") + read.message;
    if (LogEnabled(ini)) {
        settings.logLocation = ConfiguredLogLocation(state, ini);
        settings.serial = SerialSettings::load(ini);
    }
    return settings;
}

QString DesktopLogLocation(const AppState& state) {
    return ConfiguredLogLocation(state, UserSettings(state));
}

} // namespace varn
