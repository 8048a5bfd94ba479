#pragma once

#include "link/transport.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

namespace varn {

// A programmer unit inside the process, for tests and fuzzers. It answers the
// unit's protocol from a 64 KiB memory and can be told to misbehave on chosen
// requests. Time is virtual: pauses and time-outs return at once, so nothing
// ever sleeps.
//
// Requests that bear a reply are numbered from 1 in the order they are sent:
// the identify frame (0x01 "T"), the address frame of a read (0x04 ..., only
// right after 0x01 "R") and a program block (0x14 ...). Faults name such a
// number.
//
// Each send is taken as one whole frame (length byte and that many bytes).
// Answers:
//   0x01 "T"                    8 bytes: "T", "VARN", " ", "20" (as varn-unit)
//   0x01 "R", 0x04 hi lo 00 n   17 bytes: 17, then 16 memory bytes from hi:lo
//                               (all 0x00 while locked)
//   0x14 hi lo 00 n + data      programs min(n, data) bytes (new = old AND
//                               data), answers 1 byte (00)
//   0x01 "E"                    memory all 0xFF, unlocked; no answer
//   0x01 "L"                    locked; no answer
//   anything else               no answer
class ScriptedTransport : public Transport {
public:
    ScriptedTransport();

    // Transport
    bool isOpen() const override;
    QString notConnectedReason() const override;
    bool send(const QByteArray& frame) override;
    int bytesWaiting() override;
    QByteArray takeAll() override;
    bool waitForReply(int expectedBytes, int limitMs = 1000) override;
    void pause(int ms) override;

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
    void lateReply(int k);                           // answer after the limit
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
    void deliverDue();

    bool locked = false;
    int requests = 0; // reply-bearing requests seen so far
    bool lineOpen = true;
    QString closedReason;
    int closingRequest = 0;
    bool readPending = false;
    QByteArray input;
    QByteArray heldBack; // held back until the next wait has timed out
    bool heldBackDue = false;
    QList<QByteArray> rawQueue;
    QByteArray rawForAll;
    bool rawForAllSet = false;

    QSet<int> dropAt;
    QSet<int> lateAt;
    QHash<int, QByteArray> extraAt;
    QHash<int, quint8> countAt;
};

} // namespace varn
