#pragma once

#include "chiprecord.h"
#include "functions/functionresult.h"

namespace varn {

class AppState;

// What a record needs to know that the engine's results do not carry.
struct RunContext {
    QString port;
    QString unitName;
    QString unitVersion;
    QString imageFile;

    // The unit's name and version from its 8-byte identification reply.
    void setUnit(const QByteArray& identification);
};

// A record for a run that begins now: station, device, and the image's CRC-32
// and checksum taken from the buffer before any serial number goes into it,
// so that every chip of one image shows the same figures. It reads as passed
// until a failed result is added.
ChipRecord StartRecord(const AppState& state, const RunContext& context);
// Adds a finished function (an Auto sequence adds each of its steps); the
// first failure decides the record's failed step, kind and details.
void AddResult(ChipRecord& record, const FunctionResult& result);
// A failure outside any function run (the unit did not answer, the load
// sequence was refused).
void AddFailure(ChipRecord& record, const QString& step, ChipRecord::Failure failure,
                const QString& detail);
// The run's duration, up to now.
void FinishRecord(ChipRecord& record);

// True when running list index 0..6 programs the chip (Program, or an Auto
// sequence with a Program step): such a run gets a serial number.
bool RunPrograms(const AppState& state, int index);

} // namespace varn
