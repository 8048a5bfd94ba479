// varn-cli run as a process: arguments, files, exit statuses, texts printed,
// and the frames the virtual programmer unit receives over a pseudo-terminal.

#include "support/virtualunit.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using varn::test::VirtualUnit;

namespace {

// Exit statuses as documented in --help and the README.
constexpr int Ok = 0;
constexpr int Mismatch = 1;
constexpr int Usage = 2;
constexpr int Communication = 3;
constexpr int FileError = 4;

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
    bool exists(const QString& name) const { return QFile::exists(path(name)); }

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
    void badArguments_data();
    void badArguments();
    void help();
    void configurationErrors_data();
    void configurationErrors();
    void deviceSelection_data();
    void deviceSelection();
    void fileConversions_data();
    void fileConversions();
    void checksumAndFill_data();
    void checksumAndFill();
    void fileErrors_data();
    void fileErrors();
    void programAndVerifyOnTheWire();
    void readRoundTrip_data();
    void readRoundTrip();
    void mismatches_data();
    void mismatches();
    void communicationFailures_data();
    void communicationFailures();
    void skipBlank_data();
    void skipBlank();
    void runAndReset_data();
    void runAndReset();
    void identify_data();
    void identify();
    void quiet();
    void autoSequence_data();
    void autoSequence();
};

void TestCli::badArguments_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::newRow("nothing") << QStringList{} << "no operation given";
    QTest::newRow("unknown operation")
        << QStringList{"load", "a.bin", "frob"} << "unknown operation \"frob\"";
    QTest::newRow("load without file") << QStringList{"load"} << "load needs FILE";
    QTest::newRow("load followed by option") << QStringList{"load", "--hex"} << "load needs FILE";
    QTest::newRow("fill short") << QStringList{"fill", "0", "10"} << "fill needs START LENGTH BYTE";
    QTest::newRow("fill byte too big")
        << QStringList{"fill", "0", "10", "100"} << "a byte is 0 to FF";
    QTest::newRow("fill start not hex")
        << QStringList{"fill", "zz", "10", "FF"} << "fill START \"zz\"";
    QTest::newRow("port out of range")
        << QStringList{"--port", "9", "read"} << "a port number is 1 to 8";
    QTest::newRow("port without value") << QStringList{"read", "--port"} << "--port needs a value";
    QTest::newRow("offset not hex")
        << QStringList{"--file-offset", "x1", "load", "a.bin"} << "--file-offset \"x1\"";
    QTest::newRow("hex and bin") << QStringList{"--hex", "--bin", "load", "a"}
                                 << "--hex and --bin exclude each other";
    QTest::newRow("flag with value") << QStringList{"--quiet=1", "read"} << "takes no value";
    QTest::newRow("unknown option") << QStringList{"--bogus", "read"} << "unknown option --bogus";
}

void TestCli::badArguments() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    // No configuration at all: arguments are judged before anything is read.
    Workspace ws(false);
    const CliResult r = ws.run(arguments);
    CHECK_RUN(r, Usage);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QVERIFY(r.err.contains("--help"));
    QVERIFY(r.out.isEmpty());
}

void TestCli::help() {
    Workspace ws(false);
    const CliResult r = ws.run({"--help"});
    CHECK_RUN(r, Ok);
    QVERIFY(r.err.isEmpty());
    for (const char* word : {"load FILE", "save FILE", "fill START LENGTH BYTE", "clear", "read",
                             "erase", "blank", "program", "verify", "lock", "auto", "checksum",
                             "identify", "run", "reset", "--skip-blank", "--quiet"})
        QVERIFY2(r.out.contains(QLatin1String(word)), word);
    const QStringList lines = r.out.split('\n');
    for (int status : {Ok, Mismatch, Usage, Communication, FileError}) {
        const QString prefix = QStringLiteral("  %1  ").arg(status);
        QVERIFY2(std::any_of(lines.begin(), lines.end(),
                             [&](const QString& l) { return l.startsWith(prefix); }),
                 qPrintable(prefix));
    }
}

