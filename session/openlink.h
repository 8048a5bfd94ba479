#pragma once

#include "core/status.h"
#include "link/openlink.h"
#include "link/transport.h"

#include <QString>
#include <memory>

namespace varn {

// The link to the unit at a port as the user names it: a port number 1..8
// (the comN entry of appDir, or the system's port), a device path, or a
// network address (its latency allowance in `options`). The link belongs to
// the calling thread. On failure the status says why, in the words the port
// error message uses.
std::unique_ptr<Transport> OpenUnitLink(const QString& port, const QString& appDir,
                                        const LinkOptions& options, Status* status);

} // namespace varn
