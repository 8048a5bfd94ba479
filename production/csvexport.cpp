#include "csvexport.h"

#include <QDate>
#include <QHash>
#include <QVariant>
#include <charconv>
#include <cstring>
#include <limits>
#include <vector>

namespace varn {

namespace {

QByteArray field(const QString& text) {
    QByteArray bytes = text.toUtf8();
    if (bytes.contains(',') || bytes.contains('"') || bytes.contains('\n') ||
        bytes.contains('\r')) {
        bytes.replace("\"", "\"\"");
        bytes = '"' + bytes + '"';
    }
    return bytes;
}

} // namespace

QByteArray CsvHeaderLine() {
    return ExportColumnNames().join(QLatin1Char(',')).toUtf8() + "\r\n";
}

void AppendCsvLine(QByteArray& csv, const ChipRecord& record) {
    csv += QByteArray::number(record.id);
    for (const RecordColumn& column : RecordColumns()) {
        csv += ',';
        csv += field(column.text(record));
    }
    csv += "\r\n";
}

QByteArray RecordsToCsv(const QList<ChipRecord>& records) {
    QByteArray csv = CsvHeaderLine();
    for (const ChipRecord& record : records)
        AppendCsvLine(csv, record);
    return csv;
}

namespace {

// How a column's stored value is shown; the rules are the ones
// RecordColumns() applies through the record, kept here for values as the
// log itself writes them. Anything else takes the way through the record.
enum class Shown {
    Text,        // as stored
    Time,        // ISO 8601 with milliseconds and Z
    ClosedAt,    // a time, or empty while the record is open
    Functions,   // names joined by commas
    Crc,         // eight hexadecimal digits
    Checksum,    // four hexadecimal digits
    Result,      // pass, fail, or interrupted while open
    FailureKind, // one of the names, or empty
    HexAddress,  // hexadecimal, at least four digits; empty for none
    HexByte,     // hexadecimal, at least two digits; empty for none
    Serial,      // decimal; empty for none
    Count,       // decimal, none reads 0
    SmallCount,  // the same, for a value a record holds in an int
    Flag,        // 1 or 0
    Length,      // decimal when above 0, else empty
    Unknown,     // always through the record
};

struct Layout {
    std::vector<Shown> shown; // per column of RecordColumns()
    int closedAt = -1;        // index in the row (id first)
};

const Layout& RowLayout() {
    static const Layout layout = [] {
        static const QHash<QByteArray, Shown> special = {
            {"recorded_at", Shown::Time},
            {"closed_at", Shown::ClosedAt},
            {"functions", Shown::Functions},
            {"image_crc32", Shown::Crc},
            {"programmed_crc32", Shown::Crc},
            {"image_checksum", Shown::Checksum},
            {"result", Shown::Result},
            {"failure_kind", Shown::FailureKind},
            {"failure_address", Shown::HexAddress},
            {"serial_address", Shown::HexAddress},
            {"expected_byte", Shown::HexByte},
            {"actual_byte", Shown::HexByte},
            {"serial_number", Shown::Serial},
            {"device_size", Shown::Count},
            {"duration_ms", Shown::Count},
            {"retries", Shown::SmallCount},
            {"program_bytes_sent", Shown::Flag},
            {"serial_length", Shown::Length},
        };
        Layout made;
        const QList<RecordColumn>& columns = RecordColumns();
        for (int i = 0; i < columns.size(); ++i) {
            const QByteArray name(columns[i].name);
            Shown shown = special.value(name, Shown::Unknown);
            // A column added later shows its text as stored only if it is text.
            if (shown == Shown::Unknown && QByteArray(columns[i].sqlType).startsWith("TEXT"))
                shown = Shown::Text;
            made.shown.push_back(shown);
            if (name == "closed_at")
                made.closedAt = i + 1;
        }
        return made;
    }();
    return layout;
}

// Writes into room made beforehand: a line is long, its pieces many, and
// QByteArray's checks on every small append cost more than the copying.
struct Out {
    char* at;
    void put(char c) { *at++ = c; }
    void put(const char* bytes, qsizetype size) {
        std::memcpy(at, bytes, size_t(size));
        at += size;
    }
    void decimal(qint64 value) { at = std::to_chars(at, at + 20, value).ptr; }
    void hex(quint64 value, int width) {
        char digits[16];
        int n = 0;
        do {
            digits[n++] = "0123456789ABCDEF"[value & 0xF];
            value >>= 4;
        } while (value != 0);
        for (int pad = n; pad < width; ++pad)
            put('0');
        while (n > 0)
            put(digits[--n]);
    }
};
// The most a value can take on the line: doubled quotes around every byte,
// or the longest number.
qsizetype room(const StoredValue& v) {
    return 1 + (v.type == StoredValue::Type::Text ? 2 * v.size + 2 : 24);
}

bool isUpperHex(const StoredValue& v, qsizetype digits) {
    if (v.type != StoredValue::Type::Text || v.size != digits)
        return false;
    for (qsizetype i = 0; i < digits; ++i) {
        const char c = v.bytes[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

bool fitsInt(const StoredValue& v) {
    return v.integer >= std::numeric_limits<int>::min() &&
           v.integer <= std::numeric_limits<int>::max();
}

int number(const char* p, int digits) {
    int n = 0;
    for (int i = 0; i < digits; ++i) {
        if (p[i] < '0' || p[i] > '9')
            return -1;
        n = n * 10 + (p[i] - '0');
    }
    return n;
}

// "2026-12-08T08:10:35.123Z" with a real date and time: reads back as written.
bool isLogTime(const StoredValue& v) {
    if (v.type != StoredValue::Type::Text || v.size != 24)
        return false;
    const char* p = v.bytes;
    if (p[4] != '-' || p[7] != '-' || p[10] != 'T' || p[13] != ':' || p[16] != ':' ||
        p[19] != '.' || p[23] != 'Z')
        return false;
    const int hour = number(p + 11, 2), minute = number(p + 14, 2), second = number(p + 17, 2);
    return QDate::isValid(number(p, 4), number(p + 5, 2), number(p + 8, 2)) && hour >= 0 &&
           hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60 &&
           number(p + 20, 3) >= 0;
}

// False where the bytes are not UTF-8: read through QString they would
// change, so the record's way shows them.
bool appendText(Out& out, const char* bytes, qsizetype size) {
    bool quote = false;
    bool ascii = true;
    for (qsizetype i = 0; i < size; ++i) {
        const char c = bytes[i];
        quote |= c == ',' || c == '"' || c == '\n' || c == '\r';
        ascii &= (static_cast<unsigned char>(c) & 0x80) == 0;
    }
    if (!ascii && QString::fromUtf8(bytes, size).toUtf8() != QByteArrayView(bytes, size))
        return false;
    if (!quote) {
        out.put(bytes, size);
        return true;
    }
    out.put('"');
    for (qsizetype i = 0; i < size; ++i) {
        if (bytes[i] == '"')
            out.put('"');
        out.put(bytes[i]);
    }
    out.put('"');
    return true;
}

QVariant asVariant(const StoredValue& v) {
    switch (v.type) {
    case StoredValue::Type::Integer:
        return QVariant(v.integer);
    case StoredValue::Type::Real:
        return QVariant(v.real);
    case StoredValue::Type::Text:
        return QVariant(QString::fromUtf8(v.bytes, v.size));
    case StoredValue::Type::Blob:
        return QVariant(QByteArray(v.bytes, v.size));
    case StoredValue::Type::Null:
        break;
    }
    return QVariant();
}

// False where only the record knows how to show the value.
bool appendShown(Out& out, Shown shown, const StoredValue& v, const StoredValue* row) {
    using T = StoredValue::Type;
    const bool null = v.type == T::Null;
    const bool integer = v.type == T::Integer;
    const bool text = v.type == T::Text;
    switch (shown) {
    case Shown::Text:
        if (integer)
            out.decimal(v.integer);
        return null || integer || (text && appendText(out, v.bytes, v.size));
    case Shown::Time:
    case Shown::ClosedAt:
        if (null && shown == Shown::ClosedAt)
            return true;
        if (!isLogTime(v))
            return false;
        out.put(v.bytes, v.size);
        return true;
    case Shown::Functions: {
        if (null)
            return true;
        const QByteArrayView names(v.bytes, v.size);
        return text && !names.startsWith(',') && !names.endsWith(',') && !names.contains(",,") &&
               appendText(out, v.bytes, v.size);
    }
    case Shown::Crc:
    case Shown::Checksum:
        if (!isUpperHex(v, shown == Shown::Crc ? 8 : 4))
            return false;
        out.put(v.bytes, v.size);
        return true;
    case Shown::Result: {
        const char* result = row[RowLayout().closedAt].type == T::Null           ? "interrupted"
                             : text && QByteArrayView(v.bytes, v.size) == "pass" ? "pass"
                                                                                 : "fail";
        out.put(result, qsizetype(std::strlen(result)));
        return true;
    }
    case Shown::FailureKind:
        // The record keeps a kind it knows and shows its name; any other
        // text reads as none.
        if (text && ParseFailure(QString::fromUtf8(v.bytes, v.size)) != ChipRecord::Failure::None)
            out.put(v.bytes, v.size);
        return true;
    case Shown::HexAddress:
    case Shown::HexByte:
        if (null)
            return true;
        if (!integer || (shown == Shown::HexByte && !fitsInt(v)))
            return false;
        if (v.integer >= 0)
            out.hex(quint64(v.integer), shown == Shown::HexByte ? 2 : 4);
        return true;
    case Shown::Serial:
        if (integer && v.integer >= 0)
            out.decimal(v.integer);
        return null || integer;
    case Shown::Count:
    case Shown::SmallCount:
    case Shown::Flag:
    case Shown::Length: {
        if (!null && !(integer && (shown == Shown::Count || fitsInt(v))))
            return false;
        const qint64 n = null ? 0 : v.integer;
        if (shown == Shown::Flag)
            out.put(n != 0 ? '1' : '0');
        else if (shown != Shown::Length || n > 0)
            out.decimal(n);
        return true;
    }
    case Shown::Unknown:
        break;
    }
    return false;
}

} // namespace

void AppendStoredCsvLine(QByteArray& csv, const StoredValue* row) {
    const Layout& layout = RowLayout();
    const qsizetype start = csv.size();
    qsizetype most = 2 + room(row[0]);
    for (size_t i = 0; i < layout.shown.size(); ++i)
        most += room(row[i + 1]);
    csv.resize(start + most);
    Out out{csv.data() + start};
    bool plain = row[0].type == StoredValue::Type::Integer;
    if (plain)
        out.decimal(row[0].integer);
    for (size_t i = 0; plain && i < layout.shown.size(); ++i) {
        out.put(',');
        plain = appendShown(out, layout.shown[i], row[i + 1], row);
    }
    if (plain) {
        out.put("\r\n", 2);
        csv.truncate(out.at - csv.constData());
        return;
    }
    csv.truncate(start);
    ChipRecord record;
    record.id = asVariant(row[0]).toLongLong();
    const QList<RecordColumn>& columns = RecordColumns();
    for (int i = 0; i < columns.size(); ++i)
        columns[i].set(record, asVariant(row[i + 1]));
    AppendCsvLine(csv, record);
}

} // namespace varn
