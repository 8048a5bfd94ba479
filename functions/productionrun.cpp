#include "productionrun.h"

#include "functions/functiontext.h"

namespace varn {

ProductionRun::Verdict ProductionRun::runChip() {
    // An empty sequence would pass a chip nothing was done to.
    if (stopped() || state.AutoCount <= 0)
        return Verdict::None;
    if (chipRecorder) {
        if (const Status begun = chipRecorder->beginChip(state); !begun) {
            const Status written = chipRecorder->endChip(nullptr);
            return fail(written ? begun.message
                                : begun.message + QLatin1Char('\n') + written.message);
        }
    }
    const FunctionResult result = functions.RunFunction(FnAuto);
    const Status written = chipRecorder ? chipRecorder->endChip(&result) : Status::Ok();
    if (!result.ran())
        return written ? Verdict::None : fail(written.message);
    if (!result.succeeded())
        // The failing step names what went wrong ("Verify Error at 0123
        // (buffer 5A, device 00)", "Programming ...   Device Fault!").
        return fail(result.steps.empty() ? ResultReport(result)
                                         : ResultReport(result.steps.back()));
    // A chip programmed without its record is not traceable: it fails.
    if (!written)
        return fail(written.message);
    failReason.clear();
    ++passedCount;
    consecutiveFailures = 0;
    lastVerdict = Verdict::Pass;
    return lastVerdict;
}

ProductionRun::Verdict ProductionRun::fail(const QString& reason) {
    failReason = reason;
    ++failedCount;
    ++consecutiveFailures;
    lastVerdict = Verdict::Fail;
    return lastVerdict;
}

double ProductionRun::yieldPercent() const {
    return chips() ? 100.0 * passedCount / chips() : 0.0;
}

} // namespace varn
