#include "ui/mdimain.h"

#include <QApplication>
#include <QDir>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    varn::AppState state;
    // Configuration comes from the folder the program is started in.
    auto window = varn::StartUp(state, QDir::currentPath());
    if (!window)
        return 1;
    return app.exec();
}
