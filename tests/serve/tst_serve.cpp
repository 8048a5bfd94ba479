#include "production/productionlog.h"
#include "serve/logserver.h"
#include "session/logdashboard.h"
#include "support/rows.h"
#include "support/testsupport.h"
#include "tools/pgserver/pgserver.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <unistd.h>

using namespace varn;

namespace {

const QDateTime Now(QDate(2026, 12, 8), QTime(10, 30), Qt::UTC);
const QByteArray Token = "t0k3n";

struct Reply {
    int status = 0;
    QByteArray head;
    QByteArray body;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

// One request as a browser or a script would send it, read to its end.
Reply exchange(quint16 port, const QByteArray& request) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(3000))
        return {};
    socket.write(request);
    // The server runs on this thread: wait in its event loop, never block it.
    QByteArray data;
    qsizetype need = -1;
    const bool ended = QTest::qWaitFor(
        [&] {
            data += socket.readAll();
            const qsizetype end = data.indexOf("\r\n\r\n");
            if (end >= 0 && need < 0) {
                const QByteArray lower = data.left(end).toLower();
                const qsizetype at = lower.indexOf("content-length:");
                need =
                    at < 0 ? 0 : end + 4 + lower.mid(at + 15).split('\r').first().trimmed().toInt();
            }
            return (need >= 0 && data.size() >= need) ||
                   socket.state() != QAbstractSocket::ConnectedState;
        },
        5000);
    Q_UNUSED(ended); // a reply cut short fails on its status
    Reply reply;
    const qsizetype end = data.indexOf("\r\n\r\n");
    reply.head = data.left(end);
    reply.body = end < 0 ? QByteArray() : data.mid(end + 4);
    reply.status = data.mid(9, 3).toInt();
    return reply;
}

Reply get(quint16 port, const QByteArray& target, const QByteArray& headers = {}) {
    return exchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n");
}

ChipRecord chip(const QString& station, const QString& port, const QDateTime& time, bool passed,
                const QString& lot) {
    ChipRecord r;
    r.time = time;
    r.closedAt = time.addSecs(20);
    r.station = station;
    r.port = port;
    r.lot = lot;
    r.deviceType = QStringLiteral("T256");
    r.deviceSize = 256;
    r.functions = {QStringLiteral("Program"), QStringLiteral("Verify")};
    r.programBytesSent = true;
    r.passed = passed;
    if (!passed) {
        r.failedStep = QStringLiteral("Verify");
        r.failure = ChipRecord::Failure::Mismatch;
        r.failureAddress = 0x1234;
        r.expectedByte = 0x5A;
        r.actualByte = 0xFF;
        r.failureDetail = QStringLiteral("Verify Error at 1234H");
    }
    return r;
}

// A line half an hour into its shift: COM1 of s1 stopped at 10:04, COM2 runs
// on with a failure last, s2 has a chip cut off; one lot of yesterday.
void writeLine(ProductionLog& log) {
    const QDateTime start(QDate(2026, 12, 8), QTime(10, 0), Qt::UTC);
    for (int i = 0; i < 5; ++i) {
        ChipRecord r = chip("s1", "COM1", start.addSecs(60 * i), true, "L1");
        QVERIFY(log.writeRecord(r));
    }
    for (int i = 0; i < 30; ++i) {
        ChipRecord r = chip("s1", "COM2", start.addSecs(60 * i), i != 29, "L2");
        QVERIFY(log.writeRecord(r));
    }
    ChipRecord old = chip("s1", "COM2", start.addDays(-1).addSecs(-3600), true, "old");
    QVERIFY(log.writeRecord(old));
    ChipRecord cut = chip("s2", "COM1", start.addSecs(29 * 60 + 30), false, "L1");
    QVERIFY(log.openRecord(cut));
    NumberPool nearlyGone{QStringLiteral("mac"), 1, 20, 1, 1};
    NumberPool fresh{QStringLiteral("key"), 1, 20, 1, 1};
    QVERIFY(log.createPool(nearlyGone) && log.createPool(fresh));
    qint64 number = 0;
    for (int i = 0; i < 19; ++i)
        QVERIFY(log.allocatePoolNumber(QStringLiteral("mac"), QStringLiteral("s1"), &number));
}

