#include "clipboardtext.h"

#include "core/hextext.h"

#include <QRegularExpression>

namespace varn {

QString HexClipText(const QByteArray& bytes) {
    QString text;
    for (int i = 0; i < bytes.size(); ++i) {
        if (i > 0)
            text += i % 16 == 0 ? QLatin1Char('\n') : QLatin1Char(' ');
        text += QStringLiteral("%1").arg(quint8(bytes[i]), 2, 16, QLatin1Char('0')).toUpper();
    }
    return text;
}

QString CArrayClipText(const QByteArray& bytes, qint32 first) {
    QString text = QStringLiteral("const unsigned char image_%1[%2] = {")
                       .arg(HexWord(first))
                       .arg(bytes.size());
    for (int i = 0; i < bytes.size(); ++i) {
        text += i % 12 == 0 ? QStringLiteral("\n    ") : QStringLiteral(" ");
        text += QStringLiteral("0x%1,").arg(quint8(bytes[i]), 2, 16, QLatin1Char('0')).toUpper();
    }
    return text.replace(QStringLiteral("0X"), QStringLiteral("0x")) + QStringLiteral("\n};\n");
}

std::optional<QByteArray> ParseHexClip(const QString& text) {
    QString body = text;
    // A C array: only what stands between its braces.
    const qsizetype open = body.indexOf(QLatin1Char('{'));
    if (open >= 0) {
        const qsizetype close = body.indexOf(QLatin1Char('}'), open);
        if (close < 0)
            return std::nullopt;
        body = body.mid(open + 1, close - open - 1);
    }
    static const QRegularExpression prefix(QStringLiteral("0[xX]([0-9A-Fa-f]{1,2})\\b"));
    body.replace(prefix, QStringLiteral(" \\1 "));
    QByteArray bytes;
    QString digits;
    auto flush = [&]() -> bool {
        if (digits.size() % 2 != 0)
            return false;
        for (qsizetype i = 0; i < digits.size(); i += 2)
            bytes.append(char(HexDigitValue(digits[i]) * 16 + HexDigitValue(digits[i + 1])));
        digits.clear();
        return true;
    };
    for (const QChar ch : body) {
        if (HexDigitValue(ch) >= 0) {
            digits += ch;
        } else if (ch.isSpace() || ch == QLatin1Char(',')) {
            // "0x5" stood for one byte: keep it a pair.
            if (digits.size() == 1)
                digits.prepend(QLatin1Char('0'));
            if (!flush())
                return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    if (digits.size() == 1)
        return std::nullopt;
    if (!flush() || bytes.isEmpty())
        return std::nullopt;
    return bytes;
}

} // namespace varn
