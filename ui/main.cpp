#include "core/firststart.h"
#include "core/wholefile.h"
#include "ui/appicon.h"
#include "ui/firststart.h"
#include "ui/mdimain.h"
#include "varn_version.h"
#include "widgets/messagebox.h"

#include <QApplication>
#include <QDir>

#include <cstdio>
#include <cstring>
#include <optional>

int main(int argc, char** argv) {
    // Answered before any window system is needed, so that it works from a
    // plain terminal or a package check.
    std::optional<QByteArray> workDir; // --workdir DIR
    bool userWorkDir = false;          // --user-workdir: the menu entry's folder
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("varn %s\n%s\n", VARN_VERSION, VARN_LICENCE_NOTE);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("Usage: varn [--workdir DIR | --user-workdir]\n"
                        "The desktop program for the VARN device programmer unit.\n\n"
                        "  --workdir DIR    read varn.cfg, varn.dev and auto.cfg from DIR\n"
                        "                   (default: the current folder)\n"
                        "  --user-workdir   use ~/.local/share/varn, filled with the default\n"
                        "                   configuration at its first start\n"
                        "  --version        print the version and the licence\n"
                        "  --help           print this text\n\n"
                        "varn-cli runs the same functions from the command line.\n");
            return 0;
        }
        if (std::strcmp(argv[i], "--workdir") == 0 && i + 1 < argc)
            workDir = QByteArray(argv[++i]);
        else if (std::strncmp(argv[i], "--workdir=", 10) == 0)
            workDir = QByteArray(argv[i] + 10);
        else if (std::strcmp(argv[i], "--user-workdir") == 0)
            userWorkDir = true;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(VARN_VERSION));
    // Every window, the dialogs too, shows the icon; the desktop matches the
    // windows to the menu entry (and its icon) by its name.
    QApplication::setWindowIcon(varn::AppIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral("varn"));
    const QString defaults = varn::DefaultsDir(QCoreApplication::applicationDirPath());
    // Configuration comes from the folder the program is started in, or the
    // one it is told.
    QString dir = workDir ? varn::DecodeFileName(*workDir) : QDir::currentPath();
    if (userWorkDir) {
        // The menu entry's folder belongs to the program: its first start
        // fills it with the defaults without asking.
        dir = varn::UserWorkDir();
        if (varn::InspectConfigFolder(dir) == varn::ConfigFolder::Empty) {
            if (const varn::Status made = varn::CreateConfiguration(dir, defaults); !made) {
                varn::ShowMessage(nullptr, QStringLiteral("VARN"), made.message,
                                  varn::MsgIcon::Critical);
                return 1;
            }
        }
    }
    varn::AppState state;
    QString folder;
    auto window = varn::StartInFolder(state, dir, defaults, varn::ChooseFolderDialog, &folder);
    if (!window)
        return 1;
    // Relative paths (file dialogs, comN links) follow the working folder.
    QDir::setCurrent(folder);
    return app.exec();
}
