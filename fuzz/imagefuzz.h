// Shared by the Intel HEX and S-record fuzz targets. Whatever the file
// holds, a failed load must leave the buffer as it was, a successful one may
// only store at buffer positions reachable from file addresses >= FileOffset,
// and what is loaded must survive a save and a second load.
#pragma once

#include "fuzzsupport.h"

#include "core/appstate.h"
#include "files/imagefiles.h"

#include <array>
#include <cstdint>
#include <memory>

namespace varn::fuzz {

namespace image_detail {

constexpr qint64 FileOffsets[8] = {0, 1, 0x10, 0x100, 0x8000, 0xFFFF, 0x10000, 0xFFFFFFFF};
constexpr qint64 BufferOffsets[8] = {0, 1, 0x0F, 0x1000, 0x8000, 0xFFFF, 0x10000, BufferLast};
constexpr qint32 RoundTripSize = 1024;

inline void Pattern(AppState& state) {
    static const auto pattern = [] {
        std::array<quint8, BufferSize> bytes;
        for (int i = 0; i < BufferSize; ++i)
            bytes[size_t(i)] = quint8(i * 7 + 3);
        return bytes;
    }();
    state.Buffer = pattern;
}

} // namespace image_detail

// The checks both text readers must pass. Input: one selector byte, then the file.
template <typename Open, typename Save>
int FuzzImageReader(const uint8_t* data, size_t size, Open open, Save save, const QString& ext) {
    if (size < 1)
        return 0;
    const quint8 selector = data[0];
    const QByteArray file(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    const QString path = WriteScratch(QStringLiteral("in.") + ext, file);

    auto state = std::make_unique<AppState>();
    state->FileOffset = image_detail::FileOffsets[selector & 7];
    state->BufferOffset = image_detail::BufferOffsets[(selector >> 3) & 7];
    image_detail::Pattern(*state);
    const auto before = state->Buffer;

    const Status status = open(*state, path);
    if (!status) {
        VARN_FUZZ_CHECK(!status.message.isEmpty());
        VARN_FUZZ_CHECK(state->Buffer == before);
        return 0;
    }
    const qint64 lowest = state->FileOffset + state->BufferOffset;
    for (int i = 0; i < BufferSize && i < lowest; ++i)
        VARN_FUZZ_CHECK(state->Buffer[size_t(i)] == before[size_t(i)]);

    // Save the first bytes and read them back into a fresh buffer.
    if ((selector & 0xC0) == 0xC0) {
        state->DeviceTable[1] = DeviceEntry{QStringLiteral("F"), 1, image_detail::RoundTripSize};
        state->SelectedDevice = 1;
        const QString saved = ScratchDir() + QStringLiteral("/out.") + ext;
        VARN_FUZZ_CHECK(save(*state, saved).ok);
        auto again = std::make_unique<AppState>();
        again->Buffer.fill(0x00);
        VARN_FUZZ_CHECK(open(*again, saved).ok);
        for (int i = 0; i < image_detail::RoundTripSize; ++i)
            VARN_FUZZ_CHECK(again->Buffer[size_t(i)] == state->Buffer[size_t(i)]);
        for (int i = image_detail::RoundTripSize; i < BufferSize; ++i)
            VARN_FUZZ_CHECK(again->Buffer[size_t(i)] == 0x00);
    }
    return 0;
}

} // namespace varn::fuzz
