#include "scriptedtransport.h"

#include "core/protocol.h"

#include <algorithm>

namespace varn {

namespace {
constexpr int MemorySize = wire::DeviceLimit;
using wire::BlockBytes;
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
    while (!pending.isEmpty() && pending.first().first <= now)
        input.append(pending.takeFirst().second);
}

void ScriptedTransport::schedule(qint64 at, const QByteArray& bytes) {
    if (bytes.isEmpty())
        return;
    int i = int(pending.size());
    while (i > 0 && pending[i - 1].first > at)
        --i;
    pending.insert(i, {at, bytes});
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
            return freedom.identity;
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
        return QByteArray(1, freedom.ack);
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
    if (answer.isEmpty())
        return true; // a dropped reply brings no stray either
    // One reply after another: the unit answers when it is done sending.
    qint64 at = std::max(now, busyUntil) + freedom.replyDelayUs;
    if (lateAt.contains(k))
        at = std::max(now, busyUntil) + qint64(lateAt.value(k)) * 1000;
    if (freedom.strayBeforeOnly == 0 || freedom.strayBeforeOnly == k)
        answer.prepend(freedom.strayBefore);
    const int piece = freedom.pieceBytes > 0 ? freedom.pieceBytes : int(answer.size());
    for (int from = 0; from < answer.size(); from += piece) {
        schedule(at, answer.mid(from, piece));
        if (from + piece < answer.size())
            at += freedom.pieceGapUs;
    }
    if (!freedom.strayAfter.isEmpty()) {
        at += freedom.strayAfterUs;
        schedule(at, freedom.strayAfter);
    }
    busyUntil = at;
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

bool ScriptedTransport::waitForReply(int expectedBytes, int limitMs) {
    deliverDue();
    waits.append(expectedBytes);
    const qint64 end = now + qint64(limitMs) * 1000;
    while (lineOpen && input.size() < expectedBytes) {
        if (pending.isEmpty() || pending.first().first > end) {
            // Nothing more comes within the limit.
            now = end;
            deliverDue();
            return true;
        }
        now = std::max(now, pending.first().first);
        deliverDue();
    }
    return !lineOpen;
}

void ScriptedTransport::pause(int ms) {
    now += qint64(ms) * 1000;
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
void ScriptedTransport::lateReply(int k, int ms) {
    lateAt.insert(k, ms);
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
