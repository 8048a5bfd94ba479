#include "crc32.h"

#include "appstate.h"

#include <algorithm>
#include <array>

namespace varn {

namespace {
// Eight tables let the loop take eight bytes a step ("slicing by 8"); a 64 KiB
// buffer then costs well under a millisecond, so the figure can be refreshed
// after every edit.
using Tables = std::array<std::array<quint32, 256>, 8>;

constexpr Tables MakeTables() {
    Tables t{};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (quint32 i = 0; i < 256; ++i)
        for (int s = 1; s < 8; ++s)
            t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    return t;
}

constexpr Tables Table = MakeTables();
} // namespace

quint32 Crc32(const quint8* data, std::size_t size, quint32 crc) {
    quint32 c = ~crc;
    while (size >= 8) {
        const quint32 lo = c ^ (quint32(data[0]) | quint32(data[1]) << 8 | quint32(data[2]) << 16 |
                                quint32(data[3]) << 24);
        c = Table[7][lo & 0xFF] ^ Table[6][(lo >> 8) & 0xFF] ^ Table[5][(lo >> 16) & 0xFF] ^
            Table[4][lo >> 24] ^ Table[3][data[4]] ^ Table[2][data[5]] ^ Table[1][data[6]] ^
            Table[0][data[7]];
        data += 8;
        size -= 8;
    }
    while (size--)
        c = Table[0][(c ^ *data++) & 0xFF] ^ (c >> 8);
    return ~c;
}

quint32 BufferCrc32(const AppState& state) {
    const qint32 size = std::clamp<qint32>(state.DeviceSize(), 0, BufferSize);
    return Crc32(state.Buffer.data(), static_cast<std::size_t>(size));
}

QString Crc32Text(quint32 crc) {
    return QStringLiteral("%1").arg(crc, 8, 16, QLatin1Char('0')).toUpper();
}

} // namespace varn
