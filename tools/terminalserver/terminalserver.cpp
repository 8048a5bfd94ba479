#include "terminalserver.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QThread>

namespace varn {

namespace {

QString Ser2Net() {
    return QStandardPaths::findExecutable(
        QStringLiteral("ser2net"),
        {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"), QStringLiteral("/sbin")});
}

// A port nobody listens on now; ser2net takes it a moment later.
quint16 FreePort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// Someone listens there. Found without connecting: a connection would make
// ser2net open the device, and both ports share one.
bool Listening(quint16 port) {
    QTcpServer probe;
    return !probe.listen(QHostAddress::LocalHost, port);
}

} // namespace

TerminalServer::TerminalServer(const QString& devicePath) : devicePath(devicePath) {}

TerminalServer::~TerminalServer() {
    kill();
}

QString TerminalServer::missing() {
    return Ser2Net().isEmpty() ? QStringLiteral("ser2net is not installed (scripts/setup.sh)")
                               : QString();
}

bool TerminalServer::start(int timeoutMs) {
    if (!rfc2217Port) {
        rfc2217Port = FreePort();
        tcpPort = FreePort();
    }
    // chardelay off: ser2net would otherwise hold bytes back to send them
    // in bigger pieces.
    QFile config(folder.filePath(QStringLiteral("ser2net.yaml")));
    if (!config.open(QIODevice::WriteOnly)) {
        why = QStringLiteral("cannot write the configuration");
        return false;
    }
    const QString connection = QStringLiteral("connection: &%1\n"
                                              "  accepter: %2,127.0.0.1,%3\n"
                                              "  connector: serialdev,%4,57600n81,local\n"
                                              "  options:\n"
                                              "    chardelay: false\n");
    config.write(connection.arg(QStringLiteral("rfc2217"), QStringLiteral("telnet(rfc2217),tcp"))
                     .arg(rfc2217Port)
                     .arg(devicePath)
                     .toUtf8());
    config.write(connection.arg(QStringLiteral("raw"), QStringLiteral("tcp"))
                     .arg(tcpPort)
                     .arg(devicePath)
                     .toUtf8());
    config.close();

    ser2net.setProcessChannelMode(QProcess::MergedChannels);
    ser2net.start(Ser2Net(), {QStringLiteral("-n"), QStringLiteral("-c"), config.fileName()});
    if (!ser2net.waitForStarted(timeoutMs)) {
        why = QStringLiteral("ser2net did not start: ") + ser2net.errorString();
        return false;
    }
    const QDeadlineTimer deadline(timeoutMs);
    while (!Listening(rfc2217Port) || !Listening(tcpPort)) {
        if (deadline.hasExpired() || ser2net.state() == QProcess::NotRunning) {
            why = QStringLiteral("ser2net does not listen: ") +
                  QString::fromLocal8Bit(ser2net.readAll());
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

void TerminalServer::kill() {
    if (ser2net.state() == QProcess::NotRunning)
        return;
    ser2net.kill();
    ser2net.waitForFinished(3000);
}

QString TerminalServer::rfc2217Url() const {
    return QStringLiteral("rfc2217://127.0.0.1:%1").arg(rfc2217Port);
}

QString TerminalServer::tcpUrl() const {
    return QStringLiteral("tcp://127.0.0.1:%1").arg(tcpPort);
}

} // namespace varn
