#include "files/imagefiles.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace varn;

namespace {

using Placement = QList<QPair<int, QByteArray>>; // buffer position, bytes expected there

// An Intel HEX record with a correct checksum, built independently of the writer.
QByteArray Record(int address, const QByteArray& data, int type = 0) {
    QByteArray bytes;
    bytes.append(char(data.size())).append(char(address >> 8)).append(char(address & 0xFF));
    bytes.append(char(type)).append(data);
    int sum = 0;
    for (char b : bytes)
        sum += quint8(b);
    bytes.append(char(-sum & 0xFF));
    return ':' + bytes.toHex().toUpper();
}

QByteArray Bytes(int first, int count) {
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out.append(char((first + i * 7) & 0xFF));
    return out;
}

std::unique_ptr<AppState> MakeState(qint32 deviceSize = 0) {
    auto state = std::make_unique<AppState>();
    state->DeviceTable[1] = {QStringLiteral("TEST"), 1, deviceSize};
    state->SelectedDevice = 1;
    // A pattern that no test file writes, so untouched positions can be told apart.
    for (int i = 0; i < BufferSize; ++i)
        state->Buffer[i] = quint8(0xA5 ^ (i & 0x3F));
    return state;
}

QString WriteFile(const QTemporaryDir& dir, const QByteArray& content) {
    const QString path = dir.filePath(QStringLiteral("image.hex"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(content) != content.size())
        qFatal("cannot write test file");
    return path;
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QByteArray End = ":00000001FF\r\n";

} // namespace

class TestHexFile : public QObject {
    Q_OBJECT

private slots:
    void loadPlacesBytes_data();
    void loadPlacesBytes();
    void loadRefusedLeavesBuffer_data();
    void loadRefusedLeavesBuffer();
    void lineLimit_data();
    void lineLimit();
    void extendedAddressAboveZero_data();
    void extendedAddressAboveZero();
    void savesExample();
    void saveSizes_data();
    void saveSizes();
    void saveThenLoadRestores_data();
    void saveThenLoadRestores();
    void saveRefusesOversizeDevice();

private:
    QTemporaryDir m_dir;
};

void TestHexFile::loadPlacesBytes_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("fileOffset");
    QTest::addColumn<qint64>("bufferOffset");
    QTest::addColumn<Placement>("expected");

    const QByteArray r100 = Record(0x0100, "\x12\x34");
    QTest::newRow("two bytes") << QByteArray(":020100001234B7\r\n") + End << 0LL << 0LL
                               << Placement{{0x100, "\x12\x34"}};
    QTest::newRow("lower-case digits") << QByteArray(":0201000012ab40\n:02010200343c8b\n") << 0LL
                                       << 0LL << Placement{{0x100, "\x12\xAB\x34\x3C"}};
    QTest::newRow("LF only") << r100 + '\n' + Record(0x200, "\x01") + "\n:00000001FF\n"
                             << 0LL << 0LL << Placement{{0x100, "\x12\x34"}, {0x200, "\x01"}};
    QTest::newRow("CR only") << r100 + '\r' + Record(0x200, "\x01") + '\r' << 0LL << 0LL
                             << Placement{{0x100, "\x12\x34"}, {0x200, "\x01"}};
    QTest::newRow("blank lines and spaces")
        << "\r\n  " + r100 + " \t\r\n\r\n\n" + Record(0x200, "\x01") + "\r\n  \r\n" + End << 0LL
        << 0LL << Placement{{0x100, "\x12\x34"}, {0x200, "\x01"}};
    QTest::newRow("end record first") << End + r100 << 0LL << 0LL << Placement{};
    QTest::newRow("empty file") << QByteArray() << 0LL << 0LL << Placement{};
    QTest::newRow("no end record") << r100 + "\r\n" + Record(0x300, Bytes(1, 16)) << 0LL << 0LL
                                   << Placement{{0x100, "\x12\x34"}, {0x300, Bytes(1, 16)}};
    QTest::newRow("nothing read after end record")
        << r100 + "\r\n" + End + Record(0x200, "\x01") + "\r\nnot a record\r\n"
        << 0LL << 0LL << Placement{{0x100, "\x12\x34"}};
    QTest::newRow("start address record ends reading")
        << r100 + "\r\n" + Record(0, "\x00\x00\x01\x00", 3) + "\r\n" + Record(0x200, "\x01") << 0LL
        << 0LL << Placement{{0x100, "\x12\x34"}};
    QTest::newRow("linear start record ends reading")
        << r100 + "\r\n" + Record(0, "\x00\x00\x01\x00", 5) + "\r\n" + Record(0x200, "\x01") << 0LL
        << 0LL << Placement{{0x100, "\x12\x34"}};
    QTest::newRow("zero extended linear address first")
        << ":020000040000FA\r\n" + r100 + "\r\n" + End << 0LL << 0LL
        << Placement{{0x100, "\x12\x34"}};
    QTest::newRow("zero extended segment address between data")
        << r100 + "\r\n" + Record(0, QByteArray(2, 0), 2) + "\r\n" + Record(0x200, "\x01") << 0LL
        << 0LL << Placement{{0x100, "\x12\x34"}, {0x200, "\x01"}};
    QTest::newRow("no wrap at FFF8")
        << Record(0xFFF8, Bytes(3, 16)) << 0LL << 0LL << Placement{{0xFFF8, Bytes(3, 16)}};
    QTest::newRow("51 data bytes")
        << Record(0x40, Bytes(9, 51)) << 0LL << 0LL << Placement{{0x40, Bytes(9, 51)}};
    QTest::newRow("later record wins")
        << Record(0x10, Bytes(0, 8)) + '\n' + Record(0x14, "\xEE\xEF") << 0LL << 0LL
        << Placement{{0x10, Bytes(0, 4) + "\xEE\xEF" + Bytes(0, 8).mid(6)}};

    QByteArray low;
    for (int a = 0; a < 0x200; a += 16)
        low += Record(a, Bytes(a, 16)) + "\r\n";
    QByteArray expectedHigh;
    for (int a = 0x100; a < 0x200; a += 16)
        expectedHigh += Bytes(a, 16);
    QTest::newRow("file offset is a lower bound")
        << low << 0x100LL << 0LL << Placement{{0x100, expectedHigh}};
    QTest::newRow("file offset inside a record")
        << Record(0xF8, Bytes(5, 16)) << 0x100LL << 0LL << Placement{{0x100, Bytes(5, 16).mid(8)}};
    QTest::newRow("buffer offset added")
        << Record(0x20, Bytes(2, 4)) << 0LL << 0x1000LL << Placement{{0x1020, Bytes(2, 4)}};
    QTest::newRow("both offsets") << Record(0x0FFE, Bytes(4, 4)) << 0x1000LL << 0x2000LL
                                  << Placement{{0x3000, Bytes(4, 4).mid(2)}};
    QTest::newRow("last buffer position")
        << Record(0xFFFF, "\x42") << 0LL << qint64(70000 - 0xFFFF) << Placement{{70000, "\x42"}};
}

void TestHexFile::loadPlacesBytes() {
    QFETCH(QByteArray, content);
    QFETCH(qint64, fileOffset);
    QFETCH(qint64, bufferOffset);
    QFETCH(Placement, expected);

    auto state = MakeState();
    auto wanted = state->Buffer;
    for (const auto& [position, bytes] : expected)
        for (int i = 0; i < bytes.size(); ++i)
            wanted[position + i] = quint8(bytes[i]);
    state->FileOffset = fileOffset;
    state->BufferOffset = bufferOffset;

    const Status status = OpenHexFile(*state, WriteFile(m_dir, content));
    QVERIFY2(status.ok, qPrintable(status.message));
    QCOMPARE(status.message, QString());
    QVERIFY(state->Buffer == wanted);
}

void TestHexFile::loadRefusedLeavesBuffer_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("fileOffset");
    QTest::addColumn<qint64>("bufferOffset");
    QTest::addColumn<QString>("cause");
    QTest::addColumn<int>("line"); // 0: no line to name

