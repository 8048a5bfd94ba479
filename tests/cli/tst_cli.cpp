// varn-cli run as a process: arguments, files, exit statuses, texts printed,
// and the frames the virtual programmer unit receives over a pseudo-terminal.

#include "production/productionlog.h"
#include "support/virtualunit.h"
#include "varn_version.h"

#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

using varn::test::VirtualUnit;

namespace {

// Exit statuses as documented in --help and the README.
constexpr int Ok = 0, Mismatch = 1, Usage = 2, Communication = 3, FileError = 4, LogError = 5;

// varn.dev of every test: index 1 is selected in varn.cfg.
const char* const DeviceTable = "\"T256\",3,256\r\n"
                                "\"T1K\",4,1024\r\n"
                                "\"Big, 8K\",5,8192\r\n";

struct CliResult {
    int exitCode = -1;
    QString out;
    QString err;
};

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray result;
    for (int v : values)
        result.append(char(v));
    return result;
}

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

// Intel HEX as the program writes it: 16-byte data records, CR LF, end record.
QByteArray hexText(const QByteArray& data) {
    QByteArray text;
    for (int a = 0; a < data.size(); a += 16) {
        QByteArray record = bytes({16, a >> 8, a & 0xFF, 0}) + data.mid(a, 16);
        int sum = 0;
        for (char c : record)
            sum += quint8(c);
        record.append(char((256 - (sum & 0xFF)) & 0xFF));
        text += ':' + record.toHex().toUpper() + "\r\n";
    }
    return text + ":00000001FF\r\n";
}

QString checksumText(const QByteArray& deviceBytes) {
    int sum = 0;
    for (char c : deviceBytes)
        sum += quint8(c);
    return QStringLiteral("%1").arg(sum & 0xFFFF, 4, 16, QLatin1Char('0')).toUpper();
}

QList<QByteArray> loadSequence(char letter) {
    return {bytes({1, 'T'}),    bytes({1, '+'}), bytes({1, '-'}),
            bytes({1, letter}), bytes({1, 'P'}), bytes({1, 'P'})};
}

QList<QByteArray> readRequests(int size, int last) {
    QList<QByteArray> frames;
    for (int a = 0; a < size; a += 16)
        frames << bytes({1, 'R'}) << bytes({4, a >> 8, a & 0xFF, 0, last});
    return frames;
}

QByteArray programBlock(const QByteArray& data, int a) {
    return bytes({0x14, a >> 8, a & 0xFF, 0, 0x10}) + data.mid(a, 16);
}

