#include "files/imagefiles.h"
#include "support/rows.h"
#include "support/testsupport.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace varn;
using namespace varn::test;

namespace {

QString WriteHex(const QTemporaryDir& dir, const QByteArray& content) {
    const QString path = dir.filePath("image.hex");
    if (!WriteFile(path, content))
        qFatal("cannot write test file");
    return path;
}

const QByteArray End = ":00000001FF\r\n";

} // namespace

class TestHexFile : public QObject {
    Q_OBJECT

    QTemporaryDir folder;

private slots:
    void loadPlacesBytes_data() {
        // told: a pattern of what the load tells (data left out, notices); empty: nothing
        Columns<QByteArray, qint64, qint64, Placement, QString>("content", "fileOffset",
                                                                "bufferOffset", "expected", "told");

        const QByteArray r100 = HexRecord(0x0100, "\x12\x34");
        const Placement both{{0x100, "\x12\x34"}, {0x200, "\x01"}};
        QTest::newRow("lower-case digits, LF only, no end record")
            << QByteArray(":0201000012ab40\n:02010200343c8b\n") << 0LL << 0LL
            << Placement{{0x100, "\x12\xAB\x34\x3C"}}
            << "no end record .:00000001FF.: it may have been cut off.\n.*image.hex$";
        QTest::newRow("blank lines and spaces") << "\r\n  " + r100.chopped(2) + " \t\r\n\r\n\n" +
                                                       HexRecord(0x200, "\x01") + "\r\n  \r\n" + End
                                                << 0LL << 0LL << both << "";
        QTest::newRow("nothing read after end record, the line after it named")
            << r100 + End + HexRecord(0x200, "\x01") + "\r\nnot a record\r\n"
            << 0LL << 0LL << Placement{{0x100, "\x12\x34"}}
            << "goes on after its end record .:00000001FF.; what follows was not loaded.\n.*"
               "image.hex, line 3$";
        QTest::newRow("zero extended linear address first")
            << ":020000040000FA\r\n" + r100 + End << 0LL << 0LL << Placement{{0x100, "\x12\x34"}}
            << "";
        QTest::newRow("no wrap at FFF8") << HexRecord(0xFFF8, Bytes(3, 16)) + End << 0LL << 0LL
                                         << Placement{{0xFFF8, Bytes(3, 16)}} << "";
        QTest::newRow("255 data bytes") << HexRecord(0x40, Bytes(9, 255)) + End << 0LL << 0LL
                                        << Placement{{0x40, Bytes(9, 255)}} << "";
        QTest::newRow("last buffer position")
            << HexRecord(0xFFFF, "\x42") + End << 0LL << qint64(70000 - 0xFFFF)
            << Placement{{70000, "\x42"}} << "";
        const QByteArray linear1 = ":020000040001F9\r\n";
        QTest::newRow("linear base 0001 moves data up by 10000")
            << r100 + linear1 + HexRecord(0x200, "\x01") + End << 0LL << 0LL
            << Placement{{0x100, "\x12\x34"}, {0x10200, "\x01"}} << "";
        QTest::newRow("segment base 0001 moves data up by 16")
            << HexRecord(0, QByteArray("\x00\x01", 2), 2) + r100 + End << 0LL << 0LL
            << Placement{{0x110, "\x12\x34"}} << "";
        QTest::newRow("linear base with both offsets")
            << linear1 + HexRecord(0x0FFE, Bytes(4, 4)) + End << 0x10FFFLL << 0x10LL
            << Placement{{0x1100F, Bytes(4, 4).mid(1)}} << "";
        QTest::newRow("data beyond the buffer left out, the rest loaded")
            << r100 + ":020000040002F8\r\n" + HexRecord(0x200, "\x01") + ":020000040000FA\r\n" +
                   HexRecord(0x300, "\x05") + End
            << 0LL << 0LL << Placement{{0x100, "\x12\x34"}, {0x300, "\x05"}}
            << "beyond the buffer.*line 3$";
        QTest::newRow("segment base beyond the buffer")
            << HexRecord(0, QByteArray("\x20\x00", 2), 2) + r100 + End << 0LL << 0LL << Placement{}
            << "beyond the buffer.*line 2$";
        QTest::newRow("record across the buffer's end")
            << linear1 + HexRecord(0x116E, Bytes(6, 4)) + End << 0LL << 0LL
            << Placement{{0x1116E, Bytes(6, 3)}} << "beyond the buffer.*line 2$";
    }

