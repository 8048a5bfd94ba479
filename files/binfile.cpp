#include "imagefiles.h"

#include "core/hextext.h"
#include "core/wholefile.h"
#include "filesupport.h"

#include <QDir>
#include <algorithm>
#include <cstring>

namespace varn {

Status OpenBinFile(AppState& state, const QString& path) {
    const QString shown = QDir::toNativeSeparators(path);
    if (Status offsets = detail::CheckLoadOffsets(state.FileOffset, state.BufferOffset); !offsets)
        return Status::Fail(offsets.message + QStringLiteral("\n%1").arg(shown));
    // The byte at file offset p lands at p + BufferOffset; the offset in the file
    // is not subtracted, it only skips the bytes before it. So no file that
    // loads is longer than the buffer beyond BufferOffset, whatever it skips.
    const qint64 limit = BufferSize - state.BufferOffset;
    const WholeFileRead file = ReadWholeFile(path, limit);
    if (file.outcome == WholeFileRead::TooLarge) {
        if (file.size >= 0 && state.FileOffset >= file.size)
            return Status::Ok(); // the file address skips the whole file: nothing to store
        const QString reach = file.size >= 0
                                  ? QStringLiteral("would reach position %1, past")
                                        .arg(HexWord(static_cast<qint32>(std::min<qint64>(
                                            file.size - 1 + state.BufferOffset, 0x7FFFFFFF))))
                                  : QStringLiteral("go on past");
        return Status::Fail(QStringLiteral("The file does not fit into the buffer: its bytes "
                                           "%1 the end at %2.\n%3")
                                .arg(reach, HexWord(BufferLast), shown));
    }
    if (!file) {
        return Status::Fail((file.outcome == WholeFileRead::CannotOpen
                                 ? QStringLiteral("Cannot open %1:\n%2")
                                 : QStringLiteral("Cannot read %1:\n%2"))
                                .arg(shown, file.describe(limit)));
    }
    const qint64 fileSize = file.bytes.size();
    if (state.FileOffset >= fileSize)
        return Status::Ok();
    const qint64 first = state.FileOffset + state.BufferOffset;
    const qint64 count = fileSize - state.FileOffset;
    std::memcpy(state.Buffer.data() + first, file.bytes.constData() + state.FileOffset,
                static_cast<size_t>(count));
    state.markDefined(first, first + count);
    return Status::Ok();
}

Status SaveBinFile(const AppState& state, const QString& path) {
    const qint32 size = state.DeviceSize();
    if (size < 0 || size > BufferSize) {
        return Status::Fail(
            QStringLiteral("Cannot save %1:\nthe device size %2 exceeds the buffer.")
                .arg(QDir::toNativeSeparators(path), HexWord(size)));
    }
    const QByteArray bytes(reinterpret_cast<const char*>(state.Buffer.data()), size);
    return detail::SaveWholeFile(path, bytes);
}

} // namespace varn
