#include "core/config.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <tuple>

using namespace varn;
using namespace varn::test;

namespace {

const QByteArray GoodCfg = "1\r\n3\r\n2\r\n";
const QByteArray GoodDev = "\"FLASH 1K\",1,1024\r\n\"EPROM 8K, low voltage\",5,8192\r\n"
                           "\"EPROM 64K\",10,65536\r\n";
const QByteArray GoodAuto = "4\r\n1\r\n2\r\n3\r\n4\r\n";

void VerifyFailsWith(const Status& status, const char* prefix) {
    QVERIFY(!status.ok);
    QVERIFY2(status.message.startsWith(QLatin1String(prefix)), qPrintable(status.message));
}

} // namespace

using FaultCase = std::tuple<QByteArray, QByteArray, QByteArray, QString>;

using UnreadableCase = std::tuple<QString, QString, QString>;

class TestConfig : public QObject {
    Q_OBJECT

    QTemporaryDir folder;

    QString path(const char* name) const { return folder.filePath(QLatin1String(name)); }
    void writeAll(const QByteArray& cfg, const QByteArray& dev, const QByteArray& autoCfg) {
        WriteFile(path(SettingsFileName), cfg);
        WriteFile(path(DeviceFileName), dev);
        WriteFile(path(AutoFileName), autoCfg);
    }

private slots:
    void init() {
        QVERIFY(folder.isValid());
        for (const char* name : {SettingsFileName, DeviceFileName, AutoFileName})
            QFile::remove(path(name));
        QVERIFY(QDir(path(SettingsFileName)).removeRecursively());
    }

    void saveWritesExactBytesAndReadsBack() {
        AppState state;
        state.AppDir = folder.path();
        state.PortNumber = 3;
        state.DeviceCount = 12;
        state.SelectedDevice = 1;
        WriteFile(path(SettingsFileName), "a much longer old content\r\n\r\n\r\n");
        QVERIFY(SaveSettings(state));
        QCOMPARE(ReadFile(path(SettingsFileName)), QByteArray("3\r\n12\r\n1\r\n"));

        QVERIFY(SaveAutoList(state));
        QCOMPARE(ReadFile(path(AutoFileName)), QByteArray("0\r\n"));
        state.AutoCount = 4;
        for (int i = 1; i <= 5; ++i) // the fifth step lies beyond the count
            state.AutoList[i] = qint16(i);
        QVERIFY(SaveAutoList(state));
        QCOMPARE(ReadFile(path(AutoFileName)), GoodAuto);

        // Read back as a start reads them.
        AppState back;
        back.AppDir = folder.path();
        QVERIFY(LoadSettings(back) && LoadAutoList(back));
        QCOMPARE(back.DeviceCount, qint16(12));
        QCOMPARE(back.AutoList[4], qint16(4));
    }

    void startReadsAllThreeFiles() {
        writeAll(GoodCfg, GoodDev, GoodAuto);
        AppState state;
        const Status status = Main(state, folder.path());
        QVERIFY2(status, qPrintable(status.message));
        QCOMPARE(state.AppDir, folder.path());
        QCOMPARE(QList<int>({state.PortNumber, state.DeviceCount, state.SelectedDevice}),
                 QList<int>({1, 3, 2}));
        QCOMPARE(state.DeviceTable[2].Name, QStringLiteral("EPROM 8K, low voltage"));
        QCOMPARE(state.DeviceTable[2].Code, qint16(5));
        QCOMPARE(state.DeviceTable[3].Size, 65536);
        QCOMPARE(state.DeviceSize(), 8192);
        QCOMPARE(state.AutoCount, qint16(4));
        QCOMPARE(state.AutoList[4], qint16(4));
    }

    void deviceTableReadsOnlyDeviceCount() {
        // The part after the counted entries would not even read.
        writeAll("1\r\n2\r\n0\r\n", "\"A\",1,1024\r\n\"B\",2,2048\r\n\"C\",x,y\r\n", "0\r\n");
        AppState state;
        state.DeviceTable[3].Name = QStringLiteral("stale");
        const Status status = Main(state, folder.path());
        QVERIFY2(status, qPrintable(status.message));
        QCOMPARE(state.DeviceTable[2].Size, 2048);
        QCOMPARE(state.DeviceTable[3].Name, QString());
        QCOMPARE(state.DeviceSize(), 0);
    }

