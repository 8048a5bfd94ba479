#include "functiontext.h"

#include "core/appstate.h"
#include "core/hextext.h"
#include "functions/functiontable.h"

namespace varn {

QString FunctionName(int code) {
    const FunctionRow* row = FindFunction(code);
    return row ? QString::fromLatin1(row->name) : QString();
}

QString StartText(int code) {
    const FunctionRow* row = FindFunction(code);
    return row ? QString::fromLatin1(row->start) : QString();
}

QString ResultText(const FunctionResult& result) {
    switch (result.outcome) {
    case Outcome::Success:
        return StartText(result.function) + QStringLiteral("   OK!");
    case Outcome::CommunicationFailure:
        return StartText(result.function) + QStringLiteral("   Device Fault!");
    case Outcome::Mismatch:
        if (FunctionHas(result.function, ListsDifferences))
            return StartText(result.function) + QStringLiteral("   ") +
                   DifferenceSummary(result.report);
        return (ExchangeOf(result.function) == Exchange::Blank
                    ? QStringLiteral("Device not blank at ")
                    : QStringLiteral("Verify Error at ")) +
               HexWord(result.firstDifference().address);
    case Outcome::Stopped:
        return StartText(result.function) + QStringLiteral("   Stopped at ") +
               HexWord(result.stoppedAt);
    case Outcome::Refused:
        break;
    }
    return result.refusal;
}

QString ResultReport(const FunctionResult& result) {
    QString text = ResultText(result);
    if (result.outcome != Outcome::Mismatch || FunctionHas(result.function, ListsDifferences))
        return text;
    const ByteDifference& d = result.firstDifference();
    if (ExchangeOf(result.function) == Exchange::Blank)
        return text + QStringLiteral(" (device %1)").arg(HexByte(d.actual));
    return text +
           QStringLiteral(" (buffer %1, device %2)").arg(HexByte(d.expected), HexByte(d.actual));
}

DifferenceReport MismatchReport(const FunctionResult& result) {
    DifferenceReport report;
    for (const ByteDifference& d : result.differences) {
        report.ranges.push_back({d.address, d.address, 1, QByteArray(1, char(d.expected)),
                                 QByteArray(1, char(d.actual))});
        ++report.count;
    }
    return report;
}

int FunctionLines::lineOf(const FunctionResult& run) {
    return qBound(0, run.autoStep - 1, Count - 1);
}

bool FunctionLines::started(const FunctionResult& run) {
    const bool newRun = run.autoStep == 0;
    if (newRun) {
        for (QString& line : lines)
            line.clear();
    }
    if (FunctionHas(run.function, OwnLine))
        lines[lineOf(run)] = StartText(run.function);
    return newRun;
}

void FunctionLines::finished(const FunctionResult& result) {
    // A sequence's summary repeats what its last step already wrote; a
    // code that is no device function wrote nothing.
    if (!FunctionHas(result.function, OwnLine) || result.outcome == Outcome::Refused)
        return;
    lines[lineOf(result)] = ResultText(result);
}

} // namespace varn
