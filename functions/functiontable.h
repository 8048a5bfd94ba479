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

// What sets a function apart beyond its exchange. Code that treats some
// functions differently asks for these, never for a range of codes.
enum FunctionFlag : unsigned {
    // A command the unit goes on working on after its reply: a step of a
    // sequence waits the long pause after it.
    LongPause = 1u << 0,
    // The chip's bytes become the buffer: Only the Image does not narrow it,
    // and what it read is handed back to the buffer.
    ReadsIntoBuffer = 1u << 1,
    // Sends the buffer's bytes to the chip (a sequence: may, by its steps):
    // the window asks before it, the record notes the bytes sent.
    MayProgram = 1u << 2,
    // Has a message line of its own while it runs and when it ends (a
    // sequence has its steps' lines).
    OwnLine = 1u << 3,
    // Its result is the list of differences itself, printed even when it
    // passes; no chip is changed, so no record is kept.
    ListsDifferences = 1u << 4,
    // Talks to the unit: refused while its line is closed. (A sequence asks
    // its steps.)
    NeedsUnit = 1u << 5,
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
    char letter;    // Command: the letter sent
    unsigned flags; // FunctionFlag

    bool has(FunctionFlag flag) const { return (flags & flag) != 0; }
};

// Every function, in code order.
std::span<const FunctionRow> FunctionTable();
// The row of code, or nullptr.
const FunctionRow* FindFunction(int code);

// False for a code without a row.
bool FunctionHas(int code, FunctionFlag flag);
// The function of a row of the function window's list, and the row of a
// function; -1 when none.
int FunctionAtListRow(int listRow);
int ListRowOf(int code);

// The exchange of code; Exchange::Command for a code without a row, which
// no caller takes for a reading one.
Exchange ExchangeOf(int code);

// Walks the device block by block, so it needs a device size the block
// exchange can address.
bool NeedsBlocks(const FunctionRow& row);

} // namespace varn
