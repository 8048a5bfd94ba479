#include "buffersearch.h"

#include "core/hextext.h"

#include <algorithm>
#include <functional>

namespace varn {

QByteArray ParseSearchText(const QString& typed) {
    if (typed.size() >= 2 && typed.startsWith(QLatin1Char('"')) && typed.endsWith(QLatin1Char('"')))
        return typed.mid(1, typed.size() - 2).toLatin1();
    QByteArray bytes;
    int high = -1;
    for (const QChar c : typed) {
        const int digit = HexDigitValue(c);
        if (c == QLatin1Char(' ') && high < 0)
            continue; // spaces only between pairs
        if (digit < 0)
            return typed.toLatin1();
        if (high < 0) {
            high = digit;
        } else {
            bytes.append(char(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0 || bytes.isEmpty())
        return typed.toLatin1();
    return bytes;
}

qint32 FindInBuffer(const AppState& state, const QByteArray& pattern, qint32 from, qint32 end) {
    end = std::clamp<qint32>(end, 0, BufferSize);
    if (pattern.isEmpty() || pattern.size() > end)
        return -1;
    from = std::clamp<qint32>(from, 0, end);
    const auto* begin = reinterpret_cast<const char*>(state.Buffer.data());
    const std::boyer_moore_horspool_searcher searcher(pattern.begin(), pattern.end());
    auto search = [&](qint32 first, qint32 last) -> qint32 {
        const char* found = std::search(begin + first, begin + last, searcher);
        return found == begin + last ? -1 : qint32(found - begin);
    };
    if (const qint32 after = search(from, end); after >= 0)
        return after;
    // From the start again; a match may reach into where the first search began.
    return search(0, std::min<qint32>(end, from + qint32(pattern.size()) - 1));
}

} // namespace varn
