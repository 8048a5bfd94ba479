#include "chiprecord.h"

namespace varn {

namespace {

// Times are stored as text in ISO 8601 with milliseconds and a Z: the same in
// SQLite and PostgreSQL, and ordered as text as they are in time.
QString timeText(const QDateTime& time) {
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QVariant optionalNumber(qint64 value) {
    return value < 0 ? QVariant(QMetaType(QMetaType::LongLong)) : QVariant(value);
}

qint64 numberOr(const QVariant& value, qint64 fallback) {
    return value.isNull() ? fallback : value.toLongLong();
}

QString hex8(quint32 value) {
    return QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0')).toUpper();
}

} // namespace

QString FailureName(ChipRecord::Failure failure) {
    switch (failure) {
    case ChipRecord::Failure::Mismatch:
        return QStringLiteral("mismatch");
    case ChipRecord::Failure::Communication:
        return QStringLiteral("communication");
    case ChipRecord::Failure::Refused:
        return QStringLiteral("refused");
    case ChipRecord::Failure::Stopped:
        return QStringLiteral("stopped");
    case ChipRecord::Failure::Hook:
        return QStringLiteral("hook");
    default:
        return QString();
    }
}

ChipRecord::Failure ParseFailure(const QString& name) {
    for (auto f :
         {ChipRecord::Failure::Mismatch, ChipRecord::Failure::Communication,
          ChipRecord::Failure::Refused, ChipRecord::Failure::Stopped, ChipRecord::Failure::Hook}) {
        if (name == FailureName(f))
            return f;
    }
    return ChipRecord::Failure::None;
}

QString ChipRecord::resultText() const {
    if (state == State::Open)
        return QStringLiteral("interrupted");
    return passed ? QStringLiteral("pass") : QStringLiteral("fail");
}

QString RecordColumn::text(const ChipRecord& record) const {
    const QVariant value = get(record);
    if (value.isNull())
        return QString();
    switch (shown) {
    case Shown::HexByte:
        return QStringLiteral("%1").arg(value.toLongLong(), 2, 16, QLatin1Char('0')).toUpper();
    case Shown::HexAddress:
        return QStringLiteral("%1").arg(value.toLongLong(), 4, 16, QLatin1Char('0')).toUpper();
    default:
        return value.toString();
    }
}

const QList<RecordColumn>& RecordColumns() {
    using R = ChipRecord;
    using V = QVariant;
    using S = RecordColumn::Shown;
    static const QList<RecordColumn> columns = {
        {"recorded_at", "TEXT NOT NULL", [](const R& r) { return V(timeText(r.time)); },
         [](R& r, const V& v) {
             r.time = QDateTime::fromString(v.toString(), Qt::ISODateWithMs).toUTC();
         }},
        {"station", "TEXT", [](const R& r) { return V(r.station); },
         [](R& r, const V& v) { r.station = v.toString(); }},
        {"port", "TEXT", [](const R& r) { return V(r.port); },
         [](R& r, const V& v) { r.port = v.toString(); }},
        {"unit_name", "TEXT", [](const R& r) { return V(r.unitName); },
         [](R& r, const V& v) { r.unitName = v.toString(); }},
        {"unit_version", "TEXT", [](const R& r) { return V(r.unitVersion); },
         [](R& r, const V& v) { r.unitVersion = v.toString(); }},
        {"device_type", "TEXT", [](const R& r) { return V(r.deviceType); },
         [](R& r, const V& v) { r.deviceType = v.toString(); }},
        {"device_size", "BIGINT", [](const R& r) { return V(r.deviceSize); },
         [](R& r, const V& v) { r.deviceSize = v.toLongLong(); }},
        {"image_file", "TEXT", [](const R& r) { return V(r.imageFile); },
         [](R& r, const V& v) { r.imageFile = v.toString(); }},
        {"image_crc32", "TEXT", [](const R& r) { return V(hex8(r.imageCrc32)); },
         [](R& r, const V& v) { r.imageCrc32 = v.toString().toUInt(nullptr, 16); }},
        {"image_checksum", "TEXT",
         [](const R& r) {
             return V(QStringLiteral("%1").arg(r.imageChecksum, 4, 16, QLatin1Char('0')).toUpper());
         },
         [](R& r, const V& v) { r.imageChecksum = v.toString().toUInt(nullptr, 16); }},
        {"functions", "TEXT", [](const R& r) { return V(r.functions.join(QLatin1Char(','))); },
         [](R& r, const V& v) {
             r.functions = v.toString().split(QLatin1Char(','), Qt::SkipEmptyParts);
         }},
        {"result", "TEXT NOT NULL", [](const R& r) { return V(r.resultText()); },
         [](R& r, const V& v) { r.passed = v.toString() == QLatin1String("pass"); }},
        {"failed_step", "TEXT", [](const R& r) { return V(r.failedStep); },
         [](R& r, const V& v) { r.failedStep = v.toString(); }},
        {"failure_kind", "TEXT", [](const R& r) { return V(FailureName(r.failure)); },
         [](R& r, const V& v) { r.failure = ParseFailure(v.toString()); }},
        {"failure_address", "BIGINT", [](const R& r) { return optionalNumber(r.failureAddress); },
         [](R& r, const V& v) { r.failureAddress = numberOr(v, -1); }, S::HexAddress},
        {"expected_byte", "INTEGER", [](const R& r) { return optionalNumber(r.expectedByte); },
         [](R& r, const V& v) { r.expectedByte = int(numberOr(v, -1)); }, S::HexByte},
        {"actual_byte", "INTEGER", [](const R& r) { return optionalNumber(r.actualByte); },
         [](R& r, const V& v) { r.actualByte = int(numberOr(v, -1)); }, S::HexByte},
        {"failure_detail", "TEXT", [](const R& r) { return V(r.failureDetail); },
         [](R& r, const V& v) { r.failureDetail = v.toString(); }},
        {"serial_number", "BIGINT", [](const R& r) { return optionalNumber(r.serial); },
         [](R& r, const V& v) { r.serial = numberOr(v, -1); }},
        {"serial_series", "TEXT", [](const R& r) { return V(r.serialSeries); },
         [](R& r, const V& v) { r.serialSeries = v.toString(); }},
        {"duration_ms", "BIGINT", [](const R& r) { return V(r.durationMs); },
         [](R& r, const V& v) { r.durationMs = v.toLongLong(); }},
        {"program_version", "TEXT", [](const R& r) { return V(r.programVersion); },
         [](R& r, const V& v) { r.programVersion = v.toString(); }},
        // Version 2: records opened before the first byte, spent numbers,
        // the fields a line needs.
        {"record_uid", "TEXT", [](const R& r) { return V(r.uid); },
         [](R& r, const V& v) { r.uid = v.toString(); }, S::AsStored, 2},
        {"closed_at", "TEXT",
         [](const R& r) {
             return r.state == R::State::Open ? V(QMetaType(QMetaType::QString))
                                              : V(timeText(r.closedAt));
         },
         [](R& r, const V& v) {
             r.state = v.isNull() ? R::State::Open : R::State::Closed;
             r.closedAt = QDateTime::fromString(v.toString(), Qt::ISODateWithMs).toUTC();
         },
         S::AsStored, 2},
        {"program_bytes_sent", "INTEGER", [](const R& r) { return V(r.programBytesSent ? 1 : 0); },
         [](R& r, const V& v) { r.programBytesSent = v.toInt() != 0; }, S::AsStored, 2},
        {"programmed_crc32", "TEXT", [](const R& r) { return V(hex8(r.programmedCrc32)); },
         [](R& r, const V& v) { r.programmedCrc32 = v.toString().toUInt(nullptr, 16); },
         S::AsStored, 2},
        {"image_path", "TEXT", [](const R& r) { return V(r.imagePath); },
         [](R& r, const V& v) { r.imagePath = v.toString(); }, S::AsStored, 2},
        {"image_sha256", "TEXT", [](const R& r) { return V(r.imageSha256); },
         [](R& r, const V& v) { r.imageSha256 = v.toString(); }, S::AsStored, 2},
        {"operator_name", "TEXT", [](const R& r) { return V(r.operatorName); },
         [](R& r, const V& v) { r.operatorName = v.toString(); }, S::AsStored, 2},
        {"lot", "TEXT", [](const R& r) { return V(r.lot); },
         [](R& r, const V& v) { r.lot = v.toString(); }, S::AsStored, 2},
        {"work_order", "TEXT", [](const R& r) { return V(r.workOrder); },
         [](R& r, const V& v) { r.workOrder = v.toString(); }, S::AsStored, 2},
        {"product", "TEXT", [](const R& r) { return V(r.product); },
         [](R& r, const V& v) { r.product = v.toString(); }, S::AsStored, 2},
        {"adapter_id", "TEXT", [](const R& r) { return V(r.adapterId); },
         [](R& r, const V& v) { r.adapterId = v.toString(); }, S::AsStored, 2},
        {"serial_address", "BIGINT", [](const R& r) { return optionalNumber(r.serialAddress); },
         [](R& r, const V& v) { r.serialAddress = numberOr(v, -1); }, S::HexAddress, 2},
        {"serial_length", "INTEGER",
         [](const R& r) {
             return r.serialLength > 0 ? V(r.serialLength) : V(QMetaType(QMetaType::Int));
         },
         [](R& r, const V& v) { r.serialLength = v.toInt(); }, S::AsStored, 2},
        {"serial_encoding", "TEXT", [](const R& r) { return V(r.serialEncoding); },
         [](R& r, const V& v) { r.serialEncoding = v.toString(); }, S::AsStored, 2},
        {"retries", "INTEGER", [](const R& r) { return V(r.retries); },
         [](R& r, const V& v) { r.retries = v.toInt(); }, S::AsStored, 2},
        // Version 3: the chip's own fields.
        {"chip_fields", "TEXT", [](const R& r) { return V(r.chipFields); },
         [](R& r, const V& v) { r.chipFields = v.toString(); }, S::AsStored, 3},
        // Version 4: the image's bytes a chip could not hold.
        {"outside_device", "TEXT", [](const R& r) { return V(r.outsideDevice); },
         [](R& r, const V& v) { r.outsideDevice = v.toString(); }, S::AsStored, 4},
    };
    return columns;
}

QStringList ExportColumnNames() {
    QStringList names{QStringLiteral("id")};
    for (const RecordColumn& column : RecordColumns())
        names.append(QString::fromLatin1(column.name));
    return names;
}

QString ChipRecord::toText() const {
    QStringList parts;
    if (id != 0)
        parts.append(QStringLiteral("id=%1").arg(id));
    for (const RecordColumn& column : RecordColumns()) {
        QString text = column.text(*this);
        if (text.isEmpty())
            continue;
        if (text.contains(QLatin1Char(' ')) || text.contains(QLatin1Char('"')))
            text = QLatin1Char('"') + text.replace(QLatin1Char('"'), QLatin1String("\\\"")) +
                   QLatin1Char('"');
        parts.append(QString::fromLatin1(column.name) + QLatin1Char('=') + text);
    }
    return QStringLiteral("record: ") + parts.join(QLatin1Char(' '));
}

} // namespace varn
