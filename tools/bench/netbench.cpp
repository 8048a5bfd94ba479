#include "netbench.h"

#include "bare.h"
#include "hostbench.h"
#include "report.h"

#include "core/protocol.h"
#include "functions/functionresult.h"
#include "tools/terminalserver/terminalserver.h"

#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <vector>

namespace varn::bench {

namespace {

// One timed run of the function through the address; 0 with `error` set
// when it failed.
double RunThrough(int function, const QString& address, int blocks, QString& error) {
    HostBench bench(blocks * wire::BlockBytes);
    if (!bench.open(address, error))
        return 0;
    const HostRun run = bench.run(function);
    bench.close();
    if (!run.ok) {
        error = QStringLiteral("%1: ended with \"%2\"").arg(address, run.line);
        return 0;
    }
    return run.wallNs;
}

} // namespace

void MeasureNetworkFunctions(Table& table, int rounds, int blocks, const QString& unitPath) {
    table.section(QStringLiteral("A unit on the network: whole-device Program and Verify (%1 KiB) "
                                 "through rfc2217:// on loopback, 57,600-baud emulation")
                      .arg(blocks / 64));
    const QString figure = QStringLiteral("rfc2217:// / direct");
    // The unit holds what the bench's buffer holds, so Verify reads it all.
    QTemporaryDir dir;
    const QString memory = dir.filePath(QStringLiteral("memory.bin"));
    {
        QFile file(memory);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(HostBench(blocks * wire::BlockBytes).image()) < 0)
            return table.failed(figure, QStringLiteral("cannot write %1").arg(memory));
    }
    ChildProcess unit;
    std::string why;
    if (!unit.start({unitPath.toStdString(), "--baud-emulation", "--memory", memory.toStdString()},
                    why))
        return table.failed(figure, QString::fromStdString(why));
    const QString path = QString::fromStdString(unit.readLine(5000));
    if (path.isEmpty())
        return table.failed(figure, QStringLiteral("varn-unit printed no terminal"));
    if (const QString why = TerminalServer::missing(); !why.isEmpty())
        return table.failed(figure, why);
    TerminalServer server(path);
    if (!server.start())
        return table.failed(figure, server.error());
    const QString url = server.rfc2217Url();

    for (const auto& [function, name] :
         {std::pair{int(FnProgram), "Program"}, std::pair{int(FnVerify), "Verify"}}) {
        std::vector<double> direct, network, ratios;
        for (int round = 0; round < rounds; ++round) {
            QString error;
            // Each network run sits between two direct ones, so that a
            // machine growing busier or quieter shows in both.
            const double before = RunThrough(function, path, blocks, error);
            const double through = before ? RunThrough(function, url, blocks, error) : 0;
            // ser2net lets go of the device a moment after the connection
            // ends; until then it would take a share of the replies.
            QThread::msleep(500);
            const double after = through ? RunThrough(function, path, blocks, error) : 0;
            if (!after)
                return table.failed(QLatin1String(name), error);
            direct.push_back(before);
            direct.push_back(after);
            network.push_back(through);
            ratios.push_back(through / ((before + after) / 2));
        }
        table.info(QStringLiteral("%1, unit opened directly (before and after)").arg(name),
                   DurationSpread(direct));
        table.info(QStringLiteral("%1 through rfc2217:// (ser2net, loopback)").arg(name),
                   DurationSpread(network));
        const double ratio = Median(ratios);
        // Each round's own ratio too: on a busy machine they scatter.
        const QString spread = rounds < 2 ? QString()
                                          : QStringLiteral(", %1 .. %2")
                                                .arg(QString::number(Minimum(ratios), 'f', 3),
                                                     QString::number(Maximum(ratios), 'f', 3));
        table.target(QStringLiteral("%1: %2").arg(name, figure),
                     Ratio(ratio) + QStringLiteral(" (median of %1%2)").arg(rounds).arg(spread),
                     QStringLiteral("<= 1.05 x"), ratio <= 1.05);
    }
    unit.stop();
}

} // namespace varn::bench
