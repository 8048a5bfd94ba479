// varn-cli run as a process: arguments, exit statuses, texts printed, and what
// reaches the virtual unit. The engine and the file formats have tests of
// their own; these check what varn-cli adds to them.

#include "core/crc32.h"
#include "production/productionlog.h"
#include "support/rows.h"
#include "support/testsupport.h"
#include "support/virtualunit.h"
#include "tools/terminalserver/terminalserver.h"
#include "varn_version.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <memory>
#include <tuple>
#include <vector>

using namespace varn::test;

namespace {

// Exit statuses as documented in --help and the README.
constexpr int Ok = 0, Mismatch = 1, Usage = 2, Communication = 3, FileError = 4, LogError = 5,
              HookRefused = 6, HookFailed = 7, JobRefused = 8;

// A recognisable image without all-FF blocks.
QByteArray pattern(int size, int seed) {
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 7 + seed + i / 256) & 0x7F);
    return data;
}

QByteArray blank(int size) {
    return QByteArray(size, char(0xFF));
}

QString checksumText(const QByteArray& deviceBytes) {
    int sum = 0;
    for (char c : deviceBytes)
        sum += quint8(c);
    return QStringLiteral("%1").arg(sum & 0xFFFF, 4, 16, QLatin1Char('0')).toUpper();
}

struct CliResult {
    int exitCode = -1;
    QString out, err;
};

// A working folder with varn.cfg (device 1 selected), varn.dev and auto.cfg.
struct Workspace {
    explicit Workspace(bool withConfig = true) {
        if (withConfig) {
            write("varn.cfg", "1\r\n4\r\n1\r\n");
            write("varn.dev", "\"T256\",3,256\r\n\"T1K\",4,1024\r\n\"Big, 8K\",5,8192\r\n"
                              "\"T64K\",6,65536\r\n");
            write("auto.cfg", "0\r\n");
        }
    }
    QString path(const QString& name) const { return dir.filePath(name); }
    void write(const QString& name, const QByteArray& content) const {
        QVERIFY(WriteFile(path(name), content));
    }
    QByteArray read(const QString& name) const { return ReadFile(path(name)); }

    CliResult run(const QStringList& arguments, const QByteArray& input = {}) const {
        QProcess process;
        process.setWorkingDirectory(dir.path());
        process.setProcessEnvironment(environment());
        process.start(QStringLiteral(VARN_CLI_PATH), arguments);
        process.write(input);
        process.closeWriteChannel();
        CliResult result;
        if (!process.waitForStarted(10000) || !process.waitForFinished(120000)) {
            result.err = QStringLiteral("varn-cli did not finish");
            return result;
        }
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
        result.err = QString::fromLocal8Bit(process.readAllStandardError());
        return result;
    }

    // The local journal of the production log stays in the workspace.
    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", path("data"));
        return env;
    }

    // A unit that knows the same device table, with its memory preset.
    QStringList unitArguments(const QByteArray& memory, const QStringList& extra = {}) const {
        write("unit-memory.bin", memory.isEmpty() ? blank(65536) : memory);
        return QStringList{"--dev", path("varn.dev"), "--memory", path("unit-memory.bin")} + extra;
    }

    QTemporaryDir dir;
};

// Every record of the log at path, oldest first.
QList<varn::ChipRecord> readRecords(const QString& path) {
    varn::Status opened;
    const std::unique_ptr<varn::ProductionLog> log =
        varn::ProductionLog::open(path, varn::LogOpenOptions{}, &opened);
    QList<varn::ChipRecord> records;
    if (!log || !log->records(&records))
        qWarning("cannot read the log %s: %s", qPrintable(path), qPrintable(opened.message));
    return records;
}

// Every line varn-cli --json printed: valid against the schema in doc/ (with
// Debian's python3-jsonschema), and each an object. Returns the objects.
QList<QJsonObject> checkJsonLines(const QByteArray& out) {
    QList<QJsonObject> objects;
    for (const QByteArray& line : out.split('\n')) {
        if (!line.isEmpty())
            objects.append(QJsonDocument::fromJson(line).object());
    }
    if (const QByteArray faults = SchemaFaults(out); !faults.isEmpty()) {
        qWarning("%s", faults.constData());
        objects.clear();
    }
    return objects;
}

// The job with its digest made again, with Python as doc/job.md describes it
// (not with the program's own code).
QByteArray resealed(const QByteArray& job) {
    QProcess python;
    python.start("/usr/bin/python3",
                 {"-c", "import hashlib, json, sys\n"
                        "j = json.load(sys.stdin)\n"
                        "j.pop('digest', None)\n"
                        "t = json.dumps(j, sort_keys=True, separators=(',', ':'), "
                        "ensure_ascii=False)\n"
                        "j['digest'] = hashlib.sha256(t.encode('utf-8')).hexdigest()\n"
                        "print(json.dumps(j, indent=4))\n"});
    python.write(job);
    python.closeWriteChannel();
    python.waitForFinished(30000);
    return python.readAllStandardOutput();
}

#define START_UNIT(u) QVERIFY2((u).start(), qPrintable((u).error()))

// QVERIFY2 evaluates its message whether or not the check fails: r is
// evaluated once, so that CHECK_RUN(ws.run(...)) runs the command once.
#define CHECK_RUN(r, status)                                                                       \
    do {                                                                                           \
        const CliResult& checked_ = (r);                                                           \
        QVERIFY2(checked_.exitCode == (status),                                                    \
                 qPrintable(QStringLiteral("exit %1, stdout: %2, stderr: %3")                      \
                                .arg(checked_.exitCode)                                            \
                                .arg(checked_.out, checked_.err)));                                \
    } while (false)

} // namespace

using ConversionCase = std::tuple<QString, QByteArray, QStringList, QString, QByteArray>;

// arguments: PORT: the unit's line
using FailureCase = std::tuple<QStringList, QStringList, int, QString>;

// log: "refuse": a log whose table refuses records
using LogCase = std::tuple<QStringList, QString, QStringList, int, QString, int>;

using UsageCase = std::tuple<bool, QStringList, QString>;

// edit: what happens to the job or its image after job create
using JobCase = std::tuple<QString, QStringList, int, QString>;

// arguments: PORT: the unit's line; outEnd: prefixes of the last lines of stdout
using IdentityCase = std::tuple<QStringList, int, QStringList, int, QString>;

class TestCli : public QObject {
    Q_OBJECT
private slots:
    void usageErrors_data() {
        QTest::addColumn<UsageCase>("testCase");
        QTest::newRow("nothing") << UsageCase(false, {}, "no operation given");
        QTest::newRow("unknown operation")
            << UsageCase(false, {"load", "a.bin", "frob"}, "unknown operation \"frob\"");
        QTest::newRow("fill byte too big")
            << UsageCase(false, {"fill", "0", "10", "100"}, "a byte is 0 to FF");
        QTest::newRow("port out of range")
            << UsageCase(false, {"--port", "9", "read"}, "a port number is 1 to 8");
        QTest::newRow("hex and bin") << UsageCase(false, {"--hex", "--bin", "load", "a"},
                                                  "--hex and --bin exclude each other");
        QTest::newRow("elf and srec") << UsageCase(false, {"--elf", "--srec", "load", "a"},
                                                   "--elf and --srec exclude each other");
        QTest::newRow("unknown option")
            << UsageCase(false, {"--bogus", "read"}, "unknown option --bogus");
        QTest::newRow("no varn.cfg") << UsageCase(false, {"checksum"}, "varn.cfg");
        QTest::newRow("unknown device name")
            << UsageCase(true, {"--device", "T2K", "checksum"}, "devices: T256, T1K, Big, 8K");
        QTest::newRow("device index too high")
            << UsageCase(true, {"--device", "5", "checksum"}, "devices 1 to 4");
        // Serial options that would do nothing, and what cannot go together.
        QTest::newRow("series option on a run")
            << UsageCase(true, {"--log", "--serial-first", "5", "program"},
                         "--serial-first describes a serial series");
        QTest::newRow("series without address") << UsageCase(
            true, {"--log", "--serial", "s", "program"}, "--serial s needs --serial-address");
        QTest::newRow("overwrite without address")
            << UsageCase(true, {"--log", "--serial-overwrite", "program"},
                         "--serial-overwrite needs --serial-address");
        QTest::newRow("address without series") << UsageCase(
            true, {"--log", "--serial-address", "10", "program"}, "needs --serial NAME");
        // Made into a job, they would reach the line.
        QTest::newRow("crcs over each other")
            << UsageCase(false,
                         {"--field", "crc32=0-23F,at=240", "--field", "crc16=240-24F,at=230",
                          "load", "a.bin", "job", "create", "j.varnjob"},
                         "--field: The crc32 field at 0240 (over 0000-023F) covers the crc16 "
                         "field at 0230 (over 0240-024F), which covers it in turn");
        QTest::newRow("series command with the unit")
            << UsageCase(false, {"series", "create", "x", "identify"}, "run without the unit");
        QTest::newRow("time without its date")
            << UsageCase(false, {"--from", "14:30", "export", "-"}, "ISO 8601 date");
    }
    // The text on standard error, nothing on standard output (with --json,
    // everyPathPrintsSchemaJson).
    void usageErrors() {
        QFETCH(UsageCase, testCase);
        auto [withConfig, arguments, message] = testCase;
        Workspace ws(withConfig);
        const CliResult r = ws.run(arguments);
        CHECK_RUN(r, Usage);
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QVERIFY(r.out.isEmpty());
    }

    void listPorts() {
        Workspace ws(false);
        VirtualUnit unit({"--link", ws.path("com3")});
        QVERIFY2(unit.start(), qPrintable(unit.error()));
        QVERIFY(QFile::link(unit.path(), ws.path("com7")));
        const CliResult r = ws.run({"--list-ports"});
        CHECK_RUN(r, 0);
        QVERIFY2(r.out.contains(unit.path() + " (pseudo-terminal)\n  access:       yes\n"
                                              "  com entries:  com3, com7\n"),
                 qPrintable(r.out));
    }

