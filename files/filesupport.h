#pragma once

#include "core/appstate.h"
#include "core/status.h"

#include <QByteArray>
#include <QString>
#include <array>
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
Status ReadForLoad(const QString& path, qint64 fileOffset, qint64 bufferOffset, qint64 limit,
                   QByteArray& bytes);

// Far more than the longest valid text image (10,000 records of the longest
// kind with room for padding), far less than would strain the memory.
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

    void add(int lineNumber, qint64 address, const QByteArray& bytes) {
        records.push_back({lineNumber, address, data.size(), int(bytes.size())});
        data.append(bytes);
    }
};

// Checks that every byte the load stores lies in the buffer. Bytes below the
// file offset are skipped; bytes whose file address lies beyond the buffer
// are left out, and notice then says so, naming the first such record's line.
// A record that the buffer offset pushes past the buffer's end is refused.
Status PlaceRecords(const ImageRecords& image, qint64 fileOffset, qint64 bufferOffset,
                    const QString& shown, QString& notice);
// Stores what PlaceRecords accepted at state.FileOffset / state.BufferOffset:
// file address a goes to a + BufferOffset and is marked defined; later
// records win where they overlap.
void CopyRecords(const ImageRecords& image, AppState& state);

// A text image's reader: every record of content at its full address, or the
// first bad line's message.
using RecordReader = Status (*)(const QByteArray& content, const QString& shown,
                                ImageRecords& image);
// The whole load of a text image (Intel HEX, S-record): the bounded read,
// readRecords, PlaceRecords and CopyRecords at state.FileOffset /
// state.BufferOffset. Nothing is stored unless every step passed; a notice of
// data left out comes back as the message of a successful Status.
Status OpenTextImage(AppState& state, const QString& path, RecordReader readRecords);

// "<file>, line <n>": where a text image's message points.
QString FileLine(const QString& shown, int lineNumber);
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

} // namespace varn::detail