void TestCli::configurationErrors_data() {
    QTest::addColumn<bool>("withConfig");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::newRow("no varn.cfg") << false << QStringList{"checksum"} << "varn.cfg";
    QTest::newRow("unknown device name")
        << true << QStringList{"--device", "T2K", "checksum"} << "devices: T256, T1K, Big, 8K";
    QTest::newRow("device index too high")
        << true << QStringList{"--device", "4", "checksum"} << "devices 1 to 3";
    QTest::newRow("device index 0")
        << true << QStringList{"--device", "0", "checksum"} << "devices 1 to 3";
}

void TestCli::configurationErrors() {
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
}

void TestCli::deviceSelection_data() {
    QTest::addColumn<QStringList>("deviceOption");
    QTest::addColumn<int>("size");

    QTest::newRow("varn.cfg") << QStringList{} << 256;
    QTest::newRow("by index") << QStringList{"--device", "2"} << 1024;
    QTest::newRow("by name") << QStringList{"--device", "T1K"} << 1024;
    QTest::newRow("name in other case") << QStringList{"--device", "t1k"} << 1024;
    QTest::newRow("name with comma") << QStringList{"--device=Big, 8K"} << 8192;
}

void TestCli::deviceSelection() {
    QFETCH(QStringList, deviceOption);
    QFETCH(int, size);

    // The binary file is exactly the selected device's size.
    Workspace ws;
    const CliResult r = ws.run(deviceOption + QStringList{"save", "out.bin"});
    CHECK_RUN(r, Ok);
    QCOMPARE(ws.read("out.bin"), blank(size));
    // The override lives for this run only.
    QCOMPARE(ws.read("varn.cfg"), QByteArray("1\r\n3\r\n1\r\n"));
}

void TestCli::fileConversions_data() {
    QTest::addColumn<QString>("inputName");
    QTest::addColumn<QByteArray>("inputContent");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("outputName");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray image = pattern(256, 3);
    const QByteArray half = pattern(128, 9);

    QTest::newRow("bin to hex") << "image.bin" << image << QStringList{} << "out.hex"
                                << hexText(image);
    QTest::newRow("hex to bin") << "image.hex" << hexText(image) << QStringList{} << "out.HEX.bin"
                                << image;
    QTest::newRow("HEX suffix upper case")
        << "IMAGE.HEX" << hexText(image) << QStringList{} << "out.bin" << image;
    QTest::newRow("Hex suffix is binary")
        << "image.Hex" << image << QStringList{} << "out.bin" << image;
    QTest::newRow("--hex forces Intel HEX")
        << "image.dat" << hexText(image) << QStringList{"--hex"} << "out.txt" << hexText(image);
    QTest::newRow("--bin forces binary")
        << "image.hex" << image << QStringList{"--bin"} << "copy.hex" << image;
    QTest::newRow("buffer offset") << "half.bin" << half << QStringList{"--buffer-offset", "80"}
                                   << "out.bin" << blank(128) + half;
    QTest::newRow("file offset skips, not shifts")
        << "half.bin" << half << QStringList{"--file-offset=40"} << "out.bin"
        << blank(64) + half.mid(64) + blank(128);
    QTest::newRow("hex with both offsets")
        << "half.hex" << hexText(half)
        << QStringList{"--file-offset", "10", "--buffer-offset", "20"} << "out.bin"
        << blank(48) + half.mid(16) + blank(96);
}

