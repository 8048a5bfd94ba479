#pragma once

#include "core/appstate.h"
#include "core/status.h"
#include "imagefiles.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>
#include <vector>

namespace varn::detail {

// Writes the whole new file in one step (see WriteWholeFile); the failure
// names the file as shown to the user.
Status SaveWholeFile(const QString& path, const QByteArray& bytes);

// The offsets typed into the load dialog are unsigned 32-bit values; anything
// else would come from a caller's mistake and must not reach the buffer.
Status CheckLoadOffsets(qint64 fileOffset, qint64 bufferOffset);

// The first steps of every text image load: the offsets checked, then the
// whole file read, refused unread when it holds more than limit bytes.
// Failures name the file as shown to the user.
Status ReadForLoad(const QString& path, const LoadOptions& options, qint64 limit,
                   QByteArray& bytes);

// Refuses content that is clearly of another format than the one asked for
// when the options say so, else notes it in result.otherFormat.
Status CheckContentFormat(const QByteArray& content, const LoadOptions& options,
                          const QString& shown, LoadResult& result);

// Far more than any text image that fits the buffer, far less than would
// strain the memory.
inline constexpr qint64 MaxTextImageBytes = 16 * 1024 * 1024;

} // namespace varn::detail

namespace varn::detail {

// The data records of a text image (Intel HEX, S-records) as read, each at
// its full file address, before any of them is placed: a reader collects
// them, PlaceRecords checks them all, CopyRecords stores them. A failed load
// thus leaves the buffer as it was.
struct ImageRecord {
    int lineNumber = 0;
    qint64 address = 0;  // the file address of the first byte
    qsizetype first = 0; // where its bytes start in ImageRecords::data
    int count = 0;
};

struct ImageRecords {
    std::vector<ImageRecord> records;
    QByteArray data;
    // What a record's number counts in messages: a text line or an ELF segment.
    QString unit = QStringLiteral("line");
    std::optional<quint32> start; // a start address record or the ELF entry
    // What the load tells beside its bytes (a file cut off, records after
    // the end record).
    QStringList notices;

    void add(int lineNumber, qint64 address, QByteArrayView bytes) {
        records.push_back({lineNumber, address, data.size(), int(bytes.size())});
        data.append(bytes);
    }
};

// Checks that every byte the load stores lies in the buffer. Addresses are
// relocated first; bytes below the file offset are skipped; bytes whose
// address lies below the relocation base or beyond the buffer are left out,
// and leftOut then says so, naming the first such record. A record that the
// buffer offset pushes past the buffer's end is refused.
Status PlaceRecords(const ImageRecords& image, const LoadOptions& options, const QString& shown,
                    QString& leftOut);
// Stores what PlaceRecords accepted: relocated address a goes to
// a + bufferOffset and is marked defined; later records win where they
// overlap. The stored ranges go to result.
void CopyRecords(const ImageRecords& image, const LoadOptions& options, ImageTarget target,
                 LoadResult& result);

// Notes buffer positions [position, position + count) as stored; FinishRanges
// merges what was noted and counts the bytes.
void NoteStored(LoadResult& result, qint64 position, qint64 count);
void FinishRanges(LoadResult& result);

// A text image's reader: every record of content at its full address, or the
// first bad line's message.
using RecordReader = Status (*)(const QByteArray& content, const QString& shown,
                                ImageRecords& image);
// The whole load of an addressed image (Intel HEX, S-record, ELF): the read
// bounded by limit, the content check, readRecords, PlaceRecords and
// CopyRecords. Nothing is stored unless every step passed.
LoadResult OpenRecordImage(const QString& path, const LoadOptions& options, ImageTarget target,
                           RecordReader readRecords, qint64 limit);

// "<file>, line <n>": where a text image's message points.
QString FileLine(const QString& shown, int lineNumber,
                 const QString& unit = QStringLiteral("line"));
// A message about one line: the cause, then where it points.
Status LineFailure(const QString& cause, const QString& shown, int lineNumber);

// The lines of a text image, ending in CR LF, LF or CR alone, with blanks,
// tabs and end-of-file marks trimmed from both ends. Blank lines are skipped
// but counted, so that messages name the line an editor shows.
class TextLines {
public:
    explicit TextLines(const QByteArray& content)
        : cursor(content.constData()), end(cursor + content.size()) {}
    // The next line that is not blank as [first, last); false at the end.
    bool next(const char*& first, const char*& last);
    int lineNumber() const { return currentLine; }

private:
    const char* cursor;
    const char* end;
    int currentLine = 0;
};

// Called with lines just past a text image's end record (`endName`): a file
// that goes on after it (two files joined with cat) gets a notice naming the
// first line after it, which is not read: the end record ends the file.
void NoteAfterEnd(TextLines& lines, const QString& endName, const QString& shown,
                  ImageRecords& image);

} // namespace varn::detail

namespace varn::detail {

// The loaders and savers of each format.
LoadResult LoadHexFile(const QString& path, const LoadOptions& options, ImageTarget target);
LoadResult LoadSRecordFile(const QString& path, const LoadOptions& options, ImageTarget target);
LoadResult LoadElfFile(const QString& path, const LoadOptions& options, ImageTarget target);
LoadResult LoadBinFile(const QString& path, const LoadOptions& options, ImageTarget target);
Status HexFileBytes(const AppState& state, bool definedOnly, const QString& shown, QByteArray& out);
Status SRecordFileBytes(const AppState& state, bool definedOnly, const QString& shown,
                        QByteArray& out);
Status BinFileBytes(const AppState& state, bool definedOnly, const QString& shown, QByteArray& out);

// The content's first lines are whole, checked records of each text format.
bool LooksHexContent(const QByteArray& content);
bool LooksSRecordContent(const QByteArray& content);
bool LooksElfContent(const QByteArray& content);

// ELF input: what `objcopy -O binary` takes (see LoadImageFile), the entry
// point as the start address.
Status ReadElfImage(const QByteArray& content, const QString& shown, ImageRecords& image);

// The runs of defined bytes of state's device part, cut at every 16-byte
// boundary: what a save of only the image's bytes writes, one record each.
std::vector<BufferRange> DefinedRecords(const AppState& state, qint32 size);

} // namespace varn::detail
