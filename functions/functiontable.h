#pragma once

#include <span>

namespace varn {

// How a function's exchange goes.
enum class Exchange {
    Sequence, // Auto: the steps of auto.cfg
    Read,     // reads every block into the buffer
    Verify,   // reads one byte a block and compares the block with the buffer
    Blank,    // reads one byte a block and expects 0xFF
    Compare,  // reads every block and lists every difference
    Program,  // writes every block
    Command,  // one letter, no reply, then the pause
};

// One device function. Adding a function is adding a row here and its
// exchange in the engine; the function window's list, the Auto editor, the
// texts and varn-cli's operations follow the table.
struct FunctionRow {
    int code;          // FunctionCode: the number auto.cfg stores for a step
    const char* name;  // "Program": list item, Auto editor, records
    const char* start; // "Programming ...": the line while it runs
    const char* word;  // "program": varn-cli's operation
    const char* help;  // varn-cli --help
    int listRow;       // row in the function window's list; -1: not listed
    bool autoStep;     // may be a step of auto.cfg
    bool offered;      // offered by the Auto editor (Read comes only from a stored file)
    Exchange exchange;
    char letter; // Command: the letter sent
};

// Every function, in code order.
std::span<const FunctionRow> FunctionTable();
// The row of code, or nullptr.
const FunctionRow* FindFunction(int code);

// Walks the device block by block, so it needs a device size the block
// exchange can address.
bool NeedsBlocks(const FunctionRow& row);

} // namespace varn
