#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace varn {

// What the production log keeps of one run of a device function sequence:
// enough to say, for any board, which image went into its chip, when, on
// which station, with which serial number, and whether it passed.
struct ChipRecord {
    // Hook: the line's own check after the functions (varn-cli --after-chip) failed it.
    enum class Failure { None, Mismatch, Communication, Refused, Stopped, Hook };
    // New: not in the log yet. Open: in the log since before the first byte
    // went to the unit, its end not written yet; read back from the log, an
    // open record is an interrupted chip (a crash, kill -9, a power cut).
    enum class State { New, Open, Closed };

    // The log's number for the record (0 until it is in the log; negative
    // while it waits in the local journal).
    qint64 id = 0;
    // Names the record wherever it is (log or journal), so that sending it
    // on twice stores it once.
    QString uid;
    State state = State::New;
    QDateTime closedAt; // UTC; invalid while open
    QDateTime time;     // UTC, when the run began
    QString station;    // settable; the host name when not set
    QString operatorName;
    QString lot;
    QString workOrder;
    QString product;
    QString port;
    QString adapterId; // the adapter's /dev/serial/by-id name, if it has one
    QString unitName;
    QString unitVersion;
    QString deviceType;
    qint64 deviceSize = 0;
    QString imageFile; // file name
    QString imagePath; // as loaded, absolute
    quint32 imageCrc32 = 0;
    quint32 imageChecksum = 0;
    QString imageSha256; // hex, of the same bytes as imageCrc32
    // What actually went out: the image with this chip's own bytes (serial
    // number) in it.
    quint32 programmedCrc32 = 0;
    // Whether any program block reached the line: from then on the chip's
    // serial number is spent, whatever the result.
    bool programBytesSent = false;
    QStringList functions; // in the order they ran
    bool passed = false;
    // Only for a failed run:
    QString failedStep;
    Failure failure = Failure::None;
    qint64 failureAddress = -1; // mismatch: first wrong address; stopped: the address reached
    int expectedByte = -1;      // mismatch: buffer byte (0xFF for blank check)
    int actualByte = -1;        // mismatch: device byte
    QString failureDetail;      // the cause in words
    // -1 when the run carried no serial number.
    qint64 serial = -1;
    QString serialSeries;
    qint64 serialAddress = -1; // where the number went into the image
    int serialLength = 0;
    QString serialEncoding; // "binary", "bcd", "ascii" with " msb"/" lsb"
    // The chip's own fields beyond its serial number, as written:
    // "pool:mac@07F0=0012340000A1 crc16@07FE=29B1" (see WriteChipFields).
    QString chipFields;
    // The image's bytes outside the device, which no chip of it holds (a run
    // that allowed a partial image left them out): "0400-0FFF, 2000".
    QString outsideDevice;
    int retries = 0; // block requests sent again in this run
    qint64 durationMs = 0;
    QString programVersion;

    // "pass", "fail", or "interrupted" for a record that was opened and
    // never closed: the word every view and export shows.
    QString resultText() const;
    bool interrupted() const { return state == State::Open; }

    // One line of "name=value" pairs, for standard error when the record
    // could not be stored.
    QString toText() const;
};

QString FailureName(ChipRecord::Failure failure);
ChipRecord::Failure ParseFailure(const QString& name);

// The record's fields as the log's columns, in one order shared by the
// database table, the CSV export and the text form.
// Bytes, addresses and CRCs are stored as numbers but shown in hexadecimal,
// as everywhere else in the program.
struct RecordColumn {
    enum class Shown { AsStored, HexByte, HexAddress };
    const char* name;
    const char* sqlType; // portable type of the column
    QVariant (*get)(const ChipRecord&);
    void (*set)(ChipRecord&, const QVariant&);
    Shown shown = Shown::AsStored;
    // The schema version that added the column (its table upgrade adds it).
    int since = 1;

    // The value as exports and messages show it; empty for none.
    QString text(const ChipRecord& record) const;
};
// Every column but id and state, which the log keeps itself.
const QList<RecordColumn>& RecordColumns();
// "id", then RecordColumns(): the CSV export's header.
QStringList ExportColumnNames();

} // namespace varn
