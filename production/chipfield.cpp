#include "chipfield.h"

#include "core/appstate.h"
#include "core/crc32.h"
#include "core/hextext.h"

#include <algorithm>
#include <limits>

namespace varn {

namespace {

struct KindName {
    ChipField::Kind kind;
    const char* name;
};
constexpr KindName KindNames[] = {
    {ChipField::Kind::Pool, "pool"},   {ChipField::Kind::Crc16, "crc16"},
    {ChipField::Kind::Crc32, "crc32"}, {ChipField::Kind::Time, "time"},
    {ChipField::Kind::Text, "text"},   {ChipField::Kind::Lot, "lot"},
};

QString kindName(ChipField::Kind kind) {
    for (const KindName& k : KindNames)
        if (k.kind == kind)
            return QLatin1String(k.name);
    return {};
}

bool unixTime(const ChipField& field) {
    return field.kind == ChipField::Kind::Time &&
           field.value.compare(QLatin1String("unix"), Qt::CaseInsensitive) == 0;
}

// The field's number as SerialSettings writes one (pool numbers, Unix time).
SerialSettings numberLayout(const ChipField& field) {
    SerialSettings s;
    s.length = field.length;
    s.encoding = field.encoding;
    s.order = field.order;
    return s;
}

// A sample of what a time format writes, for its default length.
QString sampleTime(const QString& format) {
    return QDateTime(QDate(2000, 12, 31), QTime(23, 59, 59)).toString(format);
}

QString hexAddress(qint64 address) {
    return HexWord(qint32(address));
}

// The bytes of a number, or why it does not fit.
Status numberBytes(const ChipField& field, qint64 number, QByteArray* bytes) {
    const SerialSettings layout = numberLayout(field);
    if (number < 0 || number > layout.encodingMaximum())
        return Status::Fail(QStringLiteral("%1: %2 does not fit in %3 %4 bytes")
                                .arg(field.label())
                                .arg(number)
                                .arg(field.length)
                                .arg(EncodingName(field.encoding)));
    *bytes = EncodeSerial(layout, number);
    return Status::Ok();
}

// Text padded with NUL bytes to the field's length.
Status textBytes(const ChipField& field, const QString& text, QByteArray* bytes) {
    const QByteArray utf8 = text.toUtf8();
    if (utf8.size() > field.length)
        return Status::Fail(QStringLiteral("%1: \"%2\" is longer than the field's %3 bytes")
                                .arg(field.label(), text)
                                .arg(field.length));
    *bytes = utf8 + QByteArray(field.length - utf8.size(), '\0');
    return Status::Ok();
}

// Decimal digits packed two to a byte, the first digit in the high nibble.
Status bcdBytes(const ChipField& field, const QString& digits, QByteArray* bytes) {
    const bool allDigits =
        std::all_of(digits.begin(), digits.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    if (!allDigits || digits.size() != 2 * field.length)
        return Status::Fail(QStringLiteral("%1: \"%2\" is not %3 decimal digits for %4 BCD bytes")
                                .arg(field.label(), digits)
                                .arg(2 * field.length)
                                .arg(field.length));
    bytes->resize(field.length);
    for (int i = 0; i < field.length; ++i)
        (*bytes)[i] =
            char((digits[2 * i].unicode() - u'0') << 4 | (digits[2 * i + 1].unicode() - u'0'));
    return Status::Ok();
}

QByteArray orderedValue(quint64 value, int length, SerialSettings::Order order) {
    QByteArray bytes(length, '\0');
    for (int i = 0; i < length; ++i)
        bytes[order == SerialSettings::Order::MostSignificantFirst ? length - 1 - i : i] =
            char(value >> (8 * i) & 0xFF);
    return bytes;
}

Status overlapProblem(const QString& a, qint64 aFirst, qint64 aEnd, const QString& b, qint64 bFirst,
                      qint64 bEnd) {
    if (aFirst >= bEnd || bFirst >= aEnd)
        return Status::Ok();
    return Status::Fail(QStringLiteral("The %1 field %2..%3 and the %4 field %5..%6 overlap.")
                            .arg(a, hexAddress(aFirst), hexAddress(aEnd - 1), b, hexAddress(bFirst),
                                 hexAddress(bEnd - 1)));
}

QString imageProblem(const QString& what, qint64 first, qint64 end, const AppState& image) {
    if (!image.anyDefined(first, end))
        return {};
    qint64 at = first;
    while (at < end && !image.isDefined(at))
        ++at;
    return QStringLiteral("The %1 field %2..%3 covers bytes of the image (the first at %4). "
                          "Move the field, or allow it to overwrite them.")
        .arg(what, hexAddress(first), hexAddress(end - 1), hexAddress(at));
}

// Whether the CRC's value depends on the other field's bytes.
bool covers(const ChipField& crc, const ChipField& other) {
    return crc.isCrc() && other.address <= crc.to && crc.from < other.end();
}

QString named(const ChipField& field) {
    QString name =
        QStringLiteral("the %1 field at %2").arg(field.label(), hexAddress(field.address));
    if (field.isCrc())
        name += QStringLiteral(" (over %1-%2)").arg(hexAddress(field.from), hexAddress(field.to));
    return name;
}

// Among fields none of which is ready, a chain of CRCs each covering the next
// and the last covering the first.
Status cycleProblem(const QList<ChipField>& fields, const QList<bool>& placed) {
    QList<qsizetype> chain{placed.indexOf(false)};
    for (;;) {
        const ChipField& last = fields[chain.back()];
        qsizetype next = 0;
        while (next < fields.size() &&
               (placed[next] || next == chain.back() || !covers(last, fields[next])))
            ++next;
        if (const qsizetype seen = chain.indexOf(next); seen >= 0) {
            chain.remove(0, seen);
            break;
        }
        chain.append(next);
    }
    QString text = named(fields[chain[0]]);
    text[0] = text[0].toUpper();
    text += QStringLiteral(" covers ") + named(fields[chain[1]]);
    if (chain.size() == 2) {
        text += QStringLiteral(", which covers it in turn");
    } else {
        QStringList through;
        for (qsizetype i = 2; i < chain.size(); ++i)
            through << named(fields[chain[i]]);
        text += QStringLiteral(", which depends on it through ") +
                through.join(QStringLiteral(" and "));
    }
    return Status::Fail(text + QStringLiteral(": no order writes both right. Move one out of the "
                                              "other's range."));
}

} // namespace

QString ChipField::label() const {
    if (kind == Kind::Pool)
        return QStringLiteral("pool ") + value;
    return kindName(kind);
}

QString ChipField::text() const {
    QStringList parts;
    switch (kind) {
    case Kind::Lot:
        parts << QStringLiteral("lot");
        break;
    case Kind::Crc16:
    case Kind::Crc32:
        parts << QStringLiteral("%1=%2-%3").arg(kindName(kind), hexAddress(from), hexAddress(to));
        break;
    default:
        parts << kindName(kind) + QLatin1Char('=') + value;
    }
    parts << QStringLiteral("at=") + hexAddress(address) << QStringLiteral("length=%1").arg(length);
    if (kind == Kind::Pool || kind == Kind::Time)
        parts << QStringLiteral("encoding=") + EncodingName(encoding);
    if (kind == Kind::Pool || isCrc() || unixTime(*this))
        parts << QStringLiteral("order=") + OrderName(order);
    if (overwrite)
        parts << QStringLiteral("overwrite");
    return parts.join(QLatin1Char(','));
}

Status ChipField::check(qint64 deviceSize) const {
    const QString what = label();
    const auto failed = [&](const QString& why) {
        return Status::Fail(QStringLiteral("%1 field: %2").arg(what, why));
    };
    switch (kind) {
    case Kind::Pool:
        if (const Status named = CheckSeriesName(value); !named)
            return failed(QStringLiteral("pool name \"%1\": 1 to 64 letters, digits, \".\", "
                                         "\"_\", \"+\" or \"-\"")
                              .arg(value));
        if (length < 1 || length > 8)
            return failed(QStringLiteral("a number is 1 to 8 bytes"));
        break;
    case Kind::Crc16:
    case Kind::Crc32:
        if (length != (kind == Kind::Crc16 ? 2 : 4))
            return failed(
                QStringLiteral("a %1 is %2 bytes").arg(what).arg(kind == Kind::Crc16 ? 2 : 4));
        if (from < 0 || to < from)
            return failed(
                QStringLiteral("the range %1-%2 is empty").arg(hexAddress(from), hexAddress(to)));
        if (from < end() && address <= to)
            return failed(QStringLiteral("the range %1-%2 covers the field's own bytes at %3")
                              .arg(hexAddress(from), hexAddress(to), hexAddress(address)));
        break;
    case Kind::Time:
        if (value.isEmpty())
            return failed(QStringLiteral("give a format (yyMMdd, yyyy-MM-dd hh:mm, unix)"));
        if (length < 1 || (unixTime(*this) && length > 8))
            return failed(QStringLiteral("a length of 1 to 8 bytes is needed"));
        if (!unixTime(*this) && encoding == SerialSettings::Encoding::Binary)
            return failed(QStringLiteral("a date/time format is written as ascii or bcd"));
        break;
    case Kind::Text:
    case Kind::Lot:
        if (length < 1)
            return failed(QStringLiteral("give its length (length=N)"));
        if (kind == Kind::Text && value.toUtf8().size() > length)
            return failed(QStringLiteral("\"%1\" is longer than %2 bytes").arg(value).arg(length));
        break;
    }
    const qint64 limit = deviceSize > 0 ? deviceSize : qint64(BufferSize);
    const QString where = deviceSize > 0 ? QStringLiteral("device") : QStringLiteral("buffer");
    if (address < 0 || end() > limit)
        return failed(QStringLiteral("%1..%2 lies outside the %3")
                          .arg(hexAddress(address), hexAddress(end() - 1), where));
    if (isCrc() && to >= limit)
        return failed(QStringLiteral("the range %1-%2 lies outside the %3")
                          .arg(hexAddress(from), hexAddress(to), where));
    return Status::Ok();
}

Status FieldFromText(const QString& text, ChipField* out) {
    ChipField field;
    const QStringList parts = text.split(QLatin1Char(','));
    const auto failed = [&](const QString& why) {
        return Status::Fail(QStringLiteral("field \"%1\": %2").arg(text, why));
    };
    const QString head = parts.front().trimmed();
    const QString kindWord = head.section(QLatin1Char('='), 0, 0).trimmed().toLower();
    const QString value = head.section(QLatin1Char('='), 1);
    bool known = false;
    for (const KindName& k : KindNames)
        if (kindWord == QLatin1String(k.name)) {
            field.kind = k.kind;
            known = true;
        }
    if (!known)
        return failed(QStringLiteral("begin with pool=, crc16=, crc32=, time=, text= or lot"));
    if (field.kind != ChipField::Kind::Lot && !head.contains(QLatin1Char('=')))
        return failed(QStringLiteral("%1 needs a value (%1=...)").arg(kindWord));
    field.value = value;
    bool haveAddress = false, haveLength = false, haveEncoding = false;
    if (field.isCrc()) {
        const QString first = value.section(QLatin1Char('-'), 0, 0).trimmed();
        const QString last = value.section(QLatin1Char('-'), 1).trimmed();
        if (first.isEmpty() || last.isEmpty() || !ReadTypedOffset(first, field.from) ||
            !ReadTypedOffset(last, field.to))
            return failed(QStringLiteral("a CRC names its range as FROM-TO, hexadecimal"));
        field.value.clear();
        field.length = field.kind == ChipField::Kind::Crc16 ? 2 : 4;
    }
    for (qsizetype i = 1; i < parts.size(); ++i) {
        const QString key = parts[i].section(QLatin1Char('='), 0, 0).trimmed().toLower();
        const QString arg = parts[i].section(QLatin1Char('='), 1).trimmed();
        if (key == QLatin1String("at")) {
            if (arg.isEmpty() || !ReadTypedOffset(arg, field.address))
                return failed(QStringLiteral("at=HEX: a hexadecimal address"));
            haveAddress = true;
        } else if (key == QLatin1String("length")) {
            bool ok = false;
            field.length = arg.toInt(&ok);
            if (!ok)
                return failed(QStringLiteral("length=N: a number of bytes"));
            haveLength = true;
        } else if (key == QLatin1String("encoding")) {
            if (!ParseEncoding(arg, &field.encoding))
                return failed(QStringLiteral("encoding: binary, bcd or ascii"));
            haveEncoding = true;
        } else if (key == QLatin1String("order")) {
            if (!ParseOrder(arg, &field.order))
                return failed(QStringLiteral("order: msb or lsb"));
        } else if (key == QLatin1String("overwrite") && !parts[i].contains(QLatin1Char('='))) {
            field.overwrite = true;
        } else {
            return failed(QStringLiteral("unknown part \"%1\" (at=, length=, encoding=, order=, "
                                         "overwrite)")
                              .arg(parts[i].trimmed()));
        }
    }
    if (!haveAddress)
        return failed(QStringLiteral("at=HEX names where it goes"));
    if (field.kind == ChipField::Kind::Time && !haveEncoding)
        field.encoding = unixTime(field) ? SerialSettings::Encoding::Binary
                                         : SerialSettings::Encoding::AsciiDecimal;
    if (!haveLength) {
        switch (field.kind) {
        case ChipField::Kind::Pool:
            field.length = 4;
            break;
        case ChipField::Kind::Time:
            if (unixTime(field))
                field.length = field.encoding == SerialSettings::Encoding::AsciiDecimal ? 10
                               : field.encoding == SerialSettings::Encoding::PackedBcd  ? 5
                                                                                        : 4;
            else
                field.length = field.encoding == SerialSettings::Encoding::PackedBcd
                                   ? int(sampleTime(field.value).size() / 2)
                                   : int(sampleTime(field.value).toUtf8().size());
            break;
        case ChipField::Kind::Text:
            field.length = int(field.value.toUtf8().size());
            break;
        default:
            break;
        }
    }
    if (const Status valid = field.check(); !valid)
        return failed(valid.message);
    *out = field;
    return Status::Ok();
}

Status FieldsFromText(const QStringList& lines, QList<ChipField>* fields) {
    fields->clear();
    for (const QString& line : lines) {
        ChipField field;
        if (const Status read = FieldFromText(line, &field); !read)
            return read;
        fields->append(field);
    }
    return ChipFieldOrder(*fields);
}

Status ChipFieldOrder(const QList<ChipField>& fields, QList<qsizetype>* order) {
    // Few fields: the first ready one each time keeps independent fields in
    // the order given.
    QList<bool> placed(fields.size(), false);
    QList<qsizetype> result;
    while (result.size() < fields.size()) {
        qsizetype next = -1;
        for (qsizetype i = 0; i < fields.size() && next < 0; ++i) {
            bool ready = !placed[i];
            for (qsizetype j = 0; j < fields.size() && ready; ++j)
                ready = j == i || placed[j] || !covers(fields[i], fields[j]);
            if (ready)
                next = i;
        }
        if (next < 0)
            return cycleProblem(fields, placed);
        placed[next] = true;
        result.append(next);
    }
    if (order)
        *order = result;
    return Status::Ok();
}

QStringList FieldsToText(const QList<ChipField>& fields) {
    QStringList lines;
    for (const ChipField& field : fields)
        lines.append(field.text());
    return lines;
}

quint16 Crc16Ccitt(const quint8* data, std::size_t size, quint16 crc) {
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= quint16(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = crc & 0x8000 ? quint16(crc << 1 ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

Status WriteChipFields(AppState& chip, const QList<ChipField>& fields,
                       const ChipFieldValues& values, QString* noted) {
    QList<qsizetype> order;
    if (const Status ordered = ChipFieldOrder(fields, &order); !ordered)
        return ordered;
    // Pool numbers were drawn in the order the fields are given.
    QList<qsizetype> poolIndex(fields.size(), -1);
    for (qsizetype i = 0, pool = 0; i < fields.size(); ++i)
        if (fields[i].kind == ChipField::Kind::Pool)
            poolIndex[i] = pool++;
    for (const qsizetype i : order) {
        const ChipField& field = fields[i];
        if (const Status valid = field.check(); !valid)
            return valid;
        QByteArray bytes;
        Status made;
        switch (field.kind) {
        case ChipField::Kind::Pool:
            if (poolIndex[i] >= values.poolNumbers.size())
                return Status::Fail(
                    QStringLiteral("%1: no number was drawn for the field").arg(field.label()));
            made = numberBytes(field, values.poolNumbers[poolIndex[i]], &bytes);
            break;
        case ChipField::Kind::Crc16:
        case ChipField::Kind::Crc32: {
            const quint8* data = chip.Buffer.data() + field.from;
            const std::size_t size = std::size_t(field.to - field.from + 1);
            bytes = field.kind == ChipField::Kind::Crc16
                        ? orderedValue(Crc16Ccitt(data, size), 2, field.order)
                        : orderedValue(Crc32(data, size), 4, field.order);
            break;
        }
        case ChipField::Kind::Time:
            if (!values.time.isValid())
                return Status::Fail(QStringLiteral("time: the chip has no time stamp"));
            if (unixTime(field))
                made = numberBytes(field, values.time.toSecsSinceEpoch(), &bytes);
            else if (field.encoding == SerialSettings::Encoding::PackedBcd)
                made = bcdBytes(field, values.time.toLocalTime().toString(field.value), &bytes);
            else
                made = textBytes(field, values.time.toLocalTime().toString(field.value), &bytes);
            break;
        case ChipField::Kind::Text:
            made = textBytes(field, field.value, &bytes);
            break;
        case ChipField::Kind::Lot:
            made = values.lot.isEmpty()
                       ? Status::Fail(QStringLiteral("lot: the run has no lot code (--lot)"))
                       : textBytes(field, values.lot, &bytes);
            break;
        }
        if (!made)
            return made;
        std::copy(bytes.begin(), bytes.end(), chip.Buffer.begin() + field.address);
        chip.markDefined(field.address, field.end());
    }
    // What the chip holds once every field is in.
    QStringList notes;
    for (const ChipField& field : fields)
        notes << QStringLiteral("%1@%2=%3")
                     .arg(field.label().replace(QLatin1Char(' '), QLatin1Char(':')),
                          hexAddress(field.address),
                          QString::fromLatin1(
                              QByteArray(reinterpret_cast<const char*>(chip.Buffer.data()) +
                                             field.address,
                                         field.length)
                                  .toHex()
                                  .toUpper()));
    if (noted)
        *noted = notes.join(QLatin1Char(' '));
    return Status::Ok();
}

QString ChipFieldsProblem(const SerialSettings* serial, bool serialOverwrite,
                          const QList<ChipField>& fields, const AppState& image) {
    struct Span {
        QString what;
        qint64 first, end;
        bool overwrite;
    };
    QList<Span> spans;
    if (serial && serial->enabled) {
        if (const Status fits = serial->check(image.DeviceSize()); !fits)
            return fits.message;
        spans.append({QStringLiteral("serial number"), serial->address,
                      serial->address + serial->length, serialOverwrite});
    }
    for (const ChipField& field : fields) {
        if (const Status fits = field.check(image.DeviceSize()); !fits)
            return fits.message;
        spans.append({field.label(), field.address, field.end(), field.overwrite});
    }
    if (const Status ordered = ChipFieldOrder(fields); !ordered)
        return ordered.message;
    for (qsizetype i = 0; i < spans.size(); ++i) {
        const Span& a = spans[i];
        for (qsizetype j = i + 1; j < spans.size(); ++j) {
            const Span& b = spans[j];
            if (const Status apart = overlapProblem(a.what, a.first, a.end, b.what, b.first, b.end);
                !apart)
                return apart.message;
        }
        if (!a.overwrite)
            if (QString why = imageProblem(a.what, a.first, a.end, image); !why.isEmpty())
                return why;
    }
    return {};
}

Status NumberPool::check() const {
    if (const Status named = CheckSeriesName(name); !named)
        return Status::Fail(QStringLiteral("pool name \"%1\": 1 to 64 letters, digits, \".\", "
                                           "\"_\", \"+\" or \"-\"")
                                .arg(name));
    if (first < 0 || last < first)
        return Status::Fail(QStringLiteral("pool %1: its last number %2 lies below its first %3")
                                .arg(name)
                                .arg(last)
                                .arg(first));
    if (step < 1)
        return Status::Fail(QStringLiteral("pool %1: the step must be at least 1").arg(name));
    return Status::Ok();
}

QString NumberPool::line() const {
    const qint64 left = next > last ? 0 : (last - next) / step + 1;
    return QStringLiteral("%1  first %2 (%3H), last %4 (%5H), step %6, %7 left")
        .arg(name)
        .arg(first)
        .arg(QString::number(first, 16).toUpper())
        .arg(last)
        .arg(QString::number(last, 16).toUpper())
        .arg(step)
        .arg(left);
}

} // namespace varn
