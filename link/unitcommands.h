#pragma once

#include "core/appstate.h"
#include "core/status.h"
#include "transport.h"

#include <QByteArray>
#include <QString>

namespace varn {

// A one-letter command: the length byte 0x01 and the letter.
QByteArray CommandFrame(char letter);

struct Identification {
    bool ok = false;  // exactly 8 bytes arrived within the second
    QByteArray reply; // the 8 bytes when ok
};

// Sends 0x01 "T", always waits the full second, then takes the reply only if
// exactly 8 bytes are waiting. Sets state.UnitIdentified.
Identification IdentifyUnit(AppState& state, Transport& transport);
// "Device: " + bytes 1..4 + CR LF + "Version " + byte 6 + "." + byte 7.
QString IdentificationReport(const QByteArray& reply);

// Run / Reset of the target. Each sends its frame only when the state
// changes and returns whether it did change; the caller updates the menu
// check marks and status panel 5 from state.unitInReset.
bool DeviceRun(AppState& state, Transport& transport);
bool DeviceReset(AppState& state, Transport& transport);
// "RUN" or "RESET".
QString UnitStateText(const AppState& state);

} // namespace varn