    void checksumOfDeviceBytes_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("device");
        const QByteArray image = pattern(1024, 5);
        QByteArray filled = blank(1024);
        filled.replace(0x10, 0x20, QByteArray(0x20, '\0'));
        QTest::newRow("name in other case")
            << QStringList{"--device", "t1k", "checksum"} << blank(1024);
        QTest::newRow("name with comma")
            << QStringList{"--device=Big, 8K", "checksum"} << blank(8192);
        QTest::newRow("clear, then fill")
            << QStringList{"--device", "2",  "load", "image.bin", "clear",
                           "fill",     "10", "20",   "0",         "checksum"}
            << filled;
        QTest::newRow("only the device's part counts")
            << QStringList{"load", "image.bin", "checksum"} << image.left(256);
    }
    void checksumOfDeviceBytes() {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, device);
        Workspace ws;
        ws.write("image.bin", pattern(1024, 5));
        const CliResult r = ws.run(arguments);
        CHECK_RUN(r, Ok);
        QCOMPARE(r.out.split('\n', Qt::SkipEmptyParts).last(), checksumText(device));
    }

    void fileConversions_data() {
        QTest::addColumn<ConversionCase>("testCase");
        const QByteArray image = pattern(256, 3);
        const QByteArray half = pattern(128, 9);
        QTest::newRow("HEX to bin")
            << ConversionCase("IMAGE.HEX", HexText(image), {}, "out.HEX.bin", image);
        QTest::newRow("--hex forces Intel HEX")
            << ConversionCase("image.dat", HexText(image), {"--hex"}, "out.txt", HexText(image));
        // S-records: only that the format was chosen; the writer has tests of its own.
        QTest::newRow("bin to S-record by name")
            << ConversionCase("image.bin", image, {}, "out.S19", QByteArray("S0"));
        QTest::newRow("--srec forces S-record")
            << ConversionCase("image.dat", QByteArray("S107000001020304EE\r\nS9030000FC\r\n"),
                              {"--srec"}, "out.txt", QByteArray("S0"));
        QTest::newRow("hex with both offsets") << ConversionCase(
            "half.hex", HexText(half), {"--file-offset", "10", "--buffer-offset", "20"}, "out.bin",
            blank(48) + half.mid(16) + blank(96));
    }
    void fileConversions() {
        QFETCH(ConversionCase, testCase);
        auto [inputName, inputContent, options, outputName, expected] = testCase;
        Workspace ws;
        ws.write(inputName, inputContent);
        const CliResult r = ws.run(options + QStringList{"load", inputName, "save", outputName});
        CHECK_RUN(r, Ok);
        const QByteArray written = ws.read(outputName);
        QCOMPARE(expected == "S0" ? written.left(2) : written, expected);
        QVERIFY(r.out.contains("Loaded " + inputName));
        QVERIFY(r.out.contains("Saved " + outputName));
        QVERIFY2(r.err.isEmpty(), qPrintable(r.err));
    }

    // The first failure ends the run with its exit status: "save after.bin" never happens.
    void failureEndsTheRun_data() {
        QTest::addColumn<FailureCase>("testCase");

        const QByteArray image = pattern(1024, 2);
        const QString bufferByte =
            QStringLiteral("%1").arg(quint8(image.at(0x1A3)), 2, 16, QLatin1Char('0')).toUpper();
        const QStringList program{"--port", "PORT",      "--device", "2",
                                  "load",   "image.bin", "program"};
        QTest::newRow("missing file")
            << FailureCase({}, {"load", "missing.bin"}, FileError, "missing.bin");
        QTest::newRow("folder missing")
            << FailureCase({}, {"save", "nofolder/out.bin"}, FileError, "out.bin");
        QTest::newRow("verify") << FailureCase(
            {}, {"--port", "PORT", "--device", "2", "load", "image.bin", "verify"}, Mismatch,
            "Verify Error at 01A3 (buffer " + bufferByte +
                ", device C5)\nThe operation compare lists all differences.\n");
        QTest::newRow("no identification")
            << FailureCase({"--no-answer", "1"}, program, Communication, "Communication Error!\n");
        QTest::newRow("no such port") << FailureCase(
            {}, {"--port", "no-such-tty", "--device", "2", "load", "image.bin", "program"},
            Communication, "no-such-tty");
    }
    void failureEndsTheRun() {
        QFETCH(FailureCase, testCase);
        auto [unitOptions, arguments, status, error] = testCase;
        Workspace ws;
        const QByteArray image = pattern(1024, 2);
        ws.write("image.bin", image);
        QByteArray memory = image + blank(65536 - 1024);
        memory[0x1A3] = char(0xC5);
        VirtualUnit unit(ws.unitArguments(memory, unitOptions));
        START_UNIT(unit);
        arguments.replaceInStrings("PORT", unit.path());
        arguments.replaceInStrings("no-such-tty", ws.path("no-such-tty"));

        const CliResult r = ws.run(arguments + QStringList{"save", "after.bin"});
        CHECK_RUN(r, status);
        QVERIFY2(r.err.contains(error), qPrintable(r.err));
        QVERIFY(!QFile::exists(ws.path("after.bin")));
    }

    // The image's identity without the unit (crc32, diff), and before it:
    // a wrong --expect-crc32 sends nothing. CRCs as Python's zlib.crc32 gives them.
    void imageIdentity_data() {
        QTest::addColumn<IdentityCase>("testCase");
        const QStringList load{"--device", "2", "load", "image.bin"};
        QTest::newRow("crc32 of the device")
            << IdentityCase(load + QStringList{"crc32"}, Ok, {"4F8558EB"}, 2, "");
        QTest::newRow("crc32 of the device's part only")
            << IdentityCase({"load", "image.bin", "crc32"}, Ok, {"E4E43FDC"}, 2, "");
        QTest::newRow("diff with the same image as HEX") << IdentityCase(
            load + QStringList{"diff", "image.hex"}, Ok, {"No differences."}, 2, "");
        QTest::newRow("diff two ranges")
            << IdentityCase(load + QStringList{"diff", "two.bin"}, Mismatch,
                            {"0010-0011  2 bytes  75/00 7C/00", "0080  1 byte   05/FF",
                             "3 bytes differ in 2 ranges."},
                            4, "");
        QTest::newRow("diff missing file") << IdentityCase(
            load + QStringList{"diff", "missing.bin"}, FileError, {}, 1, "missing.bin");
        const QStringList program{"--port", "PORT", "load", "image.bin", "program"};
        QTest::newRow("expected crc")
            << IdentityCase(QStringList{"--device", "2", "--expect-crc32", "4f8558eb"} + program,
                            Ok, {"Programming ...   OK!"}, 2, "");
        QTest::newRow("wrong crc sends nothing") << IdentityCase(
            QStringList{"--device", "2", "--expect-crc32", "0x4F8558EA"} + program, FileError, {},
            1, "Image CRC-32 4F8558EB, expected 4F8558EA: nothing was sent");
        // Image bytes past the device: 1 KiB on T256, a HEX record across FFFF.
        QTest::newRow("image past the device sends nothing") << IdentityCase(
            program, FileError, {}, 1,
            "The image holds 768 bytes outside the device (0100-03FF), which is 256 bytes long: "
            "the chip cannot hold them.");
        QTest::newRow("record across FFFF sends nothing") << IdentityCase(
            {"--device", "T64K", "--port", "PORT", "load", "cross.hex", "verify"}, FileError, {}, 1,
            "The image holds 8 bytes outside the device (10000-10007), which is 65,536 bytes");
        QTest::newRow("image past the device, --allow-partial") << IdentityCase(
            QStringList{"--allow-partial"} + program, Ok, {"Programming ...   OK!"}, 2, "");
        QTest::newRow("image past the device, erase") << IdentityCase(
            {"--port", "PORT", "load", "image.bin", "erase"}, Ok, {"Erasing ...   OK!"}, 2, "");
        QTest::newRow("image past the device, crc of its part")
            << IdentityCase({"--expect-crc32", "E4E43FDC", "load", "image.bin"}, FileError, {}, 1,
                            "its CRC-32 covers only the device's part");
    }
    void imageIdentity() {
        QFETCH(IdentityCase, testCase);
        auto [arguments, status, outEnd, outLines, err] = testCase;
        Workspace ws;
        const QByteArray image = pattern(1024, 5);
        ws.write("image.bin", image);
        ws.write("image.hex", HexText(image));
        QByteArray two = image;
        two[0x10] = two[0x11] = 0;
        two[0x80] = char(0xFF);
        ws.write("two.bin", two);
        ws.write("cross.hex", HexRecord(0xFFF8, image.left(16)) + ":00000001FF\r\n");
        VirtualUnit unit(ws.unitArguments({}));
        START_UNIT(unit);
        arguments.replaceInStrings("PORT", unit.path());
        const CliResult r = ws.run(arguments);
        CHECK_RUN(r, status);
        const QStringList out = r.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(out.size(), outLines);
        for (qsizetype i = 0; i < outEnd.size(); ++i)
            QVERIFY2(out[out.size() - outEnd.size() + i].startsWith(outEnd[i]), qPrintable(r.out));
        QVERIFY2(r.err.contains(err), qPrintable(r.err));
        // Whether the unit was reached at all.
        QCOMPARE(unit.waitForFrames(1, 300), arguments.contains(unit.path()) && status == Ok);
    }

    void compareListsRanges_data() {
        QTest::addColumn<QList<int>>("bad"); // device bytes that differ from the image
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("lines"); // in stdout, in this order
        QTest::newRow("three") << QList<int>{0x10, 0x200, 0x3F0} << Mismatch
                               << QStringList{"0010  1 byte ", "0200  1 byte ", "03F0  1 byte ",
                                              "3 bytes differ in 3 ranges.\n"};
        QList<int> many;
        for (int a = 0; a < 25 * 0x20; a += 0x20)
            many << a;
        QTest::newRow("25 ranges, 20 shown")
            << many << Mismatch
            << QStringList{"0260  1 byte ",
                           "\n... and 5 more ranges\n25 bytes differ in 25 ranges."};
        QTest::newRow("equal") << QList<int>{} << Ok << QStringList{"No differences.\n"};
    }
    void compareListsRanges() {
        QFETCH(QList<int>, bad);
        QFETCH(int, status);
        QFETCH(QStringList, lines);
        Workspace ws;
        const QByteArray image = pattern(1024, 2);
        ws.write("image.bin", image);
        QByteArray memory = image + blank(65536 - 1024);
        for (int a : bad)
            memory[a] = char(0xC5); // the pattern stays below 80
        VirtualUnit unit(ws.unitArguments(memory));
        START_UNIT(unit);

        const CliResult r = ws.run(
            {"--quiet", "--device", "2", "--port", unit.path(), "load", "image.bin", "compare"});
        CHECK_RUN(r, status);
        qsizetype at = 0;
        for (const QString& line : lines) {
            at = r.out.indexOf(line, at);
            QVERIFY2(at >= 0, qPrintable(line + " not in " + r.out));
        }
        QVERIFY(!r.out.contains("0280")); // the 21st range is counted, not listed
    }

    // Each option reaches the engine: Program sends only the image's two
    // blocks, not all 64 of the device.
    void programSendsOnlySomeBlocks_data() {
        QTest::addColumn<QString>("option");
        QTest::newRow("--only-image") << "--only-image";
        QTest::newRow("--skip-blank") << "--skip-blank";
    }
    void programSendsOnlySomeBlocks() {
        QFETCH(QString, option);
        Workspace ws;
        ws.write("image.hex", HexRecord(0x05, QByteArray(1, 0x12)) +
                                  HexRecord(0x100, QByteArray(1, 0x56)) + ":00000001FF\r\n");
        VirtualUnit unit(ws.unitArguments({}));
        START_UNIT(unit);
        const CliResult r = ws.run(
            {option, "--device", "2", "--port", unit.path(), "load", "image.hex", "program"});
        CHECK_RUN(r, Ok);
        QList<QByteArray> blocks;
        for (const QByteArray& f : unit.frames())
            if (f.startsWith('\x14'))
                blocks << f.left(3).toHex();
        QCOMPARE(blocks, (QList<QByteArray>{"140000", "140100"}));
    }

    void identifyAndReset_data() {
        QTest::addColumn<QString>("linkName");
        QTest::addColumn<QStringList>("portOption");
        QTest::newRow("device path") << "" << QStringList{"--port", "PATH"};
        QTest::newRow("port of varn.cfg through com1") << "com1" << QStringList{};
        QTest::newRow("--port 2 through com2") << "com2" << QStringList{"--port", "2"};
    }
    void identifyAndReset() {
        QFETCH(QString, linkName);
        QFETCH(QStringList, portOption);
        Workspace ws;
        QStringList unitOptions{"--name", "ABCD", "--version", "21"};
        if (!linkName.isEmpty())
            unitOptions << "--link" << ws.path(linkName);
        VirtualUnit unit(ws.unitArguments({}, unitOptions));
        START_UNIT(unit);
        portOption.replaceInStrings("PATH", unit.path());
        const CliResult r = ws.run(portOption + QStringList{"identify", "reset"});
        CHECK_RUN(r, Ok);
        QCOMPARE(r.out, QStringLiteral("Device: ABCD\nVersion 2.1\nTarget: RESET\n"));
        // Identification only: the function window's load sequence is not needed.
        QVERIFY(unit.waitForFrames(2));
        QCOMPARE(unit.frames(), (QList<QByteArray>{"\x01T", "\x01-"}));
    }

    // A unit on the network whose replies come 300 ms late, as behind a slow
    // proxy or tunnel, with a reply wait of 100 ms: the identification's
    // round trip is measured and added to every wait, as is --net-latency's
    // allowance. Late only after the identification, the blocks' replies
    // come too late for a wait measured on loopback.
    void netLatency_data() {
        QTest::addColumn<QStringList>("latency");
        QTest::addColumn<QString>("late");
        QTest::addColumn<int>("status");
        QTest::newRow("measured by the identification") << QStringList{} << "300" << Ok;
        QTest::newRow("--net-latency 1000, late blocks")
            << QStringList{"--net-latency", "1000"} << "2:300" << Ok;
        QTest::newRow("measured, late blocks") << QStringList{} << "2:300" << Communication;
    }
    void netLatency() {
        QFETCH(QStringList, latency);
        QFETCH(QString, late);
        QFETCH(int, status);
        if (const QString why = varn::TerminalServer::missing(); !why.isEmpty())
            QSKIP(qPrintable(why));
        Workspace ws;
        VirtualUnit unit(ws.unitArguments({}, {"--late", late}));
        START_UNIT(unit);
        varn::TerminalServer server(unit.path());
        QVERIFY2(server.start(), qPrintable(server.error()));
        const CliResult r = ws.run(QStringList{"--port", server.tcpUrl(), "--timeout", "100"} +
                                   latency + QStringList{"blank"});
        CHECK_RUN(r, status);
    }

    // auto runs auto.cfg's steps (Blank here); the engine's own tests run whole sequences.
    void quietAuto() {
        Workspace ws;
        ws.write("auto.cfg", "1\r\n2\r\n");
        const QByteArray image = pattern(256, 6);
        ws.write("image.bin", image);
        QByteArray memory = blank(65536);
        memory[0x40] = 0x00;
        VirtualUnit unit(ws.unitArguments(memory));
        START_UNIT(unit);
        // Results a script asked for still come; status lines do not.
        CliResult r = ws.run(
            {"-q", "--port", unit.path(), "load", "image.bin", "checksum", "identify", "auto"});
        CHECK_RUN(r, Mismatch);
        QCOMPARE(r.out, checksumText(image) + "\nDevice: VARN\nVersion 2.0\n");
        QCOMPARE(r.err, QStringLiteral("Device not blank at 0040 (device 00)\n"));
    }

    // A load must not go on to program half an image, nothing, or the wrong
    // format's bytes.
    void loadJudged_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("error");
        const QByteArray image = pattern(256, 4);
        // One record at 20000 (beyond the buffer), then the image at 0.
        const QByteArray part =
            ":020000040002F8\r\n:0100000042BD\r\n:020000040000FA\r\n" + HexText(image);
        const QByteArray srec = "S00600004844521B\r\nS10501001234B3\r\nS9030000FC\r\n";
        const QByteArray elf = ReadFile(SourcePath("tests/data/elf/avr.elf"));
        QTest::newRow("partial") << "part.hex" << part << QStringList{} << FileError
                                 << "beyond the buffer's end (11170), which was not loaded; "
                                    "the rest was loaded.\n";
        QTest::newRow("partial, --allow-partial")
            << "part.hex" << part << QStringList{"--allow-partial"} << Ok << "line 2";
        QTest::newRow("--allow-partial, nothing placed")
            << "far.hex" << part.left(32) << QStringList{"--allow-partial"} << FileError
            << "far.hex: nothing was loaded";
        QTest::newRow("empty file")
            << "empty.hex" << QByteArray() << QStringList{} << FileError << "nothing was loaded";
        const QByteArray far = HexRecord(0x400, image.left(16)) + ":00000001FF\r\n";
        for (const QStringList& options : {QStringList{}, QStringList{"--allow-partial"}})
            QTest::addRow("nothing inside the device %s", qPrintable(options.join(' ')))
                << "far.hex" << far << options << FileError
                << "far.hex: nothing was loaded into the device: its data lies at 0400-040F, "
                   "outside the device (0000-00FF).\n";
        QTest::newRow("no end record")
            << "cut.hex" << HexText(image).chopped(13) << QStringList{} << Ok << "no end record";
        QTest::newRow("S-records cut off")
            << "cut.s19" << QByteArray("S00600004844521B\r\nS10500001234B4\r\n") << QStringList{}
            << Ok << "may have been cut off";
        QTest::newRow("two HEX files joined")
            << "two.hex" << HexText(image) + HexText(pattern(16, 5)) << QStringList{} << Ok
            << "goes on after its end record (:00000001FF); what follows was not loaded.\n"
               "two.hex, line 18";
        QTest::newRow("S-record named .hex")
            << "image.hex" << srec << QStringList{} << FileError
            << "looks like an S-Record file, not Intel Hex: nothing was loaded.\n"
               "Give the format";
        QTest::newRow("--srec given")
            << "image.hex" << srec << QStringList{"--srec", "--device", "T1K"} << Ok << "";
        QTest::newRow("ELF as binary")
            << "fw.bin" << elf << QStringList{} << FileError << "looks like an ELF file";
        QTest::newRow("--bin given")
            << "fw.bin" << elf << QStringList{"--bin"} << Ok << "looks like an ELF file";
    }
    void loadJudged() {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QStringList, options);
        QFETCH(int, status);
        QFETCH(QString, error);
        Workspace ws;
        ws.write(name, content);
        const CliResult r =
            ws.run(QStringList{"--json"} + options + QStringList{"load", name, "save", "out.bin"});
        CHECK_RUN(r, status);
        VERIFY_CONTAINS(r.err, error);
        QCOMPARE(QFile::exists(ws.path("out.bin")), status == Ok);
        // A load that went through tells the same in its event.
        const QList<QJsonObject> objects = checkJsonLines(r.out.toUtf8());
        QVERIFY(!objects.isEmpty());
        const auto loaded = std::find_if(objects.begin(), objects.end(), [](const QJsonObject& o) {
            return o["type"] == "file-loaded";
        });
        QCOMPARE(loaded != objects.end(), status == Ok);
        if (loaded != objects.end()) {
            QCOMPARE((*loaded)["file"].toString(), name);
            VERIFY_CONTAINS((*loaded)["notices"].toVariant().toStringList().join('\n'), error);
        }
    }

    // ELF by its name, relocated; - is standard input and output, ./- a file;
    // --defined-only writes only what the image holds.
    void elfAndStreams() {
        Workspace ws;
        ws.write("fw.out", ReadFile(SourcePath("tests/data/elf/arm.elf")));
        CliResult r = ws.run(
            {"--device", "2", "--relocate", "08000000", "load", "fw.out", "save", "out.bin"});
        CHECK_RUN(r, Ok);
        // objcopy fills the gap between code and data with 00; the buffer keeps FF there.
        const QByteArray objcopy = ReadFile(SourcePath("tests/data/elf/arm.bin"));
        QCOMPARE(ws.read("out.bin").left(0x3E), objcopy.left(0x3E));
        QCOMPARE(ws.read("out.bin").mid(0x3E, 0xC2), blank(0xC2));
        QCOMPARE(ws.read("out.bin").mid(0x100, 16), objcopy.mid(0x100, 16));

        const QByteArray part = HexRecord(0x20, "\x01\x02") + ":00000001FF\r\n";
        r = ws.run({"--hex", "--defined-only", "load", "-", "save", "-"}, part);
        CHECK_RUN(r, Ok);
        QCOMPARE(r.out.toLatin1(), part);
        ws.write("-", "\x5A");
        r = ws.run({"--bin", "load", "./-", "save", "./-.bin"});
        CHECK_RUN(r, Ok);
        QCOMPARE(ws.read("-.bin"), QByteArray(1, 0x5A) + blank(255));
    }

    // --expect-crc32 judges every image before it reaches a chip, and a run
    // that sends nothing still answers for its image.
    void expectCrcEveryImage() {
        Workspace ws;
        ws.write("a.bin", pattern(256, 1));
        ws.write("b.bin", pattern(256, 2));
        const QString crc = ws.run({"load", "a.bin", "crc32"}).out.split('\n').at(1);
        VirtualUnit unit(ws.unitArguments({}));
        START_UNIT(unit);
        CliResult r = ws.run({"--expect-crc32", crc, "--port", unit.path(), "load", "a.bin",
                              "program", "load", "b.bin", "program"});
        CHECK_RUN(r, FileError);
        QCOMPARE(r.out.count("Programming ...   OK!"), 1);
        VERIFY_CONTAINS(r.err, "expected " + crc);
        r = ws.run({"--expect-crc32", crc, "load", "b.bin", "save", "c.bin"});
        CHECK_RUN(r, FileError);
        r = ws.run({"--expect-crc32", crc, "load", "a.bin"});
        CHECK_RUN(r, Ok);
    }

    // Names are bytes: one that is not UTF-8 is loaded and saved under itself.
    // The shell hands them over as they are; QProcess would re-encode them.
    void latin1FileNames() {
        Workspace ws;
        const QByteArray image = pattern(256, 5);
        ws.write("image.bin", image);
        QProcess process;
        process.setWorkingDirectory(ws.dir.path());
        process.start("sh", {"-c",
                             "n=$(printf 'caf\\351') && cp image.bin \"$n.bin\" && "
                             "\"$0\" -q load \"$n.bin\" save \"$n.hex\" && cat \"$n.hex\"",
                             VARN_CLI_PATH});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.readAllStandardOutput(), HexText(image));
    }

    // Four chips through one log: each record and each chip's number in the
    // unit's saved memory; the chip that fails verify keeps its number (it
    // was programmed into it).
    void productionRecords() {
        Workspace ws;
        const QByteArray image = pattern(256, 3);
        ws.write("image.bin", image);
        CHECK_RUN(ws.run({"--log", "line.sqlite", "--serial-length", "2", "--serial-encoding",
                          "bcd", "--serial-first", "1200", "--serial-step", "5", "series", "create",
                          "bcd-line"}),
                  Ok);
        const QStringList serial{"--serial", "bcd-line", "--serial-address", "10",
                                 "--serial-overwrite"};
        QByteArray planted = blank(65536);
        planted[0x80] = 0; // programming only clears bits: verify finds 00
        const QList<QByteArray> memories{blank(65536), planted, blank(65536), blank(65536)};
        // The chip that failed verify was programmed: its number stays spent.
        const QList<qint64> serials{1200, 1205, 1210, 1215}; // BCD: the same digits in hex
        for (int i = 0; i < memories.size(); ++i) {
            VirtualUnit unit(
                ws.unitArguments(memories[i], {"--save-memory", ws.path("saved.bin")}));
            START_UNIT(unit);
            const CliResult r =
                ws.run(QStringList{"--port", unit.path(), "--log", "line.sqlite"} + serial +
                       QStringList{"load", "image.bin", "program", "verify"});
            CHECK_RUN(r, i == 1 ? Mismatch : Ok);
            unit.stop();
            QCOMPARE(ws.read("saved.bin").mid(0x10, 2).toHex().toLongLong(), serials[i]);
        }

        const QList<varn::ChipRecord> records = readRecords(ws.path("line.sqlite"));
        QCOMPARE(records.size(), 4);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(records[i].serial, serials[i]);
        const varn::ChipRecord& good = records[0];
        QVERIFY(good.passed);
        QCOMPARE(good.functions, (QStringList{"Program", "Verify"}));
        QCOMPARE(good.deviceSize, qint64(256));
        QCOMPARE(good.imageFile, QStringLiteral("image.bin"));
        QCOMPARE(good.unitName, QStringLiteral("VARN"));
        QVERIFY(good.imageCrc32 != 0);
        // The image's figures are those of the image, not of each chip's number.
        QCOMPARE(records[1].imageCrc32, good.imageCrc32);

        const CliResult csv =
            ws.run({"--log", "line.sqlite", "--from", "2000-01-01", "export", "-"});
        CHECK_RUN(csv, Ok);
        QCOMPARE(csv.out.count(QStringLiteral("\r\n")), 5);
        // The second chip: failed at Verify on a mismatch at 0x80.
        QVERIFY(csv.out.contains(QStringLiteral(",fail,Verify,mismatch,0080,")));
        // The time of day counts, in the zone given.
        const QString soon =
            QDateTime::currentDateTimeUtc().addSecs(60).toString("yyyy-MM-ddTHH:mm:ssZ");
        for (const QStringList& range :
             {QStringList{"--to", "2000-01-01"}, QStringList{"--from", soon}}) {
            const CliResult none =
                ws.run(QStringList{"--log", "line.sqlite"} + range + QStringList{"export", "-"});
            QCOMPARE(none.out.count(QStringLiteral("\r\n")), 1);
        }
        // A file is replaced whole, and only by an export that could read the log.
        ws.write("records.csv", "kept");
        CHECK_RUN(ws.run({"--log", "missing.sqlite", "export", "records.csv"}), LogError);
        QCOMPARE(ws.read("records.csv"), QByteArray("kept"));
        CHECK_RUN(ws.run({"--log", "line.sqlite", "--from", "2000-01-01", "export", "records.csv"}),
                  Ok);
        QCOMPARE(QString::fromUtf8(ws.read("records.csv")), csv.out);
        QCOMPARE(QDir(ws.dir.path()).entryList({"records.csv*"}, QDir::Files),
                 QStringList{"records.csv"});
        CHECK_RUN(ws.run({"--log", "line.sqlite", "export", "no/folder.csv"}), FileError);
    }

    void logFailures_data() {
        QTest::addColumn<LogCase>("testCase");
        QTest::newRow("unit stops answering")
            << LogCase({"--no-answer", "3"}, "log.sqlite", {}, Communication, "", -1);
        QTest::newRow("log cannot be opened")
            << LogCase({}, "missing/log.sqlite", {}, LogError, "Nothing was sent", 0);
        QTest::newRow("record cannot be written") << LogCase(
            {}, "refuse", {"--serial", "s", "--serial-address", "20", "--serial-overwrite"},
            LogError, "No block was sent to the chip", 1);
        QTest::newRow("serial field over the image")
            << LogCase({}, "series", {"--serial", "s", "--serial-address", "20"}, Usage,
                       "covers bytes of the image", 0);
        QTest::newRow("serial number without log")
            << LogCase({}, "", {"--serial", "s", "--serial-address", "20"}, Usage,
                       "need the production log", 0);
    }
    void logFailures() {
        QFETCH(LogCase, testCase);
        auto [unitOptions, log, arguments, status, err, framesSent] = testCase;
        Workspace ws;
        ws.write("image.bin", pattern(256, 4));
        if (log == QLatin1String("refuse") || log == QLatin1String("series")) {
            const bool refuse = log == QLatin1String("refuse");
            log = ws.path(log + QStringLiteral(".sqlite"));
            varn::Status made;
            varn::LogOpenOptions create;
            create.create = true;
            varn::SerialSettings series;
            series.name = QStringLiteral("s");
            QVERIFY(varn::ProductionLog::open(log, create, &made)->createSeries(series));
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "refuse");
            db.setDatabaseName(log);
            QVERIFY(db.open());
            QVERIFY(!refuse ||
                    QSqlQuery(db).exec("CREATE TRIGGER full BEFORE INSERT ON chip_records "
                                       "BEGIN SELECT RAISE(ABORT, 'disk full'); END"));
        }
        QSqlDatabase::removeDatabase("refuse");
        VirtualUnit unit(ws.unitArguments({}, unitOptions));
        START_UNIT(unit);
        if (!log.isEmpty())
            arguments << "--log" << log << "--create-log";
        const CliResult r =
            ws.run(arguments + QStringList{"--port", unit.path(), "load", "image.bin", "program",
                                           "verify", "--json"});
        CHECK_RUN(r, status);
        QVERIFY2(r.err.contains(err), qPrintable(r.err));
        const QList<QJsonObject> objects = checkJsonLines(r.out.toUtf8());
        // The last object gives the status: a run's end, or an error refused before any run.
        QVERIFY(!objects.isEmpty());
        QVERIFY(QStringList({"run-finished", "error"}).contains(objects.last()["type"].toString()));
        QCOMPARE(objects.last()["exitStatus"].toInt(), status);
        if (framesSent >= 0)
            QCOMPARE(unit.frames().size(), framesSent);
        if (status != Communication)
            return;
        const QList<varn::ChipRecord> records = readRecords(ws.path(log));
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0].failure, varn::ChipRecord::Failure::Communication);
        QCOMPARE(records[0].failedStep, QStringLiteral("Program"));
    }

    void jobs_data() {
        QTest::addColumn<JobCase>("testCase");
        QTest::newRow("runs as made") << JobCase("", {}, Ok, "Programming ...   OK!");
        QTest::newRow("option it fixes")
            << JobCase("", {"--timeout", "5"}, Usage, "--timeout: the job fixes");
        QTest::newRow("load") << JobCase("", {"load", "image.bin"}, Usage,
                                         "change the job's image");
        QTest::newRow("other functions") << JobCase("", {"program"}, Usage, "its own functions");
        const QString changed = "j.varnjob: the job was changed since it was made";
        QTest::newRow("image tampered") << JobCase("tamper", {}, JobRefused, changed);
        QTest::newRow("time-out edited") << JobCase("timeout", {}, JobRefused, changed);
        QTest::newRow("image name edited") << JobCase("name", {}, JobRefused, changed);
        QTest::newRow("device missing")
            << JobCase("device", {}, JobRefused, "(code 4) is not in varn.dev");
        QTest::newRow("referenced file changed")
            << JobCase("reference", {}, JobRefused, "is not the job's");
    }
    // The job fixes image, device and functions; a job that does not match
    // is refused before the first frame, and the refusal is recorded.
    void jobs() {
        QFETCH(JobCase, testCase);
        auto [edit, arguments, status, err] = testCase;
        Workspace ws;
        const QByteArray image = pattern(256, 5);
        ws.write("image.bin", image);
        QStringList create{"--device", "T1K", "--functions", "erase,program,verify",
                           "--only-image"};
        if (edit == QLatin1String("reference"))
            create << "--reference-image";
        CHECK_RUN(ws.run(create + QStringList{"load", "image.bin", "job", "create", "j.varnjob"}),
                  Ok);
        // Written anew in any case: a job laid out anew is still the job made.
        QJsonObject job = QJsonDocument::fromJson(ws.read("j.varnjob")).object();
        QJsonObject part = job.value("image").toObject();
        if (edit == QLatin1String("tamper")) {
            QByteArray bytes = QByteArray::fromBase64(part["data"].toString().toLatin1());
            bytes[100] = char(bytes[100] ^ 1);
            part["data"] = QString::fromLatin1(bytes.toBase64());
        }
        if (edit == QLatin1String("name"))
            part["name"] = "other.bin";
        if (edit == QLatin1String("timeout"))
            job["timeoutMs"] = 2000;
        if (edit == QLatin1String("device"))
            ws.write("varn.dev", ws.read("varn.dev").replace("\"T1K\",4", "\"T1K\",150"));
        if (edit == QLatin1String("reference"))
            ws.write("image.bin", pattern(256, 6));
        job["image"] = part;
        ws.write("j.varnjob", QJsonDocument(job).toJson(QJsonDocument::Compact));

        VirtualUnit unit(ws.unitArguments({}, {"--save-memory", ws.path("saved.bin")}));
        START_UNIT(unit);
        const CliResult r = ws.run(QStringList{"--job", "j.varnjob", "--port", unit.path(), "--log",
                                               "log.sqlite", "--create-log"} +
                                   arguments);
        CHECK_RUN(r, status);
        VERIFY_CONTAINS(r.out + r.err, err);
        const QList<QByteArray> frames = unit.frames();
        // Only the Image: the 256-byte image's 16 blocks of the 64 on T1K.
        QCOMPARE(std::count_if(frames.begin(), frames.end(),
                               [](const QByteArray& f) { return f.startsWith('\x14'); }),
                 status == Ok ? 16 : 0);
        if (status != Ok)
            QCOMPARE(frames.size(), 0);
        unit.stop();
        const QList<varn::ChipRecord> records =
            status == Usage ? QList<varn::ChipRecord>() : readRecords(ws.path("log.sqlite"));
        QCOMPARE(records.size(), status == Usage ? 0 : 1);
        if (status == Ok) {
            // The job's device (T1K, not varn.cfg's T256) and image.
            QCOMPARE(ws.read("saved.bin"), image + blank(768));
            QCOMPARE(records[0].functions, (QStringList{"Erase", "Program", "Verify"}));
            QCOMPARE(records[0].imageFile, QStringLiteral("image.bin"));
        } else if (status != Usage) {
            QCOMPARE(records[0].failure, varn::ChipRecord::Failure::Refused);
            QCOMPARE(records[0].failedStep, QStringLiteral("Job"));
            VERIFY_CONTAINS(records[0].failureDetail, err);
        }
    }

    // A job carries --allow-partial: made without it, an image past the
    // device is refused; made with it, the job programs the device's part,
    // and a job edited to refuse it is refused when opened.
    void partialJob() {
        Workspace ws;
        ws.write("big.bin", pattern(2048, 5));
        const QStringList create{"--device", "T1K", "--functions", "program",  "load",
                                 "big.bin",  "job", "create",      "j.varnjob"};
        CliResult r = ws.run(create);
        CHECK_RUN(r, FileError);
        VERIFY_CONTAINS(r.err, "job create: The image holds 1,024 bytes outside the device "
                               "(0400-07FF), which is 1,024 bytes long, and the job does not "
                               "allow a partial image.");
        CHECK_RUN(ws.run(QStringList{"--allow-partial"} + create), Ok);
        VirtualUnit unit(ws.unitArguments({}, {"--save-memory", ws.path("saved.bin")}));
        START_UNIT(unit);
        CHECK_RUN(ws.run({"--job", "j.varnjob", "--port", unit.path()}), Ok);
        unit.stop();
        QCOMPARE(ws.read("saved.bin").left(1024), pattern(2048, 5).left(1024));
        QByteArray job = ws.read("j.varnjob");
        QVERIFY(job.contains("\"allowPartial\": true"));
        job.replace("\"allowPartial\": true", "\"allowPartial\": false");
        ws.write("j.varnjob", job);
        r = ws.run({"--job", "j.varnjob", "--port", unit.path()});
        CHECK_RUN(r, 8);
        VERIFY_CONTAINS(r.err, "Job refused: j.varnjob: the job was changed since it was made");
        // Its digest made again as doc/job.md tells: the image's own check
        // still refuses it.
        ws.write("j.varnjob", resealed(job));
        r = ws.run({"--job", "j.varnjob", "--port", unit.path()});
        CHECK_RUN(r, 8);
        VERIFY_CONTAINS(r.err, "Job refused: The image holds 1,024 bytes outside the device");
    }

    // A job's fields in the chip after Verify and in its record; the pool's
    // one number spent, the next run stops before anything is sent. The
    // CRC-16 is Python 3's binascii.crc_hqx(chip[0:0x3FE], 0xFFFF) over the
    // 256-byte image, FF, "REV-B" at 300 and the number at 310.
    void jobWithFields() {
        Workspace ws;
        ws.write("image.bin", pattern(256, 5));
        CHECK_RUN(ws.run({"--log", "log.sqlite", "--pool-first", "0x12340000A1", "--pool-last",
                          "0x12340000A1", "pool", "create", "mac"}),
                  Ok);
        CHECK_RUN(ws.run({"--device", "T1K", "--functions", "erase,program,verify", "--only-image",
                          "--field", "text=REV-B,at=300", "--field", "pool=mac,at=310,length=6",
                          "--field", "crc16=0-3FD,at=3FE", "load", "image.bin", "job", "create",
                          "j.varnjob"}),
                  Ok);
        VirtualUnit unit(ws.unitArguments({}, {"--save-memory", ws.path("saved.bin")}));
        START_UNIT(unit);
        const QStringList run{"--job", "j.varnjob", "--port", unit.path(), "--log", "log.sqlite"};
        const CliResult first = ws.run(run + QStringList{"--json"});
        CHECK_RUN(first, Ok);
        const auto programFrames = [&unit] {
            const QList<QByteArray> frames = unit.frames();
            return std::count_if(frames.begin(), frames.end(),
                                 [](const QByteArray& f) { return f.startsWith('\x14'); });
        };
        QCOMPARE(programFrames(), 16 + 3); // the image's blocks and the fields' three
        const CliResult r = ws.run(run + QStringList{"--json"});
        CHECK_RUN(r, LogError);
        VERIFY_CONTAINS(r.err, "the pool is used up");
        const QList<QJsonObject> objects = checkJsonLines(r.out.toUtf8());
        QVERIFY(!objects.isEmpty() && objects.last()["type"] == "run-finished");
        VERIFY_CONTAINS(objects.last()["reason"].toString(), "the pool is used up");
        QCOMPARE(programFrames(), 16 + 3);
        unit.stop();
        QByteArray chip = pattern(256, 5) + blank(768);
        chip.replace(0x300, 5, "REV-B").replace(0x310, 6, QByteArray::fromHex("0012340000A1"));
        chip.replace(0x3FE, 2, QByteArray::fromHex("33B2"));
        QCOMPARE(ws.read("saved.bin").toHex(), chip.toHex());
        const QList<varn::ChipRecord> records = readRecords(ws.path("log.sqlite"));
        QCOMPARE(records.size(), 2);
        VERIFY_CONTAINS(records[0].chipFields, "pool:mac@0310=0012340000A1 crc16@03FE=33B2");
        // Scripts read the same in the closed record's event.
        QStringList said;
        for (const QJsonObject& o : checkJsonLines(first.out.toUtf8()))
            if (o["type"] == "record-written" && o["state"] == "closed")
                said << o["chipFields"].toString();
        QCOMPARE(said, QStringList{records[0].chipFields});
    }

    // The log's own commands need no configuration; a record never closed
    // reads "interrupted" in the listing and the export.
    void logCommands() {
        Workspace ws(false);
        CliResult r = ws.run({"log", "list"});
        CHECK_RUN(r, LogError); // no log here, and none is started
        const QStringList create{"--serial-first", "7", "--serial-maximum", "9", "series",
                                 "create",         "a"};
        CHECK_RUN(ws.run(create), Ok);
        r = ws.run(create);
        CHECK_RUN(r, LogError);
        VERIFY_CONTAINS(r.err, "already");
        r = ws.run({"series", "list"});
        VERIFY_CONTAINS(r.out, "a  first 7, step 1, last 9, 4-byte binary msb");
        CHECK_RUN(ws.run({"log", "sync"}), Ok);
        varn::ChipRecord cut;
        cut.station = QStringLiteral("bench-9");
        QVERIFY(
            varn::ProductionLog::open(ws.path("varn-log.sqlite"), {}, nullptr)->openRecord(cut));
        r = ws.run({"-q", "log", "list", "export", "-"});
        CHECK_RUN(r, Ok);
        VERIFY_CONTAINS(r.out, "bench-9           interrupted");
        VERIFY_CONTAINS(r.out, ",bench-9,,,,,0,,00000000,0000,,interrupted,");
    }

    // --repeat at a keyboard: Enter runs the next chip, q or the end of the
    // input ends, keys typed while a chip runs are dropped; the prompt names
    // the next serial number; the counts and the yield close the run.
    void repeat_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("badChip");
        QTest::addColumn<QList<QByteArray>>("answers"); // [0] typed during the first chip
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("total");
        QTest::addColumn<QString>("prompt");
        const QString next = "Next chip: Enter continues, q ends.";
        QTest::newRow("Enter, then q")
            << QStringList{} << false << QList<QByteArray>{"\n", "\n", "q\n"} << Ok
            << "Total: 2 chips, 2 passed, 0 failed, yield 100.0 %" << next;
        QTest::newRow("end of input")
            << QStringList{} << false << QList<QByteArray>{""} << Ok
            << "Total: 1 chips, 1 passed, 0 failed, yield 100.0 %" << next;
        QTest::newRow("bad chip three times")
            << QStringList{} << true << QList<QByteArray>{"", "\n", "\n", "Q\n"} << Mismatch
            << "Total: 3 chips, 0 passed, 3 failed, yield 0.0 %" << next;
        QTest::newRow("wrong image: no chip counted")
            << QStringList{"--expect-crc32", "12345678"} << false << QList<QByteArray>{"", "q\n"}
            << FileError << "Total: 0 chips, 0 passed, 0 failed, yield 0.0 %" << next;
        QTest::newRow("next serial number")
            << QStringList{"--log", "log.sqlite",         "--serial", "s",       "--serial-address",
                           "F0",    "--serial-overwrite", "erase",    "program", "verify"}
            << false << QList<QByteArray>{"", "\n", "q\n"} << Ok
            << "Total: 2 chips, 2 passed, 0 failed, yield 100.0 %"
            << "Next chip (serial 8): Enter continues, q ends.";
    }
    void repeat() {
        QFETCH(QStringList, options);
        QFETCH(bool, badChip);
        QFETCH(QList<QByteArray>, answers);
        QFETCH(int, status);
        QFETCH(QString, total);
        QFETCH(QString, prompt);
        Workspace ws;
        ws.write("image.bin", pattern(256, 3));
        QByteArray memory = blank(65536);
        if (badChip)
            memory[0x10] = 0;
        VirtualUnit unit(ws.unitArguments(memory));
        START_UNIT(unit);
        if (options.contains("--serial"))
            CHECK_RUN(
                ws.run({"--log", "log.sqlite", "--serial-first", "7", "series", "create", "s"}),
                Ok);
        QProcess process;
        process.setWorkingDirectory(ws.dir.path());
        process.setProcessEnvironment(ws.environment());
        process.setReadChannel(QProcess::StandardError);
        // Without "erase" in the options, the unit's memory carries over from
        // one chip to the next.
        if (!options.contains("erase"))
            options << "program"
                    << "verify";
        process.start(VARN_CLI_PATH,
                      QStringList{"--repeat", "--port", unit.path(), "load", "image.bin"} +
                          options);
        QVERIFY(process.waitForStarted());
        process.write(answers.value(0));
        QByteArray err;
        qsizetype answered = 0;
        QDeadlineTimer limit(120000);
        while (process.state() != QProcess::NotRunning && !limit.hasExpired()) {
            process.waitForReadyRead(50);
            err += process.readAllStandardError();
            for (; answered < err.count("Enter continues, q ends."); ++answered) {
                if (answered + 1 < answers.size())
                    process.write(answers[answered + 1]);
                else
                    process.closeWriteChannel();
            }
        }
        QVERIFY2(process.state() == QProcess::NotRunning, err.constData());
        const QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
        QVERIFY2(process.exitCode() == status, err.constData());
        QVERIFY2(out.endsWith(total + "\n"), qPrintable(out));
        QVERIFY2(err.contains(prompt.toLocal8Bit()), err.constData());
        const int rounds = int(answered);
        QCOMPARE(int(out.count(status == FileError ? " FILE "
                               : badChip           ? " MISMATCH "
                                                   : " PASS ")),
                 rounds);
        // The unit is identified when the run starts, not for every chip;
        // every chip gets its own load sequence (run, reset, select).
        QCOMPARE(int(unit.frames().count(QByteArray("\x01T"))), status == FileError ? 0 : 1);
        QCOMPARE(int(unit.frames().count(QByteArray("\x01+"))), status == FileError ? 0 : rounds);
    }

    // Ctrl+C or SIGTERM in the middle of Program: the block in flight ends,
    // the run stops with the shell's status, and the chip's record says
    // where it stopped.
    void stopMidProgram_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("status");
        QTest::newRow("SIGINT") << SIGINT << 130;
        QTest::newRow("SIGTERM") << SIGTERM << 143;
        // Cut off without a word: only the marks made while it ran tell what
        // reached the chip.
        QTest::newRow("SIGKILL") << SIGKILL << -1;
    }
    void stopMidProgram() {
        QFETCH(int, signal);
        QFETCH(int, status);
        Workspace ws;
        ws.write("image.bin", pattern(8192, 1));
        VirtualUnit unit(ws.unitArguments({}, {"--baud-emulation"}));
        START_UNIT(unit);
        QProcess process;
        process.setWorkingDirectory(ws.dir.path());
        process.setProcessEnvironment(ws.environment());
        // As a terminal starts it: a background start would ignore SIGINT.
        process.setChildProcessModifier([] {
            ::signal(SIGINT, SIG_DFL);
            ::signal(SIGTERM, SIG_DFL);
        });
        process.start(VARN_CLI_PATH,
                      {"--json", "--port", unit.path(), "--device", "3", "--log", "log.sqlite",
                       "--create-log", "load", "image.bin", "program", "verify"});
        QVERIFY(process.waitForStarted());
        // Identification, the load sequence, then program blocks.
        QVERIFY2(unit.waitForFrames(80, 30000),
                 qPrintable(QStringLiteral("%1 frames; %2")
                                .arg(unit.frames().size())
                                .arg(QString::fromLocal8Bit(process.readAllStandardError()))));
        // Killed once the record has been marked with program bytes.
        for (QDeadlineTimer marked(signal == SIGKILL ? 30000 : 0);
             !marked.hasExpired() && !readRecords(ws.path("log.sqlite")).value(0).programBytesSent;)
            QTest::qWait(100);
        ::kill(pid_t(process.processId()), signal);
        QVERIFY(process.waitForFinished(30000));
        const QString err = QString::fromLocal8Bit(process.readAllStandardError());
        const QList<varn::ChipRecord> records = readRecords(ws.path("log.sqlite"));
        QCOMPARE(records.size(), 1);
        const varn::ChipRecord& stopped = records[0];
        if (signal == SIGKILL) {
            QCOMPARE(process.exitStatus(), QProcess::CrashExit);
            QVERIFY(stopped.interrupted());
            QVERIFY(stopped.durationMs > 0);
        } else {
            QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == status,
                     qPrintable(err));
            QCOMPARE(stopped.failure, varn::ChipRecord::Failure::Stopped);
            QCOMPARE(stopped.failedStep, QStringLiteral("Program"));
        }
        QVERIFY(stopped.programBytesSent);
        QVERIFY2(stopped.failureAddress > 0 && stopped.failureAddress < 8192 &&
                     stopped.failureAddress % 16 == 0,
                 qPrintable(QString::number(stopped.failureAddress)));
        QCOMPARE(stopped.functions, QStringList{"Program"});
        if (signal == SIGKILL)
            return;
        const QList<QJsonObject> objects = checkJsonLines(process.readAllStandardOutput());
        QVERIFY(!objects.isEmpty());
        QCOMPARE(objects.last()["outcome"].toString(), QStringLiteral("stopped"));
    }

    // --before-chip and --after-chip: what they are told (environment,
    // standard input), and what their end does to the chip, its record, the
    // unit's memory and the status.
    void chipHooks_data() {
        Columns<QString, QString, int, QString>("before", "after", "status", "detail");
        const QString before = "sh hook.sh before", after = "sh hook.sh after";
        QTest::newRow("both pass") << before << after << Ok << "";
        QTest::newRow("before refuses") << before + "; echo; echo fixture open; echo more; exit 3"
                                        << after << HookRefused << "fixture open";
        QTest::newRow("after fails") << before << after + "; echo board draws 300 mA >&2; exit 1"
                                     << HookFailed << "board draws 300 mA";
        QTest::newRow("before hangs") << "sleep 30" << after << HookRefused << "killed after 0.4 s";
        // What the command started goes with it.
        QTest::newRow("after hangs") << before << after + "; (sleep 1; touch survived) & wait"
                                     << HookFailed << "killed after 0.4 s";
    }
    void chipHooks() {
        auto [before, after, status, detail] =
            Row<QString, QString, int, QString>("before", "after", "status", "detail");
        Workspace ws;
        const QByteArray image = pattern(256, 3);
        ws.write("image.bin", image);
        // Only the hooks' own variables: the caller's environment may hold
        // other VARN_ settings (CI sets VARN_WERROR).
        ws.write("hook.sh", "env | grep -E '^VARN_(PORT|SERIAL|RECORD_ID|IMAGE_CRC32|OUTCOME)=' "
                            "| sort > $1.env\n"
                            "[ $1 = after ] && cat > after.json\n"
                            "exit 0\n");
        VirtualUnit unit(ws.unitArguments({}, {"--save-memory", ws.path("saved")}));
        START_UNIT(unit);
        CHECK_RUN(ws.run({"--log", "log.sqlite", "--create-log", "series", "create", "s"}), Ok);
        QElapsedTimer clock;
        clock.start();
        const CliResult r =
            ws.run({"--log", "log.sqlite", "--serial", "s", "--serial-address", "F0",
                    "--serial-overwrite", "--hook-timeout", "0.4", "--before-chip", before,
                    "--after-chip", after, "--port", unit.path(), "load", "image.bin", "program"});
        CHECK_RUN(r, status);
        QVERIFY(clock.elapsed() < 20000);
        const QList<varn::ChipRecord> records = readRecords(ws.path("log.sqlite"));
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0].passed, status == Ok);
        QCOMPARE(records[0].failureDetail, detail);
        QCOMPARE(records[0].failedStep, status == Ok            ? QString()
                                        : status == HookRefused ? "Before-chip hook"
                                                                : "After-chip hook");
        // A refused chip got nothing after the identification; the others
        // were programmed, and the after-chip hook saw them so.
        QCOMPARE(unit.frames().size() == 1, status == HookRefused);
        QTest::qWait(status == HookFailed ? 1500 : 0);
        QVERIFY(!QFile::exists(ws.path("survived")));
        unit.stop();
        QCOMPARE(ws.read("saved").left(0xF0) == image.left(0xF0), status != HookRefused);
        const QString crc = varn::Crc32Text(
            varn::Crc32(reinterpret_cast<const quint8*>(image.constData()), image.size()));
        const QString told = "VARN_IMAGE_CRC32=" + crc +
                             "\nVARN_OUTCOME=%1\nVARN_PORT=" + unit.path() +
                             "\nVARN_RECORD_ID=1\nVARN_SERIAL=1\n";
        if (before.startsWith("sh"))
            QCOMPARE(QString::fromLocal8Bit(ws.read("before.env")), told.arg(""));
        QCOMPARE(QFile::exists(ws.path("after.env")), status != HookRefused);
        if (status == HookRefused)
            return;
        QCOMPARE(QString::fromLocal8Bit(ws.read("after.env")), told.arg("pass"));
        const QList<QJsonObject> objects = checkJsonLines(ws.read("after.json"));
        QCOMPARE(objects.size(), 1);
        QCOMPARE(objects[0]["type"].toString(), QStringLiteral("run-finished"));
        QCOMPARE(objects[0]["serial"].toInt(), 1);
    }

    // Every command and every way a command line fails, with --json given
    // last (after a usage fault too): the status; on standard output nothing
    // but lines valid against the schema; the events a program waits for, in
    // this order, the last one last; and what they must say. A unit starts
    // when the arguments name PORT or "unit" has options ("bad": a chip
    // whose byte 10 cannot be programmed). Ctrl+C and SIGTERM: stopMidProgram.
    void everyPathPrintsSchemaJson_data() {
        Columns<QStringList, QStringList, int, QStringList, QStringList>(
            "unit", "arguments", "status", "events", "fragments");
        // Options, arguments and events are separated by blanks.
        const auto add = [](const char* name, const QString& unit, const QString& arguments,
                            int status, const QString& events, const QStringList& fragments) {
            QTest::newRow(name) << unit.split(' ', Qt::SkipEmptyParts)
                                << arguments.split(' ', Qt::SkipEmptyParts) << status
                                << events.split(' ') << fragments;
        };
        const QByteArray image = pattern(256, 3);
        const QString crc = varn::Crc32Text(
            varn::Crc32(reinterpret_cast<const quint8*>(image.constData()), image.size()));
        const QString program = "--port PORT load image.bin program";
        // What needs no unit.
        // The format options' rows are made from the image formats' table.
        add("--help", "", "--help", Ok, "help",
            {"Usage: varn-cli",
             "--hex, --bin, --srec    file format for load and save; without them a name\\n",
             "(any case) Motorola\\n                          S-record, one in .elf",
             "--elf                   load: an ELF file (its PT_LOAD segments at their\\n"});
        add("--version", "", "--version", Ok, "version", {"\"version\":\"" VARN_VERSION "\""});
        add("--list-ports", "--link com3", "--list-ports", Ok, "ports",
            {"\"comEntries\":[\"com3\"]"});
        add("buffer and file operations", "",
            "--log log.sqlite load image.bin job create x.varnjob diff image.bin crc32 checksum "
            "save out.hex fill 0 10 0 clear export out.csv",
            Ok, "file-loaded diff crc32 checksum exported run-finished",
            {"\"crc32\":\"" + crc + "\"", "\"differingBytes\":0",
             "\"checksum\":\"" + checksumText(image) + "\"", "\"records\":1"});
        add("the log's own commands", "",
            "--log log.sqlite --pool-first 1 --pool-last 9 series create a pool create p "
            "series list pool list log sync log list report export out.csv",
            Ok, "series pools series pools log-synced records report exported",
            {"\"left\":9", "\"name\":\"s\"", "\"result\":\"interrupted\"", "\"interrupted\":1"});
        // The unit's commands.
        add("identify, run, reset", "", "--port PORT identify run reset", Ok,
            "unit-identified identify run-finished", {"\"name\":\"VARN\""});
        add("every device function", "",
            "--port PORT load image.bin erase blank program verify read compare auto lock", Ok,
            "file-loaded run-started unit-identified function-started progress function-finished "
            "compare function-finished run-finished",
            {"\"function\":\"Lock\"", "\"step\":3"});
        add("record and serial number", "",
            "--log log.sqlite --serial s --serial-address F0 --serial-overwrite " + program, Ok,
            "serial-assigned record-written function-finished record-written run-finished",
            {"\"state\":\"closed\"", "\"serial\":1"});
        add("job", "", "--port PORT --job j.varnjob", Ok,
            "run-started function-finished run-finished", {"\"functions\":[\"Auto\"]"});
        add("block sent again", "--no-answer 10", "--retries 1 --timeout 200 " + program, Ok,
            "retry function-finished run-finished", {"\"resent\":1"});
        add("image past the device, --allow-partial", "",
            "--allow-partial --buffer-offset 80 " + program, Ok,
            "run-started function-finished run-finished", {"\"outsideBytes\":128"});
        add("--repeat, several units, one port missing", "",
            "--repeat --port nowhere/tty " + program, Communication, "run-finished summary",
            {"\"chips\":1,", "\"detail\":\"Communication Port Error"});
        // Refused before any unit: one error object.
        add("no operation", "", "", Usage, "error", {"\"message\":\"no operation given\""});
        add("unknown option", "", "read --bogus", Usage, "error", {"--bogus"});
        add("no such device", "", "--device 9 checksum", Usage, "error", {"devices 1 to 4"});
        add("no configuration", "", "--workdir nowhere checksum", Usage, "error", {"varn.cfg"});
        add("save - would break the stream", "", "save -", Usage, "error",
            {"save -: standard output carries"});
        add("export - would break the stream", "", "--log log.sqlite export -", Usage, "error",
            {"export -: standard output"});
        add("job create with the unit", "", "load image.bin job create x.varnjob program", Usage,
            "error", {"run it with --job FILE"});
        add("option the job fixes", "", "--job j.varnjob --timeout 5", Usage, "error",
            {"--timeout: the job fixes"});
        add("job missing", "", "--job missing.varnjob", JobRefused, "error",
            {"\"outcome\":\"job-refused\""});
        add("job edited", "", "--job edited.varnjob", JobRefused, "error",
            {"the job was changed since it was made"});
        add("log command, log missing", "", "--log missing.sqlite log list", LogError, "error",
            {"missing.sqlite: cannot open"});
        add("log command, export cannot write", "", "--log log.sqlite log list export no/x.csv",
            FileError, "records error", {"no/x.csv: cannot write"});
        // Failed on the way: run-finished says why.
        add("file missing", "", "load missing.bin", FileError, "run-finished",
            {"\"reason\":\"Cannot open missing.bin"});
        add("file not its format", "", "--hex load image.bin", FileError, "run-finished",
            {"image.bin, line 1"});
        add("save fails", "", "load image.bin save no/out.bin", FileError,
            "file-loaded run-finished", {"out.bin"});
        add("wrong image", "", "--expect-crc32 12345678 load image.bin", FileError,
            "file-loaded run-finished", {"expected 12345678"});
        add("image past the device", "",
            "--port nowhere/tty --buffer-offset 80 load image.bin "
            "program",
            FileError, "run-started run-finished", {"\"outsideBytes\":128", "outside the device"});
        add("port cannot open", "", "--port nowhere/tty identify", Communication, "run-finished",
            {"Communication Port Error: nowhere/tty"});
        add("unit not identified", "--no-answer 1", "--port PORT identify", Communication,
            "run-finished", {"did not answer the identification"});
        add("unit lost", "--close-after 12", program, Communication,
            "function-finished run-finished", {"\"linkFault\":\"line-lost\""});
        add("verify finds a wrong byte", "bad", program + " verify", Mismatch,
            "function-finished run-finished",
            {"\"reason\":\"Verify Error at 0010",
             "\"differences\":[{\"actual\":\"00\",\"count\":1"});
        add("device too small", "", "--workdir tiny --port PORT program", Usage,
            "unit-identified run-finished", {"The device size of 8 bytes is too small"});
        add("log cannot open", "", "--port nowhere/tty --log no/log.sqlite program", LogError,
            "run-finished", {"no/log.sqlite: cannot open"});
        add("--before-chip refuses", "", "--before-chip false " + program, HookRefused,
            "run-started run-finished", {"--before-chip refused the chip"});
        add("--after-chip fails", "", "--after-chip false " + program, HookFailed,
            "function-finished run-finished", {"--after-chip failed the chip"});
    }
    void everyPathPrintsSchemaJson() {
        auto [unitOptions, arguments, status, events, fragments] =
            Row<QStringList, QStringList, int, QStringList, QStringList>(
                "unit", "arguments", "status", "events", "fragments");
        Workspace ws;
        ws.write("image.bin", pattern(256, 3));
        ws.write("auto.cfg", "3\r\n1\r\n3\r\n4\r\n");
        QVERIFY(QDir(ws.dir.path()).mkdir("tiny"));
        ws.write("tiny/auto.cfg", "0\r\n");
        ws.write("tiny/varn.cfg", "1\r\n1\r\n1\r\n");
        ws.write("tiny/varn.dev", "\"T8\",1,8\r\n");
        if (arguments.contains("log.sqlite")) {
            // A series, and a record never closed.
            CHECK_RUN(ws.run({"--log", "log.sqlite", "series", "create", "s"}), Ok);
            varn::ChipRecord cut;
            QVERIFY(varn::ProductionLog::open(ws.path("log.sqlite"), {}, nullptr)->openRecord(cut));
        }
        if (arguments.filter(".varnjob").size() > arguments.count("x.varnjob")) {
            CHECK_RUN(ws.run({"load", "image.bin", "job", "create", "j.varnjob"}), Ok);
            ws.write("edited.varnjob",
                     ws.read("j.varnjob").replace("\"retries\": 0", "\"retries\": 1"));
        }
        std::unique_ptr<VirtualUnit> unit;
        if (!unitOptions.isEmpty() || arguments.contains("PORT")) {
            QByteArray memory = blank(65536);
            memory[0x10] = char(unitOptions.removeAll("bad") ? 0 : 0xFF);
            unitOptions.replaceInStrings(QRegularExpression("^com"), ws.path("com"));
            unit = std::make_unique<VirtualUnit>(ws.unitArguments(memory, unitOptions));
            START_UNIT(*unit);
            arguments.replaceInStrings(QRegularExpression("^PORT$"), unit->path());
        }
        const CliResult r = ws.run(arguments + QStringList{"--json"});
        CHECK_RUN(r, status);
        // Text for people goes to standard error, and only there.
        QVERIFY(!r.err.isEmpty());
        const QList<QJsonObject> objects = checkJsonLines(r.out.toUtf8());
        QVERIFY2(!objects.isEmpty(), qPrintable(r.out));
        qsizetype seen = 0;
        for (const QJsonObject& o : objects)
            seen += seen < events.size() && o["type"] == events[seen];
        QVERIFY2(seen == events.size() && objects.last()["type"] == events.last(),
                 qPrintable(r.out));
        for (const QString& fragment : fragments)
            VERIFY_CONTAINS(r.out, fragment);
    }

    // Every event names its own unit's port as given ("COM2" for --port 2),
    // or varn.cfg's (COM1) without --port; with several, a unit's failure is
    // its own.
    void jsonPortNames_data() {
        Columns<QList<int>>("ports"); // the units' comN links; 0: no --port, com1
        QTest::newRow("varn.cfg's port") << QList<int>{0};
        QTest::newRow("--port 2") << QList<int>{2};
        QTest::newRow("--port 1 --port 2, second chip bad") << QList<int>{1, 2};
    }
    void jsonPortNames() {
        auto [ports] = Row<QList<int>>("ports");
        Workspace ws;
        ws.write("image.bin", pattern(256, 3));
        std::vector<std::unique_ptr<VirtualUnit>> units;
        QStringList arguments{"--json"};
        QSet<QString> expected;
        for (int i = 0; i < ports.size(); ++i) {
            const QString n = QString::number(qMax(1, ports[i]));
            QByteArray memory = blank(65536);
            memory[0x10] = char(i == 1 ? 0 : 0xFF);
            ws.write("memory" + n, memory);
            units.push_back(std::make_unique<VirtualUnit>(
                QStringList{"--dev", ws.path("varn.dev"), "--memory", ws.path("memory" + n),
                            "--link", ws.path("com" + n)}));
            START_UNIT(*units.back());
            if (ports[i])
                arguments << "--port" << n;
            expected << "COM" + n;
        }
        const CliResult r =
            ws.run(arguments + QStringList{"load", "image.bin", "program", "verify"});
        CHECK_RUN(r, ports.size() > 1 ? Mismatch : Ok);
        QMap<QString, QList<int>> finished; // per port: its run-finished statuses
        QSet<QString> named;
        for (const QJsonObject& o : checkJsonLines(r.out.toUtf8())) {
            if (o["type"] == "summary") {
                for (const QJsonValue& unit : o["units"].toArray())
                    finished[unit["port"].toString()] << -unit["exitStatus"].toInt() - 1;
                continue;
            }
            named << o["port"].toString();
            if (o["type"] == "run-finished")
                finished[o["port"].toString()] << o["exitStatus"].toInt();
        }
        QCOMPARE(named, expected);
        for (int i = 0; i < ports.size(); ++i) {
            const int status = i == 1 ? Mismatch : Ok;
            QList<int> wanted{status};
            if (ports.size() > 1)
                wanted << -status - 1; // and the summary's row of the unit
            QCOMPARE(finished.value("COM" + QString::number(qMax(1, ports[i]))), wanted);
        }
    }

    // Several --port: every unit runs the same operations at once; a failing
    // one leaves the others to finish, and the status is the most severe.
    void severalUnits_data() {
        // Per unit: 0 none, 1 bad chip, 2 silent, 3 no port, 4 its after-chip
        // hook fails a chip that was programmed and verified, 5 its line is
        // lost while programming.
        QTest::addColumn<QList<int>>("faults");
        QTest::addColumn<int>("status");
        QTest::newRow("second chip bad") << QList<int>{0, 1} << Mismatch;
        QTest::newRow("first unit's hook fails") << QList<int>{4, 0} << HookFailed;
        QTest::newRow("second unit silent") << QList<int>{0, 2} << Communication;
        QTest::newRow("bad chip and missing unit") << QList<int>{1, 3} << Communication;
        QTest::newRow("first unit's line lost") << QList<int>{5, 0} << Communication;
    }
    void severalUnits() {
        QFETCH(QList<int>, faults);
        QFETCH(int, status);
        Workspace ws;
        const QByteArray image = pattern(256, 3);
        ws.write("image.bin", image);
        // A chip whose byte 0x10 cannot take the image's value: programming
        // only clears bits.
        QByteArray badChip = blank(65536);
        badChip[0x10] = char(0x00);
        std::vector<std::unique_ptr<VirtualUnit>> units;
        QStringList arguments;
        for (int i = 0; i < faults.size(); ++i) {
            const QString n = QString::number(i);
            ws.write("memory" + n, faults[i] == 1 ? badChip : blank(65536));
            QStringList options{"--dev", ws.path("varn.dev"), "--memory", ws.path("memory" + n)};
            options += QStringList{"--save-memory", ws.path("saved" + n)};
            if (faults[i] == 2)
                options += QStringList{"--no-answer", "5"};
            if (faults[i] == 5)
                options += QStringList{"--close-after", "8"};
            units.push_back(std::make_unique<VirtualUnit>(options));
            QVERIFY2(units.back()->start(), qPrintable(units.back()->error()));
            arguments << "--port"
                      << (faults[i] == 3 ? ws.path("no-such-tty") : units.back()->path());
        }
        // Each unit's hook is told its own port; the run counts the chip its
        // hook failed as failed.
        const qsizetype hooked = faults.indexOf(4);
        if (hooked >= 0)
            arguments << "--repeat"
                      << "--after-chip"
                      << "test \"$VARN_PORT\" != " + arguments[2 * hooked + 1];
        const CliResult r =
            ws.run(arguments + QStringList{"load", "image.bin", "program", "verify"});
        CHECK_RUN(r, status);
        if (hooked >= 0)
            QVERIFY2(r.out.endsWith("Total: 2 chips, 1 passed, 1 failed, yield 50.0 %\n"),
                     qPrintable(r.out));
        const QStringList rows = r.out.split('\n');
        for (int i = 0; i < faults.size(); ++i) {
            const QString port = arguments[2 * i + 1];
            const bool pass = faults[i] == 0;
            QCOMPARE(r.out.contains(port + ": Verifying ...   OK!\n"), pass || faults[i] == 4);
            // Its lines name it once, before what went wrong.
            QVERIFY2(!r.err.contains(port + ", " + port), qPrintable(r.err));
            if (faults[i] == 5)
                VERIFY_CONTAINS(r.err, port + ": The programmer unit is not connected (" + port +
                                           ": the line was lost");
            const QStringList row = rows.filter(QRegularExpression(
                "^" + QRegularExpression::escape(port) + " +[A-Z-]+ +- +[0-9.]+ s"));
            QVERIFY2(row.size() == 1, qPrintable(r.out));
            QCOMPARE(row[0].contains(" PASS "), pass);
            QCOMPARE(row[0].contains(" HOOK "), faults[i] == 4);
            units[i]->stop();
            QCOMPARE(ws.read("saved" + QString::number(i)) == image, pass || faults[i] == 4);
        }
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
