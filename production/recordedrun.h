#pragma once

#include "functions/productionrun.h"
#include "productionlog.h"
#include "runrecord.h"

namespace varn {

// The production log around one run of device functions (a varn-cli run, an
// Auto or single function of the desktop program): the record it writes and
// the serial number it hands to the chip. Used from one thread, like the log.
//
//     RecordedRun run(log, serial);
//     run.start(state, context);
//     if (Status s = run.prepare(state, index); !s) ... // nothing sent yet
//     run.add(functions.RunFunction(index));
//     if (Status s = run.finish(); !s) ... // print run.record().toText()
class RecordedRun {
public:
    RecordedRun(ProductionLog& log, const SerialSettings& serial) : log(log), serial(serial) {}

    // A new record; the image's figures are taken now, before a serial number.
    void start(const AppState& state, const RunContext& context);
    bool active() const { return started; }
    ChipRecord& record() { return current; }

    // Before list index 0..6 runs: when serial numbers are on, the function
    // programs the chip and this run has no number yet, takes the next number
    // from the log and writes it into the buffer. A failure (settings that do
    // not fit the device, a series used up, the log unreachable) is added to
    // the record; the function must then not run.
    Status prepare(AppState& state, int index);
    void add(const FunctionResult& result) { AddResult(current, result); }
    void addFailure(const QString& step, ChipRecord::Failure failure, const QString& detail) {
        AddFailure(current, step, failure, detail);
    }

    // Writes the record (a failed chip's number goes back for the next one)
    // and ends the run. When it cannot be written the caller must report the
    // run as failed and show record() so that it is not lost.
    Status finish();

private:
    ProductionLog& log;
    SerialSettings serial;
    ChipRecord current;
    bool started = false;
};

// Puts the image's own bytes back where the last chip's serial number went
// (noted in imageField the first time), so that a record's CRC-32 and
// checksum are the image's. Only before a run that writes the next number.
void RestoreImageField(AppState& state, const SerialSettings& serial, QByteArray& imageField);

// The Production window's chips in the log: one record per chip, with the
// next serial number when serial numbers are set up.
class LoggedChips : public ChipRecorder {
public:
    LoggedChips(ProductionLog& log, const SerialSettings& serial)
        : log(log), serial(serial), run(log, serial) {}
    void setContext(const RunContext& context) { this->context = context; }

    Status beginChip(AppState& state) override;
    Status endChip(const FunctionResult* result) override;
    qint64 nextSerial() override;
    // Whether a chip's serial number has gone into the buffer.
    bool serialWritten() const { return wroteSerial; }

private:
    ProductionLog& log;
    SerialSettings serial;
    RunContext context;
    RecordedRun run;
    bool wroteSerial = false;
    // The image's bytes where the numbers go, from before the first number.
    QByteArray imageField;
};

} // namespace varn
