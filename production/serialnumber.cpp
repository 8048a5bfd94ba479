#include "serialnumber.h"

#include "core/appstate.h"
#include "core/usersettings.h"

#include <QRegularExpression>
#include <algorithm>
#include <limits>

namespace varn {

namespace {

constexpr qint64 Int64Max = std::numeric_limits<qint64>::max();

// 10^digits - 1, capped at the largest stored number.
qint64 decimalLimit(int digits) {
    qint64 value = 1;
    for (int i = 0; i < digits; ++i) {
        if (value > Int64Max / 10)
            return Int64Max;
        value *= 10;
    }
    return value - 1;
}

} // namespace

QString SerialSettings::series() const {
    return name.isEmpty() ? QStringLiteral("%1+%2").arg(first).arg(step) : name;
}

qint64 SerialSettings::maximum() const {
    const qint64 largest = encodingMaximum();
    return limit >= 0 && limit < largest ? limit : largest;
}

bool SerialSettings::sameSeries(const SerialSettings& other) const {
    return first == other.first && step == other.step && maximum() == other.maximum() &&
           length == other.length && encoding == other.encoding && order == other.order;
}

qint64 SerialSettings::encodingMaximum() const {
    switch (encoding) {
    case Encoding::PackedBcd:
        return decimalLimit(2 * length);
    case Encoding::AsciiDecimal:
        return decimalLimit(length);
    default:
        return length >= 8 ? Int64Max : (qint64(1) << (8 * length)) - 1;
    }
}

Status SerialSettings::check(qint64 deviceSize) const {
    if (length < 1 || length > 8)
        return Status::Fail(QStringLiteral("serial number length must be 1 to 8 bytes"));
    if (step < 1)
        return Status::Fail(QStringLiteral("serial number step must be at least 1"));
    if (first < 0 || first > encodingMaximum())
        return Status::Fail(QStringLiteral("first serial number %1 does not fit in %2 %3 bytes")
                                .arg(first)
                                .arg(length)
                                .arg(EncodingName(encoding)));
    if (limit >= 0 && limit < first)
        return Status::Fail(
            QStringLiteral("serial number maximum %1 lies below the first number %2")
                .arg(limit)
                .arg(first));
    if (!name.isEmpty())
        if (const Status named = CheckSeriesName(name); !named)
            return named;
    const qint64 limit = deviceSize > 0 ? deviceSize : qint64(BufferSize);
    if (address < 0 || address + length > limit)
        return Status::Fail(
            QStringLiteral("serial number at %1H (%2 bytes) lies outside the %3")
                .arg(address, 0, 16)
                .arg(length)
                .arg(deviceSize > 0 ? QStringLiteral("device") : QStringLiteral("buffer")));
    return Status::Ok();
}

SerialSettings SerialSettings::load(const UserSettings& settings) {
    SerialSettings s;
    s.enabled = settings.value(QStringLiteral("serial/enabled"), false).toBool();
    s.address = settings.value(QStringLiteral("serial/address"), 0).toLongLong();
    s.length = settings.value(QStringLiteral("serial/length"), 4).toInt();
    ParseOrder(settings.value(QStringLiteral("serial/order")).toString(), &s.order);
    ParseEncoding(settings.value(QStringLiteral("serial/encoding")).toString(), &s.encoding);
    s.first = settings.value(QStringLiteral("serial/first"), 1).toLongLong();
    s.step = settings.value(QStringLiteral("serial/step"), 1).toLongLong();
    s.name = settings.value(QStringLiteral("serial/series")).toString();
    s.limit = settings.value(QStringLiteral("serial/maximum"), -1).toLongLong();
    return s;
}

void SerialSettings::save(UserSettings& settings) const {
    settings.setValue(QStringLiteral("serial/enabled"), enabled);
    settings.setValue(QStringLiteral("serial/address"), address);
    settings.setValue(QStringLiteral("serial/length"), length);
    settings.setValue(QStringLiteral("serial/order"), OrderName(order));
    settings.setValue(QStringLiteral("serial/encoding"), EncodingName(encoding));
    settings.setValue(QStringLiteral("serial/first"), first);
    settings.setValue(QStringLiteral("serial/step"), step);
    settings.setValue(QStringLiteral("serial/series"), name);
    settings.setValue(QStringLiteral("serial/maximum"), limit);
}

QByteArray EncodeSerial(const SerialSettings& settings, qint64 number) {
    // Built least significant byte first, reversed at the end if needed.
    QByteArray bytes(settings.length, '\0');
    quint64 value = static_cast<quint64>(number);
    for (int i = 0; i < settings.length; ++i) {
        switch (settings.encoding) {
        case SerialSettings::Encoding::Binary:
            bytes[i] = char(value & 0xFF);
            value >>= 8;
            break;
        case SerialSettings::Encoding::PackedBcd:
            bytes[i] = char((value % 10) | ((value / 10 % 10) << 4));
            value /= 100;
            break;
        case SerialSettings::Encoding::AsciiDecimal:
            bytes[i] = char('0' + value % 10);
            value /= 10;
            break;
        }
    }
    if (settings.order == SerialSettings::Order::MostSignificantFirst)
        std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

Status WriteSerial(AppState& state, const SerialSettings& settings, qint64 number) {
    if (const Status valid = settings.check(); !valid)
        return valid;
    if (number < 0 || number > settings.maximum())
        return Status::Fail(QStringLiteral("serial number %1 does not fit in %2 %3 bytes")
                                .arg(number)
                                .arg(settings.length)
                                .arg(EncodingName(settings.encoding)));
    const QByteArray bytes = EncodeSerial(settings, number);
    for (int i = 0; i < bytes.size(); ++i)
        state.Buffer[settings.address + i] = static_cast<quint8>(bytes[i]);
    return Status::Ok();
}

QString OrderName(SerialSettings::Order order) {
    return order == SerialSettings::Order::MostSignificantFirst ? QStringLiteral("msb")
                                                                : QStringLiteral("lsb");
}

QString EncodingName(SerialSettings::Encoding encoding) {
    switch (encoding) {
    case SerialSettings::Encoding::PackedBcd:
        return QStringLiteral("bcd");
    case SerialSettings::Encoding::AsciiDecimal:
        return QStringLiteral("ascii");
    default:
        return QStringLiteral("binary");
    }
}

bool ParseOrder(const QString& text, SerialSettings::Order* order) {
    for (auto o : {SerialSettings::Order::MostSignificantFirst,
                   SerialSettings::Order::LeastSignificantFirst}) {
        if (text.compare(OrderName(o), Qt::CaseInsensitive) == 0) {
            *order = o;
            return true;
        }
    }
    return false;
}

bool ParseEncoding(const QString& text, SerialSettings::Encoding* encoding) {
    for (auto e : {SerialSettings::Encoding::Binary, SerialSettings::Encoding::PackedBcd,
                   SerialSettings::Encoding::AsciiDecimal}) {
        if (text.compare(EncodingName(e), Qt::CaseInsensitive) == 0) {
            *encoding = e;
            return true;
        }
    }
    return false;
}

QString SeriesLine(const SerialSettings& series) {
    return QStringLiteral("%1  first %2, step %3, last %4, %5-byte %6 %7")
        .arg(series.series())
        .arg(series.first)
        .arg(series.step)
        .arg(series.maximum())
        .arg(series.length)
        .arg(EncodingName(series.encoding), OrderName(series.order));
}

Status CheckSeriesName(const QString& name) {
    static const QRegularExpression allowed(QStringLiteral("^[A-Za-z0-9._+-]{1,64}$"));
    if (!allowed.match(name).hasMatch())
        return Status::Fail(QStringLiteral("serial series name \"%1\": 1 to 64 letters, digits, "
                                           "\".\", \"_\", \"+\" or \"-\"")
                                .arg(name));
    return Status::Ok();
}

} // namespace varn