    void startFaults_data() {
        QTest::addColumn<FaultCase>("testCase");

        QTest::newRow("cfg too few values")
            << FaultCase("1\r\n3\r\n", GoodDev, GoodAuto,
                         "varn.cfg: line 3: selected device is missing, the file ends");
        QTest::newRow("cfg port not a number")
            << FaultCase("COM1\r\n3\r\n2\r\n", GoodDev, GoodAuto,
                         "varn.cfg: line 1: port number \"COM1\" is not a number");
        QTest::newRow("cfg device count 51")
            << FaultCase("1\r\n51\r\n2\r\n", GoodDev, GoodAuto,
                         "varn.cfg: line 2: device count 51 is outside 0..50");
        QTest::newRow("cfg selected device -1")
            << FaultCase("1\r\n3\r\n-1\r\n", GoodDev, GoodAuto,
                         "varn.cfg: line 3: selected device -1 is outside 0..50");
        QTest::newRow("dev size too large")
            << FaultCase(GoodCfg, "\"A\",1,1\r\n\"B\",2,70001\r\n\"C\",3,3\r\n", GoodAuto,
                         "varn.dev: entry 2 of 3: size 70001 is larger than 65536 bytes");
        QTest::newRow("dev code 160")
            << FaultCase(GoodCfg, "\"A\",160,1\r\n", GoodAuto,
                         "varn.dev: entry 1 of 3: code 160 is outside 0..159");
        QTest::newRow("auto count 21") << FaultCase(
            GoodCfg, GoodDev, "21\r\n", "auto.cfg: line 1: step count 21 is outside 0..20");
    }
    void startFaults() {
        QFETCH(FaultCase, testCase);
        auto [cfg, dev, autoCfg, message] = testCase;
        writeAll(cfg, dev, autoCfg);
        AppState state;
        const Status status = Main(state, folder.path());
        QVERIFY(!status.ok);
        QCOMPARE(status.message, message);
    }

    void unreadableFileStopsStart_data() {
        QTest::addColumn<UnreadableCase>("testCase");
        for (const char* name : {SettingsFileName, DeviceFileName, AutoFileName})
            QTest::addRow("%s missing", name)
                << UnreadableCase(QString::fromLatin1(name), "missing", "");
        // Refused by their size before they are read, however long they go on.
        QTest::newRow("varn.dev of 2 MiB")
            << UnreadableCase(QString(DeviceFileName), "large", "2097152 bytes");
        QTest::newRow("auto.cfg endless")
            << UnreadableCase(QString(AutoFileName), "endless", "goes on past");
    }
    void unreadableFileStopsStart() {
        QFETCH(UnreadableCase, testCase);
        auto [name, how, cause] = testCase;
        writeAll(GoodCfg, GoodDev, GoodAuto);
        const QString file = folder.filePath(name);
        if (how == "large")
            QVERIFY(QFile::resize(file, 2 * 1024 * 1024));
        else
            QVERIFY(QFile::remove(file));
        if (how == "endless")
            QVERIFY(QFile::link(QStringLiteral("/dev/zero"), file));
        AppState state;
        const Status status = Main(state, folder.path());
        QVERIFY(!status.ok);
        QVERIFY2(status.message.startsWith(name + QStringLiteral(": cannot be read: ")) &&
                     status.message.contains(cause),
                 qPrintable(status.message));
    }

    void faultyDeviceTableKeepsOldTable() {
        writeAll(GoodCfg, "\"A\",1,1\r\n\"B\",2,2\r\n\"C\",3,99999\r\n", GoodAuto);
        AppState state;
        state.AppDir = folder.path();
        state.DeviceCount = 3;
        state.DeviceTable[1].Name = QStringLiteral("old");
        QVERIFY(!LoadDeviceTable(state));
        QCOMPARE(state.DeviceTable[1].Name, QStringLiteral("old"));
        QCOMPARE(state.DeviceTable[2].Name, QString());
    }

    void failedSaveKeepsOldFiles() {
        AppState state;
        state.AppDir = folder.path();
        WriteFile(path(AutoFileName), GoodAuto);
        state.AutoCount = 21;
        const Status refused = SaveAutoList(state);
        QVERIFY(!refused);
        QCOMPARE(refused.message,
                 QStringLiteral("auto.cfg: cannot be written: step count 21 is outside 0..20"));
        QCOMPARE(ReadFile(path(AutoFileName)), GoodAuto);

        // A regular file standing where the folder should be.
        const QString notAFolder = path("plain-file");
        WriteFile(notAFolder, "x");
        state.AppDir = notAFolder;
        state.AutoCount = 1;
        VerifyFailsWith(SaveSettings(state), "varn.cfg: cannot be written: ");
        VerifyFailsWith(SaveAutoList(state), "auto.cfg: cannot be written: ");
        QCOMPARE(ReadFile(notAFolder), QByteArray("x"));
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
