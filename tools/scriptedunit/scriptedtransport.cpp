#include "scriptedtransport.h"

#include "core/protocol.h"

namespace varn {

namespace {
constexpr int MemorySize = wire::DeviceLimit;
using wire::BlockBytes;
// The identify answer and the program block acknowledgement.
const QByteArray Identity("TVARN 20", 8);
constexpr char Ack = 0x00;
} // namespace

ScriptedTransport::ScriptedTransport() : memory(MemorySize, char(0xFF)) {}

bool ScriptedTransport::isOpen() const {
    return lineOpen;
}

QString ScriptedTransport::notConnectedReason() const {
    return lineOpen ? QString() : closedReason;
}

void ScriptedTransport::setOpen(bool open, const QString& reason) {
    lineOpen = open;
    closedReason = open ? QString() : reason;
}

void ScriptedTransport::deliverDue() {
    if (heldBackDue) {
        input.append(heldBack);
        heldBack.clear();
        heldBackDue = false;
    }
}

QByteArray ScriptedTransport::answerFor(const QByteArray& frame, bool& bearsReply) {
    bearsReply = false;
    if (frame.isEmpty() || frame.size() != 1 + quint8(frame[0])) {
        readPending = false;
        return {};
    }
    const bool wasReadPending = readPending;
    readPending = false;

    if (frame.size() == wire::CommandFrameBytes) {
        switch (frame[1]) {
        case wire::Identify:
            bearsReply = true;
            return Identity;
        case wire::Read:
            readPending = true;
            return {};
        case wire::Erase:
            memory.fill(char(0xFF));
            locked = false;
            return {};
        case wire::Lock:
            locked = true;
            return {};
        default:
            return {};
        }
    }

    if (quint8(frame[0]) == wire::AddressLength && wasReadPending) {
        bearsReply = true;
        const int address = quint8(frame[1]) * 256 + quint8(frame[2]);
        QByteArray answer(wire::ReadReplyBytes, char(0x00));
        answer[0] = char(wire::ReadReplyBytes);
        if (!locked) {
            for (int j = 0; j < BlockBytes; ++j)
                answer[1 + j] = memory[(address + j) % MemorySize];
        }
        return answer;
    }

    if (quint8(frame[0]) == wire::BlockLength) {
        bearsReply = true;
        const int address = quint8(frame[1]) * 256 + quint8(frame[2]);
        const int count = qMin<int>(quint8(frame[4]), frame.size() - wire::BlockHeaderBytes);
        for (int j = 0; j < count; ++j) {
            const int at = (address + j) % MemorySize;
            memory[at] = char(quint8(memory[at]) & quint8(frame[wire::BlockHeaderBytes + j]));
        }
        return QByteArray(1, Ack);
    }
    return {};
}

QByteArray ScriptedTransport::applyFaults(int k, QByteArray answer) {
    if (!rawQueue.isEmpty())
        answer = rawQueue.takeFirst();
    else if (rawForAllSet)
        answer = rawForAll;
    if (countAt.contains(k) && !answer.isEmpty())
        answer[0] = char(countAt.value(k));
    if (extraAt.contains(k))
        answer.append(extraAt.value(k));
    if (dropAt.contains(k))
        return {};
    return answer;
}

bool ScriptedTransport::send(const QByteArray& frame) {
    deliverDue();
    if (lineOpen && closingRequest > 0) {
        // Peek whether this frame would be request closingRequest without
        // changing the unit: only reply-bearing frames count.
        const bool isRead = readPending && frame.size() == wire::AddressFrameBytes &&
                            quint8(frame[0]) == wire::AddressLength;
        const bool isProgram = !frame.isEmpty() && quint8(frame[0]) == wire::BlockLength &&
                               frame.size() == 1 + quint8(frame[0]);
        const bool isIdentify = frame.size() == wire::CommandFrameBytes &&
                                quint8(frame[0]) == wire::CommandLength &&
                                frame[1] == wire::Identify;
        if ((isRead || isProgram || isIdentify) && requests + 1 >= closingRequest)
            setOpen(false, QStringLiteral("The unit stopped answering: the line was closed."));
    }
    if (!lineOpen) {
        ++refusedSends;
        return false;
    }
    sent.append(frame);
    bool bearsReply = false;
    QByteArray answer = answerFor(frame, bearsReply);
    if (!bearsReply)
        return true;
    const int k = ++requests;
    answer = applyFaults(k, answer);
    if (lateAt.contains(k)) {
        heldBack.append(answer);
        heldBackDue = false;
    } else {
        input.append(answer);
    }
    return true;
}

int ScriptedTransport::bytesWaiting() {
    deliverDue();
    return int(input.size());
}

QByteArray ScriptedTransport::takeAll() {
    deliverDue();
    QByteArray taken;
    taken.swap(input);
    return taken;
}

bool ScriptedTransport::waitForReply(int expectedBytes, int /*limitMs*/) {
    deliverDue();
    waits.append(expectedBytes);
    if (lineOpen && input.size() >= expectedBytes)
        return false;
    // Nothing more comes within the limit; a held-back answer arrives just
    // after it.
    if (!heldBack.isEmpty())
        heldBackDue = true;
    return true;
}

void ScriptedTransport::pause(int ms) {
    deliverDue();
    pauses.append(ms);
}

QByteArray ScriptedTransport::sentBytes(int from) const {
    QByteArray all;
    for (int i = qMax(0, from); i < sent.size(); ++i)
        all.append(sent[i]);
    return all;
}

void ScriptedTransport::dropReply(int k) {
    dropAt.insert(k);
}
void ScriptedTransport::lateReply(int k) {
    lateAt.insert(k);
}
void ScriptedTransport::extraAfter(int k, const QByteArray& extra) {
    extraAt.insert(k, extra);
}
void ScriptedTransport::countByte(int k, quint8 count) {
    countAt.insert(k, count);
}
void ScriptedTransport::closeFrom(int k) {
    closingRequest = k;
}

void ScriptedTransport::queueRawReply(const QByteArray& raw) {
    rawQueue.append(raw);
}
void ScriptedTransport::setRawReplyForAll(const QByteArray& raw) {
    rawForAll = raw;
    rawForAllSet = true;
}

void ScriptedTransport::inject(const QByteArray& bytes) {
    deliverDue();
    input.append(bytes);
}

} // namespace varn
