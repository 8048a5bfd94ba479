#include "firststart.h"

#include "core/config.h"
#include "core/firststart.h"
#include "widgets/messagebox.h"
#include "widgets/screenfit.h"

#include <QDir>

namespace varn {

QString ChooseFolderDialog(const QString& startDir) {
    return AskFolder(nullptr, QStringLiteral("Open a Working Folder"), startDir);
}

std::unique_ptr<mdiMain> StartInFolder(AppState& state, const QString& dir,
                                       const QString& defaultsDir, const FolderChooser& choose,
                                       QString* workDir) {
    const QString title = QStringLiteral("VARN");
    QString folder = QDir(dir).absolutePath();
    while (InspectConfigFolder(folder) == ConfigFolder::Empty) {
        const QString question =
            QStringLiteral("%1 holds no configuration (%2, %3, %4).\n\n"
                           "Create them there from the defaults in %5, or open another "
                           "folder that holds them?")
                .arg(QDir::toNativeSeparators(folder), QLatin1String(SettingsFileName),
                     QLatin1String(DeviceFileName), QLatin1String(AutoFileName),
                     QDir::toNativeSeparators(defaultsDir));
        const int answer = AskMessage(
            nullptr, title, question, MsgIcon::Information,
            {QStringLiteral("Create"), QStringLiteral("Open Folder..."), QStringLiteral("Quit")});
        if (answer == 0) {
            if (const Status created = CreateConfiguration(folder, defaultsDir); !created) {
                ShowMessage(nullptr, title, created.message, MsgIcon::Critical);
                return nullptr;
            }
            break;
        }
        const QString other = answer == 1 && choose ? choose(folder) : QString();
        if (other.isEmpty())
            return nullptr;
        folder = QDir(other).absolutePath();
    }
    if (workDir)
        *workDir = folder;
    return StartUp(state, folder);
}

} // namespace varn
