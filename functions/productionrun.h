#pragma once

#include "functions/devicefunctions.h"

#include "core/status.h"

#include <QString>

namespace varn {

// What a record-keeper does around each chip of a bench session (the
// production log implements it; the session knows nothing of databases).
class ChipRecorder {
public:
    virtual ~ChipRecorder() = default;
    // Before the chip's run (a serial number goes into the buffer here). A
    // failure stops the chip before anything is sent; endChip(nullptr)
    // follows.
    virtual Status beginChip(AppState& state) = 0;
    // After it, with its result: a failure means the record was not kept and
    // the chip counts as failed; the message holds the record.
    virtual Status endChip(const FunctionResult* result) = 0;
    // The serial number the next chip will get, or -1.
    virtual qint64 nextSerial() = 0;
};

// A bench session of the Production window: runs the Auto sequence once per
// chip and keeps the counts since the window opened. No window of its own,
// so that the counting and the stop rule are tested without a display.
class ProductionRun {
public:
    enum class Verdict { None, Pass, Fail };

    ProductionRun(AppState& state, DeviceFunctions& functions)
        : state(state), functions(functions) {}

    // Every chip from now on is recorded (nullptr: none is).
    void setRecorder(ChipRecorder* recorder) { recorder_ = recorder; }
    ChipRecorder* recorder() const { return recorder_; }

    // Runs Auto for the next chip and counts it. Returns its verdict; None
    // (nothing counted) when the sequence was refused or the session is
    // stopped, or auto.cfg holds no steps. A communication error, a mismatch,
    // a lost line, a serial number that could not be given or a record that
    // could not be kept fails the chip.
    Verdict runChip();

    int chips() const { return passed_ + failed_; }
    int passed() const { return passed_; }
    int failed() const { return failed_; }
    int failuresInRow() const { return failuresInRow_; }
    // Percent of chips that passed; 0 before the first chip.
    double yieldPercent() const;
    Verdict last() const { return last_; }
    // Why the last chip failed, in the engine's words ("Verify Error at 0123").
    QString lastReason() const { return lastReason_; }

    // Stops the session after this many failures in a row (0: never). A
    // stopped session runs no chip until resume().
    void setStopAfter(int failures) { stopAfter_ = failures < 0 ? 0 : failures; }
    int stopAfter() const { return stopAfter_; }
    bool stopped() const { return stopAfter_ > 0 && failuresInRow_ >= stopAfter_; }
    // The technician has looked at the bench: the count of failures in a row
    // starts again.
    void resume() { failuresInRow_ = 0; }

private:
    Verdict fail(const QString& reason);

    AppState& state;
    DeviceFunctions& functions;
    ChipRecorder* recorder_ = nullptr;
    int passed_ = 0;
    int failed_ = 0;
    int failuresInRow_ = 0;
    int stopAfter_ = 0;
    Verdict last_ = Verdict::None;
    QString lastReason_;
};

} // namespace varn