    const QByteArray good =
        Record(0x100, Bytes(1, 16)) + "\r\n" + Record(0x110, Bytes(2, 16)) + "\r\n";
    const QString checksum = QStringLiteral("Checksum Error in hex file!");
    QTest::newRow("bad checksum first")
        << QByteArray(":020100001234B8\r\n") << 0LL << 0LL << checksum << 1;
    QTest::newRow("bad checksum only in last record")
        << good + ":020120001234B7\r\n" + End << 0LL << 0LL << checksum << 3;
    QTest::newRow("line counts blank lines") << "\r\n\r\n" + good + ":0101300099FF\r\n"
                                             << 0LL << 0LL << checksum << 5;
    QTest::newRow("non-hex in data")
        << QByteArray(":020100001G34B7\r\n") << 0LL << 0LL << checksum << 1;
    QTest::newRow("non-hex in address") << good + ":0201X0001234B7\r\n"
                                        << 0LL << 0LL << QStringLiteral("address") << 3;
    QTest::newRow("address field missing") << good + ":02\r\n"
                                           << 0LL << 0LL << QStringLiteral("address") << 3;
    QTest::newRow("52 data bytes")
        << good + Record(0x200, Bytes(0, 52)) << 0LL << 0LL << QStringLiteral("52 data bytes") << 3;
    QTest::newRow("record cut short passes checksum")
        << good + ":0200000000FE" << 0LL << 0LL << QStringLiteral("length") << 3;
    QTest::newRow("bad zero extended address")
        << good + ":020000040000FB\r\n" + Record(0, "\x01") << 0LL << 0LL << checksum << 3;
    QTest::newRow("past buffer end") << good + Record(0xFFF8, Bytes(0, 16)) << 0LL << 0x1200LL
                                     << QStringLiteral("past the end") << 3;
    QTest::newRow("one past last position")
        << Record(0xFFFF, "\x42\x43") << 0LL << qint64(70000 - 0xFFFF) << QStringLiteral("11171")
        << 1;
    QTest::newRow("negative file offset")
        << good << -1LL << 0LL << QStringLiteral("file address") << 0;
    QTest::newRow("buffer offset past end")
        << good << 0LL << 70001LL << QStringLiteral("buffer address") << 0;
}

