#pragma once

#include <QDir>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

namespace varn {

// A throwaway PostgreSQL server for one test or benchmark run, in a temporary data folder,
// listening on 127.0.0.1 and a socket in that folder; the system's own
// cluster is never touched. The server refuses to run as root, so under root
// it runs as the "postgres" user that Debian's package creates.
//
//     PgServer server;
//     if (!server.start())
//         QSKIP(qPrintable(server.error()));
//     log.open(server.url());
class PgServer {
public:
    PgServer() = default;
    ~PgServer();
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    // initdb + pg_ctl start; false with error() when the server cannot run
    // here (not installed, no postgres user).
    bool start();
    // Tests run with fsync off (faster, nothing to survive); a benchmark of
    // the cost of a durable record turns it back on before start().
    void setDurable(bool on) { durable = on; }
    void stop();
    // Starts the server again after stop(), on the same data and port (a
    // database restart as a line sees it).
    bool resume();
    // postgresql://postgres@127.0.0.1:PORT/postgres
    QString url() const;
    int port() const { return portNumber; }
    // The server's major version, from Debian's versioned folder ("15").
    QString version() const { return QFileInfo(binDir).dir().dirName(); }
    QString error() const { return errorText; }

private:
    bool fail(const QString& error);
    bool run(const QString& program, const QStringList& arguments, int timeoutMs);
    bool launch();

    QTemporaryDir dataDir;
    QString binDir;
    QString errorText;
    int portNumber = 0;
    bool running = false;
    bool asPostgres = false;
    bool durable = false;
};

} // namespace varn
