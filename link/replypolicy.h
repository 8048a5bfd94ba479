#pragma once

#include "transport.h"

#include <QByteArray>
#include <initializer_list>

namespace varn {

class UserSettings;

// How long a request waits for its reply, and how often a request whose
// reply did not come is sent again. The defaults are the unit's own: one
// second and no second attempt, so the bytes on the wire stay as they were.
struct ReplyPolicy {
    static constexpr int DefaultTimeoutMs = 1000;
    static constexpr int MaxTimeoutMs = 60000;
    static constexpr int MaxRetries = 10;

    // A garbled reply is asked for again at least this often, even with no
    // retries for missing replies: a stray byte garbles one reply, not the
    // unit, and a well-behaved unit never sees the difference.
    static constexpr int MinGarbledRetries = 3;

    int timeoutMs = DefaultTimeoutMs;
    int retries = 0;
};

// Sends the frames in order and waits for expectedBytes. When they do not
// come in time and the line is still open, the frames go out again, up to
// policy.retries more times; only requests that are safe to repeat (a block
// read, a block program: programming only clears bits) may go through here.
// Returns true when the reply is waiting in the transport; resent (when
// given) is increased by each repetition.
// The desktop program keeps the two in varn.ini ("link/timeoutMs",
// "link/retries"); values outside the allowed range read as the nearest bound.
ReplyPolicy ReadReplyPolicy(const UserSettings& settings);
void WriteReplyPolicy(UserSettings& settings, const ReplyPolicy& policy);

bool SendRequest(Transport& transport, const ReplyPolicy& policy,
                 std::initializer_list<const QByteArray*> frames, int expectedBytes,
                 int* resent = nullptr);

// How a checked request ended.
enum class RequestOutcome {
    Answered, // a well-formed reply is in `reply`
    NoAnswer, // SendRequest gave up (no reply, a short one, or the line is gone)
    Garbled,  // every reply that came was malformed, up to the retries
};

// Whether a reply taken from the line is the one asked for: a reply shifted
// by a stray byte starts with the wrong byte.
bool IsReadReply(const QByteArray& reply);
bool IsAck(const QByteArray& reply);

// SendRequest, then takes the reply and checks it. A malformed reply is not
// used: the line is left to fall quiet (a stray byte behind it arrives
// meanwhile), what came is dropped and the same request goes out again, up to
// max(policy.retries, MinGarbledRetries) times. Every repetition counts in
// resent.
RequestOutcome SendCheckedRequest(Transport& transport, const ReplyPolicy& policy,
                                  std::initializer_list<const QByteArray*> frames,
                                  int expectedBytes, bool (*wellFormed)(const QByteArray&),
                                  QByteArray& reply, int* resent = nullptr);

} // namespace varn