void TestHexFile::loadRefusedLeavesBuffer() {
    QFETCH(QByteArray, content);
    QFETCH(qint64, fileOffset);
    QFETCH(qint64, bufferOffset);
    QFETCH(QString, cause);
    QFETCH(int, line);

    auto state = MakeState();
    const auto before = state->Buffer;
    state->FileOffset = fileOffset;
    state->BufferOffset = bufferOffset;
    const QString path = WriteFile(m_dir, content);

    const Status status = OpenHexFile(*state, path);
    QVERIFY(!status.ok);
    QVERIFY2(status.message.contains(cause), qPrintable(status.message));
    if (cause.startsWith(QLatin1String("Checksum")))
        QVERIFY(status.message.startsWith(cause));
    QVERIFY2(status.message.contains(QStringLiteral("image.hex")), qPrintable(status.message));
    if (line > 0)
        QVERIFY2(status.message.contains(QStringLiteral("line %1").arg(line)),
                 qPrintable(status.message));
    QVERIFY(state->Buffer == before);
}

void TestHexFile::lineLimit_data() {
    QTest::addColumn<int>("dataRecords");
    QTest::addColumn<bool>("withEnd");
    QTest::addColumn<bool>("loads");

    QTest::newRow("9999 + end") << 9999 << true << true;
    QTest::newRow("10000 + end") << 10000 << true << false;
    QTest::newRow("10000 without end") << 10000 << false << true;
    QTest::newRow("10001 without end") << 10001 << false << false;
}

void TestHexFile::lineLimit() {
    QFETCH(int, dataRecords);
    QFETCH(bool, withEnd);
    QFETCH(bool, loads);

    QByteArray content;
    for (int i = 0; i < dataRecords; ++i)
        content += Record(i * 4, QByteArray::number(i % 10000).rightJustified(4, '0')) + "\r\n";
    if (withEnd)
        content += End;
    auto state = MakeState();
    const auto before = state->Buffer;

    const Status status = OpenHexFile(*state, WriteFile(m_dir, content));
    QCOMPARE(status.ok, loads);
    if (loads) {
        const int last = dataRecords - 1;
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(&state->Buffer[last * 4]), 4),
                 QByteArray::number(last).rightJustified(4, '0'));
    } else {
        QVERIFY(status.message.contains(QStringLiteral("line 10001")));
        QVERIFY(state->Buffer == before);
    }
}

