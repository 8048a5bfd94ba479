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

// Motorola S-record: S1/S2/S3 data records are loaded as Intel HEX data is
// (same offsets, same all-or-nothing checks, data beyond the buffer left out
// with a notice, errors naming the line); S0 is skipped, S5/S6 counts are
// checked, S7/S8/S9 end the reading. A bad checksum's message begins with
// "Checksum Error in S-record file!".
Status OpenSRecordFile(AppState& state, const QString& path);
// S0 header, S1 records of 16 bytes (S2 above 64 KiB), S5 count, S9 end.
Status SaveSRecordFile(const AppState& state, const QString& path);

// The load dialog's preselection: the last three characters are exactly
// "HEX" or "hex".
bool PathLooksHex(const QString& path);
// .s19, .s28, .s37, .srec, .mot or .s in any case.
bool PathLooksSRecord(const QString& path);
// Intel HEX by PathLooksHex, else S-record by PathLooksSRecord, else binary.
FileFormat FormatForPath(const QString& path);
QString FormatName(FileFormat format);

Status OpenImageFile(AppState& state, FileFormat format, const QString& path);
Status SaveImageFile(const AppState& state, FileFormat format, const QString& path);

} // namespace varn
