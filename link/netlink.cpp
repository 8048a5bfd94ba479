#include "netlink.h"

#include "core/protocol.h"

#include <QElapsedTimer>

#include <algorithm>
#include <limits>
#include <memory>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#endif

namespace varn {

namespace {

// A terminal server answers a connection at once or not at all.
constexpr int ConnectLimitMs = 5000;
constexpr int NegotiationLimitMs = 3000;
// The line settings RFC 2217 sets, and the answers that confirm them.
constexpr int LineSettings = 4;

// A terminal server that sends with Nagle's algorithm holds the rest of a
// reply back until its first byte is acknowledged, and a delayed
// acknowledgement costs up to 40 ms a block. Acknowledging at once keeps
// replies coming at the line's pace; the system clears the flag again after
// a while, so it is set after every read.
void AcknowledgeAtOnce(qintptr descriptor) {
#ifdef Q_OS_LINUX
    if (descriptor < 0)
        return;
    const int on = 1;
    ::setsockopt(int(descriptor), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
    Q_UNUSED(descriptor);
#endif
}

// Whether the system holds received bytes the socket has not read yet. Asked
// before polling: a poll that finds nothing also reports a time-out error,
// with its signal, and the line is asked this several times a block.
bool SystemHoldsBytes(qintptr descriptor) {
#ifdef Q_OS_LINUX
    int n = 0;
    return descriptor >= 0 && ::ioctl(int(descriptor), FIONREAD, &n) == 0 && n > 0;
#else
    Q_UNUSED(descriptor);
    return true;
#endif
}

int MsUntil(const QDeadlineTimer& deadline) {
    const qint64 ns = std::max<qint64>(deadline.remainingTimeNSecs(), 0);
    return int(std::min<qint64>((ns + 999999) / 1000000, std::numeric_limits<int>::max()));
}

QByteArray BigEndian32(quint32 value) {
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char(value >> (24 - 8 * i));
    return bytes;
}

} // namespace

NetLink::NetLink(Protocol protocol, const QString& host, quint16 port, int latencyMs,
                 QObject* parent)
    : PortLink(parent), protocol(protocol), host(host), port(port), latencyGiven(latencyMs) {
    waitTimer.setSingleShot(true);
    waitTimer.setTimerType(Qt::PreciseTimer);
    connect(&waitTimer, &QTimer::timeout, &ownLoop, &QEventLoop::quit);
    connect(&socket, &QTcpSocket::readyRead, this, [this] {
        readSocket();
        if (waitLoop)
            waitLoop->quit();
    });
    connect(&socket, &QTcpSocket::disconnected, this,
            [this] { lineLost(QStringLiteral("the server closed the connection")); });
    connect(&socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        if (e != QAbstractSocket::SocketTimeoutError)
            lineLost(socket.errorString());
    });
}

NetLink::~NetLink() {
    socket.abort();
}

QString NetLink::address() const {
    return (protocol == Protocol::Raw ? QStringLiteral("tcp://") : QStringLiteral("rfc2217://")) +
           host + QLatin1Char(':') + QString::number(port);
}

Status NetLink::fail(const QString& why) {
    socket.abort();
    opened = false;
    reason = address() + QStringLiteral(" (host ") + host + QStringLiteral(", port ") +
             QString::number(port) + QStringLiteral("): ") + why;
    return Status::Fail(reason);
}

Status NetLink::open() {
    close();
    ++generation;
    lossReported = false;
    received.clear();
    reader = {};
    commands.clear();
    answered.clear();
    settingsAnswered = 0;
    comPortAccepted = comPortRefused = false;

    QElapsedTimer clock;
    clock.start();
    socket.connectToHost(host, port);
    if (!socket.waitForConnected(ConnectLimitMs))
        return fail(socket.errorString());
    // Only a first guess: a proxy or tunnel on the way answers the connect
    // itself, and the first exchange with the unit measures the real trip.
    roundTrip = clock.nsecsElapsed() / 1000;
    measuring = false;
    // Frames are small and each wants to leave at once.
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    opened = true;
    reason.clear();
    if (protocol == Protocol::Rfc2217) {
        if (const Status negotiated = negotiate(); !negotiated)
            return negotiated;
    }
    updateAllowance();
    return Status::Ok();
}

void NetLink::updateAllowance() {
    // Twice the round trip: once for the request's way out, once more for
    // the irregularity a network adds; never less than the user said.
    const int measured = int(std::max<qint64>(1, (2 * roundTrip + 999) / 1000));
    allowance = std::max(latencyGiven, measured);
}

Status NetLink::negotiate() {
    using namespace telnet;
    socket.write(Negotiation(Will, Binary) + Negotiation(Do, Binary) +
                 Negotiation(Will, ComPortOption));
    socket.flush();
    const QDeadlineTimer deadline(NegotiationLimitMs, Qt::PreciseTimer);
    if (!waitUntil(deadline, [this] { return comPortAccepted || comPortRefused; }))
        return fail(opened ? QStringLiteral("the server did not answer the RFC 2217 negotiation")
                           : reason);
    if (comPortRefused)
        return fail(QStringLiteral("the server refused RFC 2217 (COM-PORT-OPTION); is it a raw "
                                   "TCP port (tcp://)?"));
    // The line's settings go once, now, and not with every block. No flow
    // control and no control lines are touched: the unit uses none, and a
    // terminal server in front of a pseudo-terminal never answers them.
    QElapsedTimer clock;
    clock.start();
    socket.write(ComPortCommand(SetBaudRate, BigEndian32(wire::BaudRate)) +
                 ComPortCommand(SetDataSize, QByteArray(1, char(8))) +
                 ComPortCommand(SetParity, QByteArray(1, char(ParityNone))) +
                 ComPortCommand(SetStopSize, QByteArray(1, char(StopOne))));
    socket.flush();
    if (!waitUntil(deadline, [this] { return settingsAnswered >= LineSettings; }))
        return fail(opened ? QStringLiteral("the server did not confirm the line settings "
                                            "(57600 baud, 8N1)")
                           : reason);
    roundTrip = std::max<qint64>(roundTrip, clock.nsecsElapsed() / 1000);
    return Status::Ok();
}

Status NetLink::reopen() {
    return open();
}

void NetLink::close() {
    if (opened)
        reason = address() + QStringLiteral(": the connection was closed");
    opened = false;
    socket.abort();
}

bool NetLink::isOpen() const {
    return opened;
}

QString NetLink::notConnectedReason() const {
    if (opened)
        return {};
    return QStringLiteral("The programmer unit is not connected (") + reason + QStringLiteral(")");
}

void NetLink::lineLost(const QString& why) {
    if (!opened || lossReported)
        return;
    lossReported = true;
    opened = false;
    reason = address() + QStringLiteral(" (host ") + host + QStringLiteral(", port ") +
             QString::number(port) + QStringLiteral("): the connection was lost (") + why +
             QStringLiteral(")");
    if (waitLoop)
        waitLoop->quit();
    // Not from inside the socket's own signal.
    QMetaObject::invokeMethod(
        this,
        [this, generation = generation] {
            if (generation != this->generation)
                return;
            socket.abort();
            emit connectionLost(reason);
        },
        Qt::QueuedConnection);
}

void NetLink::readSocket() {
    const QByteArray bytes = socket.readAll();
    if (bytes.isEmpty())
        return;
    AcknowledgeAtOnce(socket.socketDescriptor());
    if (measuring) {
        // The first bytes after a request: the trip there and back, with
        // whatever a proxy or tunnel on the way adds.
        measuring = false;
        roundTrip = std::max(roundTrip, sentClock.nsecsElapsed() / 1000);
        updateAllowance();
    }
    if (protocol == Protocol::Raw) {
        received.append(bytes);
        return;
    }
    reader.feed(bytes.constData(), bytes.size(), received, commands);
    // Answering may send; the list is taken first.
    std::vector<telnet::Command> pending;
    pending.swap(commands);
    for (const telnet::Command& command : pending)
        handle(command);
}

void NetLink::reply(unsigned char verb, unsigned char option) {
    // One answer per option: a server that repeats itself gets no echo war.
    const int key = verb * 256 + option;
    if (answered.contains(key))
        return;
    answered.insert(key);
    socket.write(telnet::Negotiation(verb, option));
    socket.flush();
}

void NetLink::handle(const telnet::Command& command) {
    using namespace telnet;
    switch (command.verb) {
    case Do:
        if (command.option == ComPortOption)
            comPortAccepted = true;
        else if (command.option != Binary)
            reply(Wont, command.option);
        break;
    case Dont:
        if (command.option == ComPortOption)
            comPortRefused = true;
        break;
    case Will:
        if (command.option == Binary)
            break; // asked for
        reply(command.option == SuppressGoAhead ? Do : Dont, command.option);
        break;
    case Sb:
        // The answers to the line settings; notifications of line and modem
        // state carry nothing the unit's protocol uses.
        if (command.option == ComPortOption && !command.value.isEmpty()) {
            const int code = quint8(command.value[0]);
            if (code > ServerOffset + 0 && code <= ServerOffset + SetStopSize)
                ++settingsAnswered;
        }
        break;
    default:
        break;
    }
}

template <typename Done> bool NetLink::waitUntil(const QDeadlineTimer& deadline, Done done) {
    QEventLoop* outer = waitLoop;
    // A wait inside another (through the events the outer one processes)
    // has a loop and timer of its own.
    std::unique_ptr<QEventLoop> nestedLoop;
    std::unique_ptr<QTimer> nestedTimer;
    QEventLoop* loop = &ownLoop;
    QTimer* timer = &waitTimer;
    if (outer) {
        nestedLoop = std::make_unique<QEventLoop>();
        nestedTimer = std::make_unique<QTimer>();
        nestedTimer->setSingleShot(true);
        nestedTimer->setTimerType(Qt::PreciseTimer);
        connect(nestedTimer.get(), &QTimer::timeout, nestedLoop.get(), &QEventLoop::quit);
        loop = nestedLoop.get();
        timer = nestedTimer.get();
    }
    waitLoop = loop;
    readSocket();
    while (!done() && opened && !deadline.hasExpired()) {
        timer->start(MsUntil(deadline));
        loop->exec();
        readSocket();
    }
    timer->stop();
    waitLoop = outer;
    // A wait that ran inside another may have taken what the outer one waits
    // for: the outer one looks again.
    if (outer)
        outer->quit();
    return done();
}

bool NetLink::send(const QByteArray& frame) {
    if (!opened)
        return false;
    const QByteArray bytes = protocol == Protocol::Rfc2217 ? telnet::Escape(frame) : frame;
    if (socket.write(bytes) != bytes.size())
        return false;
    if (!measuring && received.isEmpty() && socket.bytesAvailable() == 0) {
        measuring = true;
        sentClock.start();
    }
    // To the system now, so that it leaves even when no event loop follows.
    socket.flush();
    return opened;
}

bool NetLink::sendTogether(std::initializer_list<const QByteArray*> frames) {
    // Each write is a packet, and each packet a wake-up of the terminal
    // server and a write to its port: a program block's three frames cost
    // three of them in separate writes.
    QByteArray request;
    for (const QByteArray* frame : frames)
        request += *frame;
    return send(request);
}

int NetLink::bytesWaiting() {
    // What the system holds counts as waiting, as with a serial port.
    if (opened && socket.bytesAvailable() == 0 && SystemHoldsBytes(socket.socketDescriptor()))
        socket.waitForReadyRead(0);
    readSocket();
    return int(std::min<qsizetype>(received.size(), 32767));
}

QByteArray NetLink::takeAll() {
    bytesWaiting();
    QByteArray taken;
    taken.swap(received);
    return taken;
}

bool NetLink::waitForReply(int expectedBytes, int limitMs) {
    const QDeadlineTimer deadline(qint64(limitMs) + allowance, Qt::PreciseTimer);
    return !waitUntil(deadline, [this, expectedBytes] { return received.size() >= expectedBytes; });
}

void NetLink::pause(int ms) {
    // Neither arriving bytes nor anything else ends it early.
    const QDeadlineTimer end(ms, Qt::PreciseTimer);
    waitUntil(end, [] { return false; });
}

} // namespace varn
