// Files that are too long, too large, gone or impossible to write: each must
// leave the buffer and any old file as they were and tell the user why.
#include "core/config.h"
#include "files/imagefiles.h"
#include "support/messagelog.h"
#include "support/modalanswer.h"
#include "support/rows.h"
#include "support/testsupport.h"
#include "ui/mdimain.h"

#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace varn;
using namespace varn::test;

namespace {

void FillState(AppState& state, const QString& dir) {
    state.AppDir = dir;
    state.PortNumber = 1;
    state.DeviceCount = 1;
    state.SelectedDevice = 1;
    state.DeviceTable[1] = {QStringLiteral("EEPROM 4K"), 1, 4096};
    for (int i = 0; i < BufferSize; ++i) // any byte a test did not expect to change shows
        state.Buffer[size_t(i)] = quint8(i * 31 + 7);
}

// The load options dialog answered with a file type and OK.
void AnswerLoadOptions(QWidget* dialog, bool hex) {
    dialog->findChild<QRadioButton*>(hex ? "Option1" : "Option2")->setChecked(true);
    dialog->findChild<QPushButton*>("cmdOk")->click();
}

qint64 PeakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

class TestHostileFiles : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void hugeBinary_data() {
        // fileOffset: -1: the file's size
        Columns<qint64, qint64, bool>("fileOffset", "bufferOffset", "refused");
        QTest::newRow("whole file") << qint64(0) << qint64(0) << true;
        QTest::newRow("file address past its end") << qint64(-1) << qint64(0) << false;
    }

    void hugeBinary() {
        auto [fileOffset, bufferOffset, refused] =
            Row<qint64, qint64, bool>("fileOffset", "bufferOffset", "refused");
        constexpr qint64 FileBytes = 100'000'000;
        QTemporaryDir dir;
        const QString path = dir.filePath("huge.bin");
        QVERIFY(WriteFile(path, {}) && QFile::resize(path, FileBytes)); // sparse: no disk used

        AppState state;
        FillState(state, dir.path());
        const auto before = state.Buffer;
        const qint64 peakBefore = PeakResidentKiB();
        const Status status = LoadAs(state, FileFormat::Binary, path,
                                     fileOffset < 0 ? FileBytes : fileOffset, bufferOffset);
        const qint64 grewKiB = PeakResidentKiB() - peakBefore;

        QVERIFY(state.Buffer == before);
        // Nothing of the file needs to be held to refuse it or to skip it.
        QVERIFY2(grewKiB < 16 * 1024, qPrintable(QStringLiteral("%1 KiB").arg(grewKiB)));
        QCOMPARE(!status.ok, refused);
        if (refused) {
            VERIFY_CONTAINS(status.message, "does not fit");
            VERIFY_CONTAINS(status.message, QDir::toNativeSeparators(path));
        }
    }

    void saveOnFullDisk_data() {
        QTest::addColumn<QString>("what");
        QTest::newRow("binary image") << "bin";
        QTest::newRow("settings at exit") << "cfg";
    }

    void saveOnFullDisk() {
        QFETCH(QString, what);
        QTemporaryDir dir;
        const QString disk = dir.filePath("disk");
        QVERIFY(QDir().mkpath(disk));
        if (::geteuid() != 0)
            QSKIP("mounting a small tmpfs needs root");
        if (::mount("tmpfs", QFile::encodeName(disk).constData(), "tmpfs", 0, "size=64k") != 0)
            QSKIP(qPrintable(QStringLiteral("cannot mount a tmpfs here: ") +
                             QString::fromLocal8Bit(strerror(errno))));
        // Unmounted before the temporary folder goes away.
        const auto unmount =
            qScopeGuard([disk] { ::umount2(QFile::encodeName(disk).constData(), MNT_DETACH); });

        // An old file, then a filler that leaves no room for the new one.
        const bool settings = what == "cfg";
        const QString path = disk + "/" + (settings ? QString(SettingsFileName) : "image." + what);
        const QByteArray old = settings ? QByteArray("1\r\n1\r\n1\r\n") : QByteArray(1000, '<');
        QVERIFY(WriteFile(path, old));
        {
            QFile filler(disk + "/filler");
            QVERIFY(filler.open(QIODevice::WriteOnly));
            const QByteArray block(4096, char(0));
            while (filler.write(block) == block.size() && filler.flush()) {
            }
        }

        AppState state;
        FillState(state, settings ? disk : dir.path());
        const auto before = state.Buffer;
        MessageLog log;
        {
            mdiMain w(state);
            if (settings) {
                state.PortNumber = 7; // what the exit would write
                w.close();
            } else {
                w.cdia.showSave = [&](QWidget*) { return path; };
                ModalAnswer options("frmFileLoad", [&](QWidget* dialog) {
                    AnswerLoadOptions(dialog, what == "hex");
                });
                w.FileSave_Click();
                QVERIFY(options.seen);
            }
        }

        QVERIFY(log.onlyCritical("File Save Error", settings ? QString(SettingsFileName)
                                                             : QDir::toNativeSeparators(path)));
        VERIFY_CONTAINS(log.shown[0].text, "the disk is full");
        QCOMPARE(ReadFile(path), old);
        QVERIFY(state.Buffer == before);
        // Nothing half-written is left behind: the old file and the filler only.
        QCOMPARE(QDir(disk).entryList(QDir::Files | QDir::Hidden).size(), 2);
    }
};

QTEST_MAIN(TestHostileFiles)
#include "tst_hostilefiles.moc"
