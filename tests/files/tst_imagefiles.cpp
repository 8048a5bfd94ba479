#include "files/imagefiles.h"
#include "support/rows.h"
#include "support/testsupport.h"

#include <QProcess>
#include <QStandardPaths>
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
    // The bytes `objcopy -O binary` writes, where its output starts (origin),
    // and nothing else: no ELF headers, no .bss. The avr and arm files are
    // made by tests/data/elf/make.sh, the .bin beside each is objcopy's. The
    // gcc files are built here from blink.c with lma.ld (see there), their
    // first segment covering the ELF headers; without section headers
    // (which objcopy refuses) the segments are taken whole, headers and all.
    void elfMatchesObjcopy_data() {
        // gcc: empty: the files in tests/data/elf
        Columns<QString, QStringList, bool, qint64, qint64, qint64>("name", "gcc", "noSections",
                                                                    "relocate", "origin", "entry");
        QTest::newRow("avr-gcc") << "avr" << QStringList() << false << 0LL << 0LL << 0LL;
        QTest::newRow("arm-none-eabi-gcc, linked at 08000000")
            << "arm" << QStringList() << false << 0x08000000LL << 0LL << 0x08000001LL;
        QTest::newRow("gcc -m32, .data loaded elsewhere")
            << "m32" << QStringList{"-m32"} << false << 0LL << 0x100LL << 0x100LL;
        QTest::newRow("gcc -m64, .data loaded elsewhere")
            << "m64" << QStringList{"-m64"} << false << 0LL << 0x100LL << 0x100LL;
        QTest::newRow("gcc -m64, no section headers")
            << "m64" << QStringList{"-m64"} << true << 0LL << 0x100LL << 0x100LL;
    }
    void elfMatchesObjcopy() {
        auto [name, gcc, noSections, relocate, origin, entry] =
            Row<QString, QStringList, bool, qint64, qint64, qint64>("name", "gcc", "noSections",
                                                                    "relocate", "origin", "entry");
        QString elf = SourcePath("tests/data/elf/" + name + ".elf");
        QByteArray objcopy = ReadFile(SourcePath("tests/data/elf/" + name + ".bin"));
        if (!gcc.isEmpty()) {
            if (QStandardPaths::findExecutable("gcc").isEmpty())
                QSKIP("gcc is not installed (scripts/setup.sh installs it)");
            elf = folder.filePath(name + ".elf");
            QProcess build;
            build.setProcessChannelMode(QProcess::MergedChannels);
            build.start("gcc", gcc + QStringList{"-Os", "-nostdlib", "-static", "-fno-pie",
                                                 "-no-pie", "-Wl,-e,main",
                                                 "-Wl,-T," + SourcePath("tests/data/elf/lma.ld"),
                                                 "-o", elf, SourcePath("tests/data/elf/blink.c")});
            QVERIFY2(build.waitForFinished(60000) && build.exitCode() == 0,
                     build.readAll().constData());
            QCOMPARE(QProcess::execute("objcopy", {"-O", "binary", elf, elf + ".bin"}), 0);
            objcopy = ReadFile(elf + ".bin");
        }
        QVERIFY(objcopy.size() > 200);
        QByteArray file = ReadFile(elf);
        if (noSections) { // e_shoff, e_shnum and e_shstrndx of a 64-bit file
            file.replace(40, 8, QByteArray(8, 0));
            file.replace(60, 4, QByteArray(4, 0));
            elf = write("bare.elf", file);
        }
        auto state = ImageState();
        state->Buffer.fill(0x00); // objcopy fills the gaps between sections with 00
        const LoadOptions options{FileFormat::Elf, 0, 0, relocate, true};
        const LoadResult loaded = LoadImageFile(elf, options, *state);
        QVERIFY2(loaded.ok(), qPrintable(loaded.status.message));
        QVERIFY(loaded.leftOut.isEmpty());
        QCOMPARE(loaded.notices.size(), noSections ? 1 : 0);
        if (noSections)
            VERIFY_CONTAINS(loaded.notices[0], "no section headers");
        QCOMPARE(BufferBytes(*state, int(origin), int(objcopy.size())), objcopy);
        // Below the origin: the ELF headers, loaded only with the segments whole.
        QCOMPARE(qint64(loaded.ranges.front().first), noSections ? 0 : origin);
        if (noSections)
            QCOMPARE(BufferBytes(*state, 0, int(origin)), file.left(origin));
        QCOMPARE(qint64(loaded.ranges.back().last),
                 origin + objcopy.size() - 1); // .bss has no file bytes
        QCOMPARE(state->defined.count(), size_t(loaded.bytesStored));
        QCOMPARE(loaded.startAddress.value_or(-1), entry);
    }

    // Program and section header tables that do not fit the file or the ELF
    // class are refused, the buffer left as it was.
    void elfRefused_data() {
        // avr.elf (32-bit, little-endian) with `bytes` written at `at`
        Columns<int, QByteArray, QString>("at", "bytes", "cause");
        QTest::newRow("program header entries of 40 bytes")
            << 42 << QByteArray("\x28\x00", 2)
            << "program header entries are 40 bytes long; a "
               "32-bit ELF file's are 32 bytes";
        QTest::newRow("program header table past the end")
            << 28 << QByteArray("\x20\x1B\x00\x00", 4) << "program header table lies beyond";
        QTest::newRow("first segment's bytes past the end")
            << 52 + 16 << QByteArray("\xF0\xFF\xFF\x7F", 4) << "avr.elf, segment 0";
        QTest::newRow("section header entries of 32 bytes")
            << 46 << QByteArray("\x20\x00", 2) << "section header entries are 32 bytes long";
    }
    void elfRefused() {
        auto [at, bytes, cause] = Row<int, QByteArray, QString>("at", "bytes", "cause");
        const QString path =
            write("avr.elf",
                  ReadFile(SourcePath("tests/data/elf/avr.elf")).replace(at, bytes.size(), bytes));
        auto state = ImageState();
        const auto before = state->Buffer;
        const LoadResult loaded = LoadImageFile(path, {FileFormat::Elf}, *state);
        QVERIFY(!loaded.ok());
        VERIFY_CONTAINS(loaded.status.message, cause);
        QVERIFY(state->Buffer == before && state->defined.none());
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