void TestCli::fileConversions() {
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

void TestCli::checksumAndFill_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("device");

    const QByteArray image = pattern(1024, 5);
    QByteArray filled = image;
    filled.replace(0x10, 0x20, QByteArray(0x20, '\0'));

    QTest::newRow("blank buffer") << QStringList{"checksum"} << blank(256);
    QTest::newRow("loaded image") << QStringList{"--device", "2", "load", "image.bin", "checksum"}
                                  << image;
    QTest::newRow("fill after load")
        << QStringList{"--device", "2", "load", "image.bin", "fill", "10", "20", "0", "checksum"}
        << filled;
    QTest::newRow("clear after load")
        << QStringList{"--device", "2", "load", "image.bin", "clear", "checksum"} << blank(1024);
    QTest::newRow("only the device's part counts")
        << QStringList{"load", "image.bin", "checksum"} << image.left(256);
}

void TestCli::checksumAndFill() {
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, device);

    Workspace ws;
    ws.write("image.bin", pattern(1024, 5));
    const CliResult r = ws.run(arguments);
    CHECK_RUN(r, Ok);
    QCOMPARE(r.out.split('\n', Qt::SkipEmptyParts).last(), checksumText(device));
}

void TestCli::fileErrors_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("named");

    QTest::newRow("missing binary")
        << QStringList{"load", "missing.bin", "save", "after.bin"} << "missing.bin";
    QTest::newRow("missing hex") << QStringList{"load", "missing.hex", "save", "after.bin"}
                                 << "missing.hex";
    QTest::newRow("bad checksum") << QStringList{"load", "bad.hex", "save", "after.bin"}
                                  << "bad.hex";
    QTest::newRow("folder missing")
        << QStringList{"save", "nofolder/out.bin", "save", "after.bin"} << "out.bin";
}

void TestCli::fileErrors() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, named);

    Workspace ws;
    QByteArray bad = hexText(pattern(32, 1));
    bad[bad.indexOf("\r\n") - 1] = bad.at(bad.indexOf("\r\n") - 1) == '0' ? '1' : '0';
    ws.write("bad.hex", bad);

    const CliResult r = ws.run(arguments);
    CHECK_RUN(r, FileError);
    QVERIFY2(r.err.contains(named), qPrintable(r.err));
    // The first failure ends the run.
    QVERIFY(!ws.exists("after.bin"));
}

void TestCli::programAndVerifyOnTheWire() {
    Workspace ws;
    const QByteArray image = pattern(256, 11);
    ws.write("image.hex", hexText(image));
    Unit u(ws, blank(65536));
    START_UNIT(u);

    const CliResult r = ws.run({"--port", u.unit.path(), "load", "image.hex", "program", "verify"});
    CHECK_RUN(r, Ok);
    QVERIFY(r.out.contains("Programming ...   OK!\n"));
    QVERIFY(r.out.contains("Verifying ...   OK!\n"));
    QVERIFY2(r.err.isEmpty(), qPrintable(r.err));

    // T256 has Code 3: device letter "c".
    QList<QByteArray> expected = loadSequence('c');
    expected << bytes({1, 'W'});
    for (int a = 0; a < 256; a += 16)
        expected << programBlock(image, a);
    expected << bytes({1, 'W'});
    expected << readRequests(256, 0x01);
    QCOMPARE(u.frames(expected.size()), expected);
}

void TestCli::readRoundTrip_data() {
    QTest::addColumn<QString>("outputName");
    QTest::addColumn<bool>("hex");

    QTest::newRow("Intel HEX") << "device.hex" << true;
    QTest::newRow("binary") << "device.bin" << false;
}

void TestCli::readRoundTrip() {
    QFETCH(QString, outputName);
    QFETCH(bool, hex);

    Workspace ws;
    const QByteArray memory = pattern(1024, 21) + blank(65536 - 1024);
    Unit u(ws, memory);
    START_UNIT(u);

    const CliResult r =
        ws.run({"--port", u.unit.path(), "--device", "T1K", "read", "save", outputName});
    CHECK_RUN(r, Ok);
    QVERIFY(r.out.contains("Reading ...   OK!\n"));
    const QByteArray device = memory.left(1024);
    QCOMPARE(ws.read(outputName), hex ? hexText(device) : device);

    QList<QByteArray> expected = loadSequence('d');
    expected << readRequests(1024, 0x10);
    QCOMPARE(u.frames(expected.size()), expected);
}

