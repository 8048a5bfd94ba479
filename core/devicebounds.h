#pragma once

#include "appstate.h"

#include <QString>
#include <vector>

namespace varn {

// A run of addresses, both ends included.
struct AddressRange {
    qint32 first = 0;
    qint32 last = 0;
    qint32 count() const { return last - first + 1; }
};

// The image's bytes (AppState::defined) at or past the selected device's end.
// No chip of that device holds them: a Program drops them, and a Verify or
// the CRC-32 of the device's part never looks at them, so every check after
// such a Program would pass.
struct OutsideDevice {
    qint64 bytes = 0;                 // in all
    std::vector<AddressRange> ranges; // each run of them, in address order
    bool empty() const { return bytes == 0; }
};

// Empty when no device is selected: then there is no end to be past.
OutsideDevice ImageOutsideDevice(const AppState& state);

// "0400-0FFF, 2000, 2100-21FF and 4 more ranges": the first maxShown ranges.
QString RangesText(const std::vector<AddressRange>& ranges, int maxShown);

// When a load stored bytes (placed) but none inside the selected device:
// "its data lies at 1000-1FFF, outside the device (0000-03FF)". Empty when
// some lie inside, or no device is selected.
QString PlacedOutsideDevice(const AppState& state, const std::vector<AddressRange>& placed);

// "The image holds 3,072 bytes outside the device (0400-0FFF), which is
// 1,024 bytes long" (no full stop: callers go on with what follows from it).
QString OutsideDeviceText(const AppState& state, const OutsideDevice& outside);

} // namespace varn
