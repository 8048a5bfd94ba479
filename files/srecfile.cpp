#include "imagefiles.h"

#include "core/hextext.h"
#include "filesupport.h"

#include <QDir>
#include <algorithm>
#include <vector>

namespace varn {

namespace {

// Bounds the work a hostile file can cause; a full 64 KiB device written with
// one byte per record still fits.
constexpr int MaxRecordLines = 100000;
constexpr int SaveRecordBytes = 16;

int DigitValue(char c) {
    return HexDigitValue(c);
}

using detail::LineFailure;

// The digits of the address field by record type; 0 where the type has none
// this reader accepts (S4).
int AddressBytes(int type) {
    static constexpr int bytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    return bytes[type];
}

// One record line, already trimmed: "S", the type digit, then pairs of hex
// digits (count, address, data, checksum). Fills the bytes after the type
// digit; the failure names what is wrong with the line.
Status DecodeLine(const char* text, int length, int& type, std::vector<quint8>& bytes) {
    if (text[0] != 'S' && text[0] != 's')
        return Status::Fail(QStringLiteral("The line is not an S-record: it does not start "
                                           "with S."));
    if (length < 2 || text[1] < '0' || text[1] > '9' || text[1] == '4')
        return Status::Fail(QStringLiteral("The record type is not one of S0-S3, S5-S9."));
    type = text[1] - '0';
    if (length % 2 != 0)
        return Status::Fail(QStringLiteral("The record has an odd number of characters."));
    bytes.clear();
    for (int p = 2; p < length; p += 2) {
        const int high = DigitValue(text[p]);
        const int low = DigitValue(text[p + 1]);
        if ((high | low) < 0)
            return Status::Fail(
                QStringLiteral("The record holds a character that is not a hex digit."));
        bytes.push_back(static_cast<quint8>(high * 16 + low));
    }
    // count, address, checksum at the least
    if (bytes.size() < size_t(2 + AddressBytes(type)) || bytes[0] != bytes.size() - 1)
        return Status::Fail(QStringLiteral("The record's length does not match its byte count."));
    int sum = 0;
    for (const quint8 b : bytes)
        sum += b;
    if ((sum & 0xFF) != 0xFF)
        return Status::Fail(QStringLiteral("Checksum Error in S-record file!"));
    return Status::Ok();
}

qint64 AddressOf(const std::vector<quint8>& bytes, int type) {
    qint64 address = 0;
    for (int k = 1; k <= AddressBytes(type); ++k)
        address = address * 256 + bytes[size_t(k)];
    return address;
}

void PutHexByte(QByteArray& out, int value) {
    out.append(HexDigits[(value >> 4) & 0xF]).append(HexDigits[value & 0xF]);
}

// One record of `type` with a `width`-byte address and its checksum.
void PutRecord(QByteArray& out, int type, int width, qint64 address, const quint8* data,
               int count) {
    out.append('S').append(char('0' + type));
    const int length = width + count + 1;
    int sum = length;
    PutHexByte(out, length);
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
        const int b = int((address >> shift) & 0xFF);
        PutHexByte(out, b);
        sum += b;
    }
    for (int k = 0; k < count; ++k) {
        PutHexByte(out, data[k]);
        sum += data[k];
    }
    PutHexByte(out, ~sum & 0xFF);
    out.append("\r\n");
}

// Pass 1 of a load: every record up to the end record read and checked into
// image; nothing touches the buffer. A file that ends neither with an end
// record nor with a count record after its last data record may have been
// cut off: it loads with a notice, as an Intel HEX file without its end record.
Status ReadSRecords(const QByteArray& content, const QString& shown, detail::ImageRecords& image) {
    std::vector<quint8> bytes;
    int recordLines = 0;
    int dataRecords = 0;
    bool counted = false; // a count record vouches for every data record so far
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

        int type = 0;
        if (Status decoded = DecodeLine(first, int(last - first), type, bytes); !decoded)
            return LineFailure(decoded.message, shown, lineNumber);
        if (type >= 7) { // the end record, which carries only a start address
            // Most tools write 0 there when the image has no start address.
            if (const qint64 start = AddressOf(bytes, type); start != 0)
                image.start = quint32(start);
            detail::NoteAfterEnd(lines, QStringLiteral("S%1").arg(type), shown, image);
            return Status::Ok();
        }
        if (type == 5 || type == 6) {
            const qint64 stated = AddressOf(bytes, type);
            if (stated != dataRecords) {
                return LineFailure(QStringLiteral("The count record says %1 data records; "
                                                  "%2 came before it.")
                                       .arg(stated)
                                       .arg(dataRecords),
                                   shown, lineNumber);
            }
            counted = true;
            continue;
        }
        if (type == 0)
            continue; // the header names the file or its maker; nothing to load
        ++dataRecords;
        counted = false;
        const int skip = 1 + AddressBytes(type);
        image.add(lineNumber, AddressOf(bytes, type),
                  QByteArrayView(reinterpret_cast<const char*>(bytes.data()) + skip,
                                 qsizetype(bytes.size()) - skip - 1));
    }
    if (!image.records.empty() && !counted)
        image.notices << QStringLiteral("The file has no end record (S7, S8 or S9) and no count "
                                        "record (S5, S6) after its data: it may have been cut "
                                        "off.\n%1")
                             .arg(shown);
    return Status::Ok();
}

} // namespace