void TestCli::mismatches_data() {
    QTest::addColumn<QStringList>("operations");
    QTest::addColumn<QByteArray>("unitMemory");
    QTest::addColumn<QString>("message");

    const QByteArray image = pattern(1024, 2);
    QByteArray changed = image + blank(65536 - 1024);
    changed[0x1A3] = char(0xC5);
    QByteArray notBlank = blank(65536);
    notBlank[0x123] = char(0x5A);
    notBlank[0x200] = char(0x00);

    const QString bufferByte =
        QStringLiteral("%1").arg(quint8(image.at(0x1A3)), 2, 16, QLatin1Char('0')).toUpper();
    QTest::newRow("verify") << QStringList{"load", "image.bin", "verify"} << changed
                            << "Verify Error at 01A3 (buffer " + bufferByte + ", device C5)";
    QTest::newRow("blank check") << QStringList{"blank"} << notBlank
                                 << "Device not blank at 0123 (device 5A)";
}

void TestCli::mismatches() {
    QFETCH(QStringList, operations);
    QFETCH(QByteArray, unitMemory);
    QFETCH(QString, message);

    Workspace ws;
    ws.write("image.bin", pattern(1024, 2));
    Unit u(ws, unitMemory);
    START_UNIT(u);

    const CliResult r = ws.run(QStringList{"--port", u.unit.path(), "--device", "2"} + operations +
                               QStringList{"save", "after.bin"});
    CHECK_RUN(r, Mismatch);
    QVERIFY2(r.err.split('\n').contains(message), qPrintable(r.err));
    QVERIFY(!ws.exists("after.bin"));
}

void TestCli::communicationFailures_data() {
    QTest::addColumn<QStringList>("unitOptions");
    QTest::addColumn<bool>("useUnitPort");
    QTest::addColumn<QStringList>("errorLines");
    QTest::addColumn<int>("framesSent");

    QTest::newRow("no identification")
        << QStringList{"--no-answer", "1"} << true << QStringList{"Communication Error!"} << 1;
    // Reply 1 is the identification, reply 2 the first block's acknowledgement.
    QTest::newRow("second block unacknowledged")
        << QStringList{"--no-answer", "3"} << true
        << QStringList{"Communication Error!", "Programming ...   Device Fault!"} << 6 + 1 + 2;
    QTest::newRow("no such port") << QStringList{} << false << QStringList{} << 0;
}

void TestCli::communicationFailures() {
    QFETCH(QStringList, unitOptions);
    QFETCH(bool, useUnitPort);
    QFETCH(QStringList, errorLines);
    QFETCH(int, framesSent);

    Workspace ws;
    ws.write("image.bin", pattern(256, 4));
    Unit u(ws, {}, unitOptions);
    START_UNIT(u);
    const QString port = useUnitPort ? u.unit.path() : ws.path("no-such-tty");

    const CliResult r =
        ws.run({"--port", port, "load", "image.bin", "program", "save", "after.bin"});
    CHECK_RUN(r, Communication);
    const QStringList lines = r.err.split('\n');
    for (const QString& line : errorLines)
        QVERIFY2(lines.contains(line), qPrintable(r.err));
    if (!useUnitPort)
        QVERIFY2(r.err.contains("no-such-tty"), qPrintable(r.err));
    QVERIFY(!ws.exists("after.bin"));

    const QList<QByteArray> frames = u.frames(framesSent);
    QCOMPARE(frames.size(), framesSent);
    if (framesSent > 6) {
        // No closing write command after the lost acknowledgement.
        QCOMPARE(frames.last(), programBlock(pattern(256, 4), 0x10));
    }
}

