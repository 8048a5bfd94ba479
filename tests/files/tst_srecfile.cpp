#include "files/imagefiles.h"
#include "support/rows.h"
#include "support/testsupport.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace varn;
using namespace varn::test;

namespace {

// An S-record with a correct count and checksum, built independently of the
// writer.
QByteArray Rec(int type, qint64 address, const QByteArray& data = {}) {
    const int width = type == 2 || type == 6 || type == 8 ? 3 : type == 3 || type == 7 ? 4 : 2;
    QByteArray bytes(1, char(width + data.size() + 1));
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
        bytes.append(char(address >> shift));
    bytes.append(data);
    int sum = 0;
    for (char b : bytes)
        sum += quint8(b);
    bytes.append(char(~sum));
    return "S" + QByteArray::number(type) + bytes.toHex().toUpper() + "\r\n";
}

const QByteArray Header = Rec(0, 0, "hdr");

} // namespace

class TestSRecordFile : public QObject {
    Q_OBJECT

    QTemporaryDir folder;

    QString pathOf(const char* name) const { return folder.filePath(QLatin1String(name)); }

private slots:
    void loadPlacesBytes_data() {
        // told: a pattern of what the load tells (data left out, notices); empty: nothing
        Columns<QByteArray, qint64, qint64, Placement, QString>("content", "fileOffset",
                                                                "bufferOffset", "expected", "told");

        const QString cutOff = "no end record .S7, S8 or S9. and no count record .S5, S6. after "
                               "its data: it may have been cut off.\n.*in.s19$";
        QTest::newRow("S1 with header, count and end")
            << Header + Rec(1, 0x100, "\x12\x34") + Rec(1, 0x200, "\x56") + Rec(5, 2) + Rec(9, 0)
            << 0LL << 0LL << Placement{{0x100, "\x12\x34"}, {0x200, "\x56"}} << QString();
        QTest::newRow("lower case, LF, CR, spaces, no end record")
            << Rec(1, 0x10, "\xAB").toLower().replace("\r\n", "\n") + "  \r" +
                   Rec(1, 0x11, "\xCD").replace("\r\n", "\r") + "\t" + Rec(1, 0x12, "\xEF")
            << 0LL << 0LL << Placement{{0x10, "\xAB\xCD\xEF"}} << cutOff;
        QTest::newRow("count record last vouches for the data")
            << Rec(1, 0x10, "\xAB") + Rec(5, 1) << 0LL << 0LL << Placement{{0x10, "\xAB"}}
            << QString();
        QTest::newRow("data after the count record, then cut off")
            << Rec(1, 0x10, "\xAB") + Rec(5, 1) + Rec(1, 0x11, "\xCD") << 0LL << 0LL
            << Placement{{0x10, "\xAB\xCD"}} << cutOff;
        QTest::newRow("S2 and S3 addresses, S6 count")
            << Rec(2, 0x00F000, Bytes(1, 16)) + Rec(3, 0x00010000, "\x99") + Rec(6, 2) + Rec(7, 0)
            << 0LL << 0LL << Placement{{0xF000, Bytes(1, 16)}, {0x10000, "\x99"}} << QString();
        QTest::newRow("nothing read after the end record, the line after it named")
            << Rec(1, 0x100, "\x12") + Rec(8, 0) + Rec(1, 0x200, "\x01") + "junk\r\n"
            << 0LL << 0LL << Placement{{0x100, "\x12"}}
            << "goes on after its end record .S8.; what follows was not loaded.\n.*in.s19, line 3$";
        QTest::newRow("file offset inside a record, buffer offset")
            << Rec(1, 0x0FFE, Bytes(4, 4)) + Rec(9, 0) << 0x1000LL << 0x2000LL
            << Placement{{0x3000, Bytes(4, 4).mid(2)}} << QString();
        QTest::newRow("last buffer position") << Rec(3, 70000, "\x42") + Rec(7, 0) << 0LL << 0LL
                                              << Placement{{70000, "\x42"}} << QString();
        QTest::newRow("32-bit address left out with a notice")
            << Rec(1, 0x10, "\x01") + Rec(3, 0xFFFFFFFF, "\x01") + Rec(9, 0) << 0LL << 0LL
            << Placement{{0x10, "\x01"}} << "beyond the buffer.*in.s19, line 2$";
    }
    void loadPlacesBytes() {
        auto [content, fileOffset, bufferOffset, expected, told] =
            Row<QByteArray, qint64, qint64, Placement, QString>("content", "fileOffset",
                                                                "bufferOffset", "expected", "told");
        auto state = ImageState();
        QVERIFY(WriteFile(pathOf("in.s19"), content));
        const Status status =
            LoadAs(*state, FileFormat::SRecord, pathOf("in.s19"), fileOffset, bufferOffset);
        QVERIFY2(status.ok, qPrintable(status.message));
        QCOMPARE(status.message.isEmpty(), told.isEmpty());
        QVERIFY2(status.message.contains(
                     QRegularExpression(told, QRegularExpression::DotMatchesEverythingOption)),
                 qPrintable(status.message));
        QVERIFY(LoadedAsPlaced(*state, expected));
    }