bool PathLooksSRecord(const QString& path) {
    static const char* const endings[] = {".s19", ".s28", ".s37", ".srec", ".mot", ".s"};
    return std::any_of(std::begin(endings), std::end(endings), [&](const char* ending) {
        return path.endsWith(QLatin1String(ending), Qt::CaseInsensitive);
    });
}

namespace detail {

LoadResult LoadSRecordFile(const QString& path, const LoadOptions& options, ImageTarget target) {
    return OpenRecordImage(path, options, target, ReadSRecords, MaxTextImageBytes);
}

Status SRecordFileBytes(const AppState& state, bool definedOnly, const QString& shown,
                        QByteArray& out) {
    const qint32 size = state.DeviceSize();
    if (size < 0 || size > BufferSize) {
        return Status::Fail(
            QStringLiteral("Cannot save %1:\nthe device size %2 exceeds the buffer.")
                .arg(shown, HexWord(size)));
    }
    // Two address bytes reach 64 KiB; anything above needs three, and the
    // end record then takes the matching width. A start address above 64 KiB
    // needs the wider end record as well.
    const quint32 start = definedOnly ? state.startAddress.value_or(0) : 0;
    const bool wide = size > 0x10000 || start > 0xFFFF;
    const bool widest = start > 0xFFFFFF;
    const int width = wide ? 3 : 2;
    out.clear();
    out.reserve((size / SaveRecordBytes + 4) * (12 + 2 * SaveRecordBytes));
    static constexpr quint8 header[] = {'v', 'a', 'r', 'n'};
    PutRecord(out, 0, 2, 0, header, int(sizeof header));
    int records = 0;
    if (definedOnly) {
        for (const BufferRange& r : DefinedRecords(state, size)) {
            PutRecord(out, wide ? 2 : 1, width, r.first, state.Buffer.data() + r.first,
                      r.last - r.first + 1);
            ++records;
        }
    } else {
        for (qint32 a = 0; a < size; a += SaveRecordBytes, ++records) {
            PutRecord(out, wide ? 2 : 1, width, a, state.Buffer.data() + a,
                      std::min(SaveRecordBytes, size - a));
        }
    }
    // A count above 16 bits needs the wider count record.
    if (records <= 0xFFFF)
        PutRecord(out, 5, 2, records, nullptr, 0);
    else
        PutRecord(out, 6, 3, records, nullptr, 0);
    if (widest)
        PutRecord(out, 7, 4, start, nullptr, 0);
    else
        PutRecord(out, wide ? 8 : 9, width, start, nullptr, 0);
    return Status::Ok();
}

} // namespace detail

} // namespace varn
