#include "imagefiles.h"

#include "core/hextext.h"
#include "filesupport.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <cstring>

namespace varn {

Status OpenBinFile(AppState& state, const QString& path) {
    const QString shown = QDir::toNativeSeparators(path);
    QFile file(path);
    if (Status opened = detail::OpenForLoad(file, state.FileOffset, state.BufferOffset, shown);
        !opened)
        return opened;
    const qint64 fileSize = file.size();
    if (state.FileOffset >= fileSize)
        return Status::Ok(); // the file address skips the whole file: nothing to store

    // The byte at file offset p lands at p + BufferOffset; the offset in the file
    // is not subtracted, it only skips the bytes before it.
    const qint64 first = state.FileOffset + state.BufferOffset;
    const qint64 last = fileSize - 1 + state.BufferOffset;
    if (last > BufferLast) {
        return Status::Fail(
            QStringLiteral("The file does not fit into the buffer: its bytes "
                           "would reach position %1, past the end at %2.\n%3")
                .arg(HexWord(static_cast<qint32>(std::min<qint64>(last, 0x7FFFFFFF))),
                     HexWord(BufferLast), shown));
    }
    const qint64 count = fileSize - state.FileOffset;
    if (!file.seek(state.FileOffset)) {
        return Status::Fail(QStringLiteral("Cannot read %1:\n%2").arg(shown, file.errorString()));
    }
    const QByteArray bytes = file.read(count);
    if (bytes.size() != count) {
        return Status::Fail(QStringLiteral("Cannot read %1:\n%2")
                                .arg(shown, file.errorString().isEmpty()
                                                ? QStringLiteral("the file ended early")
                                                : file.errorString()));
    }
    std::memcpy(state.Buffer.data() + first, bytes.constData(), static_cast<size_t>(count));
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
    return detail::ReplaceFileContents(path, bytes);
}

} // namespace varn
