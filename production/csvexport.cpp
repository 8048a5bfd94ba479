#include "csvexport.h"

#include <QDate>
#include <QHash>
#include <QVariant>
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

void appendHex(QByteArray& csv, quint64 value, int width) {
    char digits[16];
    int n = 0;
    do {
        digits[n++] = "0123456789ABCDEF"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    for (int pad = n; pad < width; ++pad)
        csv += '0';
    while (n > 0)
        csv += digits[--n];
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

void appendText(QByteArray& csv, const char* bytes, qsizetype size) {
    bool quote = false;
    bool ascii = true;
    for (qsizetype i = 0; i < size; ++i) {
        const char c = bytes[i];
        quote |= c == ',' || c == '"' || c == '\n' || c == '\r';
        ascii &= (static_cast<unsigned char>(c) & 0x80) == 0;
    }
    if (!ascii) {
        // As text read through QString: a broken sequence reads as U+FFFD.
        const QByteArray clean = QString::fromUtf8(bytes, size).toUtf8();
        if (clean != QByteArrayView(bytes, size)) {
            csv += field(QString::fromUtf8(clean));
            return;
        }
    }
    if (!quote) {
        csv.append(bytes, size);
        return;
    }
    csv += '"';
    for (qsizetype i = 0; i < size; ++i) {
        if (bytes[i] == '"')
            csv += '"';
        csv += bytes[i];
    }
    csv += '"';
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

// False (with csv as it was) where only the record knows how to show it.
bool appendShown(QByteArray& csv, Shown shown, const StoredValue& v, const StoredValue* row) {
    using T = StoredValue::Type;
    const bool null = v.type == T::Null;
    const bool integer = v.type == T::Integer;
    switch (shown) {
    case Shown::Text:
        if (integer)
            csv += QByteArray::number(v.integer);
        else if (v.type == T::Text)
            appendText(csv, v.bytes, v.size);
        return null || integer || v.type == T::Text;
    case Shown::Time:
        if (!isLogTime(v))
            return false;
        csv.append(v.bytes, v.size);
        return true;
    case Shown::ClosedAt:
        if (null)
            return true;
        if (!isLogTime(v))
            return false;
        csv.append(v.bytes, v.size);
        return true;
    case Shown::Functions: {
        if (null)
            return true;
        if (v.type != T::Text)
            return false;
        const QByteArrayView names(v.bytes, v.size);
        if (names.startsWith(',') || names.endsWith(',') || names.contains(",,"))
            return false;
        appendText(csv, v.bytes, v.size);
        return true;
    }
    case Shown::Crc:
    case Shown::Checksum:
        if (!isUpperHex(v, shown == Shown::Crc ? 8 : 4))
            return false;
        csv.append(v.bytes, v.size);
        return true;
    case Shown::Result: {
        const StoredValue& closed = row[RowLayout().closedAt];
        if (closed.type == T::Null)
            csv += "interrupted";
        else
            csv += v.type == T::Text && QByteArrayView(v.bytes, v.size) == "pass" ? "pass" : "fail";
        return true;
    }
    case Shown::FailureKind:
        if (v.type == T::Text) {
            const QByteArrayView name(v.bytes, v.size);
            for (const char* known : {"mismatch", "communication", "refused", "stopped", "hook"})
                if (name == known)
                    csv.append(v.bytes, v.size);
        }
        return true;
    case Shown::HexAddress:
    case Shown::HexByte:
        if (null)
            return true;
        if (!integer || (shown == Shown::HexByte && !fitsInt(v)))
            return false;
        if (v.integer >= 0)
            appendHex(csv, quint64(v.integer), shown == Shown::HexByte ? 2 : 4);
        return true;
    case Shown::Serial:
        if (integer && v.integer >= 0)
            csv += QByteArray::number(v.integer);
        return null || integer;
    case Shown::Count:
    case Shown::SmallCount:
    case Shown::Flag:
    case Shown::Length: {
        if (!null && !(integer && (shown == Shown::Count || fitsInt(v))))
            return false;
        const qint64 n = null ? 0 : v.integer;
        if (shown == Shown::Flag)
            csv += n != 0 ? '1' : '0';
        else if (shown != Shown::Length || n > 0)
            csv += QByteArray::number(n);
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
    bool plain = row[0].type == StoredValue::Type::Integer;
    if (plain)
        csv += QByteArray::number(row[0].integer);
    for (size_t i = 0; plain && i < layout.shown.size(); ++i) {
        csv += ',';
        plain = appendShown(csv, layout.shown[i], row[i + 1], row);
    }
    if (plain) {
        csv += "\r\n";
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
