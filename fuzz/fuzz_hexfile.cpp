// The Intel HEX reader with every offset pair the load dialog can produce.
// Input: one selector byte, then the file. Whatever the file holds, a failed
// load must leave the buffer as it was, a successful one may only store at
// buffer positions reachable from file addresses >= FileOffset, and what is
// loaded must survive a save and a second load.
#include "fuzzsupport.h"

#include "core/appstate.h"
#include "files/imagefiles.h"

#include <array>
#include <cstdint>
#include <memory>

using namespace varn;

namespace {

constexpr qint64 FileOffsets[8] = {0, 1, 0x10, 0x100, 0x8000, 0xFFFF, 0x10000, 0xFFFFFFFF};
constexpr qint64 BufferOffsets[8] = {0, 1, 0x0F, 0x1000, 0x8000, 0xFFFF, 0x10000, BufferLast};
constexpr qint32 RoundTripSize = 1024;

void Pattern(AppState& state) {
    static const auto pattern = [] {
        std::array<quint8, BufferSize> bytes;
        for (int i = 0; i < BufferSize; ++i)
            bytes[size_t(i)] = quint8(i * 7 + 3);
        return bytes;
    }();
    state.Buffer = pattern;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const quint8 selector = data[0];
    const QByteArray file(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    const QString path = fuzz::WriteScratch(QStringLiteral("in.hex"), file);

    auto state = std::make_unique<AppState>();
    state->FileOffset = FileOffsets[selector & 7];
    state->BufferOffset = BufferOffsets[(selector >> 3) & 7];
    Pattern(*state);
    const auto before = state->Buffer;

    const Status status = OpenHexFile(*state, path);
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
        state->DeviceTable[1] = DeviceEntry{QStringLiteral("F"), 1, RoundTripSize};
        state->SelectedDevice = 1;
        const QString saved = fuzz::ScratchDir() + QStringLiteral("/out.hex");
        VARN_FUZZ_CHECK(SaveHexFile(*state, saved).ok);
        auto again = std::make_unique<AppState>();
        again->Buffer.fill(0x00);
        VARN_FUZZ_CHECK(OpenHexFile(*again, saved).ok);
        for (int i = 0; i < RoundTripSize; ++i)
            VARN_FUZZ_CHECK(again->Buffer[size_t(i)] == state->Buffer[size_t(i)]);
        for (int i = RoundTripSize; i < BufferSize; ++i)
            VARN_FUZZ_CHECK(again->Buffer[size_t(i)] == 0x00);
    }
    return 0;
}