    void loadPlacesBytes() {
        auto [content, fileOffset, bufferOffset, expected, told] =
            Row<QByteArray, qint64, qint64, Placement, QString>("content", "fileOffset",
                                                                "bufferOffset", "expected", "told");
        auto state = ImageState();
        const Status status = LoadAs(*state, FileFormat::IntelHex, WriteHex(folder, content),
                                     fileOffset, bufferOffset);
        QVERIFY2(status.ok, qPrintable(status.message));
        QCOMPARE(status.message.isEmpty(), told.isEmpty());
        QVERIFY2(status.message.contains(
                     QRegularExpression(told, QRegularExpression::DotMatchesEverythingOption)),
                 qPrintable(status.message));
        QVERIFY(LoadedAsPlaced(*state, expected));
    }

    void loadRefusedLeavesBuffer_data() {
        Columns<QByteArray, qint64, QString, int>("content", "bufferOffset", "cause", "line");

        const QByteArray good = HexRecord(0x100, Bytes(1, 16)) + HexRecord(0x110, Bytes(2, 16));
        const QString checksum = QStringLiteral("Checksum Error in hex file!");
        QTest::newRow("checksum wrong only in its top bit")
            << QByteArray(":02010000123437\r\n") << 0LL << checksum << 1;
        QTest::newRow("bad checksum only in last record, blank lines counted")
            << "\r\n\r\n" + good + ":020120001234B7\r\n" + End << 0LL << checksum << 5;
        // Once read as the end of the file: half an image loaded.
        QByteArray typeCorrupted = HexRecord(0x630, Bytes(3, 16));
        typeCorrupted[8] = '8';
        QTest::newRow("corrupted type field") << good + typeCorrupted + End << 0LL << checksum << 3;
        QTest::newRow("unknown type, checksum right")
            << good + HexRecord(0, "\x01", 6) + End << 0LL << QStringLiteral("record type 06") << 3;
        QTest::newRow("bad checksum in the end record") << good + ":00000001FE\r\n"
                                                        << 0LL << checksum << 3;
        QTest::newRow("start record of three bytes")
            << good + HexRecord(0, "\x01\x02\x03", 5) << 0LL << QStringLiteral("four data bytes")
            << 3;
        QTest::newRow("record cut short passes checksum")
            << good + ":0200000000FE" << 0LL << QStringLiteral("length") << 3;
        QTest::newRow("shorter than an empty record")
            << good + ":0000001FF\r\n" + End << 0LL << QStringLiteral("shorter") << 3;
        // Both pass their checksum.
        QTest::newRow("no start code") << good + "X040000001122334452\r\n" + End << 0LL
                                       << QStringLiteral("does not start with ':'") << 3;
        QTest::newRow("not a hex digit inside a pair")
            << good + ":04000000112G334472\r\n" + End << 0LL
            << QStringLiteral("a character that is not a hex digit") << 3;
        QTest::newRow("past buffer end") << good + HexRecord(0xFFF8, Bytes(0, 16)) << 0x1200LL
                                         << QStringLiteral("past the end") << 3;
        QTest::newRow("linear base pushed past the end by the buffer offset")
            << ":020000040001F9\r\n" + HexRecord(0x100, "\x01") << 0x2000LL
            << QStringLiteral("past the end") << 2;
        QTest::newRow("extended address of one byte")
            << HexRecord(0, "\x01", 4) << 0LL << QStringLiteral("two data bytes") << 1;
        QTest::newRow("one past last position")
            << HexRecord(0xFFFF, "\x42\x43") << qint64(70000 - 0xFFFF) << QStringLiteral("11171")
            << 1;
    }
    void loadRefusedLeavesBuffer() {
        auto [content, bufferOffset, cause, line] =
            Row<QByteArray, qint64, QString, int>("content", "bufferOffset", "cause", "line");
        auto state = ImageState();
        const auto before = state->Buffer;
        const Status status =
            LoadAs(*state, FileFormat::IntelHex, WriteHex(folder, content), 0, bufferOffset);
        QVERIFY(!status.ok);
        VERIFY_CONTAINS(status.message, cause);
        if (cause.startsWith("Checksum"))
            QVERIFY(status.message.startsWith(cause));
        VERIFY_CONTAINS(status.message, "image.hex");
        VERIFY_CONTAINS(status.message, QStringLiteral("line %1").arg(line));
        QVERIFY(state->Buffer == before);
    }

