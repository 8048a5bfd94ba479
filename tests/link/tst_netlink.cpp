// Units on the network: the Telnet framing of RFC 2217 cut at every place a
// TCP stream may cut it, the port addresses, and a small server of our own
// that cuts IAC pairs, negotiations and notifications across segments.
#include "link/netlink.h"
#include "link/openlink.h"
#include "link/telnet.h"
#include "link/unitcommands.h"
#include "support/rows.h"
#include "support/testsupport.h"

#include <QtTest>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace varn;
using namespace varn::test;
namespace tn = varn::telnet;

namespace {

// A terminal server in a thread of its own, answering the unit's protocol
// over RFC 2217 from a memory of 0xFF bytes. Everything it sends goes out in
// pieces chosen to cut Telnet sequences apart.
class SplittingServer {
public:
    SplittingServer() {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // A listener that did not come up makes every connection attempt fail.
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener, 1) != 0)
            return;
        socklen_t length = sizeof address;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        thread = std::thread([this] { serve(); });
    }
    ~SplittingServer() {
        ::shutdown(listener, SHUT_RDWR);
        if (client >= 0)
            ::shutdown(client, SHUT_RDWR);
        if (thread.joinable())
            thread.join();
        ::close(listener);
        if (client >= 0)
            ::close(client);
    }

    quint16 port = 0;
    // What the client sent, as it came and as the server read it.
    QByteArray raw;
    QByteArray data;
    std::vector<tn::Command> commands;
    std::atomic<bool> done{false};     // the four line settings confirmed
    std::atomic<bool> finished{false}; // the client has gone; the fields above are final

private:
    // Each piece in a segment of its own.
    void send(std::initializer_list<QByteArray> pieces) {
        for (const QByteArray& piece : pieces) {
            ::send(client, piece.constData(), size_t(piece.size()), MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    }
    // A reply with every IAC pair cut in two, and a modem-state
    // notification cut into three in the middle of it.
    void reply(const QByteArray& bytes) {
        const qsizetype half = bytes.size() / 2;
        const QByteArray rest = tn::Escape(bytes.mid(half));
        send({tn::Escape(bytes.left(half)) + Bytes({tn::Iac, tn::Sb}),
              Bytes({tn::ComPortOption, 107, 0x30, tn::Iac}), Bytes({tn::Se}) + rest.left(1)});
        for (qsizetype i = 1; i < rest.size(); ++i)
            send({rest.mid(i, 1)});
    }

    void serve() {
        client = ::accept(listener, nullptr, nullptr);
        if (client < 0)
            return;
        const int on = 1;
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        // The server's side of the negotiation, cut apart.
        send({Bytes({tn::Iac}), Bytes({tn::Do, tn::ComPortOption, tn::Iac}),
              Bytes({tn::Will, tn::Binary}), Bytes({tn::Iac, tn::Do}), Bytes({tn::Binary}),
              Bytes({tn::Iac, tn::Will, 1})}); // echo: the client must refuse
        tn::Reader reader;
        int answered = 0;
        bool readPending = false;
        char chunk[512];
        qsizetype used = 0;
        for (;;) {
            const ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
            if (n <= 0)
                break;
            raw.append(chunk, n);
            std::vector<tn::Command> fresh;
            reader.feed(chunk, n, data, fresh);
            for (const tn::Command& c : fresh) {
                commands.push_back(c);
                if (c.verb == tn::Sb && c.option == tn::ComPortOption) {
                    // Confirm the setting, with its value: IAC SB 44 cmd+100 value IAC SE.
                    const QByteArray answer = Bytes({tn::Iac, tn::Sb, tn::ComPortOption}) +
                                              char(quint8(c.value[0]) + 100) +
                                              tn::Escape(c.value.mid(1)) + Bytes({tn::Iac, tn::Se});
                    send({answer.left(2), answer.mid(2, 2), answer.mid(4)});
                    ++answered;
                }
            }
            // Whole frames of the unit's protocol.
            while (used < data.size() && used + 1 + quint8(data[used]) <= data.size()) {
                const QByteArray frame = data.mid(used + 1, quint8(data[used]));
                used += 1 + frame.size();
                if (frame == "T") {
                    reply("TVARN 20");
                } else if (frame == "R") {
                    readPending = true;
                } else if (frame.size() == 4 && readPending) {
                    readPending = false;
                    reply(QByteArray(1, char(17)) + QByteArray(16, char(0xFF)));
                } else if (frame.size() == 20) {
                    reply(QByteArray(1, '\0'));
                }
            }
            done = answered >= 4;
        }
        finished = true;
    }

    int listener = -1;
    int client = -1;
    std::thread thread;
};

} // namespace

