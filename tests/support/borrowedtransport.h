#pragma once

#include "link/transport.h"

#include <memory>

namespace varn::test {

// Hands a session a transport the test keeps: the session owns and deletes
// this stand-in, the test reads the real one's frames afterwards.
class BorrowedTransport : public Transport {
public:
    explicit BorrowedTransport(Transport& real) : real(real) {}
    bool isOpen() const override { return real.isOpen(); }
    QString notConnectedReason() const override { return real.notConnectedReason(); }
    bool send(const QByteArray& frame) override { return real.send(frame); }
    int bytesWaiting() override { return real.bytesWaiting(); }
    QByteArray takeAll() override { return real.takeAll(); }
    bool waitForReply(int expectedBytes, int limitMs) override {
        return real.waitForReply(expectedBytes, limitMs);
    }
    void pause(int ms) override { real.pause(ms); }

    static auto Factory(Transport& real) {
        return [&real](const auto&, auto*) -> std::unique_ptr<Transport> {
            return std::make_unique<BorrowedTransport>(real);
        };
    }

private:
    Transport& real;
};

} // namespace varn::test
