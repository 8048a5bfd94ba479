#include "devicefunctions.h"

#include "core/devicebounds.h"
#include "core/protocol.h"
#include "core/usersettings.h"
#include "functions/functiontable.h"

namespace varn {

namespace {

using wire::BlockBytes;
constexpr int LoadPauseMs = 250;
constexpr int LastPauseMs = 1000;

// Blocks that cover a device of size bytes. A size that is not a multiple of
// 16 still has its last bytes read, programmed and verified: rounding the
// block count to the nearest integer would leave them out while the line
// says "OK!", and would drive the percentage past 100.
qint32 BlockCount(qint32 size) {
    return (size + BlockBytes - 1) / BlockBytes;
}

// A step auto.cfg may name.
bool IsDeviceFunction(int code) {
    const FunctionRow* row = FindFunction(code);
    return row && row->autoStep;
}

// What RunFunction runs by itself: every function but the sequence.
bool IsRunnable(int code) {
    const FunctionRow* row = FindFunction(code);
    return row && row->exchange != Exchange::Sequence;
}

// Codes whose exchange walks the device block by block.
bool NeedsBlocks(int code) {
    const FunctionRow* row = FindFunction(code);
    return row && NeedsBlocks(*row);
}

// How often a run asks again for replies in doubt before it gives up on a
// unit that keeps sending bytes nobody asked for.
int DoubtsAllowed() {
    return 2 * ReplyPolicy::MinGarbledRetries;
}

// Codes whose exchange sends the image or judges the device by it.
bool UsesImage(int code) {
    const FunctionRow* row = FindFunction(code);
    if (!row)
        return false;
    switch (row->exchange) {
    case Exchange::Program:
    case Exchange::Verify:
    case Exchange::Blank:
    case Exchange::Compare:
        return true;
    default:
        return false;
    }
}

QDateTime Now() {
    return QDateTime::currentDateTimeUtc();
}

} // namespace

FunctionOptions SettingsFunctionOptions(const UserSettings& settings) {
    FunctionOptions options;
    options.replies = ReadReplyPolicy(settings);
    options.onlyImage = settings.value(QLatin1String(OnlyImageKey), false).toBool();
    options.allowPartial = settings.value(QLatin1String(AllowPartialKey), false).toBool();
    return options;
}

QString ImageFitRefusal(const AppState& image, const FunctionOptions& options, int index) {
    if (options.allowPartial)
        return {};
    bool uses = UsesImage(index);
    if (index == FnAuto) {
        const int steps = qBound(0, int(image.AutoCount), MaxAutoCount);
        for (int step = 1; step <= steps && !uses; ++step)
            uses = UsesImage(image.AutoList[step]);
    }
    if (!uses)
        return {};
    const OutsideDevice outside = ImageOutsideDevice(image);
    if (outside.empty())
        return {};
    // A Program would drop them and a Verify after it would pass: the chip
    // would be reported good without the image.
    return OutsideDeviceText(image, outside) +
           QStringLiteral(": the chip cannot hold them. Select the device the image is for, or "
                          "allow a partial image to leave them out.");
}

DeviceFunctions::DeviceFunctions(AppState& state, Transport& transport, FunctionObserver& observer)
    : state(state), transport(transport), observer(observer), reader(transport), pause(LoadPauseMs),
      letterFrame(wire::CommandFrameBytes, '\0'), addressFrame(wire::AddressFrameBytes, '\0'),
      blockFrame(wire::BlockFrameBytes, '\0') {
    letterFrame[0] = char(wire::CommandLength);
    addressFrame[0] = char(wire::AddressLength);
    blockFrame[0] = char(wire::BlockLength);
}

QString DeviceFunctions::refusalReason(int index) const {
    if (index == FnAuto) {
        // The whole sequence is refused up front rather than after some steps
        // have already changed the device.
        const int steps = qBound(0, int(state.AutoCount), MaxAutoCount);
        for (int step = 1; step <= steps; ++step) {
            // A step that names Auto itself is no device function and is
            // skipped when the sequence runs; asking about it would recurse.
            if (state.AutoList[step] == FnAuto)
                continue;
            if (QString why = refusalReason(state.AutoList[step]); !why.isEmpty())
                return why;
        }
        return {};
    }
    if (!IsRunnable(index))
        return {};
    if (FunctionHas(index, NeedsUnit) && !transport.isOpen()) {
        const QString why = transport.notConnectedReason();
        return why.isEmpty() ? QStringLiteral("The programmer unit is not connected.") : why;
    }
    if (!NeedsBlocks(index))
        return {};
    const qint32 size = state.DeviceSize();
    if (size <= 8) {
        if (state.SelectedDevice == 0)
            return QStringLiteral("No device is selected (device size %1 bytes). "
                                  "Select a device first.")
                .arg(size);
        return QStringLiteral("The device size of %1 bytes is too small: Read, Verify, "
                              "Blank and Program need more than 8 bytes.")
            .arg(size);
    }
    if (size > MaxDeviceSize)
        return QStringLiteral("The device size of %1 bytes is too large: the unit "
                              "addresses at most %2 bytes.")
            .arg(size)
            .arg(MaxDeviceSize);
    // A failed or forgotten load would otherwise let Program send nothing and
    // Verify pass without having looked at a single byte.
    if (runOptions.onlyImage && !FunctionHas(index, ReadsIntoBuffer) && !state.anyDefined(0, size))
        return QStringLiteral("Only the Image is on, but no byte of the device's part of the "
                              "buffer comes from an image. Load a file first.");
    return ImageFitRefusal(state, runOptions, index);
}

std::vector<qint32> DeviceFunctions::blocksFor(int code) const {
    const qint32 size = state.DeviceSize();
    const qint32 count = BlockCount(size);
    const bool filter = runOptions.onlyImage && !FunctionHas(code, ReadsIntoBuffer);
    std::vector<qint32> blocks;
    blocks.reserve(size_t(count));
    for (qint32 block = 0; block < count; ++block) {
        const qint32 address = block * BlockBytes;
        if (!filter || state.anyDefined(address, std::min(address + BlockBytes, size)))
            blocks.push_back(address);
    }
    return blocks;
}

bool DeviceFunctions::LoadSequence() {
    letter = wire::DeviceSelectBase + state.SelectedEntry().Code;
    // The sequence leaves the long pause set for the functions; another
    // sequence (the next chip of a production run) has the short ones again.
    pause = LoadPauseMs;
    const auto lost = [this] {
        pause = LastPauseMs;
        // The load step holds the unit in reset whether or not its commands
        // reach it: the state follows the user, as with Run and Reset.
        if (!state.unitInReset) {
            state.unitInReset = true;
            observer.unitRunStateChanged();
        }
        observer.refused(refusalReason(FnErase));
        return false;
    };
    bool complete = true;
    if (!transport.isOpen())
        return lost();

    if (!sendLetter(wire::Run))
        return lost();
    waitPause();
    if (!sendLetter(wire::Reset))
        return lost();
    state.unitInReset = true;
    observer.unitRunStateChanged();
    waitPause();
    if (state.UnitIdentified) {
        if (letter < 0 || letter > 255) {
            // The select command carries one byte; telling the unit a wrong
            // type would be worse than telling it none.
            observer.refused(QStringLiteral("The device code %1 cannot be sent to the unit "
                                            "(codes 1 to %2 are possible).")
                                 .arg(state.SelectedEntry().Code)
                                 .arg(MaxDeviceCode));
            complete = false;
        } else if (!sendLetter(char(letter))) {
            return lost();
        }
    }
    waitPause();
    if (!sendLetter(wire::Prepare))
        return lost();
    waitPause();
    pause = LastPauseMs;
    if (!sendLetter(wire::Prepare))
        return lost();
    return complete;
}

FunctionResult DeviceFunctions::RunFunction(int index) {
    FunctionResult run;
    run.function = index;
    run.started = Now();
    if (QString why = refusalReason(index); !why.isEmpty()) {
        run.outcome = Outcome::Refused;
        run.refusal = why;
        run.finished = run.started;
        observer.refused(why);
        return run;
    }

    observer.functionStarted(run);
    showProgress(run, 0);
    if (index == FnAuto) {
        runAuto(run);
    } else if (IsRunnable(index)) {
        runCode(run);
    } else {
        finish(run);
    }
    return run;
}

void DeviceFunctions::runAuto(FunctionResult& summary) {
    const int steps = qBound(0, int(state.AutoCount), MaxAutoCount);
    QList<int> codes;
    for (int autoStep = 1; autoStep <= steps; ++autoStep)
        codes.append(state.AutoList[autoStep]);
    runSteps(summary, codes, SequenceRule::GoOnAfterLostReply, true);
    finish(summary);
}

FunctionResult DeviceFunctions::RunSequence(const QList<int>& codes, SequenceRule rule) {
    FunctionResult summary;
    summary.function = FnAuto;
    summary.started = Now();
    runSteps(summary, codes, rule, false);
    summary.finished = Now();
    return summary;
}

void DeviceFunctions::runSteps(FunctionResult& summary, const QList<int>& codes, SequenceRule rule,
                               bool autoSteps) {
    for (int k = 0; k < codes.size(); ++k) {
        const int code = codes[k];
        // An unknown code does nothing, but still takes its line.
        if (autoSteps && !IsDeviceFunction(code))
            continue;
        if (stopRequested()) {
            summary.outcome = Outcome::Stopped;
            break;
        }
        FunctionResult step;
        if (autoSteps) {
            step.function = code;
            step.autoStep = k + 1;
            step.started = Now();
            observer.functionStarted(step);
            runCode(step);
            if (FunctionHas(code, LongPause))
                waitPause();
        } else {
            step = RunFunction(code);
        }

        summary.blocksDone += step.blocksDone;
        summary.blocksTotal += step.blocksTotal;
        summary.bytesTransferred += step.bytesTransferred;
        summary.resent += step.resent;
        summary.programSent = summary.programSent || step.programSent;
        if (summary.outcome == Outcome::Success && !step.succeeded()) {
            summary.outcome = step.outcome;
            summary.refusal = step.refusal;
            summary.linkFault = step.linkFault;
            summary.differences = step.differences;
            summary.stoppedAt = step.stoppedAt;
        }
        const bool ends =
            rule == SequenceRule::EndAtFirstFailure
                ? !step.succeeded()
                : step.outcome == Outcome::Mismatch || step.outcome == Outcome::Stopped;
        summary.steps.push_back(std::move(step));
        if (ends)
            break;
        // A lost line has been reported by the step that saw it; every later
        // step could only fail the same way.
        if (!transport.isOpen())
            break;
    }
}

void DeviceFunctions::runCode(FunctionResult& run) {
    // Bytes of an earlier exchange that came too late must not be read as
    // this function's first reply.
    discardWaiting();
    reader.setPolicy(runOptions.replies);

    const FunctionRow* row = FindFunction(run.function);
    switch (row ? row->exchange : Exchange::Sequence) {
    case Exchange::Read:
        return readBlocks(BlockMode::Read, run);
    case Exchange::Verify:
        return readBlocks(BlockMode::Verify, run);
    case Exchange::Blank:
        return readBlocks(BlockMode::Blank, run);
    case Exchange::Compare:
        return readBlocks(BlockMode::Compare, run);
    case Exchange::Program:
        return programBlocks(run);
    case Exchange::Command:
        return commandOnly(row->letter, run);
    case Exchange::Sequence:
        break;
    }
    finish(run);
}

void DeviceFunctions::readBlocks(BlockMode mode, FunctionResult& run) {
    const std::vector<qint32> blocks = blocksFor(run.function);
    const qint32 total = qint32(blocks.size());
    const qint32 size = state.DeviceSize();
    run.blocksTotal = total;
    const bool wholeBlock = mode == BlockMode::Read || mode == BlockMode::Compare;
    addressFrame[3] = 0x00;
    addressFrame[4] = char(wholeBlock ? BlockBytes : 1);
    // Only the image: Verify and Compare judge the bytes the image defines;
    // Blank check still wants a block's every byte erased, since Program sends
    // it whole.
    const bool definedOnly = runOptions.onlyImage && mode != BlockMode::Blank;
    // Compare collects the device's bytes here and judges them at the end;
    // bytes never read count as equal.
    std::vector<quint8> device;
    if (mode == BlockMode::Compare)
        device.assign(state.Buffer.begin(), state.Buffer.begin() + size);

    // The first byte of a block's reply that differs from what is expected,
    // or -1.
    const auto firstDifference = [&](qint32 address, const QByteArray& reply) {
        if (mode != BlockMode::Verify && mode != BlockMode::Blank)
            return -1;
        for (int j = 0; j < BlockBytes; ++j) {
            const qint32 at = address + j;
            if (at >= size)
                break; // the last block's bytes past the device's end are no part of it
            if (definedOnly && !state.isDefined(at))
                continue;
            const quint8 expected = mode == BlockMode::Verify ? state.Buffer[at] : 0xFF;
            if (quint8(reply[1 + j]) != expected)
                return j;
        }
        return -1;
    };

    // A reply is used only once nothing has come after it that it could
    // have lost bytes to: when the next request is about to go, and for the
    // last reply (or one that differs) after the line has fallen quiet.
    // Until then it is held, so Read stores nothing it cannot attribute to
    // its block.
    qint32 held = -1;
    QByteArray heldReply;
    qint32 used = 0; // blocks whose replies have been used
    int doubts = 0;
    qint32 i = 0;
    for (;;) {
        if (held >= 0) {
            const qint32 address = blocks[size_t(held)];
            const int differs = firstDifference(address, heldReply);
            if (!reader.lastReplyStands(i >= total || differs >= 0)) {
                if (!doubtAgain(doubts, run))
                    return;
                i = held;
                held = -1;
                ++run.resent;
                continue;
            }
            held = -1;
            if (differs >= 0) {
                const qint32 at = address + differs;
                run.bytesTransferred += BlockBytes;
                run.outcome = Outcome::Mismatch;
                run.differences.append(
                    ByteDifference{at, mode == BlockMode::Verify ? state.Buffer[at] : quint8(0xFF),
                                   quint8(heldReply[1 + differs])});
                return finish(run);
            }
            for (int j = 0; j < BlockBytes; ++j) {
                const qint32 at = address + j;
                if (mode == BlockMode::Read)
                    state.Buffer[at] = quint8(heldReply[1 + j]);
                else if (mode == BlockMode::Compare && at < size)
                    device[size_t(at)] = quint8(heldReply[1 + j]);
            }
            // What a Read stored is the buffer's image from now on.
            if (mode == BlockMode::Read)
                state.markDefined(address, address + BlockBytes);
            if (i > used) {
                used = i;
                run.bytesTransferred += BlockBytes;
                ++run.blocksDone;
                doubts = 0;
            }
        }
        if (i >= total)
            break;
        const qint32 address = blocks[size_t(i)];
        run.workingAt = address;
        showProgress(run, i * 100 / total);
        if (stopRequested())
            return stopAt(run, address);
        addressFrame[1] = char(address / 256);
        addressFrame[2] = char(address % 256);
        letterFrame[1] = wire::Read;
        bool doubted = false;
        if (!askFor({&letterFrame, &addressFrame}, wire::ReadReplyBytes, IsReadReply, heldReply,
                    run, &doubted))
            return;
        // Whatever shifted this reply may have been the tail of the one
        // before: that block is asked for again as well.
        if (doubted && i > 0) {
            if (!stepBack(i, doubts, run))
                return;
            continue;
        }
        held = i++;
    }
    if (mode == BlockMode::Compare)
        judgeComparison(device, run);
    showProgress(run, 100);
    finish(run);
}

void DeviceFunctions::judgeComparison(const std::vector<quint8>& device, FunctionResult& run) {
    const qint32 size = qint32(device.size());
    run.report = CompareImages(state.Buffer.data(), device.data(), size,
                               runOptions.onlyImage ? &state.defined : nullptr);
    for (const DifferenceRange& range : run.report.ranges) {
        for (qint32 at = range.first; at <= range.last; ++at) {
            if (state.Buffer[at] != device[size_t(at)] &&
                (!runOptions.onlyImage || state.isDefined(at)))
                run.differences.append(ByteDifference{at, state.Buffer[at], device[size_t(at)]});
        }
    }
    if (!run.report.empty())
        run.outcome = Outcome::Mismatch;
}

void DeviceFunctions::programBlocks(FunctionResult& run) {
    if (!sendLetter(wire::Write))
        return failLink(run, LinkFault::None);

    const std::vector<qint32> blocks = blocksFor(run.function);
    const qint32 total = qint32(blocks.size());
    run.blocksTotal = total;
    blockFrame[3] = 0x00;
    blockFrame[4] = char(BlockBytes);

    // An acknowledgement counts once nothing has come after it that could
    // have been the real one (a stray byte taken for it): when the next
    // block is about to go, and for the last block after the line has
    // fallen quiet. Otherwise the block goes out again, which programs the
    // same bytes once more and changes nothing.
    qint32 held = -1;
    qint32 done = 0; // blocks acknowledged so far
    int doubts = 0;
    const auto count = [&](qint32 upTo) {
        if (upTo > done) {
            run.blocksDone += upTo - done;
            done = upTo;
            doubts = 0;
        }
    };
    // Every block frame carries its own address, so the unit takes the blocks
    // of an image with gaps as they come.
    qint32 i = 0;
    for (;;) {
        if (held >= 0) {
            if (!reader.lastReplyStands(i >= total)) {
                if (!doubtAgain(doubts, run))
                    return;
                i = held;
                held = -1;
                ++run.resent;
                continue;
            }
            held = -1;
            if (i > done)
                run.bytesTransferred += BlockBytes;
            count(i);
        }
        if (i >= total)
            break;
        const qint32 address = blocks[size_t(i)];
        run.workingAt = address;
        showProgress(run, i * 100 / total);
        if (stopRequested()) {
            // The write the unit opened is closed, as after the last block.
            if (!sendLetter(wire::Write))
                return failLink(run, LinkFault::None);
            return stopAt(run, address);
        }
        blockFrame[1] = char(address / 256);
        blockFrame[2] = char(address % 256);
        // Taken per block: a transport may keep the frame it was given, and
        // writing through an older pointer would change that copy too.
        char* data = blockFrame.data() + wire::BlockHeaderBytes;
        bool allErased = true;
        for (int j = 0; j < BlockBytes; ++j) {
            data[j] = char(state.Buffer[address + j]);
            allErased = allErased && state.Buffer[address + j] == 0xFF;
        }
        if (runOptions.skipBlankBlocks && allErased) {
            count(++i); // an erased device already holds it
            continue;
        }
        run.programSent = true;
        bool doubted = false;
        QByteArray ack;
        if (!askFor({&blockFrame}, wire::AckBytes, IsAck, ack, run, &doubted))
            return;
        // More came than one acknowledgement: the block before may not
        // have been acknowledged at all. It goes out again on the quiet
        // line the reader now keeps.
        if (doubted && i > 0) {
            if (!stepBack(i, doubts, run))
                return;
            continue;
        }
        held = i++;
    }
    if (!sendLetter(wire::Write))
        return failLink(run, LinkFault::None);
    showProgress(run, 100);
    finish(run);
}

void DeviceFunctions::commandOnly(char command, FunctionResult& run) {
    if (!sendLetter(command))
        return failLink(run, LinkFault::None);
    // Nothing comes back from the unit, so the run is done once the command
    // is out; the bar and the pause give the unit its time.
    finish(run);
    for (int k = 1; k <= 100; ++k)
        showProgress(run, k);
    waitPause();
}

void DeviceFunctions::stopAt(FunctionResult& run, qint32 address) {
    run.outcome = Outcome::Stopped;
    run.stoppedAt = address;
    finish(run);
}

bool DeviceFunctions::askFor(std::initializer_list<const QByteArray*> frames, int expectedBytes,
                             bool (*wellFormed)(const QByteArray&), QByteArray& reply,
                             FunctionResult& run, bool* doubted) {
    switch (reader.ask(frames, expectedBytes, wellFormed, reply, &run.resent, doubted)) {
    case RequestOutcome::Answered:
        return true;
    case RequestOutcome::Garbled:
        failLink(run, LinkFault::GarbledReply);
        return false;
    case RequestOutcome::NoAnswer:
        break;
    }
    failLink(run, LinkFault::None);
    return false;
}

bool DeviceFunctions::doubtAgain(int& doubts, FunctionResult& run) {
    if (++doubts <= DoubtsAllowed())
        return true;
    failLink(run, LinkFault::GarbledReply);
    return false;
}

bool DeviceFunctions::stepBack(qint32& block, int& doubts, FunctionResult& run) {
    if (!doubtAgain(doubts, run))
        return false;
    // Both go out again.
    run.resent += 2;
    --block;
    return true;
}

void DeviceFunctions::discardWaiting() {
    // The previous reply was complete: whatever came after it (a unit that
    // sends a byte too many) is no answer to the next request.
    if (transport.bytesWaiting() > 0)
        transport.takeAll();
}

void DeviceFunctions::waitPause() {
    transport.pause(pause);
}

bool DeviceFunctions::sendLetter(char command) {
    letterFrame[1] = command;
    return transport.send(letterFrame);
}

void DeviceFunctions::showProgress(const FunctionResult& run, int percent) {
    observer.functionProgress(run, percent);
}

void DeviceFunctions::failLink(FunctionResult& run, LinkFault cause) {
    if (cause == LinkFault::None) {
        if (!transport.isOpen())
            cause = LinkFault::LineLost;
        else
            cause = transport.bytesWaiting() > 0 ? LinkFault::ShortReply : LinkFault::NoReply;
    }
    run.outcome = Outcome::CommunicationFailure;
    run.linkFault = cause;
    finish(run);
}

void DeviceFunctions::finish(FunctionResult& run) {
    run.finished = Now();
    observer.functionFinished(run);
}

} // namespace varn
