#include "appicon.h"

// The icons live in the library's resources; a static library needs them
// registered by hand.
static void initVarnResources() {
    Q_INIT_RESOURCE(varn);
}

namespace varn {

QIcon AppIcon() {
    initVarnResources();
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/varn-%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace varn
