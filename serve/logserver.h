#pragma once

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace varn {

class LogDashboard;

// The production log read over HTTP: the page, its JSON views and a stream of
// server-sent events, for GET only. Nothing it answers changes the log. With
// a token every request must bring it (a Bearer header, or ?token= once,
// after which a cookie carries it).
class LogServer : public QAbstractHttpServer {
    Q_OBJECT
public:
    // Longer request targets are refused (414): no view takes more than a
    // few short filters.
    static constexpr int MaxTargetBytes = 4096;

    LogServer(LogDashboard& dashboard, const QByteArray& token, QObject* parent = nullptr);
    ~LogServer() override;

    // Port 0: any free port. False with the reason in *error.
    bool start(const QHostAddress& address, quint16 port, QString* error);
    // Where a browser reaches it (http://127.0.0.1:PORT/).
    QUrl url() const;
    // Viewers listening to /api/events now.
    int listeners() const;

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    bool authorized(const QHttpServerRequest& request, bool* fromQuery) const;
    void openStream(const QHttpServerRequest& request, QTcpSocket* socket);
    void broadcast();

    LogDashboard& dashboard;
    QByteArray token;
    QHostAddress address;
    quint16 port = 0;
    QList<QPointer<QTcpSocket>> streams;
    QTimer keepAlive;
};

} // namespace varn
