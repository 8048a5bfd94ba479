#include "cliserve.h"

#include "exitstatus.h"
#include "jsonevents.h"
#include "serve/logserver.h"
#include "session/logdashboard.h"
#include "stopsignal.h"

#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <cstdio>

namespace varn {

namespace {

// "ADDR:PORT", "[v6]:PORT", ":PORT" or "PORT".
bool parseListen(const QString& text, QHostAddress* address, quint16* port) {
    *address = QHostAddress::LocalHost;
    *port = DefaultServePort;
    if (text.isEmpty())
        return true;
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    QString host = colon < 0 ? QString() : text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint number = text.mid(colon + 1).toUInt(&ok);
    if (!ok || number > 65535)
        return false;
    *port = quint16(number);
    if (!host.isEmpty() && !address->setAddress(host))
        return false;
    return true;
}

int usage(CliConsole& console, const CliOptions& options, const QString& message) {
    console.error(QStringLiteral("varn-cli: ") + message);
    if (options.json)
        JsonEvents::error(ExitUsage, message);
    return ExitUsage;
}

} // namespace

int ServeLog(const QString& location, const CliOptions& options, CliConsole& console) {
    QHostAddress address;
    quint16 port = 0;
    if (!parseListen(options.listen, &address, &port))
        return usage(
            console, options,
            QStringLiteral("--listen %1: give ADDRESS:PORT (127.0.0.1:8470)").arg(options.listen));
    QString token = options.token;
    if (!options.tokenFile.isEmpty()) {
        QFile file(options.tokenFile);
        if (!file.open(QIODevice::ReadOnly))
            return usage(
                console, options,
                QStringLiteral("--token-file %1: %2").arg(options.tokenFile, file.errorString()));
        token = QString::fromUtf8(file.readLine(4096)).trimmed();
        if (token.isEmpty())
            return usage(
                console, options,
                QStringLiteral("--token-file %1: its first line is empty").arg(options.tokenFile));
    }
    // Unreserved characters only: the token then passes through a query
    // string, a header and a cookie unchanged.
    if (QUrl::toPercentEncoding(token) != token.toUtf8())
        return usage(console, options,
                     QStringLiteral("the token may hold letters, digits and - . _ ~ only"));

    Status status;
    const std::unique_ptr<LogDashboard> dashboard = LogDashboard::open(location, &status);
    if (!dashboard) {
        console.error(status.message);
        if (options.json)
            JsonEvents::error(ExitLog, status.message);
        return ExitLog;
    }
    if (const Status watching = dashboard->watch(); !watching)
        console.info(watching.message + QStringLiteral(" (the page shows it as it was read)"));
    LogServer server(*dashboard, token.toUtf8());
    QString why;
    if (!server.start(address, port, &why)) {
        const QString message =
            QStringLiteral("cannot listen on %1:%2: %3").arg(address.toString()).arg(port).arg(why);
        return usage(console, options, message);
    }
    // For a measurement of the server at work: one line per snapshot sent,
    // with how often the log was read for all of them.
    if (qEnvironmentVariableIsSet("VARN_SERVE_TRACE"))
        QObject::connect(dashboard.get(), &LogDashboard::changed, &server, [&] {
            std::fprintf(stderr, "varn-cli serve: snapshot sent to %d viewers, %lld log reads\n",
                         server.listeners(), static_cast<long long>(dashboard->reads()));
            std::fflush(stderr);
        });
    const QString url = server.url().toString();
    if (options.json)
        JsonEvents::serving(url);
    else
        console.result(url);
    console.info(QStringLiteral("Serving %1 at %2 (Ctrl+C ends)").arg(location, url));

    // The handler only notes the signal: the loop notices it here.
    InstallStopHandlers();
    QEventLoop loop;
    QTimer stop;
    QObject::connect(&stop, &QTimer::timeout, &loop, [&loop] {
        if (StopSignal())
            loop.quit();
    });
    stop.start(100);
    loop.exec();
    return ExitOk;
}

} // namespace varn
