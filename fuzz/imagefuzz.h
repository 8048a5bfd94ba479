// Shared by the Intel HEX, S-record and ELF fuzz targets. Whatever the file
// holds, a failed load must leave the buffer as it was, a successful one may
// only store at buffer positions reachable from file addresses >= the file
// offset and must report exactly what it stored, and what is loaded must
// survive a save and a second load.
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

// The checks every addressed reader must pass. Input: one selector byte, then
// the file. What was loaded is saved in saveFormat (the whole device part, or
// only the image's bytes) and read back.
inline int FuzzImageReader(const uint8_t* data, size_t size, FileFormat format,
                           FileFormat saveFormat, const QString& ext) {
    if (size < 1)
        return 0;
    const quint8 selector = data[0];
    const QByteArray file(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    const QString path = WriteScratch(QStringLiteral("in.") + ext, file);

    auto state = std::make_unique<AppState>();
    LoadOptions options{format, image_detail::FileOffsets[selector & 7],
                        image_detail::BufferOffsets[(selector >> 3) & 7]};
    // Half the runs relocate by the lowest offset's worth, so that relocated
    // addresses below 0 are tried too.
    if (selector & 0x40)
        options.relocate = 0x100;
    image_detail::Pattern(*state);
    const auto before = state->Buffer;

    const LoadResult loaded = LoadImageFile(path, options, *state);
    if (!loaded.ok()) {
        VARN_FUZZ_CHECK(!loaded.status.message.isEmpty());
        VARN_FUZZ_CHECK(state->Buffer == before);
        VARN_FUZZ_CHECK(state->defined.none());
        return 0;
    }
    const qint64 lowest = options.fileOffset + options.bufferOffset;
    for (int i = 0; i < BufferSize && i < lowest; ++i)
        VARN_FUZZ_CHECK(state->Buffer[size_t(i)] == before[size_t(i)]);
    // The result tells exactly what was stored.
    VARN_FUZZ_CHECK(qint64(state->defined.count()) == loaded.bytesStored);
    for (const BufferRange& range : loaded.ranges)
        for (qint32 i = range.first; i <= range.last; ++i)
            VARN_FUZZ_CHECK(state->defined.test(size_t(i)));

    // Save the first bytes and read them back into a fresh buffer.
    if (selector & 0x80) {
        const bool definedOnly = selector & 0x40;
        state->DeviceTable[1] = DeviceEntry{QStringLiteral("F"), 1, image_detail::RoundTripSize};
        state->SelectedDevice = 1;
        const QString saved = ScratchDir() + QStringLiteral("/out.saved");
        VARN_FUZZ_CHECK(SaveImageFile(*state, saved, {saveFormat, definedOnly}).ok);
        auto again = std::make_unique<AppState>();
        again->Buffer.fill(0x00);
        VARN_FUZZ_CHECK(LoadImageFile(saved, {saveFormat}, *again).ok());
        for (int i = 0; i < image_detail::RoundTripSize; ++i) {
            const bool kept = !definedOnly || state->defined.test(size_t(i));
            VARN_FUZZ_CHECK(again->Buffer[size_t(i)] == (kept ? state->Buffer[size_t(i)] : 0x00));
            VARN_FUZZ_CHECK(again->defined.test(size_t(i)) == kept);
        }
        for (int i = image_detail::RoundTripSize; i < BufferSize; ++i)
            VARN_FUZZ_CHECK(again->Buffer[size_t(i)] == 0x00);
        if (definedOnly)
            VARN_FUZZ_CHECK(again->startAddress.value_or(0) == state->startAddress.value_or(0));
    }
    return 0;
}

} // namespace varn::fuzz
