#include "replypolicy.h"

#include "core/protocol.h"
#include "core/usersettings.h"

#include <algorithm>

namespace varn {

namespace {

// A reply, or the tail of one, keeps arriving at line rate (0.17 ms a byte);
// this much silence means the unit has stopped talking.
constexpr int QuietMs = 20;
// A unit that never stops sending is not waited for without end.
constexpr int MaxQuietTurns = 50;
// After a garbled reply: the silence that shows a unit has said all it will.
// A stray byte trails its reply by a few milliseconds, well beyond a few
// byte times; this outlasts it, so the repeated request starts on a silent
// line instead of being shifted by the same byte again.
constexpr int GarbledQuietMs = 10;

bool SendAll(Transport& transport, std::initializer_list<const QByteArray*> frames) {
    for (const QByteArray* frame : frames) {
        if (!transport.send(*frame))
            return false;
    }
    return true;
}

// Lets the line fall silent, dropping what arrives meanwhile, so that the
// tail of a late reply is not read as the start of the next one.
void DrainUntilQuiet(Transport& transport, int quietMs = QuietMs) {
    for (int turn = 0; turn < MaxQuietTurns && transport.isOpen(); ++turn) {
        transport.takeAll();
        if (transport.waitForReply(1, quietMs))
            return;
    }
}

// After a repeated request the reply to the first one may still come, ahead
// of the reply to the repetition (the unit answers in order). Both are left
// waiting together, so the caller reads the first whole reply and the next
// request starts on a silent line.
void WaitUntilQuiet(Transport& transport) {
    for (int turn = 0; turn < MaxQuietTurns && transport.isOpen(); ++turn) {
        if (transport.waitForReply(transport.bytesWaiting() + 1, QuietMs))
            return;
    }
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

bool SendRequest(Transport& transport, const ReplyPolicy& policy,
                 std::initializer_list<const QByteArray*> frames, int expectedBytes, int* resent) {
    const int retries = qBound(0, policy.retries, ReplyPolicy::MaxRetries);
    const int timeoutMs = qBound(1, policy.timeoutMs, ReplyPolicy::MaxTimeoutMs);
    for (int attempt = 0;; ++attempt) {
        if (!SendAll(transport, frames))
            return false;
        if (!transport.waitForReply(expectedBytes, timeoutMs)) {
            if (attempt > 0)
                WaitUntilQuiet(transport);
            return true;
        }
        if (attempt >= retries || !transport.isOpen())
            return false;
        DrainUntilQuiet(transport);
        if (resent)
            ++*resent;
    }
}

bool IsReadReply(const QByteArray& reply) {
    // Bytes behind a whole reply were taken along and are dropped with it.
    return reply.size() >= wire::ReadReplyBytes && quint8(reply[0]) == wire::ReadReplyBytes;
}

bool IsAck(const QByteArray& reply) {
    return reply.size() >= wire::AckBytes && reply[0] == '\0';
}

RequestOutcome SendCheckedRequest(Transport& transport, const ReplyPolicy& policy,
                                  std::initializer_list<const QByteArray*> frames,
                                  int expectedBytes, bool (*wellFormed)(const QByteArray&),
                                  QByteArray& reply, int* resent) {
    const int allowed = std::clamp(policy.retries, int(ReplyPolicy::MinGarbledRetries),
                                   int(ReplyPolicy::MaxRetries));
    for (int garbled = 0;; ++garbled) {
        if (!SendRequest(transport, policy, frames, expectedBytes, resent))
            return RequestOutcome::NoAnswer;
        reply = transport.takeAll();
        if (wellFormed(reply))
            return RequestOutcome::Answered;
        if (garbled >= allowed || !transport.isOpen())
            return RequestOutcome::Garbled;
        DrainUntilQuiet(transport, GarbledQuietMs);
        if (resent)
            ++*resent;
    }
}

} // namespace varn
