#include "files/imagefiles.h"
#include "support/rows.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace varn;
using namespace varn::test;

class TestBinFile : public QObject {
    Q_OBJECT

    QTemporaryDir folder;

private slots:
    void loadPlacesBytes_data() {
        // firstStored: buffer position of the first stored byte
        Columns<qint64, qint64, int, int>("fileOffset", "bufferOffset", "firstStored",
                                          "storedCount");
        QTest::newRow("both offsets") << 0x10LL << 0x100LL << 0x110 << 4096 - 0x10;
        QTest::newRow("file address past end of file") << 0x9000LL << 0x40LL << 0 << 0;
        QTest::newRow("reaches last position")
            << 0LL << qint64(70001 - 4096) << 70001 - 4096 << 4096;
    }
    void loadPlacesBytes() {
        auto [fileOffset, bufferOffset, firstStored, storedCount] = Row<qint64, qint64, int, int>(
            "fileOffset", "bufferOffset", "firstStored", "storedCount");
        const QByteArray content = Bytes(3, 4096);
        const QString path = folder.filePath("image.bin");
        QVERIFY(WriteFile(path, content));
        auto state = ImageState();
        auto wanted = state->Buffer;
        // The file offset is not subtracted: file byte p lands at p + bufferOffset.
        for (int i = 0; i < storedCount; ++i)
            wanted[firstStored + i] = quint8(content[firstStored - int(bufferOffset) + i]);
        state->markDefined(5, 6); // a load adds to what is defined
        const Status status = LoadAs(*state, FileFormat::Binary, path, fileOffset, bufferOffset);
        QVERIFY2(status.ok, qPrintable(status.message));
        QVERIFY(state->Buffer == wanted);
        QCOMPARE(int(state->defined.count()), storedCount + 1);
        QVERIFY(storedCount == 0 || state->isDefined(firstStored + storedCount - 1));
    }

    void loadRefusedLeavesBuffer_data() {
        Columns<QString, qint64, qint64, QString>("fileName", "fileOffset", "bufferOffset",
                                                  "cause");
        QTest::newRow("one byte past the buffer")
            << "image.bin" << 0LL << qint64(70002 - 4096) << QStringLiteral("does not fit");
        QTest::newRow("skipped bytes do not help")
            << "image.bin" << 0x800LL << qint64(70002 - 4096) << QStringLiteral("does not fit");
        QTest::newRow("negative buffer address")
            << "image.bin" << 0LL << -16LL << QStringLiteral("buffer address");
        QTest::newRow("missing file")
            << "missing.bin" << 0LL << 0LL << QStringLiteral("Cannot open");
    }
    void loadRefusedLeavesBuffer() {
        auto [fileName, fileOffset, bufferOffset, cause] = Row<QString, qint64, qint64, QString>(
            "fileName", "fileOffset", "bufferOffset", "cause");
        QVERIFY(WriteFile(folder.filePath("image.bin"), Bytes(3, 4096)));
        const QString path = folder.filePath(fileName);
        auto state = ImageState();
        const auto before = state->Buffer;
        const Status status = LoadAs(*state, FileFormat::Binary, path, fileOffset, bufferOffset);
        QVERIFY(!status.ok);
        VERIFY_CONTAINS(status.message, cause);
        VERIFY_CONTAINS(status.message, QDir::toNativeSeparators(path));
        QVERIFY(state->Buffer == before);
        QVERIFY(fileName != QLatin1String("missing.bin") || !QFile::exists(path));
    }

    void saveWritesDeviceSize_data() {
        // oldContent: empty: no file before
        Columns<qint32, QByteArray>("deviceSize", "oldContent");
        QTest::newRow("over a longer file") << 0x800 << Bytes(3, 0x3000);
        QTest::newRow("64 KiB") << 65536 << QByteArray();
    }
    void saveWritesDeviceSize() {
        auto [deviceSize, oldContent] = Row<qint32, QByteArray>("deviceSize", "oldContent");
        const QString path = folder.filePath("saved.bin");
        QFile::remove(path);
        if (!oldContent.isEmpty())
            QVERIFY(WriteFile(path, oldContent));
        auto state = ImageState(deviceSize);
        QVERIFY(SaveImageFile(*state, path, {FileFormat::Binary}).ok);
        QCOMPARE(ReadFile(path), BufferBytes(*state, 0, deviceSize));
    }

