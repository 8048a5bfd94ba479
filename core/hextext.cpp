#include "hextext.h"

namespace varn {

namespace {

// Reads hex digits from the start of text up to the first other character.
// digits tells how many were taken; false when the value passes 32 bits.
bool LeadingHex(const QString& text, quint64& value, qsizetype& digits) {
    value = 0;
    digits = 0;
    for (const QChar c : text) {
        const int digit = HexDigitValue(c);
        if (digit < 0)
            break;
        value = value * 16 + quint64(digit);
        ++digits;
        if (value > 0xFFFFFFFFull)
            return false;
    }
    return true;
}

} // namespace

QString HexByte(int value) {
    return QStringLiteral("%1").arg(value & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
}

QString HexWord(qint32 value) {
    // Negative values show their 32-bit two's complement, as the unit's
    // addresses never are negative this only matters for diagnostics.
    const quint32 bits = static_cast<quint32>(value);
    return QStringLiteral("%1").arg(bits, 4, 16, QLatin1Char('0')).toUpper();
}

std::optional<quint32> LenientHex(const QString& text) {
    quint64 value = 0;
    qsizetype digits = 0;
    if (!LeadingHex(text, value, digits))
        return std::nullopt;
    return static_cast<quint32>(value);
}

std::optional<qint32> StrictHex(const QString& text) {
    if (text.isEmpty() || text.size() > 4)
        return std::nullopt;
    quint64 value = 0;
    qsizetype digits = 0;
    LeadingHex(text, value, digits);
    if (digits != text.size())
        return std::nullopt;
    return static_cast<qint32>(value);
}

Status ReadTypedOffset(const QString& text, qint64& value) {
    const QString typed = text.trimmed();
    quint64 read = 0;
    qsizetype digits = 0;
    const bool fits = LeadingHex(typed, read, digits);
    if (fits && digits < typed.size())
        return Status::Fail(QStringLiteral("\"%1\" is not a hexadecimal number.").arg(typed));
    if (!fits) {
        // A non-hex character further on is the more useful thing to report.
        for (const QChar c : typed) {
            if (HexDigitValue(c) < 0)
                return Status::Fail(
                    QStringLiteral("\"%1\" is not a hexadecimal number.").arg(typed));
        }
        return Status::Fail(
            QStringLiteral("%1 does not fit in 32 bits; the largest offset is FFFFFFFF.")
                .arg(typed));
    }
    value = static_cast<qint64>(read);
    return Status::Ok();
}

} // namespace varn
