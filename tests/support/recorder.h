#pragma once

#include "functions/devicefunctions.h"
#include "functions/functiontext.h"

#include <QStringList>
#include <chrono>
#include <thread>

namespace varn::test {

// Records what the device functions tell their window: the six result lines
// as the window would show them, the progress, the last result, refusals.
// With a log, every changed line and progress step is appended to it in
// order (a scripted unit can log its pauses into the same list).
class Recorder : public FunctionObserver {
public:
    explicit Recorder(QStringList* log = nullptr) : log(log) {}
    void functionStarted(const FunctionResult& run) override {
        show([&] { lines.started(run); });
    }
    void functionProgress(const FunctionResult&, int percent) override {
        progress << percent;
        // A window repainting its bar: stray bytes have come by the next request.
        if (slow)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (log)
            *log << QStringLiteral("progress %1").arg(percent);
    }
    void functionFinished(const FunctionResult& result) override {
        if (result.outcome == Outcome::CommunicationFailure && result.function != FnAuto)
            ++errors;
        last = result;
        show([&] { lines.finished(result); });
    }
    void refused(const QString& reason) override { refusals << reason; }
    void unitRunStateChanged() override { ++stateChanges; }

    QString line(int i = 0) const { return lines.line(i); }

    QStringList* log;
    FunctionLines lines;
    FunctionResult last;
    QList<int> progress;
    bool slow = false;
    int errors = 0;
    QStringList refusals;
    int stateChanges = 0;

private:
    template <typename F> void show(F event) {
        const FunctionLines before = lines;
        event();
        for (int i = 0; log && i < FunctionLines::Count; ++i)
            if (lines.line(i) != before.line(i))
                *log << QStringLiteral("line %1: %2").arg(i).arg(lines.line(i));
    }
};

} // namespace varn::test