    // Refused before anything of the size is held, however long the input goes
    // on.
    void loadTooLargeRefused_data() {
        // path: empty: a sparse file of 17 MiB
        Columns<QString, QString>("path", "cause");
        QTest::newRow("/dev/zero") << QStringLiteral("/dev/zero") << "goes on past 16777216 bytes";
        QTest::newRow("17 MiB file") << QString() << "17825792 bytes";
    }
    void loadTooLargeRefused() {
        auto [path, cause] = Row<QString, QString>("path", "cause");
        if (path.isEmpty()) {
            path = WriteHex(folder, End);
            QVERIFY(QFile::resize(path, 17 * 1024 * 1024));
        }
        auto state = ImageState();
        const auto before = state->Buffer;
        const Status status = LoadAs(*state, FileFormat::IntelHex, path);
        QVERIFY(!status.ok);
        VERIFY_CONTAINS(status.message, cause);
        QVERIFY(state->Buffer == before);
    }

    // Start address records are kept and reading goes on; 01 ends the file.
    void startAndEndRecords_data() {
        // told: a pattern of the notice; empty: none
        Columns<QByteArray, Placement, qint64, QString>("content", "expected", "start", "told");
        const QByteArray boot = HexRecord(0x0000, Bytes(1, 16));
        const QByteArray app = HexRecord(0x1000, Bytes(2, 16));
        const Placement both{{0, Bytes(1, 16)}, {0x1000, Bytes(2, 16)}};
        QTest::newRow("bootloader and application merged")
            << boot + HexRecord(0, QByteArray("\x00\x00\x01\x23", 4), 5) + app + End << both
            << 0x123LL << "";
        QTest::newRow("segment start record first")
            << HexRecord(0, QByteArray("\x12\x34\x00\x05", 4), 3) + boot + app + End << both
            << 0x12345LL << "";
        QTest::newRow("cut off before its end record")
            << boot + app << both << -1LL << "no end record.*cut off";
        // cat boot.hex app.hex: the first end record ends the file.
        QTest::newRow("two files joined")
            << boot + End + "\r\n" + app + End << Placement{{0, Bytes(1, 16)}} << -1LL
            << "goes on after its end record.*image.hex, line 4$";
    }
    void startAndEndRecords() {
        auto [content, expected, start, told] =
            Row<QByteArray, Placement, qint64, QString>("content", "expected", "start", "told");
        auto state = ImageState();
        const LoadResult loaded =
            LoadImageFile(WriteHex(folder, content), {FileFormat::IntelHex}, *state);
        QVERIFY2(loaded.ok(), qPrintable(loaded.status.message));
        QVERIFY(LoadedAsPlaced(*state, expected));
        QCOMPARE(loaded.bytesStored, 16 * qint64(expected.size()));
        QCOMPARE(loaded.startAddress ? qint64(*loaded.startAddress) : -1, start);
        QCOMPARE(state->startAddress ? qint64(*state->startAddress) : -1, start);
        QCOMPARE(loaded.notices.size(), told.isEmpty() ? 0 : 1);
        if (!told.isEmpty())
            QVERIFY2(loaded.notices[0].contains(
                         QRegularExpression(told, QRegularExpression::DotMatchesEverythingOption)),
                     qPrintable(loaded.notices[0]));
    }

    // What srec_cat reads from the same file: extended segment addresses
    // wrap within their 64 KiB segment, linear ones do not.
    void sameBytesAsSrecCat_data() {
        Columns<QByteArray>("content");
        const QByteArray across = HexRecord(0xFFF8, Bytes(3, 16));
        const QByteArray linear0 = ":020000040000FA\r\n";
        QTest::newRow("segment 0100, a record across its end")
            << HexRecord(0, QByteArray("\x01\x00", 2), 2) + across + End;
        QTest::newRow("segment, then linear base 0")
            << HexRecord(0, QByteArray("\x01\x00", 2), 2) + linear0 + across + End;
    }
    void sameBytesAsSrecCat() {
        auto [content] = Row<QByteArray>("content");
        const QString path = WriteHex(folder, content);
        QCOMPARE(QProcess::execute("srec_cat",
                                   {path, "-intel", "-o", folder.filePath("cat.bin"), "-binary"}),
                 0);
        const QByteArray reference = ReadFile(folder.filePath("cat.bin"));
        auto state = ImageState();
        state->Buffer.fill(0); // srec_cat's binary has 00 in its gaps
        const LoadResult loaded = LoadImageFile(path, {FileFormat::IntelHex}, *state);
        QVERIFY2(loaded.ok() && loaded.notices.isEmpty(), qPrintable(loaded.status.message));
        QCOMPARE(BufferBytes(*state, 0, int(reference.size())), reference);
        QCOMPARE(loaded.bytesStored, 16);
        QCOMPARE(qint64(loaded.ranges.back().last), qint64(reference.size() - 1));
    }