    void failedSaveKeepsOldFile_data() {
        Columns<bool, QString, qint32>("hex", "target", "deviceSize");
        for (bool hex : {false, true}) {
            const char* kind = hex ? "hex" : "bin";
            QTest::addRow("%s: target is a folder", kind) << hex << QStringLiteral("folder") << 64;
            QTest::addRow("%s: read-only folder", kind)
                << hex << QStringLiteral("locked/out.img") << 64;
            QTest::addRow("%s: immutable file", kind) << hex << QStringLiteral("out.img") << 64;
        }
        QTest::newRow("hex: device too large") << true << QStringLiteral("out.img") << 65537;
        QTest::newRow("bin: device too large") << false << QStringLiteral("out.img") << 70002;
    }
    void failedSaveKeepsOldFile() {
        auto [hex, target, deviceSize] = Row<bool, QString, qint32>("hex", "target", "deviceSize");
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("folder/inside"));
        QVERIFY(QDir(dir.path()).mkpath("locked"));
        const QByteArray old("old contents");
        QVERIFY(WriteFile(dir.filePath("out.img"), old));
        QVERIFY(WriteFile(dir.filePath("locked/out.img"), old));
        const QString locked = dir.filePath("locked");
        QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));
        if (target.startsWith("locked") && WriteFile(dir.filePath("locked/probe"), "x"))
            QSKIP("permission bits do not bind this user");

        const QString path = dir.filePath(target);
        // The rename over an immutable file fails after the new one is written.
        const bool immutable = deviceSize == 64 && target == QLatin1String("out.img");
        const auto chattr = [&](const char* flag) {
            return QProcess::execute(QStringLiteral("chattr"), {QLatin1String(flag), path}) == 0;
        };
        if (immutable && (!chattr("+i") || QFile(path).open(QIODevice::Append))) {
            chattr("-i");
            QSKIP("no immutable flag here");
        }
        const Status status = SaveImageFile(*ImageState(deviceSize), path,
                                            {hex ? FileFormat::IntelHex : FileFormat::Binary});
        QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (immutable)
            chattr("-i");
        QVERIFY(!status.ok);
        VERIFY_CONTAINS(status.message, QDir::toNativeSeparators(path));
        if (QFileInfo(path).isDir())
            QVERIFY(QFileInfo::exists(path + QStringLiteral("/inside")));
        else
            QCOMPARE(ReadFile(path), old);
        // No temporary file is left behind beside the target.
        const QStringList left = QDir(QFileInfo(path).absolutePath()).entryList(QDir::Files);
        QVERIFY2(left.isEmpty() || left == QStringList{QStringLiteral("out.img")},
                 qPrintable(left.join(QLatin1Char(' '))));
    }

    // A pipe (what process substitution and /dev/stdin give) says size 0: it
    // is read to its end, and only as far as a file that fits can reach.
    void loadReadsStream_data() {
        Columns<int, bool>("length", "fits");
        QTest::newRow("ends within the buffer") << 100 << true;
        QTest::newRow("goes on past the buffer") << 101 << false;
    }
    void loadReadsStream() {
        auto [length, fits] = Row<int, bool>("length", "fits");
        int ends[2];
        QCOMPARE(::pipe(ends), 0);
        const QByteArray bytes = Bytes(3, length);
        QCOMPARE(::write(ends[1], bytes.constData(), size_t(length)), ssize_t(length));
        ::close(ends[1]);
        auto state = ImageState();
        auto expected = state->Buffer;
        // File offset 1; room for exactly 100 file bytes.
        const Status status =
            LoadAs(*state, FileFormat::Binary, QStringLiteral("/dev/fd/%1").arg(ends[0]), 1,
                   BufferSize - 100);
        ::close(ends[0]);
        QCOMPARE(status.ok, fits);
        if (fits)
            std::copy(bytes.begin() + 1, bytes.end(), expected.begin() + BufferSize - 99);
        else
            VERIFY_CONTAINS(status.message, "does not fit");
        QVERIFY(state->Buffer == expected);
    }

    // A save replaces only a regular file or makes a new one; a link to a
    // regular file is saved through and stays a link.
    void saveOnlyOntoRegularFile_data() {
        // named: empty: saved
        Columns<QString, QString>("kind", "named");
        QTest::newRow("FIFO") << QStringLiteral("fifo") << "FIFO";
        QTest::newRow("character device") << QStringLiteral("device") << "character device";
        QTest::newRow("symbolic link loop") << QStringLiteral("loop") << "loop";
        QTest::newRow("link to a regular file") << "link" << QString();
    }
    void saveOnlyOntoRegularFile() {
        auto [kind, named] = Row<QString, QString>("kind", "named");
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.filePath("out.bin"));
        const QByteArray other = QFile::encodeName(dir.filePath("other.bin"));
        if (kind == "fifo")
            QCOMPARE(::mkfifo(path.constData(), 0666), 0);
        if (kind == "device" && ::mknod(path.constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
            QSKIP("making a device node needs root");
        if (kind == "loop" || kind == "link")
            QCOMPARE(::symlink("other.bin", path.constData()), 0);
        if (kind == "loop")
            QCOMPARE(::symlink("out.bin", other.constData()), 0);
        if (kind == "link")
            QVERIFY(WriteFile(QFile::decodeName(other), "old"));
        struct stat before {};
        QCOMPARE(::lstat(path.constData(), &before), 0);

        auto state = ImageState(64);
        const Status status = SaveImageFile(*state, QFile::decodeName(path), {FileFormat::Binary});

        struct stat after {};
        QCOMPARE(::lstat(path.constData(), &after), 0);
        QCOMPARE(after.st_mode & S_IFMT, before.st_mode & S_IFMT);
        if (named.isEmpty()) {
            QVERIFY2(status.ok, qPrintable(status.message));
            QCOMPARE(ReadFile(QFile::decodeName(other)), BufferBytes(*state, 0, 64));
        } else {
            QVERIFY(!status.ok);
            VERIFY_CONTAINS(status.message, named);
        }
        QCOMPARE(QDir(dir.path())
                     .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                     .size(),
                 kind == "fifo" || kind == "device" ? 1 : 2);
    }

    void pathLooksHex_data() {
        Columns<QString, bool>("path", "looksHex");
        QTest::newRow("upper") << "C:/work/image.HEX" << true;
        QTest::newRow("mixed case") << "image.Hex" << false;
        QTest::newRow("no dot") << "imagehex" << true;
        QTest::newRow("folder named hex") << "/data.hex/image" << false;
    }
    void pathLooksHex() {
        auto [path, looksHex] = Row<QString, bool>("path", "looksHex");
        QCOMPARE(PathLooksHex(path), looksHex);
    }
};

QTEST_GUILESS_MAIN(TestBinFile)
#include "tst_binfile.moc"
