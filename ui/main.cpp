#include "ui/mdimain.h"
#include "varn_version.h"

#include <QApplication>
#include <QDir>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    // Answered before any window system is needed, so that it works from a
    // plain terminal or a package check.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("varn %s\n", VARN_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(VARN_VERSION));
    varn::AppState state;
    // Configuration comes from the folder the program is started in.
    auto window = varn::StartUp(state, QDir::currentPath());
    if (!window)
        return 1;
    return app.exec();
}
