#include "jsonbench.h"

#include "bare.h"
#include "report.h"

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <vector>

namespace varn::bench {

namespace {

constexpr int DeviceBytes = 65536;

bool Write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

struct VerifyRun {
    bool ok = false;
    double wallNs = 0;
    double cpuNs = 0;
    int lines = 0; // JSON lines printed
    QString error;
};

// The buffer starts all FF and the unit's chip is blank: Verify compares
// every block and passes.
VerifyRun RunVerify(const QString& folder, const QString& cliPath, const QString& port, bool json) {
    std::vector<std::string> argv{cliPath.toStdString(), "--quiet", "--port", port.toStdString()};
    if (json)
        argv.emplace_back("--json");
    argv.emplace_back("verify");
    VerifyRun run;
    const TimedRun timed = RunTimed(folder.toStdString(), argv, 5 * 60 * 1000);
    if (!timed.error.empty()) {
        run.error = QString::fromStdString(timed.error);
        return run;
    }
    const QString out = QString::fromStdString(timed.out);
    run.wallNs = timed.wallNs;
    run.cpuNs = timed.cpuNs;
    run.lines = int(out.count(QLatin1Char('\n')));
    // Quiet: nothing without --json; with it, JSON Lines ending in a pass.
    run.ok = json ? out.contains(QStringLiteral("\"type\":\"run-finished\"")) &&
                        out.contains(QStringLiteral("\"outcome\":\"pass\""))
                  : out.trimmed().isEmpty();
    if (!run.ok)
        run.error = QStringLiteral("varn-cli printed: ") + out.simplified().left(300);
    return run;
}

} // namespace

void MeasureJsonOverhead(Table& table, int repeat, const QString& cliPath,
                         const QString& unitPath) {
    table.section(QStringLiteral("--json: varn-cli verify of a whole 64 KiB device, 57,600-baud "
                                 "emulation, with and without --json"));
    QTemporaryDir dir;
    if (!dir.isValid() || !Write(dir.filePath(QStringLiteral("varn.cfg")), "1\r\n1\r\n1\r\n") ||
        !Write(dir.filePath(QStringLiteral("varn.dev")),
               QStringLiteral("\"TEST\",1,%1\r\n").arg(DeviceBytes).toLatin1()) ||
        !Write(dir.filePath(QStringLiteral("auto.cfg")), "0\r\n")) {
        table.failed(QStringLiteral("--json overhead"),
                     QStringLiteral("cannot write a work folder"));
        return;
    }
    ChildProcess unit;
    std::string why;
    if (!unit.start({unitPath.toStdString(), "--baud-emulation", "--dev",
                     dir.filePath(QStringLiteral("varn.dev")).toStdString()},
                    why)) {
        table.failed(QStringLiteral("Virtual unit"), QString::fromStdString(why));
        return;
    }
    const QString port = QString::fromStdString(unit.readLine(5000));
    if (port.isEmpty()) {
        table.failed(QStringLiteral("Virtual unit"), QStringLiteral("no terminal printed"));
        return;
    }

    std::vector<double> plainWall, jsonWall, plainCpu, jsonCpu;
    int lines = 0;
    QString error;
    for (int i = 0; i < repeat; ++i) {
        // Alternating which goes first, so that neither always follows the other.
        for (const bool json : {i % 2 == 1, i % 2 == 0}) {
            const VerifyRun r = RunVerify(dir.path(), cliPath, port, json);
            if (!r.ok) {
                error = r.error;
                continue;
            }
            (json ? jsonWall : plainWall).push_back(r.wallNs);
            (json ? jsonCpu : plainCpu).push_back(r.cpuNs);
            if (json)
                lines = r.lines;
        }
    }
    unit.stop();
    if (plainWall.empty() || jsonWall.empty()) {
        table.failed(QStringLiteral("--json overhead"), error);
        return;
    }
    table.info(QStringLiteral("Verify without --json"), DurationSpread(plainWall),
               QStringLiteral("CPU %1").arg(DurationSpread(plainCpu)));
    table.info(QStringLiteral("Verify with --json"), DurationSpread(jsonWall),
               QStringLiteral("CPU %1; %2 JSON lines").arg(DurationSpread(jsonCpu)).arg(lines));
    // The runs of one kind differ among themselves by the line's and the
    // machine's jitter: a cost within that spread cannot be told from none.
    const double difference = Median(jsonWall) - Median(plainWall);
    const double spread =
        std::max(Maximum(plainWall) - Minimum(plainWall), Maximum(jsonWall) - Minimum(jsonWall));
    table.info(QStringLiteral("  with / without --json, wall time (medians)"),
               Ratio(Median(jsonWall) / Median(plainWall)),
               QStringLiteral("CPU %1").arg(Ratio(Median(jsonCpu) / Median(plainCpu))));
    table.target(
        QStringLiteral("  difference of the medians"),
        QStringLiteral("%1 ms").arg(difference / 1e6, 0, 'f', 1),
        QStringLiteral("within the spread of one kind (%1 ms)").arg(spread / 1e6, 0, 'f', 1),
        std::abs(difference) <= spread);
    if (!error.isEmpty())
        table.failed(QStringLiteral("--json overhead, a run"), error);
}

} // namespace varn::bench
