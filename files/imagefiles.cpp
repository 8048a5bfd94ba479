#include "imagefiles.h"

#include "core/hextext.h"
#include "core/wholefile.h"
#include "filesupport.h"

#include <QDir>

#include <algorithm>
#include <cstring>

namespace varn {

bool PathLooksHex(const QString& path) {
    // Case matters on purpose: "image.Hex" is offered as binary.
    return path.endsWith(QLatin1String("HEX"), Qt::CaseSensitive) ||
           path.endsWith(QLatin1String("hex"), Qt::CaseSensitive);
}

FileFormat FormatForPath(const QString& path) {
    if (PathLooksHex(path))
        return FileFormat::IntelHex;
    return PathLooksSRecord(path) ? FileFormat::SRecord : FileFormat::Binary;
}

QString FormatName(FileFormat format) {
    switch (format) {
    case FileFormat::IntelHex:
        return QStringLiteral("Intel Hex");
    case FileFormat::SRecord:
        return QStringLiteral("S-Record");
    case FileFormat::Binary:
        break;
    }
    return QStringLiteral("Binary");
}

Status OpenImageFile(AppState& state, FileFormat format, const QString& path) {
    switch (format) {
    case FileFormat::IntelHex:
        return OpenHexFile(state, path);
    case FileFormat::SRecord:
        return OpenSRecordFile(state, path);
    case FileFormat::Binary:
        break;
    }
    return OpenBinFile(state, path);
}

Status SaveImageFile(const AppState& state, FileFormat format, const QString& path) {
    switch (format) {
    case FileFormat::IntelHex:
        return SaveHexFile(state, path);
    case FileFormat::SRecord:
        return SaveSRecordFile(state, path);
    case FileFormat::Binary:
        break;
    }
    return SaveBinFile(state, path);
}

namespace detail {

Status SaveWholeFile(const QString& path, const QByteArray& bytes) {
    if (Status written = WriteWholeFile(path, bytes); !written)
        return Status::Fail(QStringLiteral("Cannot write %1:\n%2")
                                .arg(QDir::toNativeSeparators(path), written.message));
    return Status::Ok();
}

Status CheckLoadOffsets(qint64 fileOffset, qint64 bufferOffset) {
    constexpr qint64 maxTyped = 0xFFFFFFFFLL;
    if (fileOffset < 0 || fileOffset > maxTyped) {
        return Status::Fail(
            QStringLiteral("The file address %1 is not a valid offset.").arg(fileOffset));
    }
    if (bufferOffset < 0 || bufferOffset > BufferLast) {
        return Status::Fail(QStringLiteral("The buffer address %1 lies outside the buffer "
                                           "(0000 to %2).")
                                .arg(bufferOffset >= 0 && bufferOffset <= maxTyped
                                         ? HexWord(static_cast<qint32>(bufferOffset))
                                         : QString::number(bufferOffset),
                                     HexWord(BufferLast)));
    }
    return Status::Ok();
}

Status ReadForLoad(const QString& path, qint64 fileOffset, qint64 bufferOffset, qint64 limit,
                   QByteArray& bytes) {
    const QString shown = QDir::toNativeSeparators(path);
    if (Status offsets = CheckLoadOffsets(fileOffset, bufferOffset); !offsets)
        return Status::Fail(offsets.message + QStringLiteral("\n%1").arg(shown));
    WholeFileRead file = ReadWholeFile(path, limit);
    if (!file) {
        return Status::Fail((file.outcome == WholeFileRead::CannotOpen
                                 ? QStringLiteral("Cannot open %1:\n%2")
                                 : QStringLiteral("Cannot read %1:\n%2"))
                                .arg(shown, file.describe(limit)));
    }
    bytes = std::move(file.bytes);
    return Status::Ok();
}

namespace {

// The file addresses of a record's bytes that the load stores, [from, to];
// from > to when none.
struct StoredRange {
    qint64 from, to;
};

StoredRange Stored(const ImageRecord& record, qint64 fileOffset) {
    return {std::max(record.address, fileOffset),
            std::min<qint64>(record.address + record.count - 1, BufferLast)};
}

} // namespace

QString FileLine(const QString& shown, int lineNumber) {
    return QStringLiteral("%1, line %2").arg(shown).arg(lineNumber);
}

Status LineFailure(const QString& cause, const QString& shown, int lineNumber) {
    return Status::Fail(cause + QLatin1Char('\n') + FileLine(shown, lineNumber));
}

bool TextLines::next(const char*& first, const char*& last) {
    const auto padding = [](char c) { return c == ' ' || c == '\t' || c == '\x1A'; };
    while (cursor < end) {
        const char* lineEnd = cursor;
        while (lineEnd < end && *lineEnd != '\n' && *lineEnd != '\r')
            ++lineEnd;
        const char* next = lineEnd;
        if (next < end && *next == '\r')
            ++next;
        if (next < end && *next == '\n' && (next == lineEnd || *lineEnd == '\r'))
            ++next;
        first = cursor;
        last = lineEnd;
        cursor = next;
        ++currentLine;
        while (first < last && padding(*first))
            ++first;
        while (last > first && padding(last[-1]))
            --last;
        if (first != last)
            return true;
    }
    return false;
}

Status PlaceRecords(const ImageRecords& image, qint64 fileOffset, qint64 bufferOffset,
                    const QString& shown, QString& notice) {
    notice.clear();
    for (const ImageRecord& record : image.records) {
        if (notice.isEmpty() && record.address + record.count - 1 > BufferLast) {
            notice = QStringLiteral("The file holds data at addresses beyond the buffer's end "
                                    "(%1), which was not loaded; the rest was loaded.\n%2")
                         .arg(HexWord(BufferLast), FileLine(shown, record.lineNumber));
        }
        const StoredRange range = Stored(record, fileOffset);
        if (range.from > range.to)
            continue;
        const qint64 lastPosition = range.to + bufferOffset;
        if (lastPosition > BufferLast) {
            return Status::Fail(
                QStringLiteral("The record's data would reach buffer position "
                               "%1, past the end of the buffer at %2.\n%3")
                    .arg(HexWord(static_cast<qint32>(std::min<qint64>(lastPosition, 0x7FFFFFFF))),
                         HexWord(BufferLast), FileLine(shown, record.lineNumber)));
        }
    }
    return Status::Ok();
}

Status OpenTextImage(AppState& state, const QString& path, RecordReader readRecords) {
    const QString shown = QDir::toNativeSeparators(path);
    QByteArray content;
    if (Status read =
            ReadForLoad(path, state.FileOffset, state.BufferOffset, MaxTextImageBytes, content);
        !read)
        return read;
    ImageRecords image;
    if (Status read = readRecords(content, shown, image); !read)
        return read;
    // FileOffset is a lower bound on the file addresses taken, not
    // subtracted; data beyond the buffer is left out with a notice.
    QString notice;
    if (Status placed = PlaceRecords(image, state.FileOffset, state.BufferOffset, shown, notice);
        !placed)
        return placed;
    CopyRecords(image, state);
    return Status::Ok(notice);
}

void CopyRecords(const ImageRecords& image, AppState& state) {
    for (const ImageRecord& record : image.records) {
        const StoredRange range = Stored(record, state.FileOffset);
        if (range.from > range.to)
            continue;
        const qint64 position = range.from + state.BufferOffset;
        const qint64 count = range.to - range.from + 1;
        std::memcpy(state.Buffer.data() + position,
                    image.data.constData() + record.first + (range.from - record.address),
                    size_t(count));
        state.markDefined(position, position + count);
    }
}

} // namespace detail

} // namespace varn
