#include "devicefunctions.h"

#include "core/hextext.h"

namespace varn {

namespace {

constexpr int BlockBytes = 16;
constexpr int ReadReplyBytes = 1 + BlockBytes;
constexpr int AckBytes = 1;
constexpr int LastPauseMs = 1000;

const QString OkMark = QStringLiteral("   OK!");
const QString FaultMark = QStringLiteral("   Device Fault!");

// Blocks that cover a device of size bytes. A size that is not a multiple of
// 16 still has its last bytes read, programmed and verified: rounding the
// block count to the nearest integer would leave them out while the line
// says "OK!", and would drive the percentage past 100.
qint32 BlockCount(qint32 size) {
    return (size + BlockBytes - 1) / BlockBytes;
}

// Codes whose exchange walks the device block by block.
bool NeedsBlocks(int code) {
    return code == FnRead || code == FnBlank || code == FnProgram || code == FnVerify;
}

} // namespace

DeviceFunctions::DeviceFunctions(AppState& state, Transport& transport, FunctionObserver& observer)
    : state(state), transport(transport), observer(observer), letterFrame(2, '\0'),
      addressFrame(5, '\0'), SendBlock(5 + BlockBytes, '\0') {
    letterFrame[0] = 0x01;
    addressFrame[0] = 0x04;
    SendBlock[0] = 0x14;
}

QString DeviceFunctions::refusalReason(int code) const {
    if (code < FnRead || code > FnLock)
        return {};
    if (!transport.isOpen()) {
        const QString why = transport.notConnectedReason();
        return why.isEmpty() ? QStringLiteral("The programmer unit is not connected.") : why;
    }
    if (!NeedsBlocks(code))
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
    return {};
}

bool DeviceFunctions::refuse(int code) {
    const QString reason = refusalReason(code);
    if (reason.isEmpty())
        return false;
    observer.refused(reason);
    return true;
}

void DeviceFunctions::LoadSequence() {
    DeviceLetter = 'a' + state.SelectedEntry().Code - 1;
    const auto lost = [this] {
        PauseMs = LastPauseMs;
        observer.refused(refusalReason(FnErase));
    };
    if (!transport.isOpen())
        return lost();

    if (!sendLetter('+'))
        return lost();
    Pause();
    if (!sendLetter('-'))
        return lost();
    state.UnitInReset = true;
    observer.unitStateChanged();
    Pause();
    if (state.UnitIdentified) {
        if (DeviceLetter < 0 || DeviceLetter > 255) {
            // The select command carries one byte; telling the unit a wrong
            // type would be worse than telling it none.
            observer.refused(QStringLiteral("The device code %1 cannot be sent to the unit "
                                            "(codes 1 to %2 are possible).")
                                 .arg(state.SelectedEntry().Code)
                                 .arg(MaxDeviceCode));
        } else if (!sendLetter(char(DeviceLetter))) {
            return lost();
        }
    }
    Pause();
    if (!sendLetter('P'))
        return lost();
    Pause();
    PauseMs = LastPauseMs;
    if (!sendLetter('P'))
        return lost();
}

bool DeviceFunctions::RunFunction(int index) {
    if (index >= FnRead && index <= FnLock) {
        if (refuse(index))
            return false;
    } else if (index == FnAuto) {
        for (int step = 1; step <= qBound(0, int(state.AutoCount), MaxAutoCount); ++step) {
            if (refuse(state.AutoList[step]))
                return false;
        }
    }

    Percent = 0;
    showProgress();
    for (int line = 0; line < 6; ++line) {
        Lines[line].clear();
        observer.setMessage(line, Lines[line]);
    }
    MsgLine = 0;
    FunctionFailed = false;

    if (index == FnAuto)
        RunAuto();
    else
        runCode(index);
    return true;
}

void DeviceFunctions::runCode(int code) {
    switch (code) {
    case FnRead:
        ReadDevice();
        break;
    case FnErase:
        EraseDevice();
        break;
    case FnBlank:
        BlankCheckDevice();
        break;
    case FnProgram:
        ProgramDevice();
        break;
    case FnVerify:
        VerifyDevice();
        break;
    case FnLock:
        LockDevice();
        break;
    default:
        break;
    }
}

void DeviceFunctions::RunAuto() {
    const int steps = qBound(0, int(state.AutoCount), MaxAutoCount);
    // Refuse the whole sequence up front rather than after some steps have
    // already changed the device.
    for (int step = 1; step <= steps; ++step) {
        if (refuse(state.AutoList[step]))
            return;
    }
    for (AutoStep = 1; AutoStep <= steps; ++AutoStep) {
        const int code = state.AutoList[AutoStep];
        runCode(code);
        if (code == FnErase || code == FnLock)
            Pause();
        if (FunctionFailed)
            break;
        // A lost line has been reported by the step that saw it; every later
        // step could only fail the same way.
        if (!transport.isOpen())
            break;
        if (++MsgLine == 6)
            MsgLine = 5;
    }
}

void DeviceFunctions::ReadDevice() {
    if (!refuse(FnRead))
        readBlocks(BlockMode::Read, QStringLiteral("Reading ..."));
}

void DeviceFunctions::VerifyDevice() {
    if (!refuse(FnVerify))
        readBlocks(BlockMode::Verify, QStringLiteral("Verifying ..."));
}

void DeviceFunctions::BlankCheckDevice() {
    if (!refuse(FnBlank))
        readBlocks(BlockMode::Blank, QStringLiteral("Blank Checking ..."));
}

void DeviceFunctions::EraseDevice() {
    if (!refuse(FnErase))
        commandOnly('E', QStringLiteral("Erasing ..."));
}

void DeviceFunctions::LockDevice() {
    if (!refuse(FnLock))
        commandOnly('L', QStringLiteral("Locking ..."));
}

void DeviceFunctions::readBlocks(BlockMode mode, const QString& text) {
    beginFunction(text);
    const qint32 size = state.DeviceSize();
    const qint32 blocks = BlockCount(size);
    const qint32 last = blocks - 1;
    addressFrame[3] = 0x00;
    addressFrame[4] = char(mode == BlockMode::Read ? BlockBytes : 1);

    for (BlockIndex = 0; BlockIndex <= last; ++BlockIndex) {
        Percent = BlockIndex * 100 / blocks;
        showProgress();
        const qint32 address = BlockIndex * BlockBytes;
        addressFrame[1] = char(address / 256);
        addressFrame[2] = char(address % 256);
        if (!sendLetter('R') || !transport.send(addressFrame) ||
            transport.waitForReply(ReadReplyBytes)) {
            return timeoutReport();
        }
        Reply = transport.takeAll();

        // The count byte includes itself. Only bytes actually taken are used;
        // with at most 255 announced and the last block at 0xFFF0 every
        // position stays inside Buffer.
        const int announced = Reply.isEmpty() ? 0 : qMax(0, quint8(Reply[0]) - 1);
        const int present = qMin(announced, int(Reply.size()) - 1);
        for (int j = 1; j <= present; ++j) {
            const qint32 at = address + j - 1;
            const quint8 byte = quint8(Reply[j]);
            if (mode == BlockMode::Read) {
                state.Buffer[at] = byte;
                continue;
            }
            const quint8 expected = mode == BlockMode::Verify ? state.Buffer[at] : 0xFF;
            if (byte != expected) {
                MismatchAddress = at;
                MismatchExpected = expected;
                MismatchActual = byte;
                FunctionFailed = true;
                setLine((mode == BlockMode::Verify ? QStringLiteral("Verify Error at ")
                                                   : QStringLiteral("Device not blank at ")) +
                        HexWord(at));
                return;
            }
        }
        // A block that did not arrive whole counts as a lost reply.
        if (present < announced)
            return timeoutReport();
    }
    Percent = (last + 1) * 100 / blocks;
    showProgress();
    successMark();
}

void DeviceFunctions::ProgramDevice() {
    if (refuse(FnProgram))
        return;
    beginFunction(QStringLiteral("Programming ..."));
    if (!sendLetter('W'))
        return timeoutReport();

    const qint32 size = state.DeviceSize();
    const qint32 blocks = BlockCount(size);
    const qint32 last = blocks - 1;
    SendBlock[3] = 0x00;
    SendBlock[4] = char(BlockBytes);

    for (BlockIndex = 0; BlockIndex <= last; ++BlockIndex) {
        Percent = BlockIndex * 100 / blocks;
        showProgress();
        const qint32 address = BlockIndex * BlockBytes;
        SendBlock[1] = char(address / 256);
        SendBlock[2] = char(address % 256);
        // Taken per block: a transport may keep the frame it was given, and
        // writing through an older pointer would change that copy too.
        char* data = SendBlock.data() + 5;
        bool allErased = true;
        for (int j = 0; j < BlockBytes; ++j) {
            data[j] = char(state.Buffer[address + j]);
            allErased = allErased && state.Buffer[address + j] == 0xFF;
        }
        if (SkipBlankBlocks && allErased)
            continue;
        if (!transport.send(SendBlock) || transport.waitForReply(AckBytes))
            return timeoutReport();
        // The acknowledgement's value carries no meaning; its arrival does.
        Reply = transport.takeAll();
    }
    if (!sendLetter('W'))
        return timeoutReport();
    Percent = (last + 1) * 100 / blocks;
    showProgress();
    successMark();
}

void DeviceFunctions::commandOnly(char letter, const QString& text) {
    beginFunction(text);
    if (!sendLetter(letter))
        return timeoutReport();
    // Nothing comes back from the unit, so the line is marked at once.
    successMark();
    for (int k = 1; k <= 100; ++k) {
        Percent = k;
        showProgress();
    }
    Pause();
}

void DeviceFunctions::Pause() {
    transport.pause(PauseMs);
}

bool DeviceFunctions::sendLetter(char letter) {
    letterFrame[1] = letter;
    return transport.send(letterFrame);
}

void DeviceFunctions::beginFunction(const QString& text) {
    // Bytes of an earlier exchange that came too late must not be read as
    // this function's first reply.
    if (transport.bytesWaiting() > 0)
        transport.takeAll();
    CommunicationFailed = false;
    MismatchAddress = -1;
    MismatchExpected = -1;
    MismatchActual = -1;
    setLine(text);
}

void DeviceFunctions::setLine(const QString& text) {
    const int line = qBound(0, MsgLine, 5);
    Lines[line] = text;
    observer.setMessage(line, Lines[line]);
}

void DeviceFunctions::successMark() {
    setLine(Lines[qBound(0, MsgLine, 5)] + OkMark);
}

void DeviceFunctions::timeoutReport() {
    CommunicationFailed = true;
    observer.communicationError();
    setLine(Lines[qBound(0, MsgLine, 5)] + FaultMark);
}

void DeviceFunctions::showProgress() {
    observer.showProgress(Percent);
}

} // namespace varn
