// varn-bench: how much time the host program adds to the unit's line, and how
// fast the buffer window and the image files are. Prints one table; every
// figure is measured in this run.
//
//   varn-bench [--repeat N] [--baud-repeat N] [--editor-repeat N] [--no-baud]
//              [--log-records N] [--report-records N] [--units N] [--unit PATH]
//              [--cli PATH] [--view-records N] [--no-view-indexes]
//              [--stations N] [--viewers N] [--live-seconds N]

#include "bare.h"
#include "editorbench.h"
#include "hostbench.h"
#include "imagebench.h"
#include "jsonbench.h"
#include "logbench.h"
#include "multibench.h"
#include "netbench.h"
#include "report.h"
#include "reportbench.h"
#include "servebench.h"

#include "core/protocol.h"
#include "functions/functiontable.h"

#include <QApplication>
#include <QFile>
#include <QSysInfo>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>

using namespace varn;
using namespace varn::bench;

namespace {

constexpr double ByteNs = double(wire::BitsPerByte) / wire::BaudRate * 1e9;
// 4,096 blocks of a 64 KiB device unless --kib asks for a smaller one (for
// quick looks; the targets are meant for 64 KiB).
int Blocks = 4096;
double ReadLineBytes() {
    return double(Blocks) *
           (wire::CommandFrameBytes + wire::AddressFrameBytes + wire::ReadReplyBytes);
}
double ProgramLineBytes() {
    return double(Blocks) * (wire::BlockFrameBytes + wire::AckBytes) + 2 * wire::CommandFrameBytes;
}

struct Options {
    int repeat = 5;
    int baudRepeat = 1;
    int editorRepeat = 200;
    int kib = 64;
    int logRecords = 200;
    int reportRecords = 100000;
    int viewRecords = 1000000;
    bool viewIndexes = true;
    int stations = 20;
    int viewers = 50;
    int liveSeconds = 30;
    std::string only; // "line", "baud" or "editor": that part alone
    bool baud = true;
    int units = 8;
    std::string unit = VARN_UNIT_PATH;
    std::string cli = VARN_CLI_PATH;
};

[[noreturn]] void Usage(const char* why) {
    std::fprintf(stderr,
                 "varn-bench: %s\n"
                 "usage: varn-bench [--repeat N] [--baud-repeat N] [--editor-repeat N] "
                 "[--kib N] [--log-records N] [--report-records N] [--no-baud] "
                 "[--only "
                 "line|baud|editor|log|report|serve|views|views-sqlite|views-postgresql|live|"
                 "export|units|image|cycle|net|json] "
                 "[--units N] [--unit PATH] [--cli PATH] [--view-records N] [--no-view-indexes] "
                 "[--stations N] [--viewers N] [--live-seconds N]\n",
                 why);
    std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto number = [&]() {
            if (i + 1 >= argc)
                Usage((arg + " needs a value").c_str());
            const int n = std::atoi(argv[++i]);
            if (n < 1)
                Usage((arg + " needs a number of at least 1").c_str());
            return n;
        };
        if (arg == "--repeat")
            o.repeat = number();
        else if (arg == "--baud-repeat")
            o.baudRepeat = number();
        else if (arg == "--editor-repeat")
            o.editorRepeat = number();
        else if (arg == "--log-records")
            o.logRecords = number();
        else if (arg == "--report-records")
            o.reportRecords = number();
        else if (arg == "--view-records")
            o.viewRecords = number();
        else if (arg == "--no-view-indexes")
            o.viewIndexes = false;
        else if (arg == "--stations")
            o.stations = number();
        else if (arg == "--viewers")
            o.viewers = number();
        else if (arg == "--live-seconds")
            o.liveSeconds = number();
        else if (arg == "--kib")
            o.kib = std::min(64, number());
        else if (arg == "--only" && i + 1 < argc)
            o.only = argv[++i];
        else if (arg == "--help" || arg == "-h")
            Usage("benchmarks of the serial link, the device functions and the editor");
        else if (arg == "--no-baud")
            o.baud = false;
        else if (arg == "--unit" && i + 1 < argc)
            o.unit = argv[++i];
        else if (arg == "--units")
            o.units = number();
        else if (arg == "--cli" && i + 1 < argc)
            o.cli = argv[++i];
        else
            Usage(("unknown option " + arg).c_str());
    }
    return o;
}

