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

} // namespace varn
