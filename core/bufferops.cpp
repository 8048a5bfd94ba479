#include "bufferops.h"

#include "core/crc32.h"
#include "core/hextext.h"

#include <QByteArray>

#include <algorithm>

namespace varn {

namespace {
// Typed values are at most FFFF; anything wider is still shown in full.
QString HexNumber(qint64 value) {
    if (value >= 0 && value <= 0x7FFFFFFF)
        return HexWord(static_cast<qint32>(value));
    return QString::number(value, 16).toUpper();
}
} // namespace

quint16 BufferChecksum(const AppState& state) {
    const qint32 size = std::clamp<qint32>(state.DeviceSize(), 0, BufferSize);
    quint32 sum = 0;
    for (qint32 i = 0; i < size; ++i)
        sum += state.Buffer[i];
    return static_cast<quint16>(sum & 0xFFFF);
}

Status CheckFillRange(qint64 start, qint64 length) {
    if (start < 0 || length < 0)
        return Status::Fail(QStringLiteral("The start %1 and length %2 must not be negative.")
                                .arg(HexNumber(start), HexNumber(length)));
    if (length == 0)
        return Status::Ok();
    const qint64 last = start + length - 1;
    if (last > BufferLast)
        return Status::Fail(
            QStringLiteral("The range %1..%2 reaches past the end of the buffer (last index %3).")
                .arg(HexNumber(start), HexNumber(last), HexWord(BufferLast)));
    return Status::Ok();
}

Status FillBuffer(AppState& state, qint64 start, qint64 length, quint8 value) {
    Status check = CheckFillRange(start, length);
    if (!check)
        return check;
    std::fill_n(state.Buffer.begin() + start, length, value);
    state.markDefined(start, start + length);
    return Status::Ok();
}

void ClearBuffer(AppState& state) {
    state.Buffer.fill(0xFF);
    state.forgetDefined();
}

quint32 BufferFingerprint(const AppState& state) {
    QByteArray mask((BufferSize + 7) / 8, '\0');
    for (int i = 0; i < BufferSize; ++i)
        if (state.defined.test(size_t(i)))
            mask[i / 8] = char(mask[i / 8] | (1 << (i % 8)));
    const quint32 bytes = Crc32(state.Buffer.data(), state.Buffer.size());
    return Crc32(reinterpret_cast<const quint8*>(mask.constData()), size_t(mask.size()), bytes);
}

} // namespace varn
