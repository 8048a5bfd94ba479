#pragma once

#include "core/appstate.h"

#include <QByteArray>
#include <bitset>
#include <memory>
#include <vector>

namespace varn {

// Undo and redo of every change to the buffer (typed digits, fills, clears,
// loads, a Read), and the reference the editor compares against to show the
// digits changed since the last load, Clear or Read.
//
// A command calls Begin() before it touches the buffer and Commit() after;
// the step keeps only the runs of bytes that differ, so a typed digit costs a
// few bytes and a load at most the bytes it replaced.
class BufferHistory {
public:
    // Edit: the changed marks stay. Replace (load, Clear, Read): the buffer as
    // it is afterwards becomes the reference, so no digit shows as changed.
    enum class Kind { Edit, Replace };
    static constexpr int MaxSteps = 100;

    explicit BufferHistory(AppState& state);

    // The addresses a step touched, [begin, end): its bytes, and its defined
    // marks and change marks; empty (begin == end) when nothing changed.
    struct Span {
        qint32 begin = 0;
        qint32 end = 0;
        bool isEmpty() const { return begin >= end; }
    };

    void Begin();
    // Records the difference since Begin() as one step and drops the redo
    // steps. Nothing is recorded when an Edit changed nothing.
    void Commit(Kind kind);
    // What the last Commit, Undo or Redo touched.
    Span LastSpan() const { return lastSpan; }
    // Whether the buffer differs from the state marked saved: a load, Clear
    // or Read, or a save, marks it; undoing back to that state clears it.
    bool IsModified() const { return CurrentId() != savedId; }
    void MarkSaved() { savedId = CurrentId(); }

    bool CanUndo() const { return done > 0; }
    bool CanRedo() const { return done < steps.size(); }
    // Each returns the lowest address the step changed (0 when it changed
    // no byte, only the reference), or -1 when there is nothing to do.
    qint32 Undo();
    qint32 Redo();

    // Whether the high (or low) digit of the byte at address differs from the
    // reference.
    bool HighDigitChanged(qint32 address) const;
    bool LowDigitChanged(qint32 address) const;

private:
    using Bytes = std::array<quint8, BufferSize>;
    using Mask = std::bitset<BufferSize>;
    struct Run {
        qint32 start = 0;
        QByteArray before;
        QByteArray after;
    };
    struct Step {
        quint64 id = 0;
        Span span;
        std::vector<Run> runs;
        // Replace steps only: the reference before and after the step.
        std::shared_ptr<const Bytes> referenceBefore;
        std::shared_ptr<const Bytes> referenceAfter;
        // The defined-byte mask before and after, when the step changed it
        // (a load or Clear nearly always does, a typed digit seldom).
        std::shared_ptr<const Mask> definedBefore;
        std::shared_ptr<const Mask> definedAfter;
    };
    qint32 Apply(const Step& step, bool undo);
    quint8 Differences(qint32 address) const;
    // The step last applied, or what stood before the oldest step kept.
    quint64 CurrentId() const { return done > 0 ? steps[done - 1].id : baseId; }

    AppState& state;
    std::unique_ptr<Bytes> snapshot;
    std::unique_ptr<Mask> definedSnapshot;
    std::shared_ptr<const Bytes> reference;
    std::vector<Step> steps;
    size_t done = 0; // steps [0, done) are applied
    Span lastSpan;
    quint64 nextId = 1;
    quint64 baseId = 0;
    quint64 savedId = 0;
};

} // namespace varn
