#include "progresstimelabel.h"

namespace varn {

ProgressTimeLabel::ProgressTimeLabel(QWidget* parent, bool imageOnly, ProgressTime::Clock clock)
    : QLabel(parent), time(clock ? ProgressTime(std::move(clock)) : ProgressTime()),
      onlyImage(imageOnly) {
    setObjectName(QStringLiteral("progressTime"));
}

void ProgressTimeLabel::Show(const FunctionResult& run, int percent) {
    const qint64 block = 16;
    if (run.function != function || run.autoStep != step || percent == 0) {
        function = run.function;
        step = run.autoStep;
        time.Start(run.blocksTotal * block, onlyImage);
    }
    time.Update(run.blocksDone * block);
    setText(time.Text());
}

void ProgressTimeLabel::Finish() {
    if (function < 0)
        return;
    time.Stop();
    setText(time.Text());
    // Whatever comes next starts its own clock.
    function = step = -1;
}

} // namespace varn
