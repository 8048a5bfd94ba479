#pragma once

#include "chiprecord.h"
#include "functions/functionresult.h"
#include "productionlog.h"

namespace varn {

class AppState;

// What a record needs to know that the engine's results do not carry.
struct RunContext {
    QString port;
    QString adapterId; // the port's /dev/serial/by-id name, if it has one
    QString unitName;
    QString unitVersion;
    QString imageFile;
    QString imagePath;
    LineFields fields; // station, operator, lot, work order, product

    // The unit's name and version from its 8-byte identification reply.
    void setUnit(const QByteArray& identification);
};

// A record for a run that begins now: station (the one set, or the host
// name), operator, lot, work order, product, device, and the image's CRC-32,
// checksum and SHA-256 taken from the buffer before any serial number goes
// into it, so that every chip of one image shows the same figures. It reads as
// passed until a failed result is added.
ChipRecord StartRecord(const AppState& state, const RunContext& context);
// Adds a finished function (an Auto sequence adds each of its steps); the
// first failure decides the record's failed step, kind and details. A
// Program that sent a block marks the chip's number spent; block requests
// sent again count as retries.
void AddResult(ChipRecord& record, const FunctionResult& result);
// A failure outside any function run (the unit did not answer, the load
// sequence was refused).
void AddFailure(ChipRecord& record, const QString& step, ChipRecord::Failure failure,
                const QString& detail);
// The run's duration, up to now.
void FinishRecord(ChipRecord& record);
// Where this chip's number goes (address, length, encoding and order), and
// the CRC-32 of what is programmed with it: call once the number is in the
// buffer.
void NoteSerialField(ChipRecord& record, const AppState& state, const SerialSettings& serial);

// True when running list index 0..6 programs the chip (Program, or an Auto
// sequence with a Program step): such a run gets a serial number.
bool RunPrograms(const AppState& state, int index);

} // namespace varn
