#include "files/imagefiles.h"
#include "support/rows.h"
#include "support/testsupport.h"

#include <QTemporaryDir>
#include <QTest>

using namespace varn;
using namespace varn::test;

// What every format shares: ELF input against objcopy, the content check,
// relocation, and saving only the image's bytes. Loads that store nothing are
// judged by their callers (tst_cli, tst_mdimain).
class TestImageFiles : public QObject {
    Q_OBJECT

    QTemporaryDir folder;
    QString write(const QString& name, const QByteArray& content) {
        const QString path = folder.filePath(name);
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
        const LoadOptions options{FileFormat::Elf, 0, 0, relocate, true};
        const LoadResult loaded =
            LoadImageFile(SourcePath("tests/data/elf/" + name + ".elf"), options, *state);
        QVERIFY2(loaded.ok(), qPrintable(loaded.status.message));
        QVERIFY(loaded.leftOut.isEmpty() && loaded.notices.isEmpty());
        QCOMPARE(BufferBytes(*state, 0, int(objcopy.size())), objcopy);
        QCOMPARE(state->defined.count(), size_t(loaded.bytesStored));
        QVERIFY(!state->defined.test(size_t(objcopy.size()))); // .bss has no file bytes
        QCOMPARE(loaded.startAddress.value_or(-1), entry);
    }

    // Content that clearly is another format than the one asked for (ELF as
    // binary and S-records as HEX: tst_cli and tst_mdimain, refused and warned).
    void contentOfAnotherFormat_data() {
        Columns<QByteArray, QString>("content", "seen");
        QTest::newRow("Intel HEX") << HexText(Bytes(1, 20)) << "an Intel Hex file";
        QTest::newRow("S-record") << QByteArray("S00600004844521B\r\nS10501001234B3\r\n")
                                  << "an S-Record file";
        QTest::newRow("starts with a colon") << QByteArray(":0102030405\r\n\x01\x02") << QString();
    }
    void contentOfAnotherFormat() {
        auto [content, seen] = Row<QByteArray, QString>("content", "seen");
        auto state = ImageState();
        const LoadResult loaded =
            LoadImageFile(write("image", content), {FileFormat::Binary}, *state);
        QVERIFY(loaded.ok());
        QCOMPARE(loaded.bytesStored, content.size());
        QCOMPARE(loaded.otherFormat.isEmpty(), seen.isEmpty());
        VERIFY_CONTAINS(loaded.otherFormat, seen);
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
        state->startAddress = 0x12345;
        const QString path = folder.filePath("defined");
        QVERIFY(SaveImageFile(*state, path, {format, true}).ok);
        QCOMPARE(ReadFile(path), expected);
        auto again = ImageState(32);
        QVERIFY(LoadImageFile(path, {format}, *again).ok());
        QVERIFY(again->defined == (state->defined & std::bitset<BufferSize>().set().reset(40)));
        QCOMPARE(again->startAddress.value_or(0), 0x12345u);
    }
};

QTEST_GUILESS_MAIN(TestImageFiles)
#include "tst_imagefiles.moc"
