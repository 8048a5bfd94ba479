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
           path.endsWith(QLatin1String("hex"), Qt::CaseSensitive) ||
           path.endsWith(QLatin1String(".ihx"), Qt::CaseInsensitive);
}

bool PathLooksElf(const QString& path) {
    static const char* const endings[] = {".elf", ".axf", ".out"};
    return std::any_of(std::begin(endings), std::end(endings), [&](const char* ending) {
        return path.endsWith(QLatin1String(ending), Qt::CaseInsensitive);
    });
}

namespace {

// The first non-blank lines of content, at most `count`, trimmed.
QList<QByteArray> FirstLines(const QByteArray& content, int count) {
    QList<QByteArray> lines;
    detail::TextLines text(content);
    const char* first = nullptr;
    const char* last = nullptr;
    while (lines.size() < count && text.next(first, last))
        lines.append(QByteArray(first, last - first));
    return lines;
}

// A line that is the prefix, then pairs of hex digits whose first pair counts
// the pairs after it (less `uncounted`) and whose sum, with the counted
// bytes, is `sum` modulo 256.
bool WholeRecord(const QByteArray& line, int prefix, int uncounted, int sum) {
    const qsizetype digits = line.size() - prefix;
    if (digits < 4 || digits % 2 != 0)
        return false;
    int total = 0;
    QList<int> bytes;
    for (qsizetype p = prefix; p < line.size(); p += 2) {
        const int high = HexDigitValue(line[p]);
        const int low = HexDigitValue(line[p + 1]);
        if ((high | low) < 0)
            return false;
        bytes.append(high * 16 + low);
        total += high * 16 + low;
    }
    return bytes.first() == bytes.size() - uncounted && (total & 0xFF) == sum;
}

} // namespace

namespace detail {

// The first lines, the last of them possibly cut off by the 4 KiB taken, all
// pass isRecord.
template <typename IsRecord> bool FirstLinesAre(const QByteArray& content, IsRecord isRecord) {
    const QList<QByteArray> lines = FirstLines(content.left(4096), 4);
    if (lines.isEmpty())
        return false;
    const qsizetype whole =
        lines.size() > 1 && content.size() > 4096 ? lines.size() - 1 : lines.size();
    for (qsizetype i = 0; i < whole; ++i)
        if (!isRecord(lines[i]))
            return false;
    return true;
}

bool LooksElfContent(const QByteArray& content) {
    return content.startsWith("\x7F"
                              "ELF");
}

bool LooksHexContent(const QByteArray& content) {
    // ":" count address(2) type data checksum: count excludes 4 bytes, sums to 0.
    return FirstLinesAre(
        content, [](const QByteArray& l) { return l.startsWith(':') && WholeRecord(l, 1, 5, 0); });
}

bool LooksSRecordContent(const QByteArray& content) {
    // "S" type count address data checksum: count includes all but itself, sums to FF.
    return FirstLinesAre(content, [](const QByteArray& l) {
        return l.size() > 2 && (l[0] == 'S' || l[0] == 's') && l[1] >= '0' && l[1] <= '9' &&
               WholeRecord(l, 2, 1, 0xFF);
    });
}

} // namespace detail

namespace {

const ImageFormatRow Rows[] = {
    {FileFormat::IntelHex, "hex", "Intel Hex", PathLooksHex,
     "ending in HEX, hex or .ihx is Intel HEX", detail::LooksHexContent, detail::LoadHexFile,
     detail::HexFileBytes, nullptr},
    {FileFormat::Binary, "bin", "Binary", nullptr, "binary", nullptr, detail::LoadBinFile,
     detail::BinFileBytes, nullptr},
    {FileFormat::SRecord, "srec", "S-Record", PathLooksSRecord,
     "ending in .s19, .s28, .s37, .srec, .mot or .s (any case) Motorola S-record",
     detail::LooksSRecordContent, detail::LoadSRecordFile, detail::SRecordFileBytes, nullptr},
    {FileFormat::Elf, "elf", "ELF", PathLooksElf, "in .elf, .axf or .out ELF",
     detail::LooksElfContent, detail::LoadElfFile, nullptr,
     "an ELF file (its PT_LOAD segments at their physical addresses)"},
};

} // namespace

QList<ImageFormatRow> ImageFormats() {
    return QList<ImageFormatRow>(std::begin(Rows), std::end(Rows));
}

const ImageFormatRow& ImageFormatOf(FileFormat format) {
    for (const ImageFormatRow& row : Rows)
        if (row.format == format)
            return row;
    return ImageFormatOf(FileFormat::Binary);
}

