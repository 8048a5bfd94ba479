#include "files/imagefiles.h"
#include "support/rows.h"
#include "support/testsupport.h"

#include <QTemporaryDir>
#include <QTest>

using namespace varn;
using namespace varn::test;

// What every format shares: ELF input against objcopy, the content check,
// relocation, loads that store nothing, and saving only the image's bytes.
class TestImageFiles : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString write(const QString& name, const QByteArray& content) {
        const QString path = m_dir.filePath(name);
        if (!WriteFile(path, content))
            qFatal("cannot write test file");
        return path;
    }

private slots:
    // Made by tests/data/elf/make.sh with avr-gcc and arm-none-eabi-gcc; the
    // .bin beside each is `objcopy -O binary` of it.
    void elfMatchesObjcopy_data() {
        Columns<QString, qint64, qint64>("name", "relocate", "entry");
        QTest::newRow("avr-gcc") << QStringLiteral("avr") << 0LL << 0LL;
        QTest::newRow("arm-none-eabi-gcc, linked at 08000000")
            << QStringLiteral("arm") << 0x08000000LL << 0x08000001LL;
    }
    void elfMatchesObjcopy() {
        auto [name, relocate, entry] = Row<QString, qint64, qint64>("name", "relocate", "entry");
        const QByteArray objcopy = ReadFile(SourcePath("tests/data/elf/" + name + ".bin"));
        QVERIFY(objcopy.size() > 200);
        auto state = ImageState();
        state->Buffer.fill(0x00); // objcopy fills the gaps between segments with 00
        LoadOptions options{FileFormat::Elf};
        options.relocate = relocate;
        options.refuseOtherFormat = true;
        const LoadResult loaded =
            LoadImageFile(SourcePath("tests/data/elf/" + name + ".elf"), options, *state);
        QVERIFY2(loaded.ok(), qPrintable(loaded.status.message));
        QVERIFY(loaded.leftOut.isEmpty() && loaded.notices.isEmpty());
        QCOMPARE(BufferBytes(*state, 0, int(objcopy.size())), objcopy);
        QCOMPARE(state->Defined.count(), size_t(loaded.bytesStored));
        QVERIFY(state->Defined.test(0) && state->Defined.test(size_t(objcopy.size() - 1)));
        QVERIFY(!state->Defined.test(size_t(objcopy.size()))); // .bss has no file bytes
        QCOMPARE(loaded.startAddress.value_or(-1), entry);
    }

    void elfRefused_data() {
        Columns<int, QString>("cut", "cause");
        QTest::newRow("cut inside a segment's bytes") << 0x1020 << "beyond the end of the file";
        QTest::newRow("only the magic") << 4 << "not an ELF file";
    }
    void elfRefused() {
        auto [cut, cause] = Row<int, QString>("cut", "cause");
        const QString path =
            write("cut.elf", ReadFile(SourcePath("tests/data/elf/arm.elf")).left(cut));
        auto state = ImageState();
        const auto before = state->Buffer;
        const LoadResult loaded = LoadImageFile(path, {FileFormat::Elf}, *state);
        QVERIFY(!loaded.ok());
        VERIFY_CONTAINS(loaded.status.message, cause);
        QVERIFY(state->Buffer == before && state->Defined.none());
    }

    // A file loaded as another format than its content clearly is: a warning
    // on the desktop, refused (before anything is stored) in varn-cli.
    void contentOfAnotherFormat_data() {
        Columns<QByteArray, FileFormat, QString>("content", "asFormat", "seen");
        const QByteArray elf = ReadFile(SourcePath("tests/data/elf/avr.elf"));
        const QByteArray srec = "S00600004844521B\r\nS10501001234B3\r\nS9030000FC\r\n";
        QTest::newRow("ELF as binary") << elf << FileFormat::Binary << "an ELF file";
        QTest::newRow("Intel HEX as binary")
            << HexText(Bytes(1, 20)) << FileFormat::Binary << "an Intel Hex file";
        QTest::newRow("S-record as binary") << srec << FileFormat::Binary << "an S-Record file";
        QTest::newRow("S-record named .hex") << srec << FileFormat::IntelHex << "an S-Record file";
        QTest::newRow("binary that starts with a colon")
            << QByteArray(":0102030405\r\n\x01\x02") << FileFormat::Binary << QString();
    }
    void contentOfAnotherFormat() {
        auto [content, asFormat, seen] =
            Row<QByteArray, FileFormat, QString>("content", "asFormat", "seen");
        const QString path = write("image", content);
        for (const bool refuse : {true, false}) {
            auto state = ImageState();
            const auto before = state->Buffer;
            LoadOptions options{asFormat};
            options.refuseOtherFormat = refuse;
            const LoadResult loaded = LoadImageFile(path, options, *state);
            VERIFY_CONTAINS(loaded.otherFormat, seen);
            QCOMPARE(loaded.otherFormat.isEmpty(), seen.isEmpty());
            if (refuse && !seen.isEmpty()) {
                QVERIFY(!loaded.ok());
                QVERIFY(state->Buffer == before && state->Defined.none());
            } else if (asFormat == FileFormat::Binary) {
                QVERIFY(loaded.ok());
                QCOMPARE(loaded.bytesStored, content.size());
            }
        }
    }

    // An image linked at 0x08000000 lands at 0; what lies below the base is
    // left out with a notice.
    void relocate() {
        const QByteArray content = ":020000040800F2\r\n" + HexRecord(0x0010, Bytes(1, 4)) +
                                   ":020000040000FA\r\n" + HexRecord(0x0100, Bytes(2, 2)) +
                                   ":00000001FF\r\n";
        auto state = ImageState();
        LoadOptions options{FileFormat::IntelHex, 0, 0x20};
        options.relocate = 0x08000000;
        const LoadResult loaded = LoadImageFile(write("app.hex", content), options, *state);
        QVERIFY(loaded.ok());
        QVERIFY(LoadedAsPlaced(*state, {{0x30, Bytes(1, 4)}}));
        VERIFY_CONTAINS(loaded.leftOut, "below the relocation base 8000000");
        VERIFY_CONTAINS(loaded.leftOut, "line 4");
        QCOMPARE(loaded.ranges.size(), size_t(1));
        QVERIFY(loaded.ranges[0].first == 0x30 && loaded.ranges[0].last == 0x33);
    }

    // Each stores no byte; varn-cli turns that into a file error.
    void nothingStored_data() {
        Columns<QByteArray, FileFormat, qint64>("content", "format", "fileOffset");
        QTest::newRow("empty file") << QByteArray() << FileFormat::IntelHex << 0LL;
        QTest::newRow("empty binary") << QByteArray() << FileFormat::Binary << 0LL;
        QTest::newRow("HEX wholly beyond the buffer")
            << ":020000040010EA\r\n" + HexRecord(0, "\x01") << FileFormat::IntelHex << 0LL;
        QTest::newRow("binary wholly below the file offset")
            << QByteArray(16, 'x') << FileFormat::Binary << 16LL;
    }
    void nothingStored() {
        auto [content, format, fileOffset] =
            Row<QByteArray, FileFormat, qint64>("content", "format", "fileOffset");
        auto state = ImageState();
        const LoadResult loaded =
            LoadImageFile(write("nothing", content), {format, fileOffset}, *state);
        QVERIFY(loaded.ok());
        QCOMPARE(loaded.bytesStored, 0);
        QVERIFY(loaded.ranges.empty() && state->Defined.none());
    }

    // Only the defined ranges, cut at 16-byte boundaries, and the start address.
    void saveDefinedOnly_data() {
        Columns<FileFormat, QByteArray>("format", "expected");
        // srec_cat reads both back to the same bytes and start address.
        QTest::newRow("Intel HEX") << FileFormat::IntelHex
                                   << QByteArray(":020006000102F5\r\n:02000E000304E9\r\n"
                                                 ":0100100005EA\r\n:04000005000123458E\r\n"
                                                 ":00000001FF\r\n");
        // A start address above 64 KiB takes the three-byte address width.
        QTest::newRow("S-record") << FileFormat::SRecord
                                  << QByteArray("S00700007661726E41\r\nS2060000060102F0\r\n"
                                                "S20600000E0304E4\r\nS20500001005E5\r\n"
                                                "S5030003F9\r\nS80401234592\r\n");
    }
    void saveDefinedOnly() {
        auto [format, expected] = Row<FileFormat, QByteArray>("format", "expected");
        auto state = ImageState(32);
        for (int i = 0; i < 7; ++i)
            state->Buffer[size_t(i) + (i < 2 ? 6 : 12)] = quint8(i + 1);
        state->markDefined(6, 8);
        state->markDefined(14, 17);
        state->markDefined(40, 41); // beyond the device: not saved
        state->StartAddress = 0x12345;
        const QString path = m_dir.filePath("defined");
        QVERIFY(SaveImageFile(*state, path, {format, true}).ok);
        QCOMPARE(ReadFile(path), expected);
        auto again = ImageState(32);
        QVERIFY(LoadImageFile(path, {format}, *again).ok());
        QVERIFY(again->Defined == (state->Defined & std::bitset<BufferSize>().set().reset(40)));
        QCOMPARE(again->StartAddress.value_or(0), 0x12345u);
    }
};

QTEST_GUILESS_MAIN(TestImageFiles)
#include "tst_imagefiles.moc"