class Workspace {
public:
    explicit Workspace(bool withConfig = true, const QByteArray& autoList = "0\r\n") {
        if (withConfig) {
            write("varn.cfg", "1\r\n3\r\n1\r\n");
            write("varn.dev", DeviceTable);
            write("auto.cfg", autoList);
        }
    }
    QString path(const QString& name) const { return dir.filePath(name); }
    void write(const QString& name, const QByteArray& content) const {
        QFile file(path(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    QByteArray read(const QString& name) const {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    CliResult run(const QStringList& arguments) const {
        QProcess process;
        process.setWorkingDirectory(dir.path());
        process.start(QStringLiteral(VARN_CLI_PATH), arguments);
        CliResult result;
        if (!process.waitForStarted(10000) || !process.waitForFinished(120000)) {
            process.kill();
            process.waitForFinished();
            result.err = QStringLiteral("varn-cli did not finish");
            return result;
        }
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
        result.err = QString::fromLocal8Bit(process.readAllStandardError());
        return result;
    }

    QTemporaryDir dir;
};

// A unit that knows the same device table, with its memory preset.
struct Unit {
    Unit(const Workspace& ws, const QByteArray& memory, const QStringList& extra = {})
        : unit(arguments(ws, memory, extra)) {}
    static QStringList arguments(const Workspace& ws, const QByteArray& memory,
                                 const QStringList& extra) {
        QStringList args{QStringLiteral("--dev"), ws.path("varn.dev")};
        if (!memory.isEmpty()) {
            ws.write("unit-memory.bin", memory);
            args << QStringLiteral("--memory") << ws.path("unit-memory.bin");
        }
        return args + extra;
    }
    // Frames that were sent without a reply may still be on their way when
    // the program exits.
    QList<QByteArray> frames(int expectedCount) const {
        unit.waitForFrames(expectedCount);
        return unit.frames();
    }
    VirtualUnit unit;
};

#define START_UNIT(u) QVERIFY2((u).unit.start(), qPrintable((u).unit.error()))

#define CHECK_RUN(r, status)                                                                       \
    QVERIFY2((r).exitCode == (status),                                                             \
             qPrintable(QStringLiteral("exit %1, stdout: %2, stderr: %3")                          \
                            .arg((r).exitCode)                                                     \
                            .arg((r).out, (r).err)))

} // namespace

class TestCli : public QObject {
    Q_OBJECT
private slots:
    void usageErrors_data() {
        QTest::addColumn<bool>("withConfig");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        // Without configuration, arguments are judged before anything is read.
        QTest::newRow("nothing") << false << QStringList{} << "no operation given";
        QTest::newRow("unknown operation")
            << false << QStringList{"load", "a.bin", "frob"} << "unknown operation \"frob\"";
        QTest::newRow("fill byte too big")
            << false << QStringList{"fill", "0", "10", "100"} << "a byte is 0 to FF";
        QTest::newRow("port out of range")
            << false << QStringList{"--port", "9", "read"} << "a port number is 1 to 8";
        QTest::newRow("hex and bin") << false << QStringList{"--hex", "--bin", "load", "a"}
                                     << "--hex and --bin exclude each other";
        QTest::newRow("unknown option")
            << false << QStringList{"--bogus", "read"} << "unknown option --bogus";
        QTest::newRow("no varn.cfg") << false << QStringList{"checksum"} << "varn.cfg";
        QTest::newRow("unknown device name")
            << true << QStringList{"--device", "T2K", "checksum"} << "devices: T256, T1K, Big, 8K";
        QTest::newRow("device index too high")
            << true << QStringList{"--device", "4", "checksum"} << "devices 1 to 3";
    }
    void usageErrors() {
        QFETCH(bool, withConfig);
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        Workspace ws(withConfig);
        const CliResult r = ws.run(arguments);
        CHECK_RUN(r, Usage);
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QVERIFY(r.out.isEmpty());
        if (withConfig)
            QCOMPARE(ws.read("varn.cfg"), QByteArray("1\r\n3\r\n1\r\n"));
        else if (message != QLatin1String("varn.cfg"))
            QVERIFY(r.err.contains("--help"));
    }

    // Runs without configuration files; a pseudo-terminal, which the system
    // does not list, shows through its comN entries.
    void listPortsAndVersion() {
        Workspace ws(false);
        VirtualUnit unit({"--link", ws.path("com3")});
        QVERIFY2(unit.start(), qPrintable(unit.error()));
        QVERIFY(QFile::link(unit.path(), ws.path("com7")));
        CliResult r = ws.run({"--list-ports"});
        CHECK_RUN(r, 0);
        QVERIFY2(r.out.contains(unit.path() + " (pseudo-terminal)\n  access:       yes\n"
                                              "  com entries:  com3, com7\n"),
                 qPrintable(r.out));
        r = ws.run({"--version"});
        CHECK_RUN(r, 0);
        QCOMPARE(r.out, QStringLiteral("varn-cli " VARN_VERSION "\n"));
    }

    void checksumOfDeviceBytes_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("device");
        const QByteArray image = pattern(1024, 5);
        QByteArray filled = image;
        filled.replace(0x10, 0x20, QByteArray(0x20, '\0'));
        QTest::newRow("device of varn.cfg, blank") << QStringList{"checksum"} << blank(256);
        QTest::newRow("name in other case")
            << QStringList{"--device", "t1k", "checksum"} << blank(1024);
        QTest::newRow("name with comma")
            << QStringList{"--device=Big, 8K", "checksum"} << blank(8192);
        QTest::newRow("fill after load")
            << QStringList{"--device", "2",  "load", "image.bin", "fill",
                           "10",       "20", "0",    "checksum"}
            << filled;
        QTest::newRow("clear after load")
            << QStringList{"--device", "2", "load", "image.bin", "clear", "checksum"}
            << blank(1024);
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
        // A device override lives for this run only.
        QCOMPARE(ws.read("varn.cfg"), QByteArray("1\r\n3\r\n1\r\n"));
    }

    void fileConversions_data() {
        QTest::addColumn<QString>("inputName");
        QTest::addColumn<QByteArray>("inputContent");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("outputName");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray image = pattern(256, 3);
        const QByteArray half = pattern(128, 9);
        QTest::newRow("bin to hex")
            << "image.bin" << image << QStringList{} << "out.hex" << hexText(image);
        QTest::newRow("hex to bin")
            << "image.hex" << hexText(image) << QStringList{} << "out.HEX.bin" << image;
        QTest::newRow("HEX suffix upper case")
            << "IMAGE.HEX" << hexText(image) << QStringList{} << "out.bin" << image;
        QTest::newRow("Hex suffix is binary")
            << "image.Hex" << image << QStringList{} << "out.bin" << image;
        QTest::newRow("--hex forces Intel HEX")
            << "image.dat" << hexText(image) << QStringList{"--hex"} << "out.txt" << hexText(image);
        QTest::newRow("file offset skips, not shifts")
            << "half.bin" << half << QStringList{"--file-offset=40"} << "out.bin"
            << blank(64) + half.mid(64) + blank(128);
        QTest::newRow("hex with both offsets")
            << "half.hex" << hexText(half)
            << QStringList{"--file-offset", "10", "--buffer-offset", "20"} << "out.bin"
            << blank(48) + half.mid(16) + blank(96);
    }
    void fileConversions() {
        QFETCH(QString, inputName);
        QFETCH(QByteArray, inputContent);
        QFETCH(QStringList, options);
        QFETCH(QString, outputName);
        QFETCH(QByteArray, expected);
        Workspace ws;
        ws.write(inputName, inputContent);
        const CliResult r = ws.run(options + QStringList{"load", inputName, "save", outputName});
        CHECK_RUN(r, Ok);
        QCOMPARE(ws.read(outputName), expected);
        QVERIFY(r.out.contains("Loaded " + inputName));
        QVERIFY(r.out.contains("Saved " + outputName));
        QVERIFY2(r.err.isEmpty(), qPrintable(r.err));
    }

    // The first failure ends the run with its exit status: "save after.bin" never happens.
    void failureEndsTheRun_data() {
        QTest::addColumn<QStringList>("unitOptions");
        QTest::addColumn<QByteArray>("unitMemory");
        QTest::addColumn<QStringList>("arguments"); // PORT: the unit's line
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("errorLines");
        QTest::addColumn<QString>("named");
        QTest::addColumn<int>("framesSent"); // -1: not counted

        const QByteArray image = pattern(1024, 2);
        QByteArray changed = image + blank(65536 - 1024);
        changed[0x1A3] = char(0xC5);
        QByteArray notBlank = blank(65536);
        notBlank[0x123] = char(0x5A);
        notBlank[0x200] = char(0x00);
        const QString bufferByte =
            QStringLiteral("%1").arg(quint8(image.at(0x1A3)), 2, 16, QLatin1Char('0')).toUpper();
        const QStringList program{"--port", "PORT", "load", "image.bin", "program"};

        QTest::newRow("missing binary")
            << QStringList{} << QByteArray() << QStringList{"load", "missing.bin"} << FileError
            << QStringList{} << "missing.bin" << -1;
        QTest::newRow("bad checksum")
            << QStringList{} << QByteArray() << QStringList{"load", "bad.hex"} << FileError
            << QStringList{} << "bad.hex" << -1;
        QTest::newRow("folder missing")
            << QStringList{} << QByteArray() << QStringList{"save", "nofolder/out.bin"} << FileError
            << QStringList{} << "out.bin" << -1;
        QTest::newRow("verify") << QStringList{} << changed
                                << QStringList{"--port", "PORT",      "--device", "2",
                                               "load",   "image.bin", "verify"}
                                << Mismatch
                                << QStringList{"Verify Error at 01A3 (buffer " + bufferByte +
                                               ", device C5)"}
                                << "" << -1;
        QTest::newRow("blank check")
            << QStringList{} << notBlank << QStringList{"--port", "PORT", "--device", "2", "blank"}
            << Mismatch << QStringList{"Device not blank at 0123 (device 5A)"} << "" << -1;
        QTest::newRow("no identification")
            << QStringList{"--no-answer", "1"} << QByteArray() << program << Communication
            << QStringList{"Communication Error!"} << "" << 1;
        // Reply 1 is the identification, reply 2 the first block's acknowledgement.
        QTest::newRow("second block unacknowledged")
            << QStringList{"--no-answer", "3"} << QByteArray() << program << Communication
            << QStringList{"Communication Error!", "Programming ...   Device Fault!"} << ""
            << 6 + 1 + 2;
        QTest::newRow("line lost at the first block")
            << QStringList{"--close-after", "8"} << QByteArray() << program << Communication
            << QStringList{"Communication Error!"} << "the line was lost" << -1;
        QTest::newRow("no such port")
            << QStringList{} << QByteArray()
            << QStringList{"--port", "no-such-tty", "load", "image.bin", "program"} << Communication
            << QStringList{} << "no-such-tty" << 0;
    }
    void failureEndsTheRun() {
        QFETCH(QStringList, unitOptions);
        QFETCH(QByteArray, unitMemory);
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QStringList, errorLines);
        QFETCH(QString, named);
        QFETCH(int, framesSent);

        Workspace ws;
        const QByteArray image = pattern(1024, 2);
        ws.write("image.bin", image);
        QByteArray bad = hexText(pattern(32, 1));
        bad[bad.indexOf("\r\n") - 1] = bad.at(bad.indexOf("\r\n") - 1) == '0' ? '1' : '0';
        ws.write("bad.hex", bad);
        Unit u(ws, unitMemory, unitOptions);
        START_UNIT(u);
        arguments.replaceInStrings("PORT", u.unit.path());
        arguments.replaceInStrings("no-such-tty", ws.path("no-such-tty"));

        const CliResult r = ws.run(arguments + QStringList{"save", "after.bin"});
        CHECK_RUN(r, status);
        const QStringList lines = r.err.split('\n');
        for (const QString& line : errorLines)
            QVERIFY2(lines.contains(line), qPrintable(r.err));
        QVERIFY2(r.err.contains(named), qPrintable(r.err));
        QVERIFY(!QFile::exists(ws.path("after.bin")));
        if (framesSent < 0)
            return;
        const QList<QByteArray> frames = u.frames(framesSent);
        QCOMPARE(frames.size(), framesSent);
        if (framesSent > 6) // no closing write command after the lost acknowledgement
            QCOMPARE(frames.last(), programBlock(image, 0x10));
    }

    void programOnTheWire_data() {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QStringList>("operations");
        QTest::addColumn<QList<int>>("addresses");
        QList<int> all;
        for (int a = 0; a < 256; a += 16)
            all << a;
        QTest::newRow("HEX, every block, verify")
            << "image.hex" << QStringList{"program", "verify"} << all;
        QTest::newRow("--skip-blank") << "image.bin" << QStringList{"--skip-blank", "program"}
                                      << QList<int>{0x00, 0x20, 0xF0};
    }
    void programOnTheWire() {
        QFETCH(QString, fileName);
        QFETCH(QStringList, operations);
        QFETCH(QList<int>, addresses);
        Workspace ws;
        QByteArray image = blank(256);
        image[0x05] = 0x12;
        image.replace(0x20, 16, pattern(16, 8));
        image[0xFF] = 0x00;
        ws.write("image.bin", image);
        ws.write("image.hex", hexText(image));
        Unit u(ws, blank(65536));
        START_UNIT(u);

        const CliResult r =
            ws.run(QStringList{"--port", u.unit.path(), "load", fileName} + operations);
        CHECK_RUN(r, Ok);
        QVERIFY(r.out.contains("Programming ...   OK!\n"));
        const bool verify = operations.contains("verify");
        QCOMPARE(r.out.contains("Verifying ...   OK!\n"), verify);
        QVERIFY2(r.err.isEmpty(), qPrintable(r.err));

        // T256 has Code 3: device letter "c".
        QList<QByteArray> expected = loadSequence('c');
        expected << bytes({1, 'W'});
        for (int a : addresses)
            expected << programBlock(image, a);
        expected << bytes({1, 'W'});
        if (verify)
            expected << readRequests(256, 0x01);
        QCOMPARE(u.frames(expected.size()), expected);
    }

    void readRoundTrip_data() {
        QTest::addColumn<QString>("outputName");
        QTest::newRow("Intel HEX") << "device.hex";
        QTest::newRow("binary") << "device.bin";
    }
    void readRoundTrip() {
        QFETCH(QString, outputName);
        Workspace ws;
        const QByteArray memory = pattern(1024, 21) + blank(65536 - 1024);
        Unit u(ws, memory);
        START_UNIT(u);
        const CliResult r =
            ws.run({"--port", u.unit.path(), "--device", "T1K", "read", "save", outputName});
        CHECK_RUN(r, Ok);
        QVERIFY(r.out.contains("Reading ...   OK!\n"));
        const QByteArray device = memory.left(1024);
        QCOMPARE(ws.read(outputName), outputName.endsWith(".hex") ? hexText(device) : device);
        QList<QByteArray> expected = loadSequence('d');
        expected << readRequests(1024, 0x10);
        QCOMPARE(u.frames(expected.size()), expected);
    }

    void runAndReset_data() {
        QTest::addColumn<QStringList>("operations");
        QTest::addColumn<QList<QByteArray>>("framesAfterIdentify");
        QTest::addColumn<QString>("lastState");
        QList<QByteArray> afterErase = loadSequence('c').mid(1);
        afterErase << bytes({1, 'E'}) << bytes({1, '+'});
        QTest::newRow("run while running sends nothing")
            << QStringList{"run"} << QList<QByteArray>{} << "Target: RUN";
        QTest::newRow("reset run reset")
            << QStringList{"reset", "run", "reset"}
            << QList<QByteArray>{bytes({1, '-'}), bytes({1, '+'}), bytes({1, '-'})}
            << "Target: RESET";
        QTest::newRow("run after a function")
            << QStringList{"erase", "run"} << afterErase << "Target: RUN";
    }
    void runAndReset() {
        QFETCH(QStringList, operations);
        QFETCH(QList<QByteArray>, framesAfterIdentify);
        QFETCH(QString, lastState);
        Workspace ws;
        Unit u(ws, {});
        START_UNIT(u);
        const CliResult r = ws.run(QStringList{"--port", u.unit.path()} + operations);
        CHECK_RUN(r, Ok);
        QCOMPARE(r.out.split('\n', Qt::SkipEmptyParts).last(), lastState);
        const QList<QByteArray> expected = QList<QByteArray>{bytes({1, 'T'})} + framesAfterIdentify;
        QCOMPARE(u.frames(expected.size()), expected);
    }

    void identify_data() {
        QTest::addColumn<QString>("linkName");
        QTest::addColumn<QStringList>("portOption");
        QTest::newRow("device path") << "" << QStringList{"--port", "PATH"};
        QTest::newRow("port of varn.cfg through com1") << "com1" << QStringList{};
        QTest::newRow("--port 2 through com2") << "com2" << QStringList{"--port", "2"};
    }
    void identify() {
        QFETCH(QString, linkName);
        QFETCH(QStringList, portOption);
        Workspace ws;
        QStringList unitOptions{"--name", "ABCD", "--version", "21"};
        if (!linkName.isEmpty())
            unitOptions << "--link" << ws.path(linkName);
        Unit u(ws, {}, unitOptions);
        START_UNIT(u);
        portOption.replaceInStrings("PATH", u.unit.path());
        const CliResult r = ws.run(portOption + QStringList{"identify"});
        CHECK_RUN(r, Ok);
        QCOMPARE(r.out, QStringLiteral("Device: ABCD\nVersion 2.1\n"));
        // Identification only: the function window's load sequence is not needed.
        QCOMPARE(u.frames(1), QList<QByteArray>{bytes({1, 'T'})});
    }

    void quiet() {
        Workspace ws;
        const QByteArray image = pattern(256, 6);
        ws.write("image.bin", image);
        QByteArray memory = blank(65536);
        memory[0x40] = 0x00;
        Unit u(ws, memory);
        START_UNIT(u);
        // Results a script asked for still come; status lines do not.
        CliResult r = ws.run(
            {"-q", "--port", u.unit.path(), "load", "image.bin", "checksum", "identify", "blank"});
        CHECK_RUN(r, Mismatch);
        QCOMPARE(r.out, checksumText(image) + "\nDevice: VARN\nVersion 2.0\n");
        QCOMPARE(r.err, QStringLiteral("Device not blank at 0040 (device 00)\n"));
    }

    void autoSequence_data() {
        QTest::addColumn<QByteArray>("autoList");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("blank, program, verify")
            << QByteArray("3\r\n2\r\n3\r\n4\r\n") << Ok
            << "Loaded image.bin (Binary)\nBlank Checking ...   OK!\nProgramming ...   OK!\n"
               "Verifying ...   OK!\n"
            << "";
        QTest::newRow("verify first stops the sequence")
            << QByteArray("2\r\n4\r\n3\r\n") << Mismatch << "Loaded image.bin (Binary)\n"
            << "Verify Error at 0000 (buffer 01, device FF)\n";
    }
    void autoSequence() {
        QFETCH(QByteArray, autoList);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        Workspace ws(true, autoList);
        QByteArray image = pattern(256, 1);
        image[0] = 0x01;
        ws.write("image.bin", image);
        Unit u(ws, blank(65536));
        START_UNIT(u);
        const CliResult r = ws.run({"--port", u.unit.path(), "load", "image.bin", "auto"});
        CHECK_RUN(r, status);
        QCOMPARE(r.out, out);
        QCOMPARE(r.err, err);
        const bool programmed = status == Ok;
        const QList<QByteArray> frames = u.frames(programmed ? 6 + 32 + 18 : 6);
        QCOMPARE(frames.contains(programBlock(image, 0)), programmed);
    }

    // A load that left data out must not go on to program half an image.
    void partialLoad_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("status");
        QTest::newRow("refused") << QStringList{} << FileError;
        QTest::newRow("--allow-partial") << QStringList{"--allow-partial"} << Ok;
    }
    void partialLoad() {
        QFETCH(QStringList, options);
        QFETCH(int, status);
        Workspace ws;
        const QByteArray image = pattern(256, 4);
        // One record at 20000 (beyond the buffer), then the image at 0.
        ws.write("part.hex",
                 ":020000040002F8\r\n:0100000042BD\r\n:020000040000FA\r\n" + hexText(image));
        const CliResult r = ws.run(options + QStringList{"load", "part.hex", "save", "out.bin"});
        CHECK_RUN(r, status);
        QVERIFY2(r.err.contains("beyond the buffer") && r.err.contains("line 2"),
                 qPrintable(r.err));
        QCOMPARE(ws.read("out.bin"), status == Ok ? image : QByteArray());
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
        QCOMPARE(process.readAllStandardOutput(), hexText(image));
    }

