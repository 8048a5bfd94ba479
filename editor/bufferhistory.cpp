#include "bufferhistory.h"

#include <algorithm>

namespace varn {

namespace {
// Differing bytes closer than this share one run: fewer runs, a few bytes more.
constexpr int RunGap = 16;
} // namespace

BufferHistory::BufferHistory(AppState& appState)
    : state(appState), reference(std::make_shared<const Bytes>(appState.Buffer)) {}

void BufferHistory::Begin() {
    if (!snapshot)
        snapshot = std::make_unique<Bytes>();
    *snapshot = state.Buffer;
    definedSnapshot = std::make_unique<Mask>(state.defined);
}

void BufferHistory::Commit(Kind kind) {
    if (!snapshot)
        return;
    const Bytes& before = *snapshot;
    const Bytes& after = state.Buffer;
    Step step;
    for (qint32 i = 0; i < BufferSize;) {
        if (before[size_t(i)] == after[size_t(i)]) {
            ++i;
            continue;
        }
        // Extend the run while the next difference lies within the gap.
        qint32 end = i + 1;
        for (qint32 j = end; j < BufferSize && j < end + RunGap; ++j) {
            if (before[size_t(j)] != after[size_t(j)])
                end = j + 1;
        }
        Run run;
        run.start = i;
        run.before = QByteArray(reinterpret_cast<const char*>(&before[size_t(i)]), end - i);
        run.after = QByteArray(reinterpret_cast<const char*>(&after[size_t(i)]), end - i);
        step.runs.push_back(std::move(run));
        i = end;
    }
    if (kind == Kind::Replace && *reference != after) {
        step.referenceBefore = reference;
        step.referenceAfter = std::make_shared<const Bytes>(after);
        reference = step.referenceAfter;
    }
    if (*definedSnapshot != state.defined) {
        step.definedBefore = std::make_shared<const Mask>(*definedSnapshot);
        step.definedAfter = std::make_shared<const Mask>(state.defined);
    }
    if (step.referenceAfter) {
        // Every change mark may differ now.
        step.span = {0, BufferSize};
    } else {
        qint32 begin = BufferSize, end = 0;
        if (!step.runs.empty()) {
            begin = step.runs.front().start;
            end = step.runs.back().start + qint32(step.runs.back().after.size());
        }
        if (step.definedAfter) {
            const Mask changed = *step.definedBefore ^ *step.definedAfter;
            qint32 first = 0;
            while (first < BufferSize && !changed.test(size_t(first)))
                ++first;
            qint32 last = BufferSize;
            while (last > first && !changed.test(size_t(last - 1)))
                --last;
            if (first < last)
                begin = std::min(begin, first), end = std::max(end, last);
        }
        step.span = begin < end ? Span{begin, end} : Span{};
    }
    snapshot.reset();
    definedSnapshot.reset();
    lastSpan = step.span;
    if (step.runs.empty() && !step.referenceAfter && !step.definedAfter) {
        if (kind == Kind::Replace)
            MarkSaved(); // a load of what was there already is as good as saved
        return;
    }
    step.id = nextId++;
    steps.resize(done);
    steps.push_back(std::move(step));
    if (steps.size() > size_t(MaxSteps)) {
        baseId = steps.front().id;
        steps.erase(steps.begin());
    }
    done = steps.size();
    if (kind == Kind::Replace)
        MarkSaved();
}

qint32 BufferHistory::Apply(const Step& step, bool undo) {
    lastSpan = step.span;
    qint32 lowest = step.runs.empty() ? 0 : step.runs.front().start;
    for (const Run& run : step.runs) {
        const QByteArray& bytes = undo ? run.before : run.after;
        std::copy(bytes.begin(), bytes.end(), state.Buffer.begin() + run.start);
        lowest = std::min(lowest, run.start);
    }
    if (step.definedAfter)
        state.defined = undo ? *step.definedBefore : *step.definedAfter;
    if (step.referenceAfter)
        reference = undo ? step.referenceBefore : step.referenceAfter;
    return lowest;
}

qint32 BufferHistory::Undo() {
    if (!CanUndo())
        return -1;
    --done;
    return Apply(steps[done], true);
}

qint32 BufferHistory::Redo() {
    if (!CanRedo())
        return -1;
    ++done;
    return Apply(steps[done - 1], false);
}

quint8 BufferHistory::Differences(qint32 address) const {
    if (address < 0 || address >= BufferSize)
        return 0;
    return state.Buffer[size_t(address)] ^ (*reference)[size_t(address)];
}

bool BufferHistory::HighDigitChanged(qint32 address) const {
    return Differences(address) & 0xF0;
}

bool BufferHistory::LowDigitChanged(qint32 address) const {
    return Differences(address) & 0x0F;
}

} // namespace varn
