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

// The desktop program keeps the two in varn.ini ("link/timeoutMs",
// "link/retries"); values outside the allowed range read as the nearest bound.
ReplyPolicy ReadReplyPolicy(const UserSettings& settings);
void WriteReplyPolicy(UserSettings& settings, const ReplyPolicy& policy);

// How a request ended.
enum class RequestOutcome {
    Answered, // a well-formed reply is in `reply`
    NoAnswer, // no whole reply came in time, up to the retries, or the line is gone
    Garbled,  // every reply that came was malformed, up to the retries
};

// Whether a reply taken from the line is the one asked for. A read reply is
// exactly 17 bytes whose count byte says 17: a stray byte ahead of it shifts
// the count byte, one behind it makes it longer. An acknowledgement is any
// byte at all, or several arriving at once.
bool IsReadReply(const QByteArray& reply);
bool IsAck(const QByteArray& reply);

// Asks the unit and keeps its replies apart, whatever the unit does within
// the protocol: replies of any value and timing up to the time-out, in
// pieces, with stray bytes before or after them, or too late. doc/protocol.md
// says what is allowed and what the reader does about each.
//
// A unit that answers each request once and sends nothing else is read at
// full speed and sees exactly the requests it would without the reader.
// Once the line has shown a byte nobody asked for (a stray, a late or a
// doubled reply) the reader turns careful: from then on every reply is
// followed by a wait until the line is quiet, so that whatever trails it is
// dropped before the next request goes out.
//
// Only requests that are safe to repeat go through here: a block read, and a
// block program (programming the same bytes again changes nothing).
class ReplyReader {
public:
    explicit ReplyReader(Transport& transport) : transport(transport) {}

    void setPolicy(const ReplyPolicy& replies) { policy = replies; }

    // Sends the frames and takes their reply. A reply that does not come in
    // time is asked for again, up to policy.retries times, but only once the
    // line has been quiet for a whole time-out, so that the late reply is
    // never read as the repetition's. A malformed reply, or one that came
    // with more bytes than it has, is asked for again on a quiet line, at
    // least MinGarbledRetries times. Every repetition counts in resent.
    // doubted (when given) is set when any reply of this request may have
    // been shifted by bytes ahead of it: the reply before it may have lost
    // them to it, and should be asked for again. A reply that came with a
    // byte behind it and then came the same way again raises no doubt.
    RequestOutcome ask(std::initializer_list<const QByteArray*> frames, int expectedBytes,
                       bool (*wellFormed)(const QByteArray&), QByteArray& reply,
                       int* resent = nullptr, bool* doubted = nullptr);

    // Whether the reply taken last still stands, checked before it is used:
    // false when bytes arrived after it, which it may have been shifted by.
    // With waitForQuiet the line is first given the time a stray could take
    // (the last reply of a run, or one about to be reported as a
    // difference). When it does not stand the line has been drained, the
    // reader is careful and the request should go out again.
    bool lastReplyStands(bool waitForQuiet);

    bool careful() const { return carefulMode; }
    // The quiet that follows every reply while careful.
    int carefulQuietMs() const { return carefulQuiet; }

private:
    // Waits until nothing has arrived for quietMs, dropping what comes;
    // returns whether anything came.
    bool drainUntilQuiet(int quietMs);
    // A byte nobody asked for was seen: from now on every reply is followed
    // by a wait for quiet, longer each time a stray still slipped through.
    void turnCareful();
    int timeoutMs() const;

    Transport& transport;
    ReplyPolicy policy;
    bool carefulMode = false;
    int carefulQuiet = 0;
    // When the last reply was taken, on the transport's clock; the longest
    // a stray has been seen to trail a reply.
    qint64 lastReplyUs = 0;
    qint64 longestStrayUs = 0;
    // A reply that came with bytes behind it, kept until the same request
    // brings the same reply again.
    QByteArray candidate;
};

} // namespace varn
