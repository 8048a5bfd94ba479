#include "replypolicy.h"

#include "core/protocol.h"
#include "core/usersettings.h"

#include <algorithm>

namespace varn {

namespace {

// A reply, or the tail of one, keeps arriving at line rate (0.17 ms a byte);
// this much silence means the unit has stopped talking. It is also where a
// careful reader starts: a stray byte trails its reply by a few
// milliseconds.
constexpr int QuietMs = 20;
// A unit that never stops sending is not waited for without end.
constexpr int MaxQuietTurns = 50;

bool SendAll(Transport& transport, std::initializer_list<const QByteArray*> frames) {
    return transport.sendTogether(frames);
}

const QString TimeoutKey = QStringLiteral("link/timeoutMs");
const QString RetriesKey = QStringLiteral("link/retries");

} // namespace

ReplyPolicy ReadReplyPolicy(const UserSettings& settings) {
    ReplyPolicy policy;
    // A value someone typed wrong into the file keeps the default.
    const auto read = [&settings](const QString& key, int fallback, int low, int high) {
        bool ok = false;
        const int value = settings.value(key).toInt(&ok);
        return ok ? qBound(low, value, high) : fallback;
    };
    policy.timeoutMs = read(TimeoutKey, policy.timeoutMs, 1, ReplyPolicy::MaxTimeoutMs);
    policy.retries = read(RetriesKey, policy.retries, 0, ReplyPolicy::MaxRetries);
    return policy;
}

void WriteReplyPolicy(UserSettings& settings, const ReplyPolicy& policy) {
    settings.setValue(TimeoutKey, policy.timeoutMs);
    settings.setValue(RetriesKey, policy.retries);
}

bool IsReadReply(const QByteArray& reply) {
    return reply.size() == wire::ReadReplyBytes && quint8(reply[0]) == wire::ReadReplyBytes;
}

bool IsAck(const QByteArray& reply) {
    return reply.size() >= wire::AckBytes;
}

int ReplyReader::timeoutMs() const {
    return qBound(1, policy.timeoutMs, ReplyPolicy::MaxTimeoutMs);
}

bool ReplyReader::drainUntilQuiet(int quietMs) {
    bool any = false;
    for (int turn = 0; turn < MaxQuietTurns && transport.isOpen(); ++turn) {
        if (transport.bytesWaiting() > 0) {
            any = true;
            if (lastReplyUs > 0)
                longestStrayUs = std::max(longestStrayUs, transport.clockUs() - lastReplyUs);
            transport.takeAll();
        }
        if (transport.waitForReply(1, quietMs))
            return any;
    }
    return any;
}

void ReplyReader::turnCareful() {
    if (!carefulMode) {
        carefulMode = true;
        carefulQuiet = QuietMs;
        return;
    }
    // A stray slipped past the quiet already waited for: wait longer.
    carefulQuiet = std::min(carefulQuiet * 2, timeoutMs());
}

RequestOutcome ReplyReader::ask(std::initializer_list<const QByteArray*> frames, int expectedBytes,
                                bool (*wellFormed)(const QByteArray&), QByteArray& reply,
                                int* resent, bool* doubted) {
    const int retries = qBound(0, policy.retries, ReplyPolicy::MaxRetries);
    const int garbledAllowed = std::clamp(policy.retries, int(ReplyPolicy::MinGarbledRetries),
                                          int(ReplyPolicy::MaxRetries));
    if (doubted)
        *doubted = false;
    int timeouts = 0;
    int garbled = 0;
    candidate.clear();
    const auto again = [&] {
        if (resent)
            ++*resent;
    };
    for (;;) {
        // Whatever is waiting now came unasked; it is no part of this reply.
        if (transport.bytesWaiting() > 0) {
            transport.takeAll();
            turnCareful();
        }
        if (!SendAll(transport, frames))
            return RequestOutcome::NoAnswer;
        if (transport.waitForReply(expectedBytes, timeoutMs())) {
            if (timeouts >= retries || !transport.isOpen())
                return RequestOutcome::NoAnswer;
            // The reply may still be on its way. Only a whole time-out of
            // silence shows it is not, and only then may the request go out
            // again without its late reply being taken for the repetition's.
            lastReplyUs = 0;
            drainUntilQuiet(timeoutMs());
            turnCareful();
            ++timeouts;
            again();
            continue;
        }
        reply = transport.takeAll();
        lastReplyUs = transport.clockUs();
        const bool extra = reply.size() > expectedBytes;
        const bool wasCareful = carefulMode;
        if (carefulMode)
            drainUntilQuiet(carefulQuiet);
        if (extra && wasCareful && wellFormed(reply.left(expectedBytes))) {
            // The line was quiet when the request went out, so what came
            // beyond the reply most likely trails it (a unit that sends a
            // byte right behind each reply). A byte ahead of it would shift
            // it instead: the reply is used once the same bytes have come
            // twice in a row. An acknowledgement has no bytes to compare.
            const QByteArray head = reply.left(expectedBytes);
            if (expectedBytes == wire::AckBytes || head == candidate) {
                reply = head;
                candidate.clear();
                return RequestOutcome::Answered;
            }
            // A head that came the same way twice was not shifted, so the
            // reply before it lost nothing to it; only two that disagree
            // show that something ahead of one of them did.
            if (!candidate.isEmpty() && doubted)
                *doubted = true;
            candidate = head;
        } else if (wellFormed(reply)) {
            candidate.clear();
            // An acknowledgement that came with more bytes still counts; the
            // bytes show a unit that sends more than it is asked for.
            if (extra && !carefulMode)
                turnCareful();
            if (extra && doubted)
                *doubted = true;
            return RequestOutcome::Answered;
        } else if (doubted) {
            *doubted = true;
        }
        if (garbled >= garbledAllowed || !transport.isOpen())
            return RequestOutcome::Garbled;
        turnCareful();
        drainUntilQuiet(carefulQuiet);
        ++garbled;
        again();
    }
}

bool ReplyReader::lastReplyStands(bool waitForQuiet) {
    const int quietMs = carefulMode ? carefulQuiet : QuietMs;
    bool arrived = false;
    if (waitForQuiet)
        arrived = drainUntilQuiet(quietMs);
    else if (transport.bytesWaiting() > 0)
        arrived = drainUntilQuiet(quietMs) || true;
    if (!arrived)
        return true;
    turnCareful();
    // What trails a reply shows how long the next quiet must be.
    if (longestStrayUs > 0)
        carefulQuiet =
            std::max(carefulQuiet,
                     int(std::min<qint64>((2 * longestStrayUs + 999) / 1000 + 1, timeoutMs())));
    drainUntilQuiet(carefulQuiet);
    return false;
}

} // namespace varn