QString ImageFormatWords(const QString& prefix) {
    QStringList words;
    QString fallback;
    for (const ImageFormatRow& row : Rows) {
        if (row.byPath)
            words.append(prefix + QLatin1String(row.word));
        else
            fallback = prefix + QLatin1String(row.word);
    }
    return words.join(QLatin1String(", ")) + QLatin1String(" or ") + fallback;
}

FileFormat FormatForPath(const QString& path) {
    const ImageFormatRow* fallback = nullptr;
    for (const ImageFormatRow& row : Rows) {
        if (!row.byPath)
            fallback = &row;
        else if (row.byPath(path))
            return row.format;
    }
    return fallback->format;
}

QString FormatName(FileFormat format) {
    return QLatin1String(ImageFormatOf(format).name);
}

std::optional<FileFormat> ContentFormat(const QByteArray& content) {
    for (const ImageFormatRow& row : Rows)
        if (row.byContent && row.byContent(content))
            return row.format;
    return std::nullopt;
}

LoadResult LoadImageFile(const QString& path, const LoadOptions& options, ImageTarget target) {
    LoadResult result = ImageFormatOf(options.format).load(path, options, target);
    result.format = options.format;
    return result;
}

Status ImageFileBytes(const AppState& state, const SaveOptions& options, const QString& shown,
                      QByteArray& bytes) {
    const ImageFormatRow& row = ImageFormatOf(options.format);
    if (!row.write)
        return Status::Fail(QStringLiteral("Cannot save %1:\n%2 files are read, not written.")
                                .arg(shown, QLatin1String(row.name)));
    return row.write(state, options.definedOnly, shown, bytes);
}

