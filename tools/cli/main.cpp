#include "cliprogrammer.h"
#include "core/wholefile.h"
#include "varn_version.h"

#include <QCoreApplication>

int main(int argc, char* argv[]) {
    // The link's waits run a local event loop; no windows are needed.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("varn-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VARN_VERSION));
    // QCoreApplication::arguments() would turn a file name that is not UTF-8
    // into another name.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << varn::DecodeFileName(QByteArray(argv[i]));
    return varn::RunCli(arguments);
}