void TestHexFile::extendedAddressAboveZero_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Placement>("expected");
    QTest::addColumn<int>("line");

    const QByteArray r100 = Record(0x100, "\x12\x34") + "\r\n";
    QTest::newRow("linear after data") << r100 + ":020000040001F9\r\n" + Record(0x200, "\x01")
                                       << Placement{{0x100, "\x12\x34"}} << 2;
    QTest::newRow("segment after data")
        << r100 + Record(0, "\x10\x00", 2) + "\r\n" + Record(0x200, "\x01")
        << Placement{{0x100, "\x12\x34"}} << 2;
    QTest::newRow("linear first") << ":020000040001F9\r\n" + r100 << Placement{} << 1;
}

void TestHexFile::extendedAddressAboveZero() {
    QFETCH(QByteArray, content);
    QFETCH(Placement, expected);
    QFETCH(int, line);

    auto state = MakeState();
    auto wanted = state->Buffer;
    for (const auto& [position, bytes] : expected)
        for (int i = 0; i < bytes.size(); ++i)
            wanted[position + i] = quint8(bytes[i]);

    const Status status = OpenHexFile(*state, WriteFile(m_dir, content));
    QVERIFY(status.ok);
    QVERIFY2(status.message.contains(QStringLiteral("64 KiB")), qPrintable(status.message));
    QVERIFY(status.message.contains(QStringLiteral("line %1").arg(line)));
    QVERIFY(state->Buffer == wanted);
}

void TestHexFile::savesExample() {
    auto state = MakeState(32);
    state->Buffer.fill(0xFF);
    const QString path = m_dir.filePath(QStringLiteral("example.hex"));
    QVERIFY(SaveHexFile(*state, path).ok);
    QCOMPARE(ReadFile(path), QByteArray(":10000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00\r\n"
                                        ":10001000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF0\r\n"
                                        ":00000001FF\r\n"));
}

void TestHexFile::saveSizes_data() {
    QTest::addColumn<qint32>("deviceSize");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("size 0") << 0 << End;
    QTest::newRow("size 20, last record past the device")
        << 20
        << ":10000000000102030405060708090A0B0C0D0E0F78\r\n"
           ":10001000101112131415161718191A1B1C1D1E1F68\r\n" +
               End;
}

void TestHexFile::saveSizes() {
    QFETCH(qint32, deviceSize);
    QFETCH(QByteArray, expected);

    auto state = MakeState(deviceSize);
    for (int i = 0; i < 32; ++i)
        state->Buffer[i] = quint8(i);
    state->FileOffset = 0x10; // the dialog's offsets have no effect on saving
    state->BufferOffset = 0x20;
    const QString path = m_dir.filePath(QStringLiteral("sizes.hex"));
    QVERIFY(SaveHexFile(*state, path).ok);
    QCOMPARE(ReadFile(path), expected);
}

void TestHexFile::saveThenLoadRestores_data() {
    QTest::addColumn<qint32>("deviceSize");
    QTest::newRow("1000 bytes") << 1000;
    QTest::newRow("64 KiB") << 65536;
}

void TestHexFile::saveThenLoadRestores() {
    QFETCH(qint32, deviceSize);

    auto saved = MakeState(deviceSize);
    for (auto& b : saved->Buffer)
        b = quint8(QRandomGenerator::global()->bounded(256));
    const QString path = m_dir.filePath(QStringLiteral("round.hex"));
    QVERIFY(SaveHexFile(*saved, path).ok);
    const int records = (deviceSize + 15) / 16;
    QCOMPARE(QFileInfo(path).size(), qint64(records) * 45 + End.size());

    auto loaded = MakeState(deviceSize);
    loaded->Buffer.fill(0);
    const Status status = OpenHexFile(*loaded, path);
    QVERIFY2(status.ok, qPrintable(status.message));
    const int covered = records * 16;
    QVERIFY(
        std::equal(saved->Buffer.begin(), saved->Buffer.begin() + covered, loaded->Buffer.begin()));
    QVERIFY(std::all_of(loaded->Buffer.begin() + covered, loaded->Buffer.end(),
                        [](quint8 b) { return b == 0; }));
}

void TestHexFile::saveRefusesOversizeDevice() {
    auto state = MakeState(65537);
    const QString path = m_dir.filePath(QStringLiteral("big.hex"));
    const Status status = SaveHexFile(*state, path);
    QVERIFY(!status.ok);
    QVERIFY(status.message.contains(QStringLiteral("big.hex")));
    QVERIFY(!QFile::exists(path));
}

QTEST_GUILESS_MAIN(TestHexFile)
#include "tst_hexfile.moc"
