#pragma once

#include "portlink.h"
#include "telnet.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSet>
#include <QTcpSocket>
#include <QTimer>

namespace varn {

// A programmer unit on the network, behind a terminal server such as
// ser2net: raw bytes over TCP, or RFC 2217, which also sets the far serial
// line to 57600 baud, 8N1 once after connecting. Neither carries
// authentication or encryption.
//
// Every reply wait is extended by the network's allowance: twice the longest
// round trip a request and its reply have taken (the connect's until the
// first reply), and never less than the latency the user gave.
class NetLink : public PortLink {
    Q_OBJECT
public:
    enum class Protocol { Raw, Rfc2217 };

    // latencyMs: the least allowance added to every reply wait; below 0 it
    // is measured alone.
    NetLink(Protocol protocol, const QString& host, quint16 port, int latencyMs = -1,
            QObject* parent = nullptr);
    ~NetLink() override;

    // Connects (and negotiates); the message names host, port and the
    // system's reason.
    Status open();
    Status reopen() override;
    void close() override;

    bool isOpen() const override;
    QString notConnectedReason() const override;
    bool send(const QByteArray& frame) override;
    bool sendTogether(std::initializer_list<const QByteArray*> frames) override;
    int bytesWaiting() override;
    QByteArray takeAll() override;
    bool waitForReply(int expectedBytes, int limitMs = 1000) override;
    void pause(int ms) override;

    // "tcp://HOST:PORT" or "rfc2217://HOST:PORT".
    QString address() const;
    // What every reply wait is extended by, in milliseconds.
    int allowanceMs() const { return allowance; }
    // The longest round trip measured since the last connect (microseconds).
    qint64 roundTripUs() const { return roundTrip; }

private:
    // Takes what the socket holds, through the Telnet reader for RFC 2217.
    void readSocket();
    void handle(const telnet::Command& command);
    void reply(unsigned char verb, unsigned char option);
    Status negotiate();
    Status fail(const QString& why);
    void updateAllowance();
    void lineLost(const QString& why);
    // Runs the event loop until `done` holds, the deadline passes or the
    // line is lost; returns done().
    template <typename Done> bool waitUntil(const QDeadlineTimer& deadline, Done done);

    Protocol protocol;
    QString host;
    quint16 port;
    int latencyGiven;
    int allowance = 1;
    qint64 roundTrip = 0;
    // Set by a request sent on a quiet line; its reply's first bytes give
    // the round trip.
    bool measuring = false;
    QElapsedTimer sentClock;

    QTcpSocket socket;
    telnet::Reader reader;
    QByteArray received;
    std::vector<telnet::Command> commands;
    QSet<int> answered; // options refused already, so that no loop of replies starts
    int settingsAnswered = 0;
    bool comPortAccepted = false;
    bool comPortRefused = false;
    QEventLoop* waitLoop = nullptr;
    // The loop and timer of every wait not started inside another: a wait
    // per block is the commonest thing this link does.
    QEventLoop ownLoop;
    QTimer waitTimer;
    bool opened = false;
    bool lossReported = false;
    int generation = 0;
    QString reason = QStringLiteral("no connection opened");
};

} // namespace varn
