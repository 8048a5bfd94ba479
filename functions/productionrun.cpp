#include "productionrun.h"

#include "functions/functiontext.h"

namespace varn {

ProductionRun::Verdict ProductionRun::runChip() {
    // An empty sequence would pass a chip nothing was done to.
    if (stopped() || state.AutoCount <= 0)
        return Verdict::None;
    const FunctionResult result = functions.RunFunction(FnAuto);
    if (!result.ran())
        return Verdict::None;
    lastReason_.clear();
    if (result.succeeded()) {
        ++passed_;
        failuresInRow_ = 0;
        last_ = Verdict::Pass;
        return last_;
    }
    // The failing step names what went wrong ("Verify Error at 0123 (buffer
    // 5A, device 00)", "Programming ...   Device Fault!").
    lastReason_ = result.steps.empty() ? ResultReport(result) : ResultReport(result.steps.back());
    ++failed_;
    ++failuresInRow_;
    last_ = Verdict::Fail;
    return last_;
}

double ProductionRun::yieldPercent() const {
    return chips() ? 100.0 * passed_ / chips() : 0.0;
}

} // namespace varn