    void loadRefusedLeavesBuffer_data() {
        Columns<QByteArray, qint64, QString>("bad", "bufferOffset", "cause");

        QByteArray badSum = Rec(1, 0x120, "\x01\x02");
        badSum[badSum.size() - 3] = badSum[badSum.size() - 3] == '0' ? '1' : '0';
        QByteArray wrongCount = Rec(1, 0x120, "\x01\x02");
        wrongCount[3] = '6'; // 05 -> 06, the checksum no longer holds either
        QTest::newRow("bad checksum") << badSum << 0LL << "Checksum Error in S-record file!";
        QTest::newRow("checksum wrong only in its top bit")
            << QByteArray("S1050120010256\r\n") << 0LL << "Checksum Error in S-record file!";
        QTest::newRow("count larger than the record")
            << wrongCount << 0LL << "length does not match";
        QTest::newRow("odd length") << QByteArray("S1050120010\r\n") << 0LL << "odd number";
        QTest::newRow("not hex") << QByteArray("S1050120G102D6\r\n") << 0LL << "not a hex digit";
        QTest::newRow("S4") << Rec(1, 0, "x").replace("S1", "S4") << 0LL << "record type";
        QTest::newRow("not a record") << QByteArray(":0000000000\r\n") << 0LL << "start with S";
        QTest::newRow("S5 count wrong") << Rec(5, 3) << 0LL << "says 3 data records; 2 came";
        QTest::newRow("past the buffer")
            << Rec(1, 0xFFF8, Bytes(0, 16)) << 0x1200LL << "past the end";
        QTest::newRow("one past the last position")
            << Rec(1, 0xFFFF, "\x42\x43") << qint64(70000 - 0xFFFF) << "11171";
    }
    void loadRefusedLeavesBuffer() {
        auto [bad, bufferOffset, cause] =
            Row<QByteArray, qint64, QString>("bad", "bufferOffset", "cause");
        // Two good records and a blank line first: the bad one is on line 4.
        const QByteArray content =
            Rec(1, 0x100, Bytes(1, 16)) + "\r\n" + Rec(1, 0x110, Bytes(2, 16)) + bad + Rec(9, 0);
        auto state = ImageState();
        const auto before = state->Buffer;
        QVERIFY(WriteFile(pathOf("bad.s19"), content));
        const Status status =
            LoadAs(*state, FileFormat::SRecord, pathOf("bad.s19"), 0, bufferOffset);
        QVERIFY(!status.ok);
        VERIFY_CONTAINS(status.message, cause);
        VERIFY_CONTAINS(status.message, "bad.s19, line 4");
        QVERIFY(state->Buffer == before);
    }

    void saveWritesExactText() {
        auto state = ImageState(20);
        for (int i = 0; i < 32; ++i)
            state->Buffer[i] = quint8(i);
        QVERIFY(SaveImageFile(*state, pathOf("out.s19"), {FileFormat::SRecord}).ok);
        QCOMPARE(ReadFile(pathOf("out.s19")),
                 QByteArray("S00700007661726E41\r\n"
                            "S1130000000102030405060708090A0B0C0D0E0F74\r\n"
                            "S107001010111213A2\r\n"
                            "S5030002FA\r\n"
                            "S9030000FC\r\n"));
    }

    // Files from the common tools load byte for byte, and ours read back in
    // srec_cat. The image sits at 0x100 so that a misplaced address shows.
    void toolsInterop_data() {
        // arguments: IN and OUT stand for the paths
        Columns<QString, QStringList>("program", "arguments");
        const QStringList srecCat{"IN", "-binary", "-offset", "0x100", "-o", "OUT", "-motorola"};
        QTest::newRow("srec_cat S19") << "srec_cat" << srecCat + QStringList{"-address-length=2"};
        QTest::newRow("srec_cat S37") << "srec_cat" << srecCat + QStringList{"-address-length=4"};
        const QStringList objcopy{"-I", "binary", "-O", "srec", "--change-addresses", "0x100"};
        QTest::newRow("objcopy S37")
            << "objcopy" << objcopy + QStringList{"--srec-forceS3", "IN", "OUT"};
    }
    void toolsInterop() {
        auto [program, arguments] = Row<QString, QStringList>("program", "arguments");
        QByteArray image(4000, Qt::Uninitialized);
        for (char& b : image)
            b = char(QRandomGenerator::global()->bounded(256));
        QVERIFY(WriteFile(pathOf("image.bin"), image));
        arguments.replaceInStrings(QRegularExpression("^IN$"), pathOf("image.bin"));
        arguments.replaceInStrings(QRegularExpression("^OUT$"), pathOf("tool.srec"));
        QCOMPARE(QProcess::execute(program, arguments), 0); // a tool missing fails the test

        auto state = ImageState(0x100 + 4000);
        const Status loaded = LoadAs(*state, FileFormat::SRecord, pathOf("tool.srec"));
        QVERIFY2(loaded.ok, qPrintable(loaded.message));
        QCOMPARE(BufferBytes(*state, 0x100, 4000), image);
        QCOMPARE(state->Buffer[0xFF], quint8(0xA5 ^ 0x3F));

        // Ours, read by srec_cat into a binary from address 0.
        QVERIFY(SaveImageFile(*state, pathOf("ours.s19"), {FileFormat::SRecord}).ok);
        QCOMPARE(QProcess::execute("srec_cat", {pathOf("ours.s19"), "-motorola", "-o",
                                                pathOf("back.bin"), "-binary"}),
                 0);
        QCOMPARE(ReadFile(pathOf("back.bin")), BufferBytes(*state, 0, 0x100 + 4000));
    }
};

QTEST_GUILESS_MAIN(TestSRecordFile)
#include "tst_srecfile.moc"