    // Four chips through one log: each record and each chip's number in the
    // unit's saved memory; the chip that fails verify gives its number on.
    void productionRecords() {
        Workspace ws;
        const QByteArray image = pattern(256, 3);
        ws.write("image.bin", image);
        const QStringList serial{"--serial-address",  "10",  "--serial-length", "2",
                                 "--serial-encoding", "bcd", "--serial-first",  "1200",
                                 "--serial-step",     "5"};
        QByteArray planted = blank(65536);
        planted[0x80] = 0; // programming only clears bits: verify finds 00
        const QList<QByteArray> memories{blank(65536), planted, blank(65536), blank(65536)};
        const QList<QByteArray> numbers{bytes({0x12, 0x00}), bytes({0x12, 0x05}),
                                        bytes({0x12, 0x05}), bytes({0x12, 0x10})};
        for (int i = 0; i < memories.size(); ++i) {
            Unit u(ws, memories[i], {"--save-memory", ws.path("saved.bin")});
            START_UNIT(u);
            const CliResult r =
                ws.run(QStringList{"--port", u.unit.path(), "--log", "line.sqlite"} + serial +
                       QStringList{"load", "image.bin", "program", "verify"});
            CHECK_RUN(r, i == 1 ? Mismatch : Ok);
            u.unit.stop();
            QCOMPARE(ws.read("saved.bin").mid(0x10, 2), numbers[i]);
        }

        varn::ProductionLog log;
        QVERIFY(log.open(ws.path("line.sqlite")));
        QList<varn::ChipRecord> records;
        QVERIFY(log.records(&records));
        QCOMPARE(records.size(), 4);
        QList<qint64> serials;
        for (const varn::ChipRecord& record : records)
            serials.append(record.serial);
        QCOMPARE(serials, (QList<qint64>{1200, 1205, 1205, 1210}));
        const varn::ChipRecord& good = records[0];
        QVERIFY(good.passed);
        QCOMPARE(good.functions, (QStringList{"Program", "Verify"}));
        QCOMPARE(good.deviceType, QStringLiteral("T256"));
        QCOMPARE(good.deviceSize, qint64(256));
        QCOMPARE(good.imageFile, QStringLiteral("image.bin"));
        QCOMPARE(good.unitName, QStringLiteral("VARN"));
        QVERIFY(good.imageCrc32 != 0);
        const varn::ChipRecord& bad = records[1];
        QVERIFY(!bad.passed);
        QCOMPARE(bad.failedStep, QStringLiteral("Verify"));
        QCOMPARE(bad.failure, varn::ChipRecord::Failure::Mismatch);
        QCOMPARE(bad.failureAddress, qint64(0x80));
        QCOMPARE(bad.expectedByte, int(quint8(image[0x80])));
        QCOMPARE(bad.actualByte, 0);
        // The image's figures are those of the image, not of each chip's number.
        QCOMPARE(bad.imageCrc32, good.imageCrc32);

        const CliResult csv =
            ws.run({"--log", "line.sqlite", "--from", "2000-01-01", "export", "-"});
        CHECK_RUN(csv, Ok);
        QCOMPARE(csv.out.count(QStringLiteral("\r\n")), 5);
        QVERIFY(csv.out.contains(QStringLiteral(",fail,Verify,mismatch,128,")));
        const CliResult none =
            ws.run({"--log", "line.sqlite", "--to", "2000-01-01", "export", "-"});
        QCOMPARE(none.out.count(QStringLiteral("\r\n")), 1);
    }

