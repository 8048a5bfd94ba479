#include "imagefiles.h"

#include "core/hextext.h"
#include "core/wholefile.h"
#include "filesupport.h"

#include <QDir>
#include <algorithm>
#include <cstring>

namespace varn {

namespace detail {

LoadResult LoadBinFile(const QString& path, const LoadOptions& options, ImageTarget target) {
    LoadResult result;
    const QString shown = QDir::toNativeSeparators(path);
    if (Status offsets = CheckLoadOffsets(options.fileOffset, options.bufferOffset); !offsets) {
        result.status = Status::Fail(offsets.message + QStringLiteral("\n%1").arg(shown));
        return result;
    }
    // The byte at file offset p lands at p + bufferOffset; the offset in the file
    // is not subtracted, it only skips the bytes before it. So no file that
    // loads is longer than the buffer beyond bufferOffset, whatever it skips.
    const qint64 limit = BufferSize - options.bufferOffset;
    const WholeFileRead file = ReadWholeFile(path, limit);
    if (file.outcome == WholeFileRead::TooLarge) {
        if (file.size >= 0 && options.fileOffset >= file.size)
            return result; // the file address skips the whole file: nothing to store
        const QString reach = file.size >= 0
                                  ? QStringLiteral("would reach position %1, past")
                                        .arg(HexWord(static_cast<qint32>(std::min<qint64>(
                                            file.size - 1 + options.bufferOffset, 0x7FFFFFFF))))
                                  : QStringLiteral("go on past");
        result.status = Status::Fail(QStringLiteral("The file does not fit into the buffer: its "
                                                    "bytes %1 the end at %2.\n%3")
                                         .arg(reach, HexWord(BufferLast), shown));
        return result;
    }
    if (!file) {
        result.status = Status::Fail((file.outcome == WholeFileRead::CannotOpen
                                          ? QStringLiteral("Cannot open %1:\n%2")
                                          : QStringLiteral("Cannot read %1:\n%2"))
                                         .arg(shown, file.describe(limit)));
        return result;
    }
    if (result.status = CheckContentFormat(file.bytes, options, shown, result); !result.ok())
        return result;
    const qint64 fileSize = file.bytes.size();
    if (options.fileOffset >= fileSize)
        return result;
    const qint64 first = options.fileOffset + options.bufferOffset;
    const qint64 count = fileSize - options.fileOffset;
    std::memcpy(target.bytes + first, file.bytes.constData() + options.fileOffset,
                static_cast<size_t>(count));
    for (qint64 i = first; i < first + count; ++i)
        target.defined->set(size_t(i));
    NoteStored(result, first, count);
    FinishRanges(result);
    return result;
}

// Every byte of the device is written: a binary file has no gaps to leave out.
Status BinFileBytes(const AppState& state, bool, const QString& shown, QByteArray& out) {
    const qint32 size = state.DeviceSize();
    if (size < 0 || size > BufferSize) {
        return Status::Fail(
            QStringLiteral("Cannot save %1:\nthe device size %2 exceeds the buffer.")
                .arg(shown, HexWord(size)));
    }
    out = QByteArray(reinterpret_cast<const char*>(state.Buffer.data()), size);
    return Status::Ok();
}

} // namespace detail

} // namespace varn
