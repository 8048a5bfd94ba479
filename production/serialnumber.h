#pragma once

#include "core/status.h"

#include <QByteArray>
#include <QString>

namespace varn {

class AppState;
class UserSettings;

// Where and how each chip's own number goes into the buffer before Program.
// The numbers themselves come from a named series in the production log (see
// ProductionLog), so that stations sharing a database never hand out the same
// one. A series (name, first, step, maximum, length, encoding, byte order) is
// created on purpose; a run names it and gives the address.
struct SerialSettings {
    enum class Order { MostSignificantFirst, LeastSignificantFirst };
    enum class Encoding { Binary, PackedBcd, AsciiDecimal };

    // The series in the log. Empty: settings of an earlier version, whose
    // series was known by its first number and step only.
    QString name = QString();
    // The series' own last number; -1: the largest the length and encoding hold.
    qint64 limit = -1;
    bool enabled = false;
    qint64 address = 0;
    int length = 4; // bytes, 1..8
    Order order = Order::MostSignificantFirst;
    Encoding encoding = Encoding::Binary;
    qint64 first = 1;
    qint64 step = 1;

    // The series' name in the log ("FIRST+STEP" when it has none).
    QString series() const;
    // The largest number handed out: the limit, or the largest the length and
    // encoding can hold (the log stores numbers as signed 64-bit values, so
    // never more than 2^63 - 1).
    qint64 maximum() const;
    qint64 encodingMaximum() const;
    // The series' definition (not name, address or enabled) equals other's.
    bool sameSeries(const SerialSettings& other) const;
    // Why these settings cannot be used with a device of deviceSize bytes
    // (0: size not known yet, only the settings themselves are checked).
    Status check(qint64 deviceSize = 0) const;

    // "serial/..." keys of varn.ini.
    static SerialSettings load(const UserSettings& settings);
    void save(UserSettings& settings) const;
};

// The bytes of number as they go into the buffer, in the configured order.
// An ASCII number is padded with leading zeros to the length.
QByteArray EncodeSerial(const SerialSettings& settings, qint64 number);
// Writes number into state.Buffer at settings.address.
Status WriteSerial(AppState& state, const SerialSettings& settings, qint64 number);

// Names used on the command line, in varn.ini and in the log: "msb"/"lsb",
// "binary"/"bcd"/"ascii". Parsing is case-insensitive; false for an unknown
// name.
QString OrderName(SerialSettings::Order order);
QString EncodingName(SerialSettings::Encoding encoding);
bool ParseOrder(const QString& text, SerialSettings::Order* order);
bool ParseEncoding(const QString& text, SerialSettings::Encoding* encoding);
// "NAME  first F, step S, last L, N-byte ENC ORDER": a series as listings show it.
QString SeriesLine(const SerialSettings& series);
// A series name: letters, digits, "-", "_", ".", "+", 1 to 64 characters.
Status CheckSeriesName(const QString& name);

} // namespace varn
