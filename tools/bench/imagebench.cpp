#include "imagebench.h"

#include "bare.h"
#include "report.h"

#include "core/protocol.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
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

} // namespace

void MeasureImageCycle(Table& table, int repeat, const QString& cliPath, const QString& unitPath) {
    table.section(QStringLiteral("2 KiB image on a 64 KiB device: varn-cli erase blank program "
                                 "verify, 57,600-baud emulation"));
    QTemporaryDir dir;
    QByteArray image(ImageBytes, '\0');
    for (int i = 0; i < ImageBytes; ++i)
        image[i] = char((i * 13 + i / 251) & 0x7F); // no block all FF
    if (!dir.isValid() || !Write(dir.filePath(QStringLiteral("varn.cfg")), "1\r\n1\r\n1\r\n") ||
        !Write(dir.filePath(QStringLiteral("varn.dev")),
               QStringLiteral("\"TEST\",1,%1\r\n").arg(DeviceBytes).toLatin1()) ||
        !Write(dir.filePath(QStringLiteral("auto.cfg")), "0\r\n") ||
        !Write(dir.filePath(QStringLiteral("image.hex")), HexFile(image))) {
        table.failed(QStringLiteral("Image cycle"), QStringLiteral("cannot write a work folder"));
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
