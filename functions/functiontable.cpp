#include "functiontable.h"

#include "core/appstate.h"
#include "core/protocol.h"

#include <iterator>

namespace varn {

namespace {

// By code: auto.cfg's numbers 0..5 keep their meaning; Auto and Compare are
// never stored.
constexpr FunctionRow Rows[] = {
    {FnRead, "Read", "Reading ...", "read", "read the device into the buffer", 0, true, false,
     Exchange::Read, 0, ReadsIntoBuffer | OwnLine | NeedsUnit},
    {FnErase, "Erase", "Erasing ...", "erase", "erase the device", 1, true, true, Exchange::Command,
     wire::Erase, LongPause | OwnLine | NeedsUnit},
    {FnBlank, "Blank", "Blank Checking ...", "blank", "check that the device is blank", 2, true,
     true, Exchange::Blank, 0, OwnLine | NeedsUnit},
    {FnProgram, "Program", "Programming ...", "program", "write the buffer into the device", 3,
     true, true, Exchange::Program, 0, MayProgram | OwnLine | NeedsUnit},
    {FnVerify, "Verify", "Verifying ...", "verify", "compare the device with the buffer", 4, true,
     true, Exchange::Verify, 0, OwnLine | NeedsUnit},
    {FnLock, "Lock", "Locking ...", "lock", "lock the device", 5, true, true, Exchange::Command,
     wire::Lock, LongPause | OwnLine | NeedsUnit},
    {FnAuto, "Auto", "", "auto", "run the auto sequence of auto.cfg", 6, false, false,
     Exchange::Sequence, 0, MayProgram},
    {FnCompare, "Compare", "Comparing ...", "compare",
     "read the device and list every difference from the\nbuffer (at most 20 ranges)", -1, false,
     false, Exchange::Compare, 0, ListsDifferences | OwnLine | NeedsUnit},
};

} // namespace

std::span<const FunctionRow> FunctionTable() {
    return Rows;
}

const FunctionRow* FindFunction(int code) {
    if (code < 0 || code >= int(std::size(Rows)))
        return nullptr;
    return &Rows[code];
}

bool FunctionHas(int code, FunctionFlag flag) {
    const FunctionRow* row = FindFunction(code);
    return row && row->has(flag);
}

int FunctionAtListRow(int listRow) {
    for (const FunctionRow& row : Rows)
        if (listRow >= 0 && row.listRow == listRow)
            return row.code;
    return -1;
}

int ListRowOf(int code) {
    const FunctionRow* row = FindFunction(code);
    return row ? row->listRow : -1;
}

Exchange ExchangeOf(int code) {
    const FunctionRow* row = FindFunction(code);
    return row ? row->exchange : Exchange::Command;
}

bool NeedsBlocks(const FunctionRow& row) {
    return row.exchange != Exchange::Command && row.exchange != Exchange::Sequence;
}

} // namespace varn
