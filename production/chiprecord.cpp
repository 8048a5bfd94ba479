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
    default:
        return QString();
    }
}

ChipRecord::Failure ParseFailure(const QString& name) {
    for (auto f : {ChipRecord::Failure::Mismatch, ChipRecord::Failure::Communication,
                   ChipRecord::Failure::Refused, ChipRecord::Failure::Stopped}) {
        if (name == FailureName(f))
            return f;
    }
    return ChipRecord::Failure::None;
}

const QList<RecordColumn>& RecordColumns() {
    using R = ChipRecord;
    using V = QVariant;
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
        {"result", "TEXT NOT NULL",
         [](const R& r) { return V(r.passed ? QStringLiteral("pass") : QStringLiteral("fail")); },
         [](R& r, const V& v) { r.passed = v.toString() == QLatin1String("pass"); }},
        {"failed_step", "TEXT", [](const R& r) { return V(r.failedStep); },
         [](R& r, const V& v) { r.failedStep = v.toString(); }},
        {"failure_kind", "TEXT", [](const R& r) { return V(FailureName(r.failure)); },
         [](R& r, const V& v) { r.failure = ParseFailure(v.toString()); }},
        {"failure_address", "BIGINT", [](const R& r) { return optionalNumber(r.failureAddress); },
         [](R& r, const V& v) { r.failureAddress = numberOr(v, -1); }},
        {"expected_byte", "INTEGER", [](const R& r) { return optionalNumber(r.expectedByte); },
         [](R& r, const V& v) { r.expectedByte = int(numberOr(v, -1)); }},
        {"actual_byte", "INTEGER", [](const R& r) { return optionalNumber(r.actualByte); },
         [](R& r, const V& v) { r.actualByte = int(numberOr(v, -1)); }},
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
    };
    return columns;
}

QString ChipRecord::toText() const {
    QStringList parts;
    for (const RecordColumn& column : RecordColumns()) {
        const QVariant value = column.get(*this);
        if (value.isNull() || value.toString().isEmpty())
            continue;
        QString text = value.toString();
        if (text.contains(QLatin1Char(' ')) || text.contains(QLatin1Char('"')))
            text = QLatin1Char('"') + text.replace(QLatin1Char('"'), QLatin1String("\\\"")) +
                   QLatin1Char('"');
        parts.append(QString::fromLatin1(column.name) + QLatin1Char('=') + text);
    }
    return QStringLiteral("record: ") + parts.join(QLatin1Char(' '));
}

} // namespace varn