Status SaveImageFile(const AppState& state, const QString& path, const SaveOptions& options) {
    QByteArray bytes;
    if (Status made = ImageFileBytes(state, options, QDir::toNativeSeparators(path), bytes); !made)
        return made;
    return detail::SaveWholeFile(path, bytes);
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

Status ReadForLoad(const QString& path, const LoadOptions& options, qint64 limit,
                   QByteArray& bytes) {
    const QString shown = QDir::toNativeSeparators(path);
    if (Status offsets = CheckLoadOffsets(options.fileOffset, options.bufferOffset); !offsets)
        return Status::Fail(offsets.message + QStringLiteral("\n%1").arg(shown));
    if (options.relocate < 0 || options.relocate > 0xFFFFFFFFLL)
        return Status::Fail(QStringLiteral("The relocation base %1 is not a valid address.\n%2")
                                .arg(options.relocate)
                                .arg(shown));
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

Status CheckContentFormat(const QByteArray& content, const LoadOptions& options,
                          const QString& shown, LoadResult& result) {
    const std::optional<FileFormat> seen = ContentFormat(content);
    if (!seen || *seen == options.format)
        return Status::Ok();
    result.otherFormat = QStringLiteral("%1 looks like an %2 file, but it is loaded as %3.")
                             .arg(shown, FormatName(*seen), FormatName(options.format));
    if (!options.refuseOtherFormat)
        return Status::Ok();
    return Status::Fail(QStringLiteral("%1 looks like an %2 file, not %3: nothing was loaded.")
                            .arg(shown, FormatName(*seen), FormatName(options.format)));
}

namespace {

// The file addresses of a record's bytes that the load stores, [from, to];
// from > to when none.
struct StoredRange {
    qint64 from, to;
};

// Relocation moves every address down; what falls below 0 is left out.
StoredRange Stored(const ImageRecord& record, const LoadOptions& options) {
    const qint64 address = record.address - options.relocate;
    return {std::max({address, options.fileOffset, qint64(0)}),
            std::min<qint64>(address + record.count - 1, BufferLast)};
}

} // namespace

QString FileLine(const QString& shown, int lineNumber, const QString& unit) {
    return QStringLiteral("%1, %2 %3").arg(shown, unit).arg(lineNumber);
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

void NoteAfterEnd(TextLines& lines, const QString& endName, const QString& shown,
                  ImageRecords& image) {
    const char* first = nullptr;
    const char* last = nullptr;
    if (lines.next(first, last))
        image.notices << QStringLiteral("The file goes on after its end record (%1); what "
                                        "follows was not loaded.\n%2")
                             .arg(endName, FileLine(shown, lines.lineNumber()));
}

Status PlaceRecords(const ImageRecords& image, const LoadOptions& options, const QString& shown,
                    QString& leftOut) {
    leftOut.clear();
    for (const ImageRecord& record : image.records) {
        const qint64 address = record.address - options.relocate;
        if (leftOut.isEmpty() && record.count > 0) {
            if (address + record.count - 1 > BufferLast)
                leftOut =
                    QStringLiteral("The file holds data at addresses beyond the buffer's "
                                   "end (%1), which was not loaded; the rest was loaded.\n%2")
                        .arg(HexWord(BufferLast), FileLine(shown, record.lineNumber, image.unit));
            else if (address < 0)
                leftOut =
                    QStringLiteral("The file holds data below the relocation base %1, which was "
                                   "not loaded; the rest was loaded.\n%2")
                        .arg(HexWord(static_cast<qint32>(options.relocate)),
                             FileLine(shown, record.lineNumber, image.unit));
        }
        const StoredRange range = Stored(record, options);
        if (range.from > range.to)
            continue;
        const qint64 lastPosition = range.to + options.bufferOffset;
        if (lastPosition > BufferLast) {
            return Status::Fail(
                QStringLiteral("The record's data would reach buffer position "
                               "%1, past the end of the buffer at %2.\n%3")
                    .arg(HexWord(static_cast<qint32>(std::min<qint64>(lastPosition, 0x7FFFFFFF))),
                         HexWord(BufferLast), FileLine(shown, record.lineNumber, image.unit)));
        }
    }
    return Status::Ok();
}

namespace {

// Sorts and joins ranges that touch or overlap; returns the bytes they hold.
qint64 MergeRanges(std::vector<BufferRange>& ranges) {
    std::sort(ranges.begin(), ranges.end(),
              [](const BufferRange& a, const BufferRange& b) { return a.first < b.first; });
    std::vector<BufferRange> merged;
    for (const BufferRange& r : ranges) {
        if (!merged.empty() && r.first <= merged.back().last + 1)
            merged.back().last = std::max(merged.back().last, r.last);
        else
            merged.push_back(r);
    }
    ranges = std::move(merged);
    qint64 bytes = 0;
    for (const BufferRange& r : ranges)
        bytes += r.last - r.first + 1;
    return bytes;
}

} // namespace

std::vector<BufferRange> DefinedRecords(const AppState& state, qint32 size) {
    constexpr qint32 RecordBytes = 16;
    std::vector<BufferRange> records;
    for (qint32 a = 0; a < size; ++a) {
        if (!state.defined.test(size_t(a)))
            continue;
        const qint32 blockEnd = std::min((a / RecordBytes + 1) * RecordBytes, size);
        qint32 last = a;
        while (last + 1 < blockEnd && state.defined.test(size_t(last + 1)))
            ++last;
        records.push_back({a, last});
        a = last;
    }
    return records;
}

void NoteStored(LoadResult& result, qint64 position, qint64 count) {
    if (count > 0)
        result.ranges.push_back({qint32(position), qint32(position + count - 1)});
}

void FinishRanges(LoadResult& result) {
    result.bytesStored = MergeRanges(result.ranges);
}

LoadResult OpenRecordImage(const QString& path, const LoadOptions& options, ImageTarget target,
                           RecordReader readRecords, qint64 limit) {
    LoadResult result;
    const QString shown = QDir::toNativeSeparators(path);
    QByteArray content;
    result.status = ReadForLoad(path, options, limit, content);
    if (result.ok())
        result.status = CheckContentFormat(content, options, shown, result);
    if (!result.ok())
        return result;
    ImageRecords image;
    if (result.status = readRecords(content, shown, image); !result.ok())
        return result;
    if (result.status = PlaceRecords(image, options, shown, result.leftOut); !result.ok())
        return result;
    CopyRecords(image, options, target, result);
    result.startAddress = image.start;
    result.notices << image.notices;
    return result;
}

void CopyRecords(const ImageRecords& image, const LoadOptions& options, ImageTarget target,
                 LoadResult& result) {
    for (const ImageRecord& record : image.records) {
        const StoredRange range = Stored(record, options);
        if (range.from > range.to)
            continue;
        const qint64 position = range.from + options.bufferOffset;
        const qint64 count = range.to - range.from + 1;
        std::memcpy(target.bytes + position,
                    image.data.constData() + record.first +
                        (range.from - (record.address - options.relocate)),
                    size_t(count));
        for (qint64 i = position; i < position + count; ++i)
            target.defined->set(size_t(i));
        NoteStored(result, position, count);
    }
    FinishRanges(result);
}

} // namespace detail

} // namespace varn
