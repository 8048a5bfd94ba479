#include "openlink.h"

#include "link/seriallink.h"

namespace varn {

namespace {

// "1".."8": a port number of the settings; anything else is a path.
bool IsPortNumberText(const QString& port) {
    return port.size() == 1 && port[0] >= QLatin1Char('1') && port[0] <= QLatin1Char('8');
}

} // namespace

std::unique_ptr<Transport> OpenUnitLink(const QString& port, const QString& appDir,
                                        Status* status) {
    auto link = std::make_unique<SerialLink>();
    *status =
        IsPortNumberText(port) ? link->open(port.toInt(), appDir) : link->openPath(port, port);
    return link;
}

} // namespace varn
