#pragma once

#include "core/appstate.h"
#include "core/differences.h"
#include "core/status.h"

#include <QString>

namespace varn {

// Compares the device's part of the buffer (the whole buffer when no device is
// selected) with an image file, loaded as a load would place it with
// state.FileOffset / state.BufferOffset into an otherwise empty buffer, so the
// file's missing bytes read as FF. With onlyImage, only the bytes the file
// defines are compared. The buffer is not changed; a file that cannot be
// loaded fails with the load's message.
Status CompareWithFile(const AppState& state, const QString& path, FileFormat format,
                       bool onlyImage, DifferenceReport& report);

} // namespace varn
