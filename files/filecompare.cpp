#include "filecompare.h"

#include <bitset>
#include <memory>
#include <vector>

namespace varn {

Status CompareWithFile(const AppState& state, const QString& path, const LoadOptions& options,
                       bool onlyImage, DifferenceReport& report, LoadResult* loadedOut) {
    // A scratch buffer with nothing defined, so the file's missing bytes read as FF.
    std::vector<quint8> bytes(BufferSize, 0xFF);
    auto defined = std::make_unique<std::bitset<BufferSize>>();
    LoadResult loaded = LoadImageFile(path, options, ImageTarget{bytes.data(), defined.get()});
    const Status status = loaded.status.ok ? Status::Ok(loaded.leftOut) : loaded.status;
    if (loaded.ok()) {
        const qint32 size =
            state.DeviceSize() > 0 ? std::min(state.DeviceSize(), BufferSize) : BufferSize;
        report = CompareImages(state.Buffer.data(), bytes.data(), size,
                               onlyImage ? defined.get() : nullptr);
    }
    if (loadedOut)
        *loadedOut = std::move(loaded);
    return status;
}

} // namespace varn
