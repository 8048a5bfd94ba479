#include "hextext.h"

namespace varn {

QString HexByte(int value) {
    return QStringLiteral("%1").arg(value & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
}

QString HexWord(qint32 value) {
    // Negative values show their 32-bit two's complement, as the unit's
    // addresses never are negative this only matters for diagnostics.
    const quint32 bits = static_cast<quint32>(value);
    return QStringLiteral("%1").arg(bits, 4, 16, QLatin1Char('0')).toUpper();
}

} // namespace varn