QString FirstLineOf(const QString& path, const QString& prefix) {
    // Files under /proc report a size of 0, so read until the end comes.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& raw : lines) {
        const QString line = QString::fromLocal8Bit(raw).trimmed();
        if (line.startsWith(prefix))
            return line.mid(line.indexOf(QLatin1Char(':')) + 1).trimmed();
    }
    return {};
}

QString LoadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2);
}

// A far side on a pseudo-terminal: the bare responder or the virtual unit.
struct FarSide {
    ChildProcess process;
    QString path;
    QString error;

    bool start(const std::vector<std::string>& argv) {
        std::string why;
        if (!process.start(argv, why)) {
            error = QString::fromStdString(why);
            return false;
        }
        path = QString::fromStdString(process.readLine(5000));
        if (path.isEmpty())
            error = QStringLiteral("%1 did not print its terminal").arg(argv[0].c_str());
        return !path.isEmpty();
    }
};

struct Samples {
    std::vector<double> wall;
    std::vector<double> cpu;
    QString error;
};

const int HostCodes[] = {FnBlank, FnProgram, FnRead, FnVerify};

QString NameOf(int code) {
    switch (code) {
    case FnRead:
        return QStringLiteral("Read");
    case FnBlank:
        return QStringLiteral("Blank check");
    case FnProgram:
        return QStringLiteral("Program");
    case FnVerify:
        return QStringLiteral("Verify");
    default:
        return QString::number(code);
    }
}

ExchangeKind KindOf(int code) {
    const FunctionRow* row = FindFunction(code);
    return row && row->exchange == Exchange::Program ? ExchangeKind::Program : ExchangeKind::Read;
}

// One round: the bare client's two kinds of exchange, the host's four
// functions on a freshly erased device (blank check first, program, then
// read and verify what was programmed), and the bare client again, so that a
// change in the machine's load during the round weighs on both sides alike.
void Bare(const QString& path, std::map<ExchangeKind, Samples>& bare) {
    for (ExchangeKind kind : {ExchangeKind::Read, ExchangeKind::Program}) {
        const BareResult r = RunBareClientProcess(path.toStdString(), kind, Blocks);
        if (!r.ok) {
            bare[kind].error = QString::fromStdString(r.error);
            continue;
        }
        bare[kind].wall.push_back(double(r.wallNs));
        bare[kind].cpu.push_back(double(r.cpuNs));
    }
}

void Round(const QString& path, std::map<ExchangeKind, Samples>& bare,
           std::map<int, Samples>& host) {
    Bare(path, bare);
    HostBench bench(Blocks * 16);
    QString error;
    if (!bench.open(path, error)) {
        for (int code : HostCodes)
            host[code].error = error;
        return;
    }
    bench.erase();
    for (int code : HostCodes) {
        const HostRun r = bench.run(code);
        if (!r.ok) {
            host[code].error = QStringLiteral("ended with \"%1\"").arg(r.line);
            continue;
        }
        host[code].wall.push_back(r.wallNs);
        host[code].cpu.push_back(r.cpuNs);
    }
    bench.close();
    Bare(path, bare);
}

std::vector<double> PerExchange(const std::vector<double>& totals) {
    std::vector<double> out;
    for (double t : totals)
        out.push_back(t / Blocks);
    return out;
}

