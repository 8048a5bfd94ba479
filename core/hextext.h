#pragma once

#include "status.h"

#include <QString>
#include <array>
#include <optional>

namespace varn {

// The digits of every hex text the program writes, upper case.
inline constexpr char HexDigits[] = "0123456789ABCDEF";

// Two upper-case hex digits for 0..255.
QString HexByte(int value);
// At least four upper-case hex digits; negative values as their 32-bit
// two's complement (-1 gives FFFFFFFF).
QString HexWord(qint32 value);

namespace detail {
constexpr std::array<qint8, 256> MakeDigitValues() {
    std::array<qint8, 256> table{};
    for (auto& v : table)
        v = -1;
    for (int c = '0'; c <= '9'; ++c)
        table[c] = static_cast<qint8>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c)
        table[c] = static_cast<qint8>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c)
        table[c] = static_cast<qint8>(c - 'a' + 10);
    return table;
}
// The value of every Latin-1 character read as a hex digit, -1 for others.
// The file readers look up every character of a record here.
inline constexpr std::array<qint8, 256> DigitValues = MakeDigitValues();
} // namespace detail

// 0..15 for a hex digit of either case, -1 for any other character.
inline int HexDigitValue(char c) {
    return detail::DigitValues[static_cast<unsigned char>(c)];
}
inline int HexDigitValue(QChar c) {
    return c.unicode() < 256 ? detail::DigitValues[c.unicode()] : -1;
}

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