class TestNetLink : public QObject {
    Q_OBJECT
private slots:
    // Whatever the segments, the reader finds the same bytes and commands.
    void telnetReaderAtEverySplit_data() {
        Columns<QByteArray, QByteArray, int>("stream", "data", "commands");
        QTest::newRow("doubled IAC")
            << Bytes({0x11, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}) << Bytes({0x11, 0xFF, 0xFF, 0x00}) << 0;
        QTest::newRow("negotiations and a no-op around data")
            << Bytes({0xFF, 0xFD, 44, 0x41, 0xFF, 0xF1, 0xFF, 0xFB, 0, 0x42}) << QByteArray("AB")
            << 2;
        QTest::newRow("notification with IAC inside")
            << Bytes({0x01, 0xFF, 0xFA, 44, 107, 0xFF, 0xFF, 0xFF, 0xF0, 0xFF, 0xFF})
            << Bytes({0x01, 0xFF}) << 1;
    }
    void telnetReaderAtEverySplit() {
        auto [stream, data, commands] =
            Row<QByteArray, QByteArray, int>("stream", "data", "commands");
        for (int cut = 0; cut <= stream.size(); ++cut) {
            for (int second = cut; second <= stream.size(); ++second) {
                tn::Reader reader;
                QByteArray got;
                std::vector<tn::Command> found;
                reader.feed(stream.constData(), cut, got, found);
                reader.feed(stream.constData() + cut, second - cut, got, found);
                reader.feed(stream.constData() + second, stream.size() - second, got, found);
                QCOMPARE(got, data);
                QCOMPARE(int(found.size()), commands);
            }
        }
    }

    void portAddresses_data() {
        // kind: N number, P path, T tcp, R rfc2217, - refused
        Columns<QString, QString, QString, int>("text", "kind", "host", "port");
        QTest::newRow("number") << "3"
                                << "N"
                                << "" << 0;
        QTest::newRow("path") << "/dev/ttyUSB0"
                              << "P"
                              << "" << 0;
        QTest::newRow("tcp") << "tcp://unit-7.lab:4001"
                             << "T"
                             << "unit-7.lab" << 4001;
        QTest::newRow("rfc2217, IPv6") << "rfc2217://[::1]:2217"
                                       << "R"
                                       << "::1" << 2217;
        QTest::newRow("no port") << "rfc2217://host"
                                 << "-"
                                 << "" << 0;
        QTest::newRow("port too large") << "tcp://host:65536"
                                        << "-"
                                        << "" << 0;
        QTest::newRow("a path after it") << "tcp://host:22/dev/ttyS0"
                                         << "-"
                                         << "" << 0;
    }
    void portAddresses() {
        auto [text, kind, host, port] =
            Row<QString, QString, QString, int>("text", "kind", "host", "port");
        PortAddress address;
        const Status parsed = ParsePortAddress(text, address);
        QCOMPARE(parsed.ok, kind != QLatin1String("-"));
        if (!parsed.ok)
            return;
        QCOMPARE(QString("NPTR").at(int(address.kind)), kind.at(0));
        QCOMPARE(address.host, host);
        QCOMPARE(int(address.port), port);
    }

    void splitSegmentsOverRfc2217() {
        SplittingServer server;
        NetLink link(NetLink::Protocol::Rfc2217, QStringLiteral("127.0.0.1"), server.port);
        const Status opened = link.open();
        QVERIFY2(opened.ok, qPrintable(opened.message));
        // The line's settings went once: 57600 baud, 8 bits, no parity, one stop bit.
        QTRY_VERIFY(server.done);

        AppState state;
        const Identification id = IdentifyUnit(state, link);
        QCOMPARE(id.reply, QByteArray("TVARN 20"));

        link.send(CommandFrame('R'));
        link.send(Bytes({0x04, 0x00, 0x10, 0x00, 0x10}));
        QVERIFY(!link.waitForReply(17, 2000));
        QCOMPARE(link.takeAll(), QByteArray(1, char(17)) + QByteArray(16, char(0xFF)));

        const QByteArray block = Bytes({0x14, 0x00, 0x10, 0x00, 0x10}) + QByteArray(16, char(0xFF));
        link.send(block);
        QVERIFY(!link.waitForReply(1, 2000));
        QCOMPARE(link.takeAll(), QByteArray(1, '\0'));
        link.close();

        QTRY_VERIFY(server.finished);
        QVERIFY(server.data.endsWith(block));
        QVERIFY(server.raw.contains(Bytes({0x00, 0x10}) + QByteArray(32, char(0xFF))));
        // The echo the server offered was refused; binary both ways and
        // COM-PORT-OPTION were asked for, and the line set once.
        QStringList sent;
        for (const tn::Command& c : server.commands)
            sent << (Bytes({c.verb, c.option}) + c.value).toHex();
        sent.sort();
        QCOMPARE(sent, QStringList({"fa2c010000e100", "fa2c0208", "fa2c0301", "fa2c0401", "fb00",
                                    "fb2c", "fd00", "fe01"}));
    }
};

QTEST_MAIN(TestNetLink)
#include "tst_netlink.moc"
