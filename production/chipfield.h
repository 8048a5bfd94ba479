#pragma once

#include "core/status.h"
#include "serialnumber.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

namespace varn {

class AppState;

// A chip's own bytes beyond its serial number, written into that chip's copy
// of the image before Program and verified with it. A field is described by
// one line of text, the same on the command line (--field), in a job file
// and in varn.ini ("fields/list"):
//
//   pool=NAME,at=HEX[,length=N][,encoding=ENC][,order=ORD]   a number from the log's pool
//   crc16=FROM-TO,at=HEX[,order=ORD]       CRC-16/CCITT-FALSE of FROM..TO (inclusive)
//   crc32=FROM-TO,at=HEX[,order=ORD]       CRC-32 (zlib's) of FROM..TO (inclusive)
//   time=FORMAT,at=HEX[,encoding=ENC]      now, as a Qt date/time format; "unix": seconds
//   text=TEXT,at=HEX[,length=N]            fixed text, NUL-padded to the length
//   lot,at=HEX,length=N                    the run's lot code, NUL-padded
//
// and ",overwrite" lets the field lie on bytes the image defines.
struct ChipField {
    enum class Kind { Pool, Crc16, Crc32, Time, Text, Lot };

    Kind kind = Kind::Text;
    qint64 address = 0;
    int length = 0;
    SerialSettings::Encoding encoding = SerialSettings::Encoding::Binary;
    SerialSettings::Order order = SerialSettings::Order::MostSignificantFirst;
    // Pool: its name. Time: the format ("unix": seconds since 1970, UTC).
    // Text: the text.
    QString value;
    qint64 from = 0, to = 0; // CRC: the range, both ends included
    bool overwrite = false;

    qint64 end() const { return address + length; }
    bool isCrc() const { return kind == Kind::Crc16 || kind == Kind::Crc32; }
    // "pool mac", "crc16", "time": how messages and records name the field.
    QString label() const;
    // The field as one line of text (see above); FieldFromText reads it back.
    QString text() const;
    // Why the field cannot be used with a device of deviceSize bytes (0: only
    // the field itself is checked).
    Status check(qint64 deviceSize = 0) const;
};

Status FieldFromText(const QString& text, ChipField* field);
// Lines of text, one field each; the first that fails is named, and so are
// CRCs that cover each other (see ChipFieldOrder).
Status FieldsFromText(const QStringList& lines, QList<ChipField>* fields);
QStringList FieldsToText(const QList<ChipField>& fields);

// What the fields of one chip are made of besides the buffer.
struct ChipFieldValues {
    QList<qint64> poolNumbers; // one per pool field, in the fields' order
    QDateTime time;            // the chip's time stamp (local time is written)
    QString lot;
};

// CRC-16/CCITT-FALSE: polynomial 1021, initial value FFFF, no reflection, no
// final XOR (Python's binascii.crc_hqx(data, 0xFFFF)).
quint16 Crc16Ccitt(const quint8* data, std::size_t size, quint16 crc = 0xFFFF);

// The order the fields are written in, as indexes into fields: a CRC after
// every field whose bytes lie in its range (another CRC too), the rest as
// given. Fails, naming them, when CRCs cover each other's bytes: no order
// writes both right.
Status ChipFieldOrder(const QList<ChipField>& fields, QList<qsizetype>* order = nullptr);

// Writes every field into chip.Buffer in ChipFieldOrder, so that a CRC covers
// the final bytes of the fields in its range, and marks each as defined so
// that Only the Image programs and verifies it. *noted: the record's text of
// what the chip holds, read after the last field was written
// ("pool mac@07F0=001122334455 crc16@07FE=29B1").
Status WriteChipFields(AppState& chip, const QList<ChipField>& fields,
                       const ChipFieldValues& values, QString* noted);

// The serial field (when serial is given and enabled) and the fields against
// the device and the image: each must lie inside the device, none may overlap
// another, a CRC may not cover its own bytes nor a CRC that covers it, and one
// may cover image bytes
// only when allowed (serialOverwrite for the serial number, overwrite for a
// field). Empty when they may be written.
QString ChipFieldsProblem(const SerialSettings* serial, bool serialOverwrite,
                          const QList<ChipField>& fields, const AppState& image);

// A number pool of the log: numbers from first to last by step, each handed
// out once (MAC addresses, licence keys).
struct NumberPool {
    QString name;
    qint64 first = 0;
    qint64 last = 0;
    qint64 step = 1;
    qint64 next = 0; // the next number handed out (beyond last: used up)

    Status check() const;
    // "NAME  first F, last L, step S, N left": as listings show it.
    QString line() const;
};

} // namespace varn
