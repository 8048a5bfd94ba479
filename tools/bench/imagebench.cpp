#include "imagebench.h"

#include "bare.h"
#include "report.h"

#include "core/protocol.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>
#include <vector>

namespace varn::bench {

namespace {

constexpr int DeviceBytes = 65536;
constexpr int ImageBytes = 2048;
// The fixed waits of the cycle: the unit is given its full second to answer
// the identification, the load sequence pauses four times 250 ms, and Erase
// is followed by 1000 ms.
constexpr double IdentifyWaitNs = 1000e6;
constexpr double LoadPausesNs = 4 * 250e6;
constexpr double ErasePauseNs = 1000e6;
constexpr double WaitsNs = IdentifyWaitNs + LoadPausesNs + ErasePauseNs;

bool Write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Intel HEX of data at address 0, 16 bytes a record.
QByteArray HexFile(const QByteArray& data) {
    QByteArray text;
    for (int a = 0; a < data.size(); a += 16) {
        const QByteArray chunk = data.mid(a, 16);
        QByteArray record =
            QByteArray(1, char(chunk.size())) + char(a >> 8) + char(a & 0xFF) + char(0) + chunk;
        int sum = 0;
        for (char c : record)
            sum += quint8(c);
        text += ':' + (record + char(-sum)).toHex().toUpper() + "\r\n";
    }
    return text + ":00000001FF\r\n";
}

// The bytes the cycle puts on the line in both directions when it exchanges
// `blocks` blocks: identification, load sequence and erase commands, blank
// check and verify requests with their replies, program frames with their
// acknowledgements and the two 'W'.
double LineBytes(int blocks) {
    const int identify = wire::CommandFrameBytes + wire::IdentifyReplyBytes;
    const int commands = 5 * wire::CommandFrameBytes + wire::CommandFrameBytes;
    const int read = wire::CommandFrameBytes + wire::AddressFrameBytes + wire::ReadReplyBytes;
    const int program = wire::BlockFrameBytes + wire::AckBytes;
    return identify + commands + 2.0 * blocks * read + double(blocks) * program +
           2 * wire::CommandFrameBytes;
}

double BoundNs(int blocks) {
    return LineBytes(blocks) * double(wire::ByteTimeNs) + WaitsNs;
}

// varn.cfg, varn.dev (one 64 KiB device), an empty auto.cfg and the 2 KiB
// image as Intel HEX.
bool WriteWorkFolder(const QTemporaryDir& dir) {
    QByteArray image(ImageBytes, '\0');
    for (int i = 0; i < ImageBytes; ++i)
        image[i] = char((i * 13 + i / 251) & 0x7F); // no block all FF
    return dir.isValid() && Write(dir.filePath(QStringLiteral("varn.cfg")), "1\r\n1\r\n1\r\n") &&
           Write(dir.filePath(QStringLiteral("varn.dev")),
                 QStringLiteral("\"TEST\",1,%1\r\n").arg(DeviceBytes).toLatin1()) &&
           Write(dir.filePath(QStringLiteral("auto.cfg")), "0\r\n") &&
           Write(dir.filePath(QStringLiteral("image.hex")), HexFile(image));
}

// A varn-unit at 57,600-baud emulation; empty, or why it did not start.
QString StartUnit(ChildProcess& unit, const QString& unitPath, const QTemporaryDir& dir,
                  QString& port) {
    std::string why;
    if (!unit.start({unitPath.toStdString(), "--baud-emulation", "--dev",
                     dir.filePath(QStringLiteral("varn.dev")).toStdString()},
                    why))
        return QString::fromStdString(why);
    port = QString::fromStdString(unit.readLine(5000));
    return port.isEmpty() ? QStringLiteral("no terminal printed") : QString();
}

// One chip of a --repeat run: the unit stays identified, so the chip's
// bound is the cycle's without the identification and its full second.
double ChipBoundNs(int blocks) {
    const int identify = wire::CommandFrameBytes + wire::IdentifyReplyBytes;
    return BoundNs(blocks) - IdentifyWaitNs - identify * double(wire::ByteTimeNs);
}

struct CycleRun {
    bool ok = false;
    double wallNs = 0;
    QString error;
};

CycleRun RunCycle(const QString& folder, const QString& cliPath, const QString& port,
                  bool onlyImage) {
    std::vector<std::string> argv{cliPath.toStdString(), "--quiet", "--port", port.toStdString()};
    if (onlyImage)
        argv.emplace_back("--only-image");
    for (const char* word : {"load", "image.hex", "erase", "blank", "program", "verify"})
        argv.emplace_back(word);
    CycleRun run;
    const TimedRun timed = RunTimed(folder.toStdString(), argv, 5 * 60 * 1000);
    if (!timed.error.empty()) {
        run.error = QString::fromStdString(timed.error);
        return run;
    }
    const QString out = QString::fromStdString(timed.out);
    run.wallNs = timed.wallNs;
    // Quiet: a good run prints nothing.
    run.ok = out.trimmed().isEmpty();
    if (!run.ok)
        run.error = QStringLiteral("varn-cli printed: ") + out.simplified();
    return run;
}

// One varn-cli --repeat run of `chips` chips on the given units: the time
// of each chip after the first, from the Enter that asks for it to the
// prompt for the next (start-up and identification are in the first).
struct RepeatRun {
    std::vector<double> chipNs;
    QString error;
};

RepeatRun RunRepeat(const QString& folder, const QString& cliPath, const QStringList& ports,
                    int chips) {
    RepeatRun run;
    QStringList arguments{QStringLiteral("--quiet"), QStringLiteral("--repeat"),
                          QStringLiteral("--only-image")};
    for (const QString& port : ports)
        arguments << QStringLiteral("--port") << port;
    for (const char* word : {"load", "image.hex", "erase", "blank", "program", "verify"})
        arguments << QString::fromLatin1(word);
    QProcess cli;
    cli.setWorkingDirectory(folder);
    cli.setReadChannel(QProcess::StandardError);
    cli.start(cliPath, arguments);
    if (!cli.waitForStarted(10000)) {
        run.error = QStringLiteral("varn-cli did not start: ") + cli.errorString();
        return run;
    }
    const QByteArray prompt("Enter continues, q ends.");
    QByteArray err;
    QElapsedTimer clock;
    clock.start();
    qint64 askedAt = 0;
    int prompts = 0;
    const QDeadlineTimer limit(qint64(chips) * 60 * 1000);
    while (prompts < chips && cli.state() != QProcess::NotRunning && !limit.hasExpired()) {
        cli.waitForReadyRead(100);
        err += cli.readAllStandardError();
        const int seen = int(err.count(prompt));
        if (seen == prompts)
            continue;
        if (prompts > 0)
            run.chipNs.push_back(double(clock.nsecsElapsed() - askedAt));
        prompts = seen;
        // The prompt is out, so the Enter is not taken for a key pressed early.
        askedAt = clock.nsecsElapsed();
        cli.write(prompts < chips ? "\n" : "q\n");
    }
    cli.closeWriteChannel();
    if (!cli.waitForFinished(30000))
        cli.kill();
    const QString out = QString::fromLocal8Bit(cli.readAllStandardOutput());
    const qsizetype passes = out.count(QStringLiteral(" PASS "));
    if (prompts < chips || passes != qsizetype(chips) * ports.size()) {
        run.chipNs.clear();
        run.error =
            QStringLiteral("%1 of %2 prompts, %3 PASS rows: ").arg(prompts).arg(chips).arg(passes) +
            QString::fromLocal8Bit(err).simplified().right(200);
    }
    return run;
}

} // namespace

void MeasureRepeatCycle(Table& table, int chips, int units, const QString& cliPath,
                        const QString& unitPath) {
    table.section(QStringLiteral("Per-chip cycle in --repeat: 2 KiB image, --only-image, 64 KiB "
                                 "device, erase blank program verify, 57,600-baud emulation"));
    QTemporaryDir dir;
    if (!WriteWorkFolder(dir)) {
        table.failed(QStringLiteral("Per-chip cycle"),
                     QStringLiteral("cannot write a work folder"));
        return;
    }
    std::vector<std::unique_ptr<ChildProcess>> unitProcesses;
    QStringList ports;
    for (int i = 0; i < units; ++i) {
        unitProcesses.push_back(std::make_unique<ChildProcess>());
        QString port;
        if (const QString why = StartUnit(*unitProcesses.back(), unitPath, dir, port);
            !why.isEmpty()) {
            table.failed(QStringLiteral("Virtual unit"), why);
            return;
        }
        ports << port;
    }
    const int blocks = ImageBytes / wire::BlockBytes;
    const double bound = ChipBoundNs(blocks);
    table.info(
        QStringLiteral("Bound of one chip (%1 blocks, no identification)").arg(blocks),
        Duration(bound),
        QStringLiteral("%1 bytes on the line + 2 s of fixed waits")
            .arg(qint64(LineBytes(blocks)) - wire::CommandFrameBytes - wire::IdentifyReplyBytes));

    // One unit before and after the group, as the other sections do.
    std::vector<double> one;
    std::vector<double> all;
    QString error;
    const QList<QStringList> groups{ports.mid(0, 1), ports, ports.mid(0, 1)};
    for (const QStringList& group : units < 2 ? groups.mid(0, 1) : groups) {
        const RepeatRun run = RunRepeat(dir.path(), cliPath, group, chips);
        if (!run.error.isEmpty())
            error = run.error;
        std::vector<double>& into = group.size() == 1 ? one : all;
        into.insert(into.end(), run.chipNs.begin(), run.chipNs.end());
    }
    for (const auto& unit : unitProcesses)
        unit->stop();
    if (one.empty()) {
        table.failed(QStringLiteral("Per chip, one unit"), error);
        return;
    }
    const double single = Median(one);
    table.target(QStringLiteral("Per chip, one unit"), DurationSpread(one),
                 QStringLiteral("<= 1.05 x of its bound"), single <= 1.05 * bound);
    table.info(QStringLiteral("  one unit / its bound"), Ratio(single / bound));
    if (units < 2)
        return;
    if (all.empty()) {
        table.failed(QStringLiteral("Per chip, %1 units at once").arg(units), error);
        return;
    }
    const double several = Median(all);
    table.info(QStringLiteral("Per chip, %1 units at once").arg(units), DurationSpread(all));
    table.target(QStringLiteral("  %1 units / one unit").arg(units), Ratio(several / single),
                 QStringLiteral("<= 1.05 x"), several <= 1.05 * single);
}

void MeasureImageCycle(Table& table, int repeat, const QString& cliPath, const QString& unitPath) {
    table.section(QStringLiteral("2 KiB image on a 64 KiB device: varn-cli erase blank program "
                                 "verify, 57,600-baud emulation"));
    QTemporaryDir dir;
    if (!WriteWorkFolder(dir)) {
        table.failed(QStringLiteral("Image cycle"), QStringLiteral("cannot write a work folder"));
        return;
    }
    ChildProcess unit;
    QString port;
    if (const QString why = StartUnit(unit, unitPath, dir, port); !why.isEmpty()) {
        table.failed(QStringLiteral("Virtual unit"), why);
        return;
    }

    const int imageBlocks = ImageBytes / wire::BlockBytes;
    const int deviceBlocks = DeviceBytes / wire::BlockBytes;
    table.info(QStringLiteral("Bound, whole device (%1 blocks)").arg(deviceBlocks),
               Duration(BoundNs(deviceBlocks)),
               QStringLiteral("%1 bytes on the line + 3 s of fixed waits")
                   .arg(qint64(LineBytes(deviceBlocks))));
    table.info(QStringLiteral("Bound, only the image (%1 blocks)").arg(imageBlocks),
               Duration(BoundNs(imageBlocks)),
               QStringLiteral("%1 bytes on the line + 3 s of fixed waits")
                   .arg(qint64(LineBytes(imageBlocks))));

    // The whole device once (it takes most of a minute), the image as often
    // as asked.
    const CycleRun whole = RunCycle(dir.path(), cliPath, port, false);
    std::vector<double> only;
    QString error;
    for (int i = 0; i < repeat; ++i) {
        const CycleRun r = RunCycle(dir.path(), cliPath, port, true);
        if (r.ok)
            only.push_back(r.wallNs);
        else
            error = r.error;
    }
    unit.stop();

    if (whole.ok) {
        const double ratio = whole.wallNs / BoundNs(deviceBlocks);
        table.info(QStringLiteral("Cycle, whole device"), Duration(whole.wallNs),
                   QStringLiteral("%1 of its bound").arg(Ratio(ratio)));
    } else {
        table.failed(QStringLiteral("Cycle, whole device"), whole.error);
    }
    if (only.empty()) {
        table.failed(QStringLiteral("Cycle, --only-image"), error);
        return;
    }
    const double median = Median(only);
    table.target(QStringLiteral("Cycle, --only-image"), DurationSpread(only),
                 QStringLiteral("<= 6 s"), median <= 6e9);
    const double ratio = median / BoundNs(imageBlocks);
    table.target(QStringLiteral("  --only-image / its bound"), Ratio(ratio),
                 QStringLiteral("<= 1.10 x"), ratio <= 1.10);
    if (whole.ok)
        table.info(QStringLiteral("  whole device / --only-image"), Ratio(whole.wallNs / median));
}

} // namespace varn::bench
