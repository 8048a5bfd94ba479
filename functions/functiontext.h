#pragma once

#include "functions/functionresult.h"

#include <QString>

namespace varn {

// The one place where function runs become text: the function window and
// the command-line programmer show the same words for the same results.

// "Read" ... "Lock", "Auto" for list index 0..6, "Compare" for FnCompare;
// empty for any other code.
QString FunctionName(int code);
// The line shown while a function runs ("Reading ..."); empty for FnAuto and
// unknown codes.
QString StartText(int code);
// The line a finished function leaves: "Reading ...   OK!",
// "Programming ...   Device Fault!", "Verify Error at 01A3",
// "Device not blank at 0123", "Comparing ...   3 bytes differ in 3 ranges.".
QString ResultText(const FunctionResult& result);
// ResultText with the bytes of a mismatch, for a report that has no buffer
// beside it: "Verify Error at 01A3 (buffer 5A, device 00)".
QString ResultReport(const FunctionResult& result);
// A Verify's wrong bytes as a differences list (buffer against device), so
// that the differences window can show their values.
DifferenceReport MismatchReport(const FunctionResult& result);

// The six message lines of the function window, kept from the engine's
// events: a run clears them, step n of an Auto sequence writes line n-1 (the
// last steps share line 5).
class FunctionLines {
public:
    static constexpr int Count = 6;

    // Returns true when every line changed (a new run cleared them).
    bool started(const FunctionResult& run);
    void finished(const FunctionResult& result);
    // The line the run's text goes to.
    static int lineOf(const FunctionResult& run);

    const QString& line(int index) const { return lines[index]; }
    void setLine(int index, const QString& text) { lines[index] = text; }

private:
    QString lines[Count];
};

} // namespace varn
