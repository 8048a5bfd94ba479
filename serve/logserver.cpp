#include "logserver.h"

#include "session/logdashboard.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpServer>
#include <QUrlQuery>

namespace varn {

namespace {

using Code = QHttpServerResponder::StatusCode;

// The page's own files, by the path a browser asks for; nothing else of the
// resources (or of the disk) can be reached.
struct PageFile {
    const char* path;
    const char* resource;
    const char* type;
};
constexpr PageFile PageFiles[] = {
    {"/", ":/serve/index.html", "text/html; charset=utf-8"},
    {"/app.js", ":/serve/app.js", "text/javascript; charset=utf-8"},
    {"/style.css", ":/serve/style.css", "text/css; charset=utf-8"},
};

constexpr const char* Views[] = {"units", "yield", "failures", "series", "interrupted"};

// Where the page takes the snapshot it is first drawn from.
const QByteArray EmbeddedSnapshot =
    QByteArrayLiteral("<script type=\"application/json\" id=\"snapshot\"></script>");
const QByteArray CookieName = QByteArrayLiteral("varn_token");
// A viewer on a screen all shift long: the page loads nothing from elsewhere,
// and nothing it shows runs as script.
const QByteArray Policy = QByteArrayLiteral(
    "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
    "frame-ancestors 'none'");
// A comment line keeps a quiet stream open through proxies and shows a
// viewer that went away.
constexpr int KeepAliveMs = 15000;
// Snapshots waiting for one viewer, at most.
constexpr qint64 MaxBacklogBytes = 4 * 1024 * 1024;

// Equal without telling, by the time it takes, how much of a guess was right.
bool sameSecret(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size())
        return false;
    unsigned char differ = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

QByteArray errorBody(const char* message) {
    return QByteArray(R"({"type":"error","port":null,"message":")") + message + "\"}";
}

void reply(QHttpServerResponder& responder, const QByteArray& body, const QByteArray& type,
           Code code = Code::Ok) {
    responder.write(body,
                    {{"Content-Type", type},
                     {"Cache-Control", "no-store"},
                     {"X-Content-Type-Options", "nosniff"},
                     {"Referrer-Policy", "no-referrer"},
                     {"Content-Security-Policy", Policy}},
                    code);
}

void replyError(QHttpServerResponder& responder, Code code, const char* message) {
    reply(responder, errorBody(message), "application/json", code);
}

QByteArray snapshotEvent(const QByteArray& json) {
    return QByteArrayLiteral("event: snapshot\ndata: ") + json + "\n\n";
}

} // namespace

LogServer::LogServer(LogDashboard& board, const QByteArray& secret, QObject* parent)
    : QAbstractHttpServer(parent), dashboard(board), token(secret) {
    // One snapshot per change, written to every viewer as the same bytes.
    connect(&dashboard, &LogDashboard::changed, this, &LogServer::broadcast);
    keepAlive.setInterval(KeepAliveMs);
    connect(&keepAlive, &QTimer::timeout, this, [this] {
        for (const QPointer<QTcpSocket>& socket : std::as_const(streams))
            if (socket)
                socket->write(": \n\n");
    });
    keepAlive.start();
}

LogServer::~LogServer() = default;

bool LogServer::start(const QHostAddress& where, quint16 wanted, QString* error) {
    auto* server = new QTcpServer(this);
    if (!server->listen(where, wanted)) {
        *error = server->errorString();
        delete server;
        return false;
    }
    bind(server);
    address = where;
    port = server->serverPort();
    return true;
}

QUrl LogServer::url() const {
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    // Listening on every address: this machine reaches it on its own.
    const bool any = address == QHostAddress::Any || address == QHostAddress::AnyIPv4 ||
                     address == QHostAddress::AnyIPv6;
    url.setHost(any ? QStringLiteral("127.0.0.1") : address.toString());
    url.setPort(port);
    url.setPath(QStringLiteral("/"));
    return url;
}

int LogServer::listeners() const {
    int count = 0;
    for (const QPointer<QTcpSocket>& socket : streams)
        count += socket && socket->state() == QAbstractSocket::ConnectedState ? 1 : 0;
    return count;
}

bool LogServer::authorized(const QHttpServerRequest& request, bool* fromQuery) const {
    *fromQuery = false;
    if (token.isEmpty())
        return true;
    const QByteArray authorization = request.value("Authorization");
    if (authorization.startsWith("Bearer ") && sameSecret(authorization.mid(7).trimmed(), token))
        return true;
    for (const QByteArray& cookie : request.value("Cookie").split(';')) {
        const QByteArray pair = cookie.trimmed();
        if (pair.startsWith(CookieName + '=') && sameSecret(pair.mid(CookieName.size() + 1), token))
            return true;
    }
    const QUrlQuery query(request.url());
    if (query.hasQueryItem(QStringLiteral("token")) &&
        sameSecret(query.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8(),
                   token)) {
        *fromQuery = true;
        return true;
    }
    return false;
}

bool LogServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    QHttpServerResponder responder = makeResponder(request, socket);
    const QUrl url = request.url();
    if (url.toEncoded().size() > MaxTargetBytes) {
        replyError(responder, Code::UriTooLong, "request too long");
        return true;
    }
    if (!url.isValid()) {
        replyError(responder, Code::BadRequest, "bad request");
        return true;
    }
    if (request.method() != QHttpServerRequest::Method::Get) {
        responder.write(errorBody("only GET"),
                        {{"Content-Type", "application/json"}, {"Allow", "GET"}},
                        Code::MethodNotAllowed);
        return true;
    }
    bool fromQuery = false;
    if (!authorized(request, &fromQuery)) {
        responder.write(
            errorBody("token required"),
            {{"Content-Type", "application/json"}, {"WWW-Authenticate", "Bearer realm=\"varn\""}},
            Code::Unauthorized);
        return true;
    }
    const QString path = url.path(QUrl::FullyEncoded);
    for (const PageFile& file : PageFiles) {
        if (path != QLatin1String(file.path))
            continue;
        QFile resource(QString::fromLatin1(file.resource));
        if (!resource.open(QIODevice::ReadOnly)) {
            replyError(responder, Code::InternalServerError, "page missing");
            return true;
        }
        QByteArray body = resource.readAll();
        if (path == QLatin1String("/")) {
            // The page arrives drawn from the snapshot of its moment. No "<"
            // of the log's text reaches the HTML parser: "</script" would end
            // the element, "<!--<script" would make it swallow the page. In
            // JSON, "<" is only ever inside a string, where "\u003c" is the
            // same character.
            QByteArray snapshot = dashboard.snapshot();
            snapshot.replace('<', "\\u003c");
            body.replace(EmbeddedSnapshot,
                         QByteArray(EmbeddedSnapshot)
                             .insert(EmbeddedSnapshot.indexOf("</script>"), snapshot));
        }
        if (!fromQuery) {
            reply(responder, body, file.type);
            return true;
        }
        // The browser's first visit: from now on the cookie carries the
        // token, which script on the page can never read.
        responder.write(
            body,
            {{"Content-Type", file.type},
             {"Cache-Control", "no-store"},
             {"X-Content-Type-Options", "nosniff"},
             {"Referrer-Policy", "no-referrer"},
             {"Content-Security-Policy", Policy},
             {"Set-Cookie", CookieName + '=' + token + "; HttpOnly; SameSite=Strict; Path=/"}},
            Code::Ok);
        return true;
    }
    if (path == QLatin1String("/api/events")) {
        openStream(request, socket);
        return true;
    }
    if (path == QLatin1String("/api/records")) {
        const QUrlQuery query(url);
        ReportFilter filter;
        filter.lot = query.queryItemValue(QStringLiteral("lot"), QUrl::FullyDecoded);
        filter.station = query.queryItemValue(QStringLiteral("station"), QUrl::FullyDecoded);
        filter.outcome = query.queryItemValue(QStringLiteral("outcome"), QUrl::FullyDecoded);
        if (!filter.outcome.isEmpty() && filter.outcome != QLatin1String("pass") &&
            filter.outcome != QLatin1String("fail") &&
            filter.outcome != QLatin1String("interrupted")) {
            replyError(responder, Code::BadRequest, "outcome is pass, fail or interrupted");
            return true;
        }
        if (filter.lot.isEmpty() && filter.station.isEmpty() && filter.outcome.isEmpty()) {
            reply(responder, dashboard.view(QStringLiteral("records")), "application/json");
            return true;
        }
        QByteArray json;
        if (!dashboard.records(filter, &json)) {
            replyError(responder, Code::ServiceUnavailable, "the log cannot be read");
            return true;
        }
        reply(responder, json, "application/json");
        return true;
    }
    for (const char* view : Views) {
        if (path == QLatin1String("/api/") + QLatin1String(view)) {
            reply(responder, dashboard.view(QLatin1String(view)), "application/json");
            return true;
        }
    }
    replyError(responder, Code::NotFound, "not found");
    return true;
}

void LogServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    QHttpServerResponder responder = makeResponder(request, socket);
    replyError(responder, Code::NotFound, "not found");
}

void LogServer::openStream(const QHttpServerRequest& request, QTcpSocket* socket) {
    QHttpServerResponder responder = makeResponder(request, socket);
    responder.writeStatusLine(Code::Ok);
    responder.writeHeaders({{"Content-Type", "text/event-stream"},
                            {"Cache-Control", "no-store"},
                            {"X-Content-Type-Options", "nosniff"}});
    // The stream opens with what the viewer would otherwise have to ask for.
    responder.writeBody(QByteArrayLiteral("retry: 2000\n\n") + snapshotEvent(dashboard.snapshot()));
    streams.removeAll(nullptr);
    streams.append(socket);
}

void LogServer::broadcast() {
    const QByteArray bytes = snapshotEvent(dashboard.snapshot());
    streams.removeAll(nullptr);
    for (const QPointer<QTcpSocket>& socket : std::as_const(streams)) {
        // A viewer that reads nothing (a tab asleep, a stalled network)
        // would make the server keep every snapshot for it: it is let go,
        // and its browser connects again when it wakes.
        if (socket->bytesToWrite() > MaxBacklogBytes)
            socket->abort();
        else if (socket->state() == QAbstractSocket::ConnectedState)
            socket->write(bytes);
    }
}

} // namespace varn
