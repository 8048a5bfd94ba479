#pragma once

#include "link/transport.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>

namespace varn {

// A programmer unit inside the process, for tests and fuzzers. It answers the
// unit's protocol from a 64 KiB memory and can be told to misbehave on chosen
// requests. Time is virtual: pauses and time-outs move the unit's clock
// (clockUs) instead of sleeping, and replies that the unit sends later than
// at once arrive when the clock reaches them.
//
// Where the protocol leaves the unit free (the acknowledgement's value, the
// identification's bytes, when and in how many pieces a reply comes, stray
// bytes around it), `freedom` says what this unit does; the defaults answer
// at once, whole, with nothing around the reply.
//
// Requests that bear a reply are numbered from 1 in the order they are sent:
// the identify frame (0x01 "T"), the address frame of a read (0x04 ..., only
// right after 0x01 "R") and a program block (0x14 ...). Faults name such a
// number.
//
// Each send is taken as one whole frame (length byte and that many bytes).
// Answers:
//   0x01 "T"                    8 bytes: freedom.identity ("TVARN 20", as varn-unit)
//   0x01 "R", 0x04 hi lo 00 n   17 bytes: 17, then 16 memory bytes from hi:lo
//                               (all 0x00 while locked)
//   0x14 hi lo 00 n + data      programs min(n, data) bytes (new = old AND
//                               data), answers 1 byte (freedom.ack, 00)
//   0x01 "E"                    memory all 0xFF, unlocked; no answer
//   0x01 "L"                    locked; no answer
//   anything else               no answer
class ScriptedTransport : public Transport {
public:
    // What the unit does where the protocol lets it choose. Replies go out
    // in order: a request that comes while the unit is still sending (or
    // waiting to send a stray byte) is answered after that.
    struct Freedom {
        char ack = 0x00;                  // the program block's acknowledgement
        QByteArray identity = "TVARN 20"; // the identification's 8 bytes
        int replyDelayUs = 0;             // from the request to the reply's first byte
        int pieceBytes = 0;               // a reply in pieces of this many bytes (0: whole)
        int pieceGapUs = 0;               // between the pieces
        QByteArray strayBefore;           // sent ahead of a reply, with it:
        int strayBeforeOnly = 0;          // ahead of this request's only (0: every one)
        QByteArray strayAfter;            // sent strayAfterUs after every reply
        int strayAfterUs = 0;
    };
    Freedom freedom;

    ScriptedTransport();

    // Transport
    bool isOpen() const override;
    QString notConnectedReason() const override;
    bool send(const QByteArray& frame) override;
    int bytesWaiting() override;
    QByteArray takeAll() override;
    bool waitForReply(int expectedBytes, int limitMs = 1000) override;
    void pause(int ms) override;
    qint64 clockUs() const override { return now; }

    // --- The unit ---
    QByteArray memory; // 65536 bytes, 0xFF at start

    // --- What happened ---
    QList<QByteArray> sent; // every frame accepted, in order
    int refusedSends = 0;   // sends made while the line was closed
    QList<int> pauses;      // ms of every pause()
    QList<int> waits;       // expectedBytes of every waitForReply()

    // Frames sent since index `from`, concatenated (convenient for comparing
    // a whole exchange with the expected bytes).
    QByteArray sentBytes(int from = 0) const;

    // --- Faults, by reply-bearing request number k (1-based) ---
    void dropReply(int k);                           // no answer at all
    void lateReply(int k, int ms);                   // answer ms after the request
    void extraAfter(int k, const QByteArray& extra); // more bytes after the answer
    void countByte(int k, quint8 count);             // read answer's byte 0
    void closeFrom(int k);                           // request k and every send after it is refused

    // Raw answers instead of the unit's own: the queue is used first, one
    // entry per reply-bearing request; when it is empty and a raw answer for
    // every request is set, that is used. An empty raw answer means none.
    void queueRawReply(const QByteArray& raw);
    void setRawReplyForAll(const QByteArray& raw);

    // Bytes arriving unasked, waiting at once.
    void inject(const QByteArray& bytes);
    // Loses (or restores) the line now.
    void setOpen(bool open,
                 const QString& reason = QStringLiteral("The line to the unit is closed."));

private:
    QByteArray answerFor(const QByteArray& frame, bool& bearsReply);
    QByteArray applyFaults(int k, QByteArray answer);
    // Moves what the unit has sent by now into the input.
    void deliverDue();
    // The unit sends bytes `at` (virtual microseconds).
    void schedule(qint64 at, const QByteArray& bytes);

    bool locked = false;
    int requests = 0; // reply-bearing requests seen so far
    bool lineOpen = true;
    QString closedReason;
    int closingRequest = 0;
    bool readPending = false;
    QByteArray input;
    qint64 now = 0;
    qint64 busyUntil = 0;                     // the unit is sending until then
    QList<QPair<qint64, QByteArray>> pending; // sent, not yet arrived, in time order
    QList<QByteArray> rawQueue;
    QByteArray rawForAll;
    bool rawForAllSet = false;

    QSet<int> dropAt;
    QHash<int, int> lateAt;
    QHash<int, QByteArray> extraAt;
    QHash<int, quint8> countAt;
};

} // namespace varn
