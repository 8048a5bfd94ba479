#include "cliprogrammer.h"

#include <QCoreApplication>

int main(int argc, char* argv[]) {
    // The link's waits run a local event loop; no windows are needed.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("varn-cli"));
    return varn::RunCli(QCoreApplication::arguments().mid(1));
}
