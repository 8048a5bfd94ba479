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
    if (LogEnabled(ini)) {
        settings.logLocation = ConfiguredLogLocation(state, ini);
        settings.serial = SerialSettings::load(ini);
    }
    return settings;
}

} // namespace varn
