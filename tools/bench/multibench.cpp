#include "multibench.h"

#include "bare.h"
#include "report.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <memory>
#include <vector>

namespace varn::bench {

namespace {

struct CliRun {
    bool ok = false;
    double wallNs = 0;
    double cpuNs = 0; // user + system time of varn-cli
    QString error;
};

bool Write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// varn-cli reads its configuration from the current folder.
CliRun RunCli(const QString& folder, const QString& cliPath, const QStringList& ports) {
    std::vector<std::string> argv{cliPath.toStdString(), "--quiet", "--device", "1"};
    for (const QString& port : ports) {
        argv.push_back("--port");
        argv.push_back(port.toStdString());
    }
    for (const char* word : {"load", "image.bin", "program", "verify"})
        argv.emplace_back(word);

    CliRun run;
    const TimedRun timed = RunTimed(folder.toStdString(), argv, 10 * 60 * 1000);
    if (!timed.error.empty()) {
        run.error = QString::fromStdString(timed.error);
        return run;
    }
    run.wallNs = timed.wallNs;
    run.cpuNs = timed.cpuNs;
    // Quiet: one summary row per unit when there are several, nothing else.
    const QString text = QString::fromStdString(timed.out);
    const int passes = int(text.count(QStringLiteral(" PASS ")));
    run.ok = ports.size() == 1 ? text.trimmed().isEmpty() : passes == ports.size();
    if (!run.ok)
        run.error = QStringLiteral("varn-cli printed: ") + text.simplified();
    return run;
}

} // namespace

void MeasureSeveralUnits(Table& table, int units, int kib, const QString& cliPath,
                         const QString& unitPath) {
    table.section(QStringLiteral("Several units: one varn-cli, program + verify %1 KiB, "
                                 "57,600-baud emulation")
                      .arg(kib));
    QTemporaryDir dir;
    const int bytes = kib * 1024;
    QByteArray image(bytes, '\0');
    for (int i = 0; i < bytes; ++i)
        image[i] = char((i * 13 + i / 251) & 0x7F); // no block left out as blank
    if (!dir.isValid() || !Write(dir.filePath(QStringLiteral("varn.cfg")), "1\r\n1\r\n1\r\n") ||
        !Write(dir.filePath(QStringLiteral("varn.dev")),
               QStringLiteral("\"TEST\",1,%1\r\n").arg(bytes).toLatin1()) ||
        !Write(dir.filePath(QStringLiteral("auto.cfg")), "0\r\n") ||
        !Write(dir.filePath(QStringLiteral("image.bin")), image)) {
        table.failed(QStringLiteral("Several units"), QStringLiteral("cannot write a work folder"));
        return;
    }

    std::vector<std::unique_ptr<ChildProcess>> processes;
    QStringList ports;
    for (int i = 0; i < units; ++i) {
        auto process = std::make_unique<ChildProcess>();
        std::string why;
        if (!process->start({unitPath.toStdString(), "--baud-emulation", "--dev",
                             dir.filePath(QStringLiteral("varn.dev")).toStdString()},
                            why)) {
            table.failed(QStringLiteral("Virtual units"), QString::fromStdString(why));
            return;
        }
        const QString path = QString::fromStdString(process->readLine(5000));
        if (path.isEmpty()) {
            table.failed(QStringLiteral("Virtual units"), QStringLiteral("no terminal printed"));
            return;
        }
        ports << path;
        processes.push_back(std::move(process));
    }

    // The unit alone before and after, so that a change in the machine's load
    // during the measurement weighs on both sides.
    const CliRun before = RunCli(dir.path(), cliPath, ports.mid(0, 1));
    const CliRun all = RunCli(dir.path(), cliPath, ports);
    const CliRun after = RunCli(dir.path(), cliPath, ports.mid(0, 1));
    for (auto& process : processes)
        process->stop();
    if (!before.ok || !after.ok) {
        table.failed(QStringLiteral("One unit alone"), before.ok ? after.error : before.error);
        return;
    }
    CliRun one = before;
    one.wallNs = (before.wallNs + after.wallNs) / 2;
    one.cpuNs = (before.cpuNs + after.cpuNs) / 2;
    // Shown even when a unit of the group failed: it tells a busy machine
    // (both slow) from a fault of the group.
    table.info(
        QStringLiteral("One unit alone (whole varn-cli run, mean of before and after)"),
        Duration(one.wallNs),
        QStringLiteral("%1 and %2; CPU %3 of one core")
            .arg(Duration(before.wallNs), Duration(after.wallNs), Percent(one.cpuNs / one.wallNs)));
    if (!all.ok) {
        table.failed(QStringLiteral("%1 units at once").arg(units), all.error);
        return;
    }
    table.info(QStringLiteral("%1 units at once (whole varn-cli run)").arg(units),
               Duration(all.wallNs));
    const double ratio = all.wallNs / one.wallNs;
    table.target(QStringLiteral("  %1 units / one unit, wall time").arg(units), Ratio(ratio),
                 QStringLiteral("<= 1.15 x"), ratio <= 1.15);
    const double cpu = all.cpuNs / all.wallNs;
    table.target(QStringLiteral("  %1 units: varn-cli CPU / wall time").arg(units), Percent(cpu),
                 QStringLiteral("< 20 % of one core"), cpu < 0.20);
}

} // namespace varn::bench
