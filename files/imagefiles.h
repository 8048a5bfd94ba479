#pragma once

#include "core/appstate.h"
#include "core/status.h"

#include <QString>

namespace varn {

// Loads an Intel HEX file into Buffer at state.FileOffset / state.BufferOffset.
// Every check happens before the first byte is stored: a failed load leaves
// Buffer exactly as it was. Extended address records (type 02: segment x 16,
// type 04: upper 16 bits) move the data records after them; data whose full
// address lies beyond the buffer is left out, and the successful load then
// returns a notice naming the first such record. Errors name the file, the
// line and the cause; a bad checksum's message begins with "Checksum Error in
// hex file!". Reading ends at the first record that is neither data nor an
// extended address.
Status OpenHexFile(AppState& state, const QString& path);
// Loads a binary file: the byte at file offset p >= FileOffset goes to
// p + BufferOffset. Pipes and other streams are read to their end.
Status OpenBinFile(AppState& state, const QString& path);
// Write the selected device's part of Buffer; the old file is replaced only
// when the whole new file was written.
Status SaveHexFile(const AppState& state, const QString& path);
Status SaveBinFile(const AppState& state, const QString& path);

// The load dialog's preselection: the last three characters are exactly
// "HEX" or "hex".
bool PathLooksHex(const QString& path);

} // namespace varn