// Text a station may put in a record, meant to run in a viewer's browser.
const QString HostileLot = QStringLiteral("<script>alert(1)</script>");
const QString HostileStation = QStringLiteral("\"><img src=x onerror=alert(2)>'");
const QString HostileReason =
    QStringLiteral("<!--<script>Prüfung \\ \"Ω\" 検証 ").repeated(200) + QStringLiteral("&amp;");

// A browser driven over its DevTools pipe (--remote-debugging-pipe: commands
// in on fd 3, answers out on fd 4, each JSON message ended by a NUL byte).
// Waits run the event loop: the server under test answers the page meanwhile.
class DevTools {
public:
    bool start(QProcess& browser, const QString& program, const QStringList& arguments) {
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC | O_NONBLOCK) != 0)
            return false;
        browser.setChildProcessModifier([this] {
            dup2(in[0], 3);
            dup2(out[1], 4);
        });
        browser.start(program, arguments + QStringList{"--remote-debugging-pipe"});
        ::close(in[0]);
        ::close(out[1]);
        return browser.waitForStarted();
    }
    ~DevTools() {
        ::close(in[1]);
        ::close(out[0]);
    }
    // The result of one command, or an empty object after 10 s.
    QJsonObject call(const QString& method, const QJsonObject& params = {},
                     const QString& session = {}) {
        QJsonObject message{{"id", ++lastId}, {"method", method}, {"params", params}};
        if (!session.isEmpty())
            message.insert("sessionId", session);
        const QByteArray bytes = QJsonDocument(message).toJson(QJsonDocument::Compact) + '\0';
        if (::write(in[1], bytes.constData(), size_t(bytes.size())) != bytes.size())
            return {};
        QJsonObject result;
        (void)QTest::qWaitFor(
            [&] {
                char chunk[65536];
                for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;)
                    received.append(chunk, n);
                for (qsizetype end; (end = received.indexOf('\0')) >= 0;) {
                    const QJsonObject reply = QJsonDocument::fromJson(received.left(end)).object();
                    received.remove(0, end + 1);
                    if (reply.value("id").toInt() == lastId)
                        result = reply.value("result").toObject();
                }
                return !result.isEmpty();
            },
            10000);
        return result;
    }

private:
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int lastId = 0;
    QByteArray received;
};

// What path (slash-separated keys and indexes) names in value, as JSON text.
QByteArray at(QJsonValue value, const QString& path) {
    for (const QString& step : path.split(QLatin1Char('/'))) {
        if (step.isEmpty())
            continue;
        bool index = false;
        const int i = step.toInt(&index);
        value = index ? value.toArray().at(i) : value.toObject().value(step);
    }
    const QByteArray list = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return list.mid(1, list.size() - 2);
}

} // namespace

class TestServe : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString path;
    std::unique_ptr<LogDashboard> dashboard;
    std::unique_ptr<LogServer> server;
    quint16 port = 0;

    bool hostileWritten = false;

    // One failed chip whose station, lot and reason are markup, in the
    // shared log, within the views' window.
    void writeHostile() {
        if (hostileWritten)
            return;
        Status status;
        const std::unique_ptr<ProductionLog> log =
            ProductionLog::open(path, {false, {}, false}, &status);
        QVERIFY2(log, qPrintable(status.message));
        ChipRecord record = chip(HostileStation, "COM9", Now.addSecs(-10), false, HostileLot);
        record.failureDetail = HostileReason;
        QVERIFY(log->writeRecord(record));
        hostileWritten = true;
    }

    quint16 serve(const QString& location, const QByteArray& token) {
        Status status;
        dashboard = LogDashboard::open(location, &status);
        if (!dashboard)
            qWarning() << status.message;
        dashboard->setClock([] { return Now; });
        dashboard->refresh();
        server = std::make_unique<LogServer>(*dashboard, token);
        QString error;
        if (!server->start(QHostAddress::LocalHost, 0, &error))
            qWarning() << error;
        return quint16(server->url().port());
    }

