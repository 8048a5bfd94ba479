#include "imagefiles.h"

#include "core/hextext.h"
#include "filesupport.h"

#include <QDir>
#include <algorithm>
#include <array>

namespace varn {

namespace {

// A file may have at most this many records up to and including the record
// that ends the reading (as many as an S-record file).
constexpr int MaxRecordLines = 100000;
constexpr int HexRecordBytes = 16;
constexpr int HexRecordLength = 1 + 2 + 4 + 2 + 2 * HexRecordBytes + 2; // before CR LF

int DigitValue(char c) {
    return HexDigitValue(c);
}

// One record as it stands in the file, trimmed and checked to be ':' and hex
// digits only, with 1-based character positions as the format describes them.
class RecordText {
public:
    RecordText(const char* text, int length) : chars(text), charCount(length) {}

    int length() const { return charCount; }

    // The pair at `position`; both characters are there and hex digits.
    int pair(int position) const {
        return DigitValue(chars[position - 1]) * 16 + DigitValue(chars[position]);
    }

    // Adds the pairs starting at characters 2, 4, ... up to the last even
    // position that leaves the two checksum characters out, then the checksum.
    bool checksumGood() const {
        int sum = 0;
        for (int p = 2; p <= charCount - 2; p += 2)
            sum += pair(p);
        sum += pair(charCount - 1);
        return (sum & 0xFF) == 0;
    }

private:
    const char* chars;
    int charCount;
};

// ':', then hex digits only: anything else is no record, even where the
// checksum happens to hold (a stray 'G' must not read as a 0).
Status CheckRecordCharacters(const char* text, int length) {
    if (text[0] != ':')
        return Status::Fail(QStringLiteral("The line is not an Intel HEX record: it does not "
                                           "start with ':'."));
    for (int p = 1; p < length; ++p) {
        if (DigitValue(text[p]) < 0)
            return Status::Fail(
                QStringLiteral("The record holds a character that is not a hex digit."));
    }
    // ':', count, address, type and checksum: what an empty record holds.
    if (length < 11)
        return Status::Fail(QStringLiteral("The record is shorter than its byte count, address, "
                                           "type and checksum."));
    return Status::Ok();
}

using detail::LineFailure;

// Reads and checks every record up to the end record, each data record at its
// full address: the 16-bit address field plus the base that the last extended
// address record set. Type 04 sets the upper 16 bits; type 02 a segment
// (x 16) within which the offset wraps at 64 KiB, as a segmented CPU reads
// it (and srec_cat does). Start address records (03: CS:IP, 05: 32 bits) are
// kept; any other type is an error. Nothing is placed yet.
Status ReadHexRecords(const QByteArray& content, const QString& shown,
                      detail::ImageRecords& image) {
    image.records.reserve(static_cast<size_t>(
        std::min<qsizetype>(content.size() / HexRecordLength + 1, MaxRecordLines)));
    image.data.reserve(content.size() / 2);
    qint64 base = 0;
    bool segmented = false;
    int recordLines = 0;
    QByteArray bytes;
    detail::TextLines lines(content);
    const char* first = nullptr;
    const char* last = nullptr;
    while (lines.next(first, last)) {
        const int lineNumber = lines.lineNumber();
        if (++recordLines > MaxRecordLines) {
            return LineFailure(QStringLiteral("The file has more than %1 records before its "
                                              "end record.")
                                   .arg(MaxRecordLines),
                               shown, lineNumber);
        }

        const int length = static_cast<int>(last - first);
        if (Status characters = CheckRecordCharacters(first, length); !characters)
            return LineFailure(characters.message, shown, lineNumber);
        const RecordText line(first, length);
        const int byteCount = line.pair(2);
        const int address = line.pair(4) * 256 + line.pair(6);
        const int recordType = line.pair(8);
        if (!line.checksumGood()) {
            return LineFailure(QStringLiteral("Checksum Error in hex file!"), shown, lineNumber);
        }
        // A record cut short can still pass the checksum when the checksum
        // itself is taken for a data byte; its length gives it away.
        if (line.length() != 11 + 2 * byteCount) {
            return LineFailure(QStringLiteral("The record's length does not match its byte count."),
                               shown, lineNumber);
        }
        if (recordType == 0x01) {
            detail::NoteAfterEnd(lines, QStringLiteral(":00000001FF"), shown, image);
            return Status::Ok();
        }
        if (recordType > 0x05) {
            return LineFailure(QStringLiteral("The record type %1 is none of 00 (data), 01 (end), "
                                              "02 and 04 (extended address), 03 and 05 (start "
                                              "address).")
                                   .arg(HexByte(quint8(recordType))),
                               shown, lineNumber);
        }

        bytes.resize(byteCount);
        for (int k = 0; k < byteCount; ++k)
            bytes[k] = static_cast<char>(line.pair(10 + 2 * k));
        if (recordType == 0x00) {
            const int wrapped = segmented ? std::max(0, address + byteCount - 0x10000) : 0;
            const QByteArrayView data(bytes);
            image.add(lineNumber, base + address, data.first(byteCount - wrapped));
            if (wrapped > 0)
                image.add(lineNumber, base, data.last(wrapped));
            continue;
        }
        const bool start = recordType == 0x03 || recordType == 0x05;
        if (byteCount != (start ? 4 : 2)) {
            return LineFailure((start ? QStringLiteral("A start address record holds four data "
                                                       "bytes, this one %1.")
                                      : QStringLiteral("An extended address record holds two "
                                                       "data bytes, this one %1."))
                                   .arg(byteCount),
                               shown, lineNumber);
        }
        quint32 value = 0;
        for (int k = 0; k < byteCount; ++k)
            value = value << 8 | quint8(bytes[k]);
        if (recordType == 0x03) {
            image.start = (value >> 16) * 16 + (value & 0xFFFF); // CS x 16 + IP
        } else if (recordType == 0x05) {
            image.start = value;
        } else {
            segmented = recordType == 0x02;
            base = segmented ? qint64(value) * 16 : qint64(value) << 16;
        }
    }
    if (!image.records.empty())
        image.notices << QStringLiteral("The file has no end record (:00000001FF): it may have "
                                        "been cut off.\n%1")
                             .arg(shown);
    return Status::Ok();
}

void PutHexByte(char*& out, int value) {
    *out++ = HexDigits[(value >> 4) & 0xF];
    *out++ = HexDigits[value & 0xF];
}

void PutRecord(QByteArray& out, int type, int address, const quint8* data, int count) {
    char text[1 + 2 * (4 + 255 + 1)];
    char* w = text;
    *w++ = ':';
    PutHexByte(w, count);
    PutHexByte(w, address >> 8);
    PutHexByte(w, address & 0xFF);
    PutHexByte(w, type);
    int sum = count + (address >> 8) + (address & 0xFF) + type;
    for (int i = 0; i < count; ++i) {
        PutHexByte(w, data[i]);
        sum += data[i];
    }
    PutHexByte(w, (256 - (sum & 0xFF)) & 0xFF);
    out.append(text, w - text).append("\r\n");
}

} // namespace

namespace detail {

LoadResult LoadHexFile(const QString& path, const LoadOptions& options, ImageTarget target) {
    return OpenRecordImage(path, options, target, ReadHexRecords, MaxTextImageBytes);
}

Status HexFileBytes(const AppState& state, bool definedOnly, const QString& shown,
                    QByteArray& out) {
    const qint32 size = state.DeviceSize();
    // The record's address field has four digits and no extended address
    // records are written, so nothing above 64 KiB can be expressed.
    if (size < 0 || size > MaxDeviceSize) {
        return Status::Fail(QStringLiteral("Cannot save %1:\nan Intel HEX file written here holds "
                                           "at most 65536 bytes, the device has %2H.")
                                .arg(shown, HexWord(size)));
    }
    static constexpr char EndRecord[] = ":00000001FF\r\n";
    if (definedOnly) {
        out.clear();
        for (const BufferRange& r : DefinedRecords(state, size))
            PutRecord(out, 0x00, r.first, state.Buffer.data() + r.first, r.last - r.first + 1);
        if (state.startAddress) {
            const quint32 a = *state.startAddress;
            const quint8 start[4] = {quint8(a >> 24), quint8(a >> 16), quint8(a >> 8), quint8(a)};
            PutRecord(out, 0x05, 0, start, 4);
        }
        out.append(EndRecord);
        return Status::Ok();
    }
    const int recordCount = (size + HexRecordBytes - 1) / HexRecordBytes;
    out =
        QByteArray(qsizetype(recordCount) * (HexRecordLength + 2) + qsizetype(sizeof EndRecord) - 1,
                   Qt::Uninitialized);
    char* w = out.data();
    for (int a = 0; a < size; a += HexRecordBytes) {
        *w++ = ':';
        PutHexByte(w, HexRecordBytes);
        PutHexByte(w, a >> 8);
        PutHexByte(w, a & 0xFF);
        PutHexByte(w, 0x00);
        // Every record carries 16 bytes, even past the end of the device.
        int sum = HexRecordBytes + (a >> 8) + (a & 0xFF);
        for (int i = 0; i < HexRecordBytes; ++i) {
            const int b = state.Buffer[static_cast<size_t>(a + i)];
            PutHexByte(w, b);
            sum += b;
        }
        PutHexByte(w, (256 - (sum & 0xFF)) & 0xFF);
        *w++ = '\r';
        *w++ = '\n';
    }
    std::copy(EndRecord, EndRecord + sizeof EndRecord - 1, w);
    return Status::Ok();
}

} // namespace detail

} // namespace varn
