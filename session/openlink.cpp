#include "openlink.h"

#include "link/openlink.h"
#include "link/seriallink.h"

namespace varn {

std::unique_ptr<Transport> OpenUnitLink(const QString& port, const QString& appDir,
                                        const LinkOptions& options, Status* status) {
    // A port number, a device path, tcp:// or rfc2217://: the link's factory.
    OpenedLink opened = OpenLink(port, appDir, options);
    *status = opened.status;
    if (opened.link)
        return std::move(opened.link);
    return std::make_unique<SerialLink>();
}

} // namespace varn
