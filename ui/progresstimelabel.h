#pragma once

#include "core/progresstime.h"
#include "functions/functionresult.h"

#include <QLabel>

namespace varn {

// The line under a function window's percentage: bytes done, time elapsed
// and left, and whether Only the Image is on. Each function (and each Auto
// step) starts its own clock.
class ProgressTimeLabel : public QLabel {
    Q_OBJECT
public:
    // onlyImage: whether Only the Image is on for the window's runs.
    explicit ProgressTimeLabel(QWidget* parent, bool onlyImage,
                               ProgressTime::Clock clock = ProgressTime::Clock());

    void Show(const FunctionResult& run, int percent);
    // The run (or the Auto step) has ended: its bytes and time stay, the
    // time left goes.
    void Finish();

private:
    ProgressTime time;
    int function = -1;
    int step = -1;
    bool onlyImage = false;
};

} // namespace varn