    void logFailures_data() {
        QTest::addColumn<QStringList>("unitOptions");
        QTest::addColumn<QString>("log"); // "refuse": a log whose table refuses records
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("err");
        QTest::addColumn<int>("framesSent");
        QTest::newRow("unit stops answering") << QStringList{"--no-answer", "3"} << "log.sqlite"
                                              << QStringList{} << Communication << "" << -1;
        QTest::newRow("log cannot be opened")
            << QStringList{} << "missing/log.sqlite" << QStringList{} << LogError
            << "Nothing was sent" << 0;
        QTest::newRow("record cannot be written")
            << QStringList{} << "refuse" << QStringList{"--serial-address", "20"} << LogError
            << "serial_number=1 " << -1;
        QTest::newRow("serial number without log")
            << QStringList{} << "" << QStringList{"--serial-address", "20"} << Usage
            << "need the production log" << 0;
    }
    void logFailures() {
        QFETCH(QStringList, unitOptions);
        QFETCH(QString, log);
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, err);
        QFETCH(int, framesSent);
        Workspace ws;
        ws.write("image.bin", pattern(256, 4));
        if (log == QLatin1String("refuse")) {
            log = ws.path("refuse.sqlite");
            varn::ProductionLog made;
            QVERIFY(made.open(log));
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "refuse");
            db.setDatabaseName(log);
            QVERIFY(db.open());
            QVERIFY(QSqlQuery(db).exec("CREATE TRIGGER full BEFORE INSERT ON chip_records "
                                       "BEGIN SELECT RAISE(ABORT, 'disk full'); END"));
        }
        QSqlDatabase::removeDatabase("refuse");
        Unit u(ws, blank(65536), unitOptions);
        START_UNIT(u);
        if (!log.isEmpty())
            arguments << "--log" << log;
        const CliResult r = ws.run(arguments + QStringList{"--port", u.unit.path(), "load",
                                                           "image.bin", "program", "verify"});
        CHECK_RUN(r, status);
        QVERIFY2(r.err.contains(err), qPrintable(r.err));
        if (framesSent >= 0)
            QCOMPARE(u.frames(0).size(), framesSent);
        if (status != Communication)
            return;
        varn::ProductionLog opened;
        QVERIFY(opened.open(ws.path(log)));
        QList<varn::ChipRecord> records;
        QVERIFY(opened.records(&records));
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0].failure, varn::ChipRecord::Failure::Communication);
        QCOMPARE(records[0].failedStep, QStringLiteral("Program"));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
