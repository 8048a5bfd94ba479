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

    ProductionRun(AppState& appState, DeviceFunctions& engine)
        : state(appState), functions(engine) {}

    // Every chip from now on is recorded (nullptr: none is).
    void setRecorder(ChipRecorder* recorder) { chipRecorder = recorder; }
    ChipRecorder* recorder() const { return chipRecorder; }

    // Runs Auto for the next chip and counts it. Returns its verdict; None
    // (nothing counted) when the sequence was refused or the session is
    // stopped, or auto.cfg holds no steps. A communication error, a mismatch,
    // a lost line, a serial number that could not be given or a record that
    // could not be kept fails the chip.
    Verdict runChip();

    int chips() const { return passedCount + failedCount; }
    int passed() const { return passedCount; }
    int failed() const { return failedCount; }
    int failuresInRow() const { return consecutiveFailures; }
    // Percent of chips that passed; 0 before the first chip.
    double yieldPercent() const;
    Verdict last() const { return lastVerdict; }
    // Why the last chip failed, in the engine's words ("Verify Error at 0123").
    QString lastReason() const { return failReason; }

    // Stops the session after this many failures in a row (0: never). A
    // stopped session runs no chip until resume().
    void setStopAfter(int failures) { stopLimit = failures < 0 ? 0 : failures; }
    int stopAfter() const { return stopLimit; }
    bool stopped() const { return stopLimit > 0 && consecutiveFailures >= stopLimit; }
    // The technician has looked at the bench: the count of failures in a row
    // starts again.
    void resume() { consecutiveFailures = 0; }

private:
    Verdict fail(const QString& reason);

    AppState& state;
    DeviceFunctions& functions;
    ChipRecorder* chipRecorder = nullptr;
    int passedCount = 0;
    int failedCount = 0;
    int consecutiveFailures = 0;
    int stopLimit = 0;
    Verdict lastVerdict = Verdict::None;
    QString failReason;
};

} // namespace varn
