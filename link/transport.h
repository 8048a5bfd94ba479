#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <initializer_list>

namespace varn {

// What the unit commands and device functions need from the line to the
// programmer unit. The serial link implements it over a real port; tests and
// fuzzers use a scripted unit in the same process.
class Transport {
public:
    virtual ~Transport() = default;

    // False when the port never opened or has been lost; nothing can be sent then.
    virtual bool isOpen() const = 0;
    // Why the port is not open (empty while it is).
    virtual QString notConnectedReason() const = 0;

    // One frame in one write. Returns false and sends nothing when not open.
    virtual bool send(const QByteArray& frame) = 0;
    // The frames of one request, in order. A link whose every write costs a
    // trip through other processes (a unit on the network) sends them in
    // one write; the unit sees the same bytes in the same order.
    virtual bool sendTogether(std::initializer_list<const QByteArray*> frames) {
        for (const QByteArray* frame : frames)
            if (!send(*frame))
                return false;
        return true;
    }
    // Count of received bytes not yet taken.
    virtual int bytesWaiting() = 0;
    // Takes every waiting byte.
    virtual QByteArray takeAll() = 0;
    // Waits until at least expectedBytes are waiting or limitMs have passed
    // since the call, keeping the program responsive. Returns true when the
    // limit passed first (timed out). Takes nothing.
    virtual bool waitForReply(int expectedBytes, int limitMs = 1000) = 0;
    // A fixed pause that keeps the program responsive.
    virtual void pause(int ms) = 0;
    // The line's own clock, in microseconds: when bytes came and how long
    // the line stayed quiet are measured on it. A stand-in unit with a
    // virtual time gives its own.
    virtual qint64 clockUs() const {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};

} // namespace varn