void FastLine(Table& table, const Options& options) {
    table.section(QStringLiteral("No line-rate emulation: time per exchange (%1 KiB, %2 "
                                 "exchanges)")
                      .arg(Blocks / 64)
                      .arg(Blocks));
    // The floor: two bare processes on a pseudo-terminal.
    FarSide echo;
    std::map<ExchangeKind, std::vector<double>> floor;
    if (!echo.start({SelfPath(), "--responder"})) {
        table.failed(QStringLiteral("Floor: bare client and bare responder"), echo.error);
    } else {
        for (int i = 0; i < options.repeat; ++i) {
            for (ExchangeKind kind : {ExchangeKind::Read, ExchangeKind::Program}) {
                const BareResult r = RunBareClientProcess(echo.path.toStdString(), kind, Blocks);
                if (r.ok)
                    floor[kind].push_back(double(r.wallNs) / Blocks);
            }
        }
        echo.process.stop();
        table.info(QStringLiteral("Floor, bare client <-> bare responder, 7 -> 17 bytes"),
                   DurationSpread(floor[ExchangeKind::Read]));
        table.info(QStringLiteral("Floor, bare client <-> bare responder, 21 -> 1 byte"),
                   DurationSpread(floor[ExchangeKind::Program]));
    }

    FarSide unit;
    if (!unit.start({options.unit})) {
        table.failed(QStringLiteral("Virtual unit without emulation"), unit.error);
        return;
    }
    std::map<ExchangeKind, Samples> bare;
    std::map<int, Samples> host;
    for (int i = 0; i < options.repeat; ++i)
        Round(unit.path, bare, host);
    unit.process.stop();

    std::map<ExchangeKind, double> bareMedian;
    for (ExchangeKind kind : {ExchangeKind::Read, ExchangeKind::Program}) {
        const QString name = kind == ExchangeKind::Read
                                 ? QStringLiteral("Bare client <-> varn-unit, 7 -> 17 bytes")
                                 : QStringLiteral("Bare client <-> varn-unit, 21 -> 1 byte");
        if (bare[kind].wall.empty()) {
            table.failed(name, bare[kind].error);
            continue;
        }
        bareMedian[kind] = Median(bare[kind].wall) / Blocks;
        table.info(name, DurationSpread(PerExchange(bare[kind].wall)));
    }
    for (int code : HostCodes) {
        const QString name = QStringLiteral("Host %1 <-> varn-unit").arg(NameOf(code));
        const Samples& s = host[code];
        if (s.wall.empty()) {
            table.failed(name, s.error);
            continue;
        }
        const double perExchange = Median(s.wall) / Blocks;
        table.info(name, DurationSpread(PerExchange(s.wall)));
        const ExchangeKind kind = KindOf(code);
        if (bareMedian.count(kind)) {
            const double ratio = perExchange / bareMedian[kind];
            table.target(QStringLiteral("  %1: host / bare client, same unit").arg(NameOf(code)),
                         Ratio(ratio), QStringLiteral("<= 2 x"), ratio <= 2.0);
        }
        if (!floor[kind].empty()) {
            const double ratio = perExchange / Median(floor[kind]);
            table.target(QStringLiteral("  %1: host / floor (bare responder)").arg(NameOf(code)),
                         Ratio(ratio), QStringLiteral("<= 2 x"), ratio <= 2.0);
        }
        double cpu = 0, wall = 0;
        for (size_t i = 0; i < s.wall.size(); ++i)
            cpu += s.cpu[i], wall += s.wall[i];
        table.info(QStringLiteral("  %1: host CPU / wall").arg(NameOf(code)), Percent(cpu / wall),
                   QStringLiteral("reference: the line is never idle here"));
    }
}

