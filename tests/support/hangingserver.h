#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace varn::test {

// A database server on loopback that never answers: it hangs up on its
// callers only once the window thread's own timer has ticked a few times
// after the first call. A window that waited for the database would wait
// for the client's connect time-out instead ("timeout expired" rather than
// "closed the connection").
class HangingServer : public QObject {
public:
    HangingServer() {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection())
                held << socket;
        });
        connect(&timer, &QTimer::timeout, this, [this] {
            if (!held.isEmpty() && ++ticks == 5)
                for (QTcpSocket* socket : std::as_const(held))
                    socket->abort();
        });
        timer.start(20);
        server.listen(QHostAddress::LocalHost);
    }
    // A production log location that calls this server.
    QString url() const {
        return QStringLiteral("postgresql://varn@127.0.0.1:%1/varn").arg(server.serverPort());
    }
    int ticks = 0;

private:
    QTcpServer server;
    QList<QTcpSocket*> held;
    QTimer timer;
};

} // namespace varn::test
