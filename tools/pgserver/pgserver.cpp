#include "pgserver.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace varn {

namespace {

// Debian keeps initdb and pg_ctl in a versioned folder off PATH.
QString findBinFolder() {
    const QDir root(QStringLiteral("/usr/lib/postgresql"));
    const QStringList versions = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (auto it = versions.crbegin(); it != versions.crend(); ++it) {
        const QString bin = root.filePath(*it + QStringLiteral("/bin"));
        if (QFile::exists(bin + QStringLiteral("/initdb")) &&
            QFile::exists(bin + QStringLiteral("/pg_ctl")))
            return bin;
    }
    return {};
}

int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

} // namespace

PgServer::~PgServer() {
    stop();
}

bool PgServer::fail(const QString& error) {
    errorText = error;
    return false;
}

bool PgServer::run(const QString& program, const QStringList& arguments, int timeoutMs) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (asPostgres)
        process.start("runuser", QStringList{"-u", "postgres", "--", program} + arguments);
    else
        process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        process.kill();
        process.waitForFinished(1000);
        return fail(QStringLiteral("%1 failed: %2")
                        .arg(QFileInfo(program).fileName(),
                             QString::fromLocal8Bit(process.readAll()).trimmed()));
    }
    return true;
}

bool PgServer::start() {
    binDir = findBinFolder();
    if (binDir.isEmpty())
        return fail("PostgreSQL is not installed (Debian package postgresql; scripts/setup.sh "
                    "installs it)");
    if (!dataDir.isValid())
        return fail("cannot create a temporary folder");
    asPostgres = geteuid() == 0;
    if (asPostgres) {
        const passwd* user = getpwnam("postgres");
        if (!user)
            return fail("running as root and there is no postgres user to run the server as");
        if (chown(QFile::encodeName(dataDir.path()).constData(), user->pw_uid, user->pw_gid) != 0)
            return fail("cannot hand the temporary folder to postgres");
    }
    const QString data = dataDir.filePath("data");
    if (!run(binDir + "/initdb", {"-D", data, "-A", "trust", "-U", "postgres", "--no-sync"}, 60000))
        return false;
    // A port just seen free may be taken again by the time the server binds
    // it; try a few.
    for (int attempt = 0; attempt < 5 && !running; ++attempt) {
        portNumber = freePort();
        running = launch();
    }
    QFile log(dataDir.filePath("log"));
    if (!running && log.open(QIODevice::ReadOnly))
        errorText += "\n" + QString::fromLocal8Bit(log.readAll().right(2000));
    return running;
}

bool PgServer::launch() {
    QString options = QStringLiteral("-k %1 -c listen_addresses=127.0.0.1 -p %2")
                          .arg(dataDir.path())
                          .arg(portNumber);
    if (!durable)
        options += " -c fsync=off";
    return run(binDir + "/pg_ctl",
               {"-D", dataDir.filePath("data"), "-o", options, "-l", dataDir.filePath("log"), "-w",
                "start"},
               60000);
}

bool PgServer::resume() {
    if (!running && portNumber != 0)
        running = launch();
    return running;
}

void PgServer::stop() {
    if (!running)
        return;
    running = false;
    run(binDir + "/pg_ctl", {"-D", dataDir.filePath("data"), "-m", "fast", "-w", "stop"}, 30000);
}
QString PgServer::url() const {
    return QStringLiteral("postgresql://postgres@127.0.0.1:%1/postgres").arg(portNumber);
}

} // namespace varn
