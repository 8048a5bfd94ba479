#include "filecompare.h"

#include "imagefiles.h"

#include <memory>

namespace varn {

Status CompareWithFile(const AppState& state, const QString& path, FileFormat format,
                       bool onlyImage, DifferenceReport& report) {
    auto file = std::make_unique<AppState>(); // 70 kB: not on the stack
    file->FileOffset = state.FileOffset;
    file->BufferOffset = state.BufferOffset;
    const Status loaded = OpenImageFile(*file, format, path);
    if (!loaded)
        return loaded;
    const qint32 size =
        state.DeviceSize() > 0 ? std::min(state.DeviceSize(), BufferSize) : BufferSize;
    report = CompareImages(state.Buffer.data(), file->Buffer.data(), size,
                           onlyImage ? &file->Defined : nullptr);
    return loaded;
}

} // namespace varn