void EmulatedLine(Table& table, const Options& options) {
    table.section(QStringLiteral("varn-unit emulating 57,600 baud: whole function (%1 KiB)")
                      .arg(Blocks / 64));
    table.info(
        QStringLiteral("Line bound, Read / Verify / Blank check (%1 x 24 bytes)").arg(Blocks),
        Duration(ReadLineBytes() * ByteNs));
    table.info(QStringLiteral("Line bound, Program (%1 x 22 + 4 bytes)").arg(Blocks),
               Duration(ProgramLineBytes() * ByteNs));

    FarSide unit;
    if (!unit.start({options.unit, "--baud-emulation"})) {
        table.failed(QStringLiteral("Virtual unit emulating 57,600 baud"), unit.error);
        return;
    }
    std::map<ExchangeKind, Samples> bare;
    std::map<int, Samples> host;
    for (int i = 0; i < options.baudRepeat; ++i)
        Round(unit.path, bare, host);
    unit.process.stop();

    std::map<ExchangeKind, double> bareMedian;
    for (ExchangeKind kind : {ExchangeKind::Read, ExchangeKind::Program}) {
        const bool read = kind == ExchangeKind::Read;
        const QString name = (read ? QStringLiteral("Bare client, %1 x (7 -> 17 bytes)")
                                   : QStringLiteral("Bare client, %1 x (21 -> 1 byte) + 2 x 2"))
                                 .arg(Blocks);
        if (bare[kind].wall.empty()) {
            table.failed(name, bare[kind].error);
            continue;
        }
        bareMedian[kind] = Median(bare[kind].wall);
        table.info(name, DurationSpread(bare[kind].wall),
                   QStringLiteral("%1 of the line bound")
                       .arg(Ratio(bareMedian[kind] /
                                  ((read ? ReadLineBytes() : ProgramLineBytes()) * ByteNs))));
    }
    for (int code : HostCodes) {
        const QString name = QStringLiteral("Host %1").arg(NameOf(code));
        const Samples& s = host[code];
        if (s.wall.empty()) {
            table.failed(name, s.error);
            continue;
        }
        const double wall = Median(s.wall);
        table.info(name, DurationSpread(s.wall));
        const ExchangeKind kind = KindOf(code);
        if (bareMedian.count(kind)) {
            const double ratio = wall / bareMedian[kind];
            table.target(QStringLiteral("  %1: host / bare client").arg(NameOf(code)), Ratio(ratio),
                         QStringLiteral("<= 1.01 x"), ratio <= 1.01);
        }
        const double bound =
            (kind == ExchangeKind::Read ? ReadLineBytes() : ProgramLineBytes()) * ByteNs;
        table.target(QStringLiteral("  %1: host / line bound").arg(NameOf(code)),
                     Ratio(wall / bound), QStringLiteral("<= 1.05 x"), wall / bound <= 1.05);
        double cpu = 0, total = 0;
        for (size_t i = 0; i < s.wall.size(); ++i)
            cpu += s.cpu[i], total += s.wall[i];
        table.target(QStringLiteral("  %1: host CPU time / wall time").arg(NameOf(code)),
                     Percent(cpu / total), QStringLiteral("< 5 %"), cpu / total < 0.05);
    }
    for (ExchangeKind kind : {ExchangeKind::Read, ExchangeKind::Program}) {
        const Samples& s = bare[kind];
        double cpu = 0, total = 0;
        for (size_t i = 0; i < s.wall.size(); ++i)
            cpu += s.cpu[i], total += s.wall[i];
        if (total > 0)
            table.info(QStringLiteral("  Bare client CPU / wall, %1")
                           .arg(kind == ExchangeKind::Read ? QStringLiteral("7 -> 17")
                                                           : QStringLiteral("21 -> 1")),
                       Percent(cpu / total), QStringLiteral("reference"));
    }
}

void Editor(Table& table, const Options& options) {
    table.section(QStringLiteral("Buffer window and image files (64 KiB device, offscreen)"));
    const EditorTimes t = MeasureEditor(options.editorRepeat, 20);
    if (!t.error.isEmpty()) {
        table.failed(QStringLiteral("Buffer window and HEX files"), t.error);
        return;
    }
    const double ms = 1e6;
    table.target(QStringLiteral("UpdateBuffer (frmBuffer, with its repaint)"),
                 DurationSpread(t.updateBuffer), QStringLiteral("< 2 ms"),
                 Median(t.updateBuffer) < 2 * ms);
    table.info(QStringLiteral("  of which text and checksum (HexView)"),
               DurationSpread(t.viewOnly));
    table.target(QStringLiteral("Typed digit, key press to repainted window"),
                 DurationSpread(t.typedDigit), QStringLiteral("< 2 ms"),
                 Median(t.typedDigit) < 2 * ms);
    table.target(QStringLiteral("Load 64 KiB Intel HEX file"), DurationSpread(t.hexLoad),
                 QStringLiteral("< 20 ms"), Median(t.hexLoad) < 20 * ms);
    table.target(QStringLiteral("Save 64 KiB Intel HEX file"), DurationSpread(t.hexSave),
                 QStringLiteral("< 20 ms"), Median(t.hexSave) < 20 * ms);
}

} // namespace

