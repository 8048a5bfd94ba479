#pragma once

#include "core/appstate.h"
#include "core/differences.h"
#include "core/status.h"
#include "imagefiles.h"

#include <QString>

namespace varn {

// Compares the device's part of the buffer (the whole buffer when no device is
// selected) with an image file, loaded as a load with these options would
// place it into an otherwise empty buffer, so the file's missing bytes read as
// FF. With onlyImage, only the bytes the file defines are compared. The
// buffer is not changed; a file that cannot be loaded fails with the load's
// message, and a load that left data out succeeds with that notice as the
// message. loaded, when given, receives the whole load result.
Status CompareWithFile(const AppState& state, const QString& path, const LoadOptions& options,
                       bool onlyImage, DifferenceReport& report, LoadResult* loaded = nullptr);

} // namespace varn