void TestCli::skipBlank_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QList<int>>("addresses");

    QList<int> all;
    for (int a = 0; a < 256; a += 16)
        all << a;
    QTest::newRow("every block") << QStringList{} << all;
    QTest::newRow("--skip-blank") << QStringList{"--skip-blank"} << QList<int>{0x00, 0x20, 0xF0};
}

void TestCli::skipBlank() {
    QFETCH(QStringList, options);
    QFETCH(QList<int>, addresses);

    Workspace ws;
    QByteArray image = blank(256);
    image[0x05] = 0x12;
    image.replace(0x20, 16, pattern(16, 8));
    image[0xFF] = 0x00;
    ws.write("image.bin", image);
    Unit u(ws, {});
    START_UNIT(u);

    const CliResult r =
        ws.run(options + QStringList{"--port", u.unit.path(), "load", "image.bin", "program"});
    CHECK_RUN(r, Ok);
    QVERIFY(r.out.contains("Programming ...   OK!\n"));

    QList<QByteArray> expected = loadSequence('c');
    expected << bytes({1, 'W'});
    for (int a : addresses)
        expected << programBlock(image, a);
    expected << bytes({1, 'W'});
    QCOMPARE(u.frames(expected.size()), expected);
}

void TestCli::runAndReset_data() {
    QTest::addColumn<QStringList>("operations");
    QTest::addColumn<QList<QByteArray>>("framesAfterIdentify");
    QTest::addColumn<QString>("lastState");

    QList<QByteArray> afterErase = loadSequence('c').mid(1);
    afterErase << bytes({1, 'E'}) << bytes({1, '+'});

    QTest::newRow("run while running sends nothing")
        << QStringList{"run"} << QList<QByteArray>{} << "Target: RUN";
    QTest::newRow("reset") << QStringList{"reset"} << QList<QByteArray>{bytes({1, '-'})}
                           << "Target: RESET";
    QTest::newRow("reset run reset")
        << QStringList{"reset", "run", "reset"}
        << QList<QByteArray>{bytes({1, '-'}), bytes({1, '+'}), bytes({1, '-'})} << "Target: RESET";
    QTest::newRow("run after a function")
        << QStringList{"erase", "run"} << afterErase << "Target: RUN";
}

void TestCli::runAndReset() {
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

void TestCli::identify_data() {
    QTest::addColumn<QString>("linkName");
    QTest::addColumn<QStringList>("portOption");

    QTest::newRow("device path") << "" << QStringList{"--port", "PATH"};
    QTest::newRow("port of varn.cfg through com1") << "com1" << QStringList{};
    QTest::newRow("--port 2 through com2") << "com2" << QStringList{"--port", "2"};
}

void TestCli::identify() {
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

void TestCli::quiet() {
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

void TestCli::autoSequence_data() {
    QTest::addColumn<QByteArray>("autoList");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::addColumn<bool>("programmed");

    QTest::newRow("blank, program, verify")
        << QByteArray("3\r\n2\r\n3\r\n4\r\n") << Ok
        << "Loaded image.bin (Binary)\nBlank Checking ...   OK!\nProgramming ...   OK!\n"
           "Verifying ...   OK!\n"
        << "" << true;
    QTest::newRow("verify first stops the sequence")
        << QByteArray("2\r\n4\r\n3\r\n") << Mismatch << "Loaded image.bin (Binary)\n"
        << "Verify Error at 0000 (buffer 01, device FF)\n"
        << false;
    QTest::newRow("empty sequence")
        << QByteArray("0\r\n") << Ok << "Loaded image.bin (Binary)\nAuto: auto.cfg holds no steps\n"
        << "" << false;
}

void TestCli::autoSequence() {
    QFETCH(QByteArray, autoList);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(bool, programmed);

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
    const QList<QByteArray> frames = u.frames(programmed ? 6 + 32 + 18 : 6);
    QCOMPARE(frames.contains(programBlock(image, 0)), programmed);
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