private slots:
    void initTestCase() {
        path = dir.filePath(QStringLiteral("line.sqlite"));
        LogOpenOptions options;
        options.create = true;
        options.useJournal = false;
        Status status;
        const std::unique_ptr<ProductionLog> log = ProductionLog::open(path, options, &status);
        QVERIFY2(log, qPrintable(status.message));
        writeLine(*log);
        port = serve(path, QByteArray());
        QVERIFY(port != 0);
    }

    void views_data() {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("units: one tile per station and port")
            << QByteArray("/api/units") << "units/2/station" << QByteArray(R"("s2")");
        QTest::newRow("units: yesterday's lot is not this hour")
            << QByteArray("/api/units") << "units/1/chipsThisHour" << QByteArray("30");
        QTest::newRow("units: stopped unit is silent")
            << QByteArray("/api/units") << "units/0/silent" << QByteArray("true");
        QTest::newRow("units: silent state")
            << QByteArray("/api/units") << "units/0/state" << QByteArray(R"("silent")");
        QTest::newRow("units: running unit is not")
            << QByteArray("/api/units") << "units/1/silent" << QByteArray("false");
        QTest::newRow("units: last chip's outcome")
            << QByteArray("/api/units") << "units/1/lastResult" << QByteArray(R"("fail")");
        QTest::newRow("units: last chip's reason")
            << QByteArray("/api/units") << "units/1/lastReason"
            << QByteArray(R"("Verify Error at 1234H")");
        QTest::newRow("units: usual cycle")
            << QByteArray("/api/units") << "units/1/cycleSeconds" << QByteArray("60");
        QTest::newRow("units: seconds since last chip")
            << QByteArray("/api/units") << "units/0/secondsSinceLast" << QByteArray("1540");
        QTest::newRow("units: a chip being programmed")
            << QByteArray("/api/units") << "units/2/state" << QByteArray(R"("programming")");
        QTest::newRow("yield: 24 hours")
            << QByteArray("/api/yield") << "hours/24" << QByteArray("null");
        QTest::newRow("yield: this hour last")
            << QByteArray("/api/yield") << "hours/23/hour" << QByteArray(R"("2026-12-08T10")");
        QTest::newRow("yield: this hour's chips")
            << QByteArray("/api/yield") << "hours/23/chips" << QByteArray("36");
        QTest::newRow("yield: this hour's passes")
            << QByteArray("/api/yield") << "hours/23/passed" << QByteArray("34");
        QTest::newRow("yield: a quiet hour")
            << QByteArray("/api/yield") << "hours/22/yieldPercent" << QByteArray("null");
        QTest::newRow("failures: by kind") << QByteArray("/api/failures") << "kinds/0"
                                           << QByteArray(R"({"count":1,"kind":"mismatch"})");
        QTest::newRow("failures: interrupted apart")
            << QByteArray("/api/failures") << "interrupted" << QByteArray("1");
        QTest::newRow("series: pool nearly used up")
            << QByteArray("/api/series") << "pools/1"
            << QByteArray(
                   R"({"first":1,"last":20,"left":1,"low":true,"name":"mac","next":20,"step":1,"total":20})");
        QTest::newRow("series: fresh pool")
            << QByteArray("/api/series") << "pools/0/low" << QByteArray("false");
        QTest::newRow("records: all 37, no more")
            << QByteArray("/api/records") << "records/37" << QByteArray("null");
        QTest::newRow("records: newest first")
            << QByteArray("/api/records") << "records/0/result" << QByteArray(R"("interrupted")");
        QTest::newRow("records: by lot")
            << QByteArray("/api/records?lot=old") << "records/0/lot" << QByteArray(R"("old")");
        QTest::newRow("records: by lot, only")
            << QByteArray("/api/records?lot=old") << "records/1" << QByteArray("null");
        // Not the newest record's station: an ignored filter would show s2.
        QTest::newRow("records: by station") << QByteArray("/api/records?station=s1")
                                             << "records/0/station" << QByteArray(R"("s1")");
        QTest::newRow("records: by outcome")
            << QByteArray("/api/records?outcome=fail&lot=L2") << "records/0/failure_detail"
            << QByteArray(R"("Verify Error at 1234H")");
        QTest::newRow("records: by lot and station")
            << QByteArray("/api/records?lot=L1&station=s2") << "records/0/id" << QByteArray("37");
        QTest::newRow("records: fail is not interrupted")
            << QByteArray("/api/records?outcome=fail") << "records/1" << QByteArray("null");
        QTest::newRow("records: encoded filter")
            << QByteArray("/api/records?station=s%32") << "records/0/id" << QByteArray("37");
        QTest::newRow("interrupted")
            << QByteArray("/api/interrupted") << "records/0/station" << QByteArray(R"("s2")");
        QTest::newRow("interrupted: only")
            << QByteArray("/api/interrupted") << "records/1" << QByteArray("null");
    }
    void views() {
        QFETCH(QByteArray, target);
        QFETCH(QString, path);
        QFETCH(QByteArray, expected);
        const Reply reply = get(port, target);
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.head.toLower().contains("content-type: application/json"));
        QCOMPARE(at(reply.json(), path), expected);
    }

    void schema() {
        QByteArray lines;
        for (const QByteArray target :
             {"/api/units", "/api/yield", "/api/failures", "/api/series", "/api/records",
              "/api/interrupted", "/api/records?outcome=fail"})
            lines += get(port, target).body + '\n';
        lines += dashboard->snapshot() + '\n';
        QCOMPARE(test::SchemaFaults(lines), QByteArray());
    }

    // The command as a line starts it: the URL on standard output, and a
    // clean end on SIGTERM.
    void command() {
        QProcess cli;
        cli.start(VARN_CLI_PATH, {"--json", "--log", path, "serve", "--listen", "127.0.0.1:0"});
        QVERIFY(cli.waitForStarted());
        QVERIFY(QTest::qWaitFor([&] { return cli.canReadLine(); }, 10000));
        const QByteArray line = cli.readLine();
        QCOMPARE(test::SchemaFaults(line), QByteArray());
        const QUrl url(QJsonDocument::fromJson(line).object().value("url").toString());
        QCOMPARE(url.host(), QStringLiteral("127.0.0.1"));
        QCOMPARE(at(get(quint16(url.port()), "/api/units").json(), "units/0/station"), "\"s1\"");
        cli.terminate();
        QVERIFY(cli.waitForFinished(5000));
        QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
        QCOMPARE(cli.exitCode(), 0);
    }

    // The page as a browser draws it: tiles, both charts, the interrupted
    // chip on top. VARN_SERVE_SCREENSHOT=FILE keeps a picture of it.
    void browser() {
        const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
        if (chromium.isEmpty())
            QSKIP("chromium is not installed");
        QTemporaryDir profile;
        const QString url = server->url().toString();
        const QStringList common{"--headless", "--no-sandbox", "--disable-gpu",
                                 "--user-data-dir=" + profile.path(), "--window-size=1280,900"};
        QProcess browser;
        browser.start(chromium, common + QStringList{"--timeout=4000", "--dump-dom", url});
        QVERIFY(QTest::qWaitFor([&] { return browser.state() == QProcess::NotRunning; }, 60000));
        const QByteArray dom = browser.readAllStandardOutput();
        QVERIFY2(dom.contains("class=\"tile silent\""), dom.left(2000).constData());
        QCOMPARE(dom.count("class=\"tile "), 3);
        QVERIFY(dom.contains("<svg"));
        QVERIFY(dom.count("class=\"bar\"") >= 25); // 24 hours and one kind
        QVERIFY(dom.contains("id=\"interrupted\" class=\"alert\">"));
        QVERIFY(dom.contains("running low"));

        const QString picture = profile.filePath(QStringLiteral("page.png"));
        browser.start(chromium,
                      common + QStringList{"--timeout=4000", "--screenshot=" + picture, url});
        QVERIFY(QTest::qWaitFor([&] { return browser.state() == QProcess::NotRunning; }, 60000));
        QCOMPARE(QImage(picture).size(), QSize(1280, 900));
        if (const QString keep = qEnvironmentVariable("VARN_SERVE_SCREENSHOT"); !keep.isEmpty()) {
            QFile::remove(keep);
            QVERIFY(QFile::copy(picture, keep));
        }

        // Left open, the page follows the log: a chip written once it has
        // connected appears, its markup shown as text and never run.
        QVERIFY(dashboard->watch());
        QTRY_COMPARE_WITH_TIMEOUT(server->listeners(), 0, 10000);
        DevTools devTools;
        QVERIFY(devTools.start(browser, chromium, common + QStringList{url}));
        QVERIFY(QTest::qWaitFor([&] { return server->listeners() > 0; }, 30000));
        writeHostile();
        QString target;
        for (const QJsonValue info : devTools.call("Target.getTargets")["targetInfos"].toArray())
            if (info["type"] == "page")
                target = info["targetId"].toString();
        const QString session =
            devTools.call("Target.attachToTarget", {{"targetId", target}, {"flatten", true}})
                .value("sessionId")
                .toString();
        QByteArray live;
        const bool shown = QTest::qWaitFor(
            [&] {
                const QJsonObject page = devTools.call(
                    "Runtime.evaluate",
                    {{"expression", "document.documentElement.outerHTML"}, {"returnByValue", true}},
                    session);
                live = page["result"].toObject()["value"].toString().toUtf8();
                return live.contains("alert(1)");
            },
            15000);
        browser.kill();
        QVERIFY(browser.waitForFinished(10000));
        QVERIFY2(shown, live.right(3000).constData());
        QVERIFY2(live.contains("&lt;script&gt;alert(1)&lt;/script&gt;"),
                 live.right(3000).constData());
        QVERIFY(live.contains("\"&gt;&lt;img src=x onerror=alert(2)&gt;'"));
        QVERIFY(live.contains(QString(HostileReason.left(40))
                                  .replace("&", "&amp;")
                                  .replace("<", "&lt;")
                                  .replace(">", "&gt;")
                                  .toUtf8()));
        QVERIFY(!live.contains("<img"));
        QCOMPARE(live.count("<script"), 2); // the page's own
    }

    void refusedCommands_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("with another command")
            << QStringList{"serve", "log", "list"} << 2 << QByteArray("command of its own");
        QTest::newRow("--listen alone") << QStringList{"log", "list", "--listen", "127.0.0.1:0"}
                                        << 2 << QByteArray("go with serve");
        QTest::newRow("port out of range")
            << QStringList{"serve", "--listen", "127.0.0.1:65536"} << 2 << QByteArray("--listen");
        QTest::newRow("not an address")
            << QStringList{"serve", "--listen", "line-a:80"} << 2 << QByteArray("--listen");
        QTest::newRow("token with a space")
            << QStringList{"serve", "--token", "a b"} << 2 << QByteArray("token may hold");
        QTest::newRow("empty token file") << QStringList{"serve", "--token-file", "/dev/null"} << 2
                                          << QByteArray("first line is empty");
        QTest::newRow("no such log")
            << QStringList{"--log", "/nonexistent/x.sqlite", "serve", "--listen", "127.0.0.1:0"}
            << 5 << QByteArray("Production log");
    }
    void refusedCommands() {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QByteArray, message);
        if (!arguments.contains("--log"))
            arguments.prepend(path), arguments.prepend("--log");
        QProcess cli;
        cli.start(VARN_CLI_PATH, QStringList{"--json"} + arguments);
        QVERIFY(QTest::qWaitFor([&] { return cli.state() == QProcess::NotRunning; }, 10000));
        QCOMPARE(cli.exitCode(), status);
        const QByteArray out = cli.readAllStandardOutput();
        QVERIFY2(out.contains(message), out.constData());
        QCOMPARE(test::SchemaFaults(out), QByteArray());
    }

    void badRequests_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        const QByteArray host = " HTTP/1.1\r\nHost: x\r\n\r\n";
        QTest::newRow("unknown path") << "GET /api/nothing" + host << 404;
        QTest::newRow("POST")
            << QByteArray("POST /api/units HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}")
            << 405;
        QTest::newRow("DELETE") << "DELETE /api/records" + host << 405;
        QTest::newRow("huge query")
            << "GET /api/records?lot=" + QByteArray(20000, 'a') + host << 414;
        QTest::newRow("unknown outcome") << "GET /api/records?outcome=maybe" + host << 400;
        QTest::newRow("bad percent in path") << "GET /api/%zz" + host << 404;
        QTest::newRow("traversal") << "GET /../../etc/passwd" + host << 404;
        QTest::newRow("encoded traversal") << "GET /%2e%2e/%2e%2e/etc/passwd" + host << 404;
        QTest::newRow("traversal under api") << "GET /api/../../etc/passwd" + host << 404;
        QTest::newRow("resource path") << "GET /:/serve/index.html" + host << 404;
    }
    void badRequests() {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QCOMPARE(exchange(port, request).status, status);
        // Still answering after it.
        QCOMPARE(get(port, "/api/units").status, 200);
    }

    void page() {
        writeHostile();
        QVERIFY(dashboard->refresh());
        const Reply reply = get(port, "/");
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.body.contains("<script src=\"app.js\""));
        // Drawn at once from the snapshot it comes with.
        const QByteArray open = "<script type=\"application/json\" id=\"snapshot\">";
        const qsizetype from = reply.body.indexOf(open) + open.size();
        const QByteArray embedded =
            reply.body.mid(from, reply.body.indexOf("</script>", from) - from);
        QCOMPARE(QJsonDocument::fromJson(embedded).object(),
                 QJsonDocument::fromJson(dashboard->snapshot()).object());
        // Markup in the log never reaches the HTML parser as markup.
        QVERIFY(!embedded.contains('<'));
        const QJsonObject record =
            get(port, "/api/records?lot=" + QUrl::toPercentEncoding(HostileLot)).json();
        QCOMPARE(at(record, "records/0/lot"), at(QJsonValue(HostileLot), ""));
        QCOMPARE(at(record, "records/0/station"), at(QJsonValue(HostileStation), ""));
        QCOMPARE(at(record, "records/0/failure_detail"), at(QJsonValue(HostileReason), ""));
        const Reply script = get(port, "/app.js");
        QCOMPARE(script.status, 200);
        QVERIFY(script.body.contains("EventSource"));
    }

    void tokens_data() {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("setsCookie");
        QTest::newRow("none") << QByteArray("/api/units") << QByteArray() << 401 << false;
        QTest::newRow("wrong Bearer")
            << QByteArray("/api/units") << QByteArray("Authorization: Bearer t0k3m\r\n") << 401
            << false;
        QTest::newRow("longer Bearer")
            << QByteArray("/api/units") << QByteArray("Authorization: Bearer t0k3nn\r\n") << 401
            << false;
        QTest::newRow("Bearer") << QByteArray("/api/units")
                                << QByteArray("Authorization: Bearer t0k3n\r\n") << 200 << false;
        QTest::newRow("query on the page")
            << QByteArray("/?token=t0k3n") << QByteArray() << 200 << true;
        QTest::newRow("wrong query") << QByteArray("/?token=nope") << QByteArray() << 401 << false;
        QTest::newRow("cookie") << QByteArray("/api/yield")
                                << QByteArray("Cookie: a=b; varn_token=t0k3n\r\n") << 200 << false;
        QTest::newRow("wrong cookie") << QByteArray("/api/yield")
                                      << QByteArray("Cookie: varn_token=t0k3\r\n") << 401 << false;
        QTest::newRow("events need it")
            << QByteArray("/api/events") << QByteArray() << 401 << false;
    }
    void tokens() {
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, headers);
        QFETCH(int, status);
        QFETCH(bool, setsCookie);
        LogServer guarded(*dashboard, Token);
        QString error;
        QVERIFY2(guarded.start(QHostAddress::LocalHost, 0, &error), qPrintable(error));
        const Reply reply = get(quint16(guarded.url().port()), target, headers);
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.head.contains("Set-Cookie: varn_token=t0k3n; HttpOnly"), setsCookie);
        QCOMPARE(reply.body.contains("token required"), status == 401);
        QVERIFY(!reply.body.isEmpty());
    }

    void events_data() {
        QTest::addColumn<bool>("postgres");
        // A poll of the file may fall between two of the writes.
        QTest::addColumn<int>("mostChanges");
        QTest::addColumn<bool>("restart");
        QTest::newRow("sqlite") << false << 2 << false;
        QTest::newRow("postgresql") << true << 1 << false;
        QTest::newRow("postgresql restarted under the view") << true << 1 << true;
    }
    void events() {
        QFETCH(bool, postgres);
        QFETCH(int, mostChanges);
        QFETCH(bool, restart);
        PgServer pg;
        QString location = dir.filePath(QStringLiteral("events.sqlite"));
        if (postgres) {
            if (!pg.start())
                QSKIP(qPrintable(pg.error()));
            location = pg.url();
        }
        LogOpenOptions options;
        options.create = true;
        options.useJournal = false;
        Status status;
        std::unique_ptr<ProductionLog> writer = ProductionLog::open(location, options, &status);
        QVERIFY2(writer, qPrintable(status.message));
        ChipRecord first = chip("s1", "COM1", QDateTime::currentDateTimeUtc(), true, "L1");
        QVERIFY(writer->writeRecord(first));

        Status opened;
        std::unique_ptr<LogDashboard> live = LogDashboard::open(location, &opened);
        QVERIFY2(live, qPrintable(opened.message));
        QVERIFY(live->watch());
        LogServer liveServer(*live, QByteArray());
        QString error;
        QVERIFY(liveServer.start(QHostAddress::LocalHost, 0, &error));
        QVERIFY(at(QJsonDocument::fromJson(get(quint16(liveServer.url().port()), "/api/units").body)
                       .object(),
                   "units/0/station") == "\"s1\"");

        // Two viewers: each hears every change, as the same bytes.
        QTcpSocket viewers[2];
        for (QTcpSocket& viewer : viewers) {
            viewer.connectToHost(QHostAddress::LocalHost, quint16(liveServer.url().port()));
            QVERIFY(viewer.waitForConnected(3000));
            viewer.write(
                "GET /api/events HTTP/1.1\r\nHost: x\r\nAccept: text/event-stream\r\n\r\n");
        }
        QByteArray seen[2];
        const auto waitFor = [&](const QByteArray& text) {
            return QTest::qWaitFor(
                [&] {
                    for (int i = 0; i < 2; ++i)
                        seen[i] += viewers[i].readAll();
                    return seen[0].contains(text) && seen[1].contains(text);
                },
                10000);
        };
        QVERIFY(waitFor("event: snapshot\ndata: "));
        QVERIFY(seen[0].startsWith("HTTP/1.1 200"));
        QVERIFY(seen[0].contains("text/event-stream"));
        QTRY_COMPARE(liveServer.listeners(), 2);
        seen[0].clear();
        seen[1].clear();
        if (restart) {
            // The server goes away and comes back: the view connects and
            // listens again (the burst below is heard only then).
            pg.stop();
            QVERIFY(pg.resume());
            ChipRecord after = chip("s5", "COM4", QDateTime::currentDateTimeUtc(), true, "L5");
            QVERIFY(writer->writeRecord(after));
            QVERIFY(waitFor("\"station\":\"s5\""));
            seen[0].clear();
            seen[1].clear();
        }

        // A station's burst of writes is one change, read once for every viewer.
        QSignalSpy changes(live.get(), &LogDashboard::changed);
        ChipRecord cut = chip("s9", "COM4", QDateTime::currentDateTimeUtc(), false, "L9");
        ChipRecord passed = chip("s8", "COM4", QDateTime::currentDateTimeUtc(), true, "L9");
        ChipRecord failed = chip("s7", "COM4", QDateTime::currentDateTimeUtc(), false, "L9");
        QVERIFY(writer->openRecord(cut) && writer->writeRecord(passed) &&
                writer->writeRecord(failed));
        QVERIFY(waitFor("\"station\":\"s7\""));
        QCOMPARE(seen[0], seen[1]);
        QVERIFY(seen[0].contains("\"s9\"") && seen[0].contains("\"s8\""));
        QVERIFY(get(quint16(liveServer.url().port()), "/api/units").body.contains("\"s7\""));
        QTest::qWait(1500);
        QVERIFY(changes.count() >= 1);
        QVERIFY2(changes.count() <= mostChanges, qPrintable(QString::number(changes.count())));
    }

    // A station whose database user may not add triggers (a log made by an
    // older program, owned by someone else) still opens the log and writes
    // its chips; only the live view refuses, saying what the log lacks.
    void stationWithoutTriggerRights() {
        PgServer pg;
        if (!pg.start())
            QSKIP(qPrintable(pg.error()));
        {
            Status status;
            QVERIFY2(ProductionLog::open(pg.url(), {true, {}, false}, &status),
                     qPrintable(status.message));
        }
        {
            auto admin = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), "admin");
            admin.setHostName(QStringLiteral("127.0.0.1"));
            admin.setPort(pg.port());
            admin.setUserName(QStringLiteral("postgres"));
            admin.setDatabaseName(QStringLiteral("postgres"));
            QVERIFY2(admin.open(), qPrintable(admin.lastError().text()));
            QSqlQuery query(admin);
            for (const char* statement :
                 {"DROP TRIGGER varn_log_changed_records ON chip_records",
                  "CREATE ROLE station LOGIN", "GRANT USAGE, CREATE ON SCHEMA public TO station",
                  "GRANT ALL ON ALL TABLES IN SCHEMA public TO station",
                  "GRANT ALL ON ALL SEQUENCES IN SCHEMA public TO station"})
                QVERIFY2(query.exec(QLatin1String(statement)), statement);
        }
        QSqlDatabase::removeDatabase("admin");
        QString station = pg.url();
        station.replace(QStringLiteral("postgres@"), QStringLiteral("station@"));

        Status status;
        std::unique_ptr<ProductionLog> writer =
            ProductionLog::open(station, {false, {}, false}, &status);
        QVERIFY2(writer, qPrintable(status.message));
        ChipRecord record = chip("s1", "COM1", QDateTime::currentDateTimeUtc(), true, "L1");
        QVERIFY(writer->writeRecord(record));

        std::unique_ptr<LogDashboard> live = LogDashboard::open(station, &status);
        QVERIFY2(live, qPrintable(status.message));
        const Status watched = live->watch();
        QVERIFY(!watched);
        VERIFY_CONTAINS(watched.message, "no change notice");
    }
};

QTEST_MAIN(TestServe)
#include "tst_serve.moc"
