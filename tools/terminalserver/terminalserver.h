#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace varn {

// Debian's ser2net on loopback in front of a serial device (a varn-unit's
// pseudo-terminal), from a configuration generated in a temporary folder:
// one RFC 2217 port and one raw TCP port, both to the same device, so one
// connection at a time. The destructor stops it.
class TerminalServer {
public:
    explicit TerminalServer(const QString& devicePath);
    ~TerminalServer();
    TerminalServer(const TerminalServer&) = delete;
    TerminalServer& operator=(const TerminalServer&) = delete;

    // Empty when ser2net is installed; otherwise why not (a test skips).
    static QString missing();
    // Starts it and waits until both ports accept connections.
    bool start(int timeoutMs = 5000);
    // Ends it at once (SIGKILL): every connection drops.
    void kill();
    QString rfc2217Url() const;
    QString tcpUrl() const;
    QString error() const { return why; }

private:
    QTemporaryDir folder;
    QString devicePath;
    quint16 rfc2217Port = 0;
    quint16 tcpPort = 0;
    QProcess ser2net;
    QString why;
};

} // namespace varn
