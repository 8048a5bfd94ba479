#pragma once

#include "core/differences.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <vector>

namespace varn {

// How a function run ended.
enum class Outcome {
    Success,
    Refused,              // nothing was sent: see FunctionResult::refusal
    CommunicationFailure, // see FunctionResult::linkFault
    Mismatch,             // verify, blank check or compare found a wrong byte
    Stopped,              // the user stopped it at a block boundary: see FunctionResult::stoppedAt
};

// Why the unit's reply was not there.
enum class LinkFault {
    None,
    NoReply,    // nothing came within the limit
    ShortReply, // part of the reply came, or fewer bytes than its count byte announced
    LineLost,   // the line closed; nothing more can be sent
    // Replies kept coming malformed (a wrong count byte, a stray byte first).
    GarbledReply,
};

// One byte that differs between the buffer and the device. Blank check
// expects 0xFF.
struct ByteDifference {
    qint32 address = 0;
    quint8 expected = 0;
    quint8 actual = 0;
};

// What one function run did, for whoever needs more than the window's text:
// the command-line programmer, a production record, a report. A plain value
// with no ties to the engine that made it.
struct FunctionResult {
    int function = 0; // FunctionCode; FnAuto for the summary of a sequence
    int autoStep = 0; // 1-based step of an Auto sequence, 0 outside one
    Outcome outcome = Outcome::Success;
    QString refusal;                       // Refused: why
    LinkFault linkFault = LinkFault::None; // CommunicationFailure: why
    // Mismatch: the wrong bytes found, in address order. Verify and blank
    // check stop at the first; Compare lists every one.
    QList<ByteDifference> differences;
    // FnCompare: the differences merged into ranges (empty when the device
    // matches, or when the run ended before it was read).
    DifferenceReport report;
    qint32 blocksDone = 0;  // 16-byte blocks exchanged whole
    qint32 blocksTotal = 0; // blocks the run exchanges (with only the image: those it touches)
    // Device bytes moved over the line: read from it or written to it,
    // frame bytes not counted.
    qint64 bytesTransferred = 0;
    // Block requests sent again because their reply did not come.
    int resent = 0;
    // While the run goes on: the block being exchanged, -1 before the first.
    qint32 workingAt = -1;
    // Stopped: the address of the first block not exchanged.
    qint32 stoppedAt = -1;
    // Program: a block frame carrying image bytes went to the unit (whether or
    // not it was acknowledged). From then on the chip may hold them.
    bool programSent = false;
    QDateTime started; // UTC
    QDateTime finished;
    // FnAuto: the result of every step that ran, in order.
    std::vector<FunctionResult> steps;

    bool succeeded() const { return outcome == Outcome::Success; }
    // False when the engine refused: nothing went out.
    bool ran() const { return outcome != Outcome::Refused; }
    // The first wrong byte (Mismatch only).
    const ByteDifference& firstDifference() const { return differences.first(); }
};

} // namespace varn
