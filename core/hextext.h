#pragma once

#include "status.h"

#include <QString>
#include <optional>

namespace varn {

// Two upper-case hex digits for 0..255.
QString HexByte(int value);
// At least four upper-case hex digits; negative values as their 32-bit
// two's complement (-1 gives FFFFFFFF).
QString HexWord(qint32 value);

// 0..15 for a hex digit of either case, -1 for any other character.
int HexDigitValue(QChar c);

// Lenient reading of typed hex text: the leading hex digits up to the first
// other character ("1g" gives 1, "x5" and "" give 0). Empty optional when the
// value does not fit in 32 bits unsigned.
std::optional<quint32> LenientHex(const QString& text);

// Strict reading: one to four hex digits and nothing else, 0..65535.
std::optional<qint32> StrictHex(const QString& text);

// A load offset typed by the user: surrounding spaces ignored, empty gives 0,
// otherwise only hex digits, value taken unsigned (8000..FFFF stay positive);
// anything else fails with a message that says why.
Status ReadTypedOffset(const QString& text, qint64& value);

} // namespace varn