int main(int argc, char** argv) {
    // The bare modes run before anything of Qt exists in the process.
    if (argc >= 2 && std::strcmp(argv[1], "--responder") == 0)
        return RunResponder();
    if (argc >= 2 && std::strcmp(argv[1], "--bare-client") == 0)
        return RunBareClient(argc - 2, argv + 2);

    const Options options = ParseOptions(argc, argv);
    Blocks = options.kib * 1024 / 16;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const QString cpu = FirstLineOf(QStringLiteral("/proc/cpuinfo"), QStringLiteral("model name"));
    std::printf("varn-bench on %d processors (%s), kernel %s; load average at start %s\n",
                QThread::idealThreadCount(), qPrintable(cpu), qPrintable(QSysInfo::kernelVersion()),
                qPrintable(LoadAverage()));
    std::printf("Runs: %d per figure without emulation, %d with 57,600-baud emulation (the bare "
                "client twice as often: before and after the host), %d for the window, 20 for "
                "files; medians shown.\n\n",
                options.repeat, options.baud ? options.baudRepeat : 0, options.editorRepeat);
    std::fflush(stdout);

    Table table;
    const auto wanted = [&](const char* part) {
        return options.only.empty() || options.only == part;
    };
    if (wanted("line"))
        FastLine(table, options);
    if (options.baud && wanted("baud"))
        EmulatedLine(table, options);
    if (wanted("editor"))
        Editor(table, options);
    if (wanted("log"))
        MeasureProductionLog(table, options.logRecords);
    if (wanted("report"))
        MeasureReport(table, options.reportRecords);
    if (wanted("serve"))
        MeasureServe(table, options.reportRecords);
    // A million records take minutes to seed: asked for by name only.
    if (options.only == "views" || options.only == "views-sqlite" ||
        options.only == "views-postgresql")
        MeasureServeViews(table, options.viewRecords, options.viewIndexes,
                          QString::fromStdString(options.only).mid(6));
    if (options.only == "live")
        MeasureServeLive(table, options.stations, options.viewers, options.liveSeconds,
                         QString::fromStdString(options.cli));
    if (wanted("export"))
        MeasureExport(table, options.reportRecords, QString::fromStdString(options.cli));
    if (options.baud && wanted("image"))
        MeasureImageCycle(table, options.baudRepeat < 3 ? 3 : options.baudRepeat,
                          QString::fromStdString(options.cli),
                          QString::fromStdString(options.unit));
    if (options.baud && wanted("cycle"))
        MeasureRepeatCycle(table, options.baudRepeat < 5 ? 5 : options.baudRepeat, options.units,
                           QString::fromStdString(options.cli),
                           QString::fromStdString(options.unit));
    if (options.baud && wanted("net"))
        MeasureNetworkFunctions(table, options.baudRepeat, Blocks,
                                QString::fromStdString(options.unit));
    if (options.baud && wanted("json"))
        MeasureJsonOverhead(table, options.baudRepeat < 3 ? 3 : options.baudRepeat,
                            QString::fromStdString(options.cli),
                            QString::fromStdString(options.unit));
    if (options.baud && wanted("units"))
        MeasureSeveralUnits(table, options.units, options.kib, QString::fromStdString(options.cli),
                            QString::fromStdString(options.unit));

    std::printf("%s\n", qPrintable(table.text()));
    std::printf("%d MISS, %d not measured; load average at the end %s\n", table.misses(),
                table.failures(), qPrintable(LoadAverage()));
    const QString arguments = QCoreApplication::arguments().mid(1).join(QLatin1Char(' '));
    std::printf("Reproduce: bash scripts/bench.sh %s   (or, once built: build/bin/varn-bench %s)\n",
                qPrintable(arguments), qPrintable(arguments));
    return table.failures() ? 1 : 0;
}
