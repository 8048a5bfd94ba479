#pragma once

#include "core/appstate.h"
#include "core/status.h"

namespace varn {

// 16-bit sum of Buffer[0 .. DeviceSize-1].
quint16 BufferChecksum(const AppState& state);
// Whether Buffer[start .. start+length-1] lies inside the buffer (indexes
// 0..70000). An empty range always fits; otherwise the failure says which
// range was asked for and which index is the last one.
Status CheckFillRange(qint64 start, qint64 length);
// Writes value to Buffer[start .. start+length-1]. A range that reaches past
// index 70000 (or a negative start or length) writes nothing and fails with a
// message naming the last valid index.
Status FillBuffer(AppState& state, qint64 start, qint64 length, quint8 value);
// Every byte of Buffer back to 0xFF, and none of them defined any more.
void ClearBuffer(AppState& state);
// The whole buffer and which bytes are defined, in one figure: equal figures
// mean the buffer has not changed in between.
quint32 BufferFingerprint(const AppState& state);

} // namespace varn