    // Records of up to 255 bytes as srec_cat writes them on request.
    void longRecordsFromSrecCat_data() {
        Columns<QString>("option");
        QTest::newRow("-obs=250") << QStringLiteral("-obs=250");
        QTest::newRow("-line-length=255") << QStringLiteral("-line-length=255");
    }
    void longRecordsFromSrecCat() {
        auto [option] = Row<QString>("option");
        QByteArray image(3000, Qt::Uninitialized);
        for (auto& b : image)
            b = char(QRandomGenerator::global()->bounded(256));
        QVERIFY(WriteFile(folder.filePath("long.bin"), image));
        QCOMPARE(QProcess::execute("srec_cat",
                                   {folder.filePath("long.bin"), "-binary", "-offset", "0x100",
                                    "-o", folder.filePath("long.hex"), "-intel", option}),
                 0);
        auto state = ImageState();
        const Status status = LoadAs(*state, FileFormat::IntelHex, folder.filePath("long.hex"));
        QVERIFY2(status.ok && status.message.isEmpty(), qPrintable(status.message));
        QVERIFY(LoadedAsPlaced(*state, {{0x100, image}}));
    }

    void lineLimit_data() {
        Columns<int, bool, bool>("dataRecords", "withEnd", "loads");
        QTest::newRow("100000 + end") << 100000 << true << false;
        QTest::newRow("100000 without end") << 100000 << false << true;
        QTest::newRow("100001 without end") << 100001 << false << false;
    }
    void lineLimit() {
        auto [dataRecords, withEnd, loads] =
            Row<int, bool, bool>("dataRecords", "withEnd", "loads");
        QByteArray content;
        for (int i = 0; i < dataRecords; ++i)
            content +=
                HexRecord(i % 10000 * 4, QByteArray::number(i % 10000).rightJustified(4, '0'));
        if (withEnd)
            content += End;
        auto state = ImageState();
        const auto before = state->Buffer;
        const Status status = LoadAs(*state, FileFormat::IntelHex, WriteHex(folder, content));
        QCOMPARE(status.ok, loads);
        if (loads)
            QCOMPARE(BufferBytes(*state, 9999 * 4, 4), QByteArray("9999"));
        else {
            QVERIFY(status.message.contains("line 100001"));
            QVERIFY(state->Buffer == before);
        }
    }

    void saveWritesExactText_data() {
        Columns<qint32, bool, QByteArray>("deviceSize", "allFF", "expected");
        QTest::newRow("32-byte example") << 32 << true
                                         << ":10000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00\r\n"
                                            ":10001000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF0\r\n" +
                                                End;
        QTest::newRow("size 20, last record past the device")
            << 20 << false
            << ":10000000000102030405060708090A0B0C0D0E0F78\r\n"
               ":10001000101112131415161718191A1B1C1D1E1F68\r\n" +
                   End;
    }
    void saveWritesExactText() {
        auto [deviceSize, allFF, expected] =
            Row<qint32, bool, QByteArray>("deviceSize", "allFF", "expected");
        auto state = ImageState(deviceSize);
        for (int i = 0; i < 32; ++i)
            state->Buffer[i] = allFF ? 0xFF : quint8(i);
        const QString path = folder.filePath("saved.hex");
        QVERIFY(SaveImageFile(*state, path, {FileFormat::IntelHex}).ok);
        QCOMPARE(ReadFile(path), expected);
    }

    void saveThenLoadRestores() {
        const qint32 deviceSize = 65536;
        auto saved = ImageState(deviceSize);
        for (auto& b : saved->Buffer)
            b = quint8(QRandomGenerator::global()->bounded(256));
        const QString path = folder.filePath("round.hex");
        QVERIFY(SaveImageFile(*saved, path, {FileFormat::IntelHex}).ok);
        const int records = (deviceSize + 15) / 16;
        QCOMPARE(QFileInfo(path).size(), qint64(records) * 45 + End.size());

        auto loaded = ImageState(deviceSize);
        loaded->Buffer.fill(0);
        const Status status = LoadAs(*loaded, FileFormat::IntelHex, path);
        QVERIFY2(status.ok, qPrintable(status.message));
        const int covered = records * 16;
        QVERIFY(std::equal(saved->Buffer.begin(), saved->Buffer.begin() + covered,
                           loaded->Buffer.begin()));
        QVERIFY(std::all_of(loaded->Buffer.begin() + covered, loaded->Buffer.end(),
                            [](quint8 b) { return b == 0; }));
    }
};

QTEST_GUILESS_MAIN(TestHexFile)
#include "tst_hexfile.moc"
