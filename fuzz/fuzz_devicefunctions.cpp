// The device functions against a unit whose replies come from the fuzzer.
// Input: a header (function, device size, flags, Auto steps), then replies,
// each a length byte and that many bytes: queued for the next reply-bearing
// request, or (length byte with the top bit set) given for every request
// after the queue ran out. Whatever comes back, the functions must stay
// inside the buffer, send only well-formed frames and report what happened.
#include "fuzzsupport.h"

#include "core/appstate.h"
#include "functions/devicefunctions.h"
#include "functions/functiontable.h"
#include "functions/functiontext.h"
#include "tools/scriptedunit/scriptedtransport.h"

#include <array>
#include <cstdint>
#include <memory>

using namespace varn;

namespace {

constexpr qint32 Sizes[16] = {0,   8,   9,   15,   16,   17,    24,    40,
                              100, 255, 256, 1000, 4095, 65535, 65536, 65537};

class Observer : public FunctionObserver {
public:
    void functionStarted(const FunctionResult& run) override { lines.started(run); }
    void functionProgress(const FunctionResult& run, int percent) override {
        VARN_FUZZ_CHECK(percent >= 0 && percent <= 100);
        VARN_FUZZ_CHECK(run.blocksDone <= run.blocksTotal);
    }
    void functionFinished(const FunctionResult& result) override {
        if (result.outcome == Outcome::CommunicationFailure)
            ++errors;
        lines.finished(result);
    }
    void refused(const QString& reason) override {
        VARN_FUZZ_CHECK(!reason.isEmpty());
        ++refusals;
    }
    FunctionLines lines;
    int errors = 0;
    int refusals = 0;
};

class Input {
public:
    Input(const uint8_t* data, size_t size) : input(data), inputSize(size) {}
    bool more() const { return consumed < inputSize; }
    quint8 byte() { return consumed < inputSize ? input[consumed++] : 0; }
    QByteArray bytes(size_t n) {
        n = std::min(n, inputSize - consumed);
        QByteArray out(reinterpret_cast<const char*>(input + consumed), qsizetype(n));
        consumed += n;
        return out;
    }

private:
    const uint8_t* input;
    size_t inputSize;
    size_t consumed = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const quint8 function = in.byte();
    const quint8 device = in.byte();
    const quint8 flags = in.byte();
    const int index = function % 7;

    auto state = std::make_unique<AppState>();
    state->DeviceCount = 1;
    state->SelectedDevice = 1;
    state->DeviceTable[1] =
        DeviceEntry{QStringLiteral("Fuzz"), qint16(1 + (flags >> 4)), Sizes[device & 15]};
    state->AutoCount = qint16((device >> 4) % (MaxAutoCount + 1));
    for (int step = 1; step <= state->AutoCount; ++step)
        state->AutoList[size_t(step)] = qint16(in.byte() % 8); // 6 and 7: not a function
    static const auto pattern = [] {
        std::array<quint8, BufferSize> bytes;
        for (int i = 0; i < BufferSize; ++i)
            bytes[size_t(i)] = quint8(i * 13 + 5);
        return bytes;
    }();
    state->Buffer = pattern;
    const auto& before = pattern;

    static const QByteArray memory = [] {
        QByteArray bytes(65536, '\0');
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i ^ (i >> 8));
        return bytes;
    }();
    ScriptedTransport unit;
    unit.memory = memory;
    while (in.more()) {
        const quint8 length = in.byte();
        const QByteArray reply = in.bytes(length & 0x7F);
        if (length & 0x80)
            unit.setRawReplyForAll(reply);
        else
            unit.queueRawReply(reply);
    }
    if (flags & 1)
        unit.inject(QByteArray("\x11\x00\xFF", 3)); // bytes left over from before
    if (flags & 2)
        unit.closeFrom(1 + (flags >> 2 & 3) * 5);

    Observer observer;
    DeviceFunctions functions(*state, unit, observer);
    FunctionOptions options;
    options.skipBlankBlocks = (flags & 4) != 0;
    functions.setOptions(options);
    if (function & 0x80) {
        state->UnitIdentified = true;
        functions.LoadSequence();
    }
    const FunctionResult result = functions.RunFunction(index);
    const bool ran = result.outcome != Outcome::Refused;

    // Only well-formed frames go out.
    for (const QByteArray& frame : unit.sent)
        VARN_FUZZ_CHECK(!frame.isEmpty() && frame.size() == 1 + quint8(frame[0]));

    const qint32 deviceSize = state->DeviceSize();
    bool readsIntoBuffer = FunctionHas(index, ReadsIntoBuffer);
    for (int step = 1; step <= state->AutoCount && index == FnAuto; ++step)
        readsIntoBuffer =
            readsIntoBuffer || FunctionHas(state->AutoList[size_t(step)], ReadsIntoBuffer);
    if (!ran || !readsIntoBuffer) {
        VARN_FUZZ_CHECK(state->Buffer == before);
    } else {
        // A block's reply carries at most 254 data bytes after its count.
        for (qint64 i = qint64(deviceSize) + 255; i < BufferSize; ++i)
            VARN_FUZZ_CHECK(state->Buffer[size_t(i)] == before[size_t(i)]);
    }

    if (ran && index == FnProgram) {
        // Every block on the wire carries the buffer's bytes at its address.
        for (const QByteArray& frame : unit.sent) {
            if (quint8(frame[0]) != 0x14)
                continue;
            const int address = quint8(frame[1]) * 256 + quint8(frame[2]);
            VARN_FUZZ_CHECK(address < deviceSize);
            for (int j = 5; j < frame.size(); ++j)
                VARN_FUZZ_CHECK(quint8(frame[j]) == state->Buffer[size_t(address + j - 5)]);
        }
    }
    if (result.outcome == Outcome::CommunicationFailure) {
        VARN_FUZZ_CHECK(observer.errors > 0);
        VARN_FUZZ_CHECK(result.linkFault != LinkFault::None);
        // Auto goes on after a step without a reply, and steps past the sixth
        // share the last line, so a later step may overwrite the mark.
        bool marked = index == FnAuto;
        for (int i = 0; i < FunctionLines::Count; ++i)
            marked = marked || observer.lines.line(i).endsWith(QLatin1String("   Device Fault!"));
        VARN_FUZZ_CHECK(marked);
    }
    if (result.outcome == Outcome::Mismatch) {
        const ByteDifference& d = result.firstDifference();
        VARN_FUZZ_CHECK(d.address < deviceSize + 255);
        VARN_FUZZ_CHECK(d.expected != d.actual);
    }
    return 0;
}
