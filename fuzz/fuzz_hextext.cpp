// The typed hexadecimal readings and writings. Input: the text as typed
// (UTF-8). Each reading must agree with the others where their rules
// overlap, and a written value must read back as itself.
#include "fuzzsupport.h"

#include "core/hextext.h"

#include <cstdint>
#include <cstring>

using namespace varn;

namespace {

bool IsHexDigit(QChar c) {
    return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
           (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

void CheckText(const QString& text) {
    const std::optional<quint32> lenient = LenientHex(text);
    const std::optional<qint32> strict = StrictHex(text);
    qint64 typed = -1;
    const Status typedStatus = ReadTypedOffset(text, typed);

    if (strict) {
        VARN_FUZZ_CHECK(text.size() >= 1 && text.size() <= 4);
        for (QChar c : text)
            VARN_FUZZ_CHECK(IsHexDigit(c));
        VARN_FUZZ_CHECK(*strict >= 0 && *strict <= 0xFFFF);
        // Where the strict rule accepts, the lenient one reads the same.
        VARN_FUZZ_CHECK(lenient && qint64(*lenient) == *strict);
        VARN_FUZZ_CHECK(typedStatus.ok && typed == *strict);
        VARN_FUZZ_CHECK(StrictHex(HexWord(*strict)) == strict);
    }
    if (typedStatus.ok) {
        VARN_FUZZ_CHECK(typed >= 0 && typed <= 0xFFFFFFFFLL);
        if (!text.trimmed().isEmpty())
            VARN_FUZZ_CHECK(LenientHex(text.trimmed()) == std::optional<quint32>(quint32(typed)));
    } else {
        VARN_FUZZ_CHECK(!typedStatus.message.isEmpty());
    }
    if (lenient) {
        // Writing the value and reading it back gives it again.
        VARN_FUZZ_CHECK(LenientHex(HexWord(qint32(*lenient))) == lenient);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    CheckText(QString::fromUtf8(bytes));
    CheckText(QString::fromLatin1(bytes));

    if (size >= 4) {
        qint32 value = 0;
        std::memcpy(&value, data, sizeof value);
        const QString word = HexWord(value);
        VARN_FUZZ_CHECK(word.size() >= 4 && word.size() <= 8);
        VARN_FUZZ_CHECK(word == word.toUpper());
        VARN_FUZZ_CHECK(LenientHex(word) == std::optional<quint32>(quint32(value)));
        const QString byte = HexByte(data[0]);
        VARN_FUZZ_CHECK(byte.size() == 2 && StrictHex(byte) == std::optional<qint32>(data[0]));
    }
    return 0;
}
