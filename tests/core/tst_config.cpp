#include "core/config.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using namespace varn;

namespace {

void WriteFile(const QString& path, const QByteArray& data) {
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(file.errorString()));
    file.write(data);
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<missing>";
    return file.readAll();
}

const QByteArray GoodCfg = "1\r\n3\r\n2\r\n";
const QByteArray GoodDev = "\"FLASH 1K\",1,1024\r\n\"EPROM 8K, low voltage\",5,8192\r\n"
                           "\"EPROM 64K\",10,65536\r\n";
const QByteArray GoodAuto = "4\r\n1\r\n2\r\n3\r\n4\r\n";

} // namespace

class TestConfig : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString path(const char* name) const { return m_dir.filePath(QLatin1String(name)); }
    void writeAll(const QByteArray& cfg, const QByteArray& dev, const QByteArray& autoCfg) {
        WriteFile(path(SettingsFileName), cfg);
        WriteFile(path(DeviceFileName), dev);
        WriteFile(path(AutoFileName), autoCfg);
    }

private slots:
    void init() {
        QVERIFY(m_dir.isValid());
        for (const char* name : {SettingsFileName, DeviceFileName, AutoFileName})
            QFile::remove(path(name));
        QVERIFY(QDir(path(SettingsFileName)).removeRecursively());
    }

    void saveSettingsWritesExactBytes_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("selected");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("port 3, twelve types, first")
            << 3 << 12 << 1 << QByteArray("3\r\n12\r\n1\r\n");
        QTest::newRow("nothing selected") << 8 << 0 << 0 << QByteArray("8\r\n0\r\n0\r\n");
        QTest::newRow("negative port kept") << -1 << 50 << 50 << QByteArray("-1\r\n50\r\n50\r\n");
    }
    void saveSettingsWritesExactBytes() {
        QFETCH(int, port);
        QFETCH(int, count);
        QFETCH(int, selected);
        QFETCH(QByteArray, bytes);
        AppState state;
        state.AppDir = m_dir.path();
        state.PortNumber = qint16(port);
        state.DeviceCount = qint16(count);
        state.SelectedDevice = qint16(selected);
        WriteFile(path(SettingsFileName), "a much longer old content\r\n\r\n\r\n");
        QVERIFY(SaveSettings(state));
        QCOMPARE(ReadFile(path(SettingsFileName)), bytes);

        AppState back;
        back.AppDir = m_dir.path();
        QVERIFY(LoadSettings(back));
        QCOMPARE(back.PortNumber, state.PortNumber);
        QCOMPARE(back.DeviceCount, state.DeviceCount);
        QCOMPARE(back.SelectedDevice, state.SelectedDevice);
    }

    void saveAutoListWritesExactBytes_data() {
        QTest::addColumn<QList<int>>("steps");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty sequence") << QList<int>{} << QByteArray("0\r\n");
        QTest::newRow("erase blank program verify")
            << QList<int>{1, 2, 3, 4} << QByteArray("4\r\n1\r\n2\r\n3\r\n4\r\n");
        QTest::newRow("unknown code kept")
            << QList<int>{0, 9, -2} << QByteArray("3\r\n0\r\n9\r\n-2\r\n");
        QList<int> twenty;
        QByteArray twentyBytes = "20\r\n";
        for (int i = 0; i < 20; ++i) {
            twenty << i % 6;
            twentyBytes += QByteArray::number(i % 6) + "\r\n";
        }
        QTest::newRow("twenty steps") << twenty << twentyBytes;
    }
    void saveAutoListWritesExactBytes() {
        QFETCH(QList<int>, steps);
        QFETCH(QByteArray, bytes);
        AppState state;
        state.AppDir = m_dir.path();
        state.AutoCount = qint16(steps.size());
        for (int i = 0; i < steps.size(); ++i)
            state.AutoList[i + 1] = qint16(steps[i]);
        // A step beyond the count must not be written.
        if (steps.size() < MaxAutoCount)
            state.AutoList[steps.size() + 1] = 5;
        QVERIFY(SaveAutoList(state));
        QCOMPARE(ReadFile(path(AutoFileName)), bytes);

        AppState back;
        back.AppDir = m_dir.path();
        QVERIFY(LoadAutoList(back));
        QCOMPARE(back.AutoCount, state.AutoCount);
        for (int i = 1; i <= steps.size(); ++i)
            QCOMPARE(back.AutoList[i], state.AutoList[i]);
    }

    void saveAutoListRefusesCountOutOfRange() {
        AppState state;
        state.AppDir = m_dir.path();
        WriteFile(path(AutoFileName), GoodAuto);
        state.AutoCount = 21;
        const Status status = SaveAutoList(state);
        QVERIFY(!status);
        QCOMPARE(status.message,
                 QStringLiteral("auto.cfg: cannot be written: step count 21 is outside 0..20"));
        QCOMPARE(ReadFile(path(AutoFileName)), GoodAuto);
    }

    void startReadsAllThreeFiles() {
        writeAll(GoodCfg, GoodDev, GoodAuto);
        AppState state;
        const Status status = Main(state, m_dir.path());
        QVERIFY2(status, qPrintable(status.message));
        QCOMPARE(state.AppDir, m_dir.path());
        QCOMPARE(state.PortNumber, qint16(1));
        QCOMPARE(state.DeviceCount, qint16(3));
        QCOMPARE(state.SelectedDevice, qint16(2));
        QCOMPARE(state.DeviceTable[0].Name, QString());
        QCOMPARE(state.DeviceTable[0].Size, 0);
        QCOMPARE(state.DeviceTable[1].Name, QStringLiteral("FLASH 1K"));
        QCOMPARE(state.DeviceTable[1].Code, qint16(1));
        QCOMPARE(state.DeviceTable[1].Size, 1024);
        QCOMPARE(state.DeviceTable[2].Name, QStringLiteral("EPROM 8K, low voltage"));
        QCOMPARE(state.DeviceTable[2].Code, qint16(5));
        QCOMPARE(state.DeviceTable[3].Size, 65536);
        QCOMPARE(state.DeviceSize(), 8192);
        QCOMPARE(state.AutoCount, qint16(4));
        QCOMPARE((QList<qint16>{state.AutoList[1], state.AutoList[2], state.AutoList[3],
                                state.AutoList[4]}),
                 (QList<qint16>{1, 2, 3, 4}));
    }

    void startAcceptsOtherLayouts() {
        // One item per line, an unquoted name, LF line ends, blank lines, trailing spaces.
        writeAll("1\n2\n1\n", "FLASH 1K\n 1 \n1024\n\n\n  \"B,C\" , 2 , 2048  \n", "1  \r\n5\r\n");
        AppState state;
        const Status status = Main(state, m_dir.path());
        QVERIFY2(status, qPrintable(status.message));
        QCOMPARE(state.DeviceTable[1].Name, QStringLiteral("FLASH 1K"));
        QCOMPARE(state.DeviceTable[2].Name, QStringLiteral("B,C"));
        QCOMPARE(state.DeviceTable[2].Size, 2048);
        QCOMPARE(state.AutoCount, qint16(1));
        QCOMPARE(state.AutoList[1], qint16(5));
    }

    void deviceTableReadsOnlyDeviceCount_data() {
        QTest::addColumn<int>("count");
        QTest::newRow("none") << 0;
        QTest::newRow("first") << 1;
        QTest::newRow("first two") << 2;
    }
    void deviceTableReadsOnlyDeviceCount() {
        QFETCH(int, count);
        // The part after the counted entries would not even read.
        writeAll(QByteArray("1\r\n") + QByteArray::number(count) + "\r\n0\r\n",
                 "\"A\",1,1024\r\n\"B\",2,2048\r\n\"C\",x,y\r\n", "0\r\n");
        AppState state;
        state.DeviceTable[3].Name = QStringLiteral("stale");
        const Status status = Main(state, m_dir.path());
        QVERIFY2(status, qPrintable(status.message));
        QCOMPARE(state.DeviceCount, qint16(count));
        const QStringList names{"A", "B"};
        for (int i = 1; i <= MaxDeviceCount; ++i) {
            QCOMPARE(state.DeviceTable[i].Name, i <= count ? names[i - 1] : QString());
            QCOMPARE(state.DeviceTable[i].Size, i <= count ? 1024 * i : 0);
        }
        QCOMPARE(state.DeviceSize(), 0);
    }

    void startFaults_data() {
        QTest::addColumn<QByteArray>("cfg");
        QTest::addColumn<QByteArray>("dev");
        QTest::addColumn<QByteArray>("autoCfg");
        QTest::addColumn<QString>("message");

        QTest::newRow("cfg empty") << QByteArray() << GoodDev << GoodAuto
                                   << "varn.cfg: line 1: port number is missing, the file ends";
        QTest::newRow("cfg too few values")
            << QByteArray("1\r\n3\r\n") << GoodDev << GoodAuto
            << "varn.cfg: line 3: selected device is missing, the file ends";
        QTest::newRow("cfg port not a number")
            << QByteArray("COM1\r\n3\r\n2\r\n") << GoodDev << GoodAuto
            << "varn.cfg: line 1: port number \"COM1\" is not a number";
        QTest::newRow("cfg port past 16 bits")
            << QByteArray("32768\r\n3\r\n2\r\n") << GoodDev << GoodAuto
            << "varn.cfg: line 1: port number 32768 does not fit in 16 bits";
        QTest::newRow("cfg device count 51")
            << QByteArray("1\r\n51\r\n2\r\n") << GoodDev << GoodAuto
            << "varn.cfg: line 2: device count 51 is outside 0..50";
        QTest::newRow("cfg device count negative")
            << QByteArray("1\r\n-1\r\n2\r\n") << GoodDev << GoodAuto
            << "varn.cfg: line 2: device count -1 is outside 0..50";
        QTest::newRow("cfg selected device 51")
            << QByteArray("1\r\n3\r\n51\r\n") << GoodDev << GoodAuto
            << "varn.cfg: line 3: selected device 51 is outside 0..50";
        QTest::newRow("cfg selected device negative")
            << QByteArray("1\r\n3\r\n-1\r\n") << GoodDev << GoodAuto
            << "varn.cfg: line 3: selected device -1 is outside 0..50";
        QTest::newRow("cfg huge number")
            << QByteArray("1\r\n99999999999999999999\r\n2\r\n") << GoodDev << GoodAuto
            << "varn.cfg: line 2: device count 99999999999999999999 is too large";

        QTest::newRow("dev too few entries")
            << QByteArray("1\r\n4\r\n2\r\n") << GoodDev << GoodAuto
            << "varn.dev: entry 4 of 4: name is missing, the file ends";
        QTest::newRow("dev entry ends early")
            << GoodCfg << QByteArray("\"A\",1,1\r\n\"B\",2,2\r\n\"C\",3") << GoodAuto
            << "varn.dev: entry 3 of 3: size is missing, the file ends";
        QTest::newRow("dev size too large")
            << GoodCfg << QByteArray("\"A\",1,1\r\n\"B\",2,70001\r\n\"C\",3,3\r\n") << GoodAuto
            << "varn.dev: entry 2 of 3: size 70001 is larger than 65536 bytes";
        QTest::newRow("dev size negative") << GoodCfg << QByteArray("\"A\",1,-1\r\n") << GoodAuto
                                           << "varn.dev: entry 1 of 3: size -1 is negative";
        QTest::newRow("dev size past 32 bits")
            << GoodCfg << QByteArray("\"A\",1,4294967296\r\n") << GoodAuto
            << "varn.dev: entry 1 of 3: size 4294967296 is larger than 65536 bytes";
        QTest::newRow("dev size with unit")
            << GoodCfg << QByteArray("\"A\",1,8K\r\n") << GoodAuto
            << "varn.dev: entry 1 of 3: size \"8K\" is not a number";
        QTest::newRow("dev code 160") << GoodCfg << QByteArray("\"A\",160,1\r\n") << GoodAuto
                                      << "varn.dev: entry 1 of 3: code 160 is outside 0..159";
        QTest::newRow("dev code negative")
            << GoodCfg << QByteArray("\"A\",1,1\r\n\"B\",-1,1\r\n") << GoodAuto
            << "varn.dev: entry 2 of 3: code -1 is outside 0..159";
        QTest::newRow("dev code past 16 bits")
            << GoodCfg << QByteArray("\"A\",65537,1\r\n") << GoodAuto
            << "varn.dev: entry 1 of 3: code 65537 is outside 0..159";
        QTest::newRow("dev name without closing quote")
            << GoodCfg << QByteArray("\"A,1,1\r\n") << GoodAuto
            << "varn.dev: entry 1 of 3: name \"A,1,1 has no closing quote";
        QTest::newRow("dev unquoted name with comma shifts items")
            << GoodCfg << QByteArray("EPROM 8K, low voltage,5,8192\r\n") << GoodAuto
            << "varn.dev: entry 1 of 3: code \"low voltage\" is not a number";

        QTest::newRow("auto empty") << GoodCfg << GoodDev << QByteArray()
                                    << "auto.cfg: line 1: step count is missing, the file ends";
        QTest::newRow("auto count 21") << GoodCfg << GoodDev << QByteArray("21\r\n")
                                       << "auto.cfg: line 1: step count 21 is outside 0..20";
        QTest::newRow("auto count negative") << GoodCfg << GoodDev << QByteArray("-1\r\n")
                                             << "auto.cfg: line 1: step count -1 is outside 0..20";
        QTest::newRow("auto too few steps")
            << GoodCfg << GoodDev << QByteArray("3\r\n1\r\n2\r\n")
            << "auto.cfg: line 4: step 3 of 3 is missing, the file ends";
        QTest::newRow("auto step not a number")
            << GoodCfg << GoodDev << QByteArray("2\r\n1\r\nErase\r\n")
            << "auto.cfg: line 3: step 2 of 2 \"Erase\" is not a number";
        QTest::newRow("auto step past 16 bits")
            << GoodCfg << GoodDev << QByteArray("1\r\n-40000\r\n")
            << "auto.cfg: line 2: step 1 of 1 -40000 does not fit in 16 bits";
    }
    void startFaults() {
        QFETCH(QByteArray, cfg);
        QFETCH(QByteArray, dev);
        QFETCH(QByteArray, autoCfg);
        QFETCH(QString, message);
        writeAll(cfg, dev, autoCfg);
        AppState state;
        const Status status = Main(state, m_dir.path());
        QVERIFY(!status.ok);
        QCOMPARE(status.message, message);
    }

    void missingFileStopsStart_data() {
        QTest::addColumn<QString>("missing");
        QTest::newRow("varn.cfg") << QString::fromLatin1(SettingsFileName);
        QTest::newRow("varn.dev") << QString::fromLatin1(DeviceFileName);
        QTest::newRow("auto.cfg") << QString::fromLatin1(AutoFileName);
    }
    void missingFileStopsStart() {
        QFETCH(QString, missing);
        writeAll(GoodCfg, GoodDev, GoodAuto);
        QVERIFY(QFile::remove(m_dir.filePath(missing)));
        AppState state;
        const Status status = Main(state, m_dir.path());
        QVERIFY(!status.ok);
        QVERIFY2(status.message.startsWith(missing + QStringLiteral(": cannot be read: ")),
                 qPrintable(status.message));
    }

    void emptyFolderFailsOnSettingsFirst() {
        QTemporaryDir empty;
        AppState state;
        const Status status = Main(state, empty.path());
        QVERIFY(!status.ok);
        QVERIFY2(status.message.startsWith(QStringLiteral("varn.cfg: cannot be read: ")),
                 qPrintable(status.message));
    }

    void faultyDeviceTableKeepsOldTable() {
        writeAll(GoodCfg, "\"A\",1,1\r\n\"B\",2,2\r\n\"C\",3,99999\r\n", GoodAuto);
        AppState state;
        state.AppDir = m_dir.path();
        state.DeviceCount = 3;
        state.DeviceTable[1].Name = QStringLiteral("old");
        QVERIFY(!LoadDeviceTable(state));
        QCOMPARE(state.DeviceTable[1].Name, QStringLiteral("old"));
        QCOMPARE(state.DeviceTable[2].Name, QString());
    }

    void saveIntoMissingFolderFails() {
        // A regular file standing where the folder should be fails even for root.
        const QString notAFolder = path("plain-file");
        WriteFile(notAFolder, "x");
        AppState state;
        state.AppDir = notAFolder;
        state.PortNumber = 2;
        const Status settings = SaveSettings(state);
        QVERIFY(!settings.ok);
        QVERIFY2(settings.message.startsWith(QStringLiteral("varn.cfg: cannot be written: ")),
                 qPrintable(settings.message));
        const Status autoList = SaveAutoList(state);
        QVERIFY(!autoList.ok);
        QVERIFY2(autoList.message.startsWith(QStringLiteral("auto.cfg: cannot be written: ")),
                 qPrintable(autoList.message));
        QCOMPARE(ReadFile(notAFolder), QByteArray("x"));
        QCOMPARE(state.PortNumber, qint16(2));
    }

    void saveOverFolderLeavesItIntact() {
        // varn.cfg being a folder cannot be replaced, whoever runs the test.
        QVERIFY(QDir(m_dir.path()).mkdir(QLatin1String(SettingsFileName)));
        WriteFile(path(SettingsFileName) + QStringLiteral("/keep"), "kept");
        AppState state;
        state.AppDir = m_dir.path();
        const Status status = SaveSettings(state);
        QVERIFY(!status.ok);
        QVERIFY2(status.message.startsWith(QStringLiteral("varn.cfg: cannot be written: ")),
                 qPrintable(status.message));
        QCOMPARE(ReadFile(path(SettingsFileName) + QStringLiteral("/keep")), QByteArray("kept"));
    }

    void saveToReadOnlyFileLeavesOldFile_data() {
        QTest::addColumn<bool>("protectFolder");
        QTest::newRow("read-only file") << false;
        QTest::newRow("read-only folder") << true;
    }
    void saveToReadOnlyFileLeavesOldFile() {
        QFETCH(bool, protectFolder);
        QTemporaryDir dir;
        const QString file = dir.filePath(QLatin1String(SettingsFileName));
        WriteFile(file, GoodCfg);
        const QString target = protectFolder ? dir.path() : file;
        const auto oldPermissions = QFile::permissions(target);
        QVERIFY(QFile::setPermissions(target, QFile::ReadOwner | QFile::ExeOwner));
        const auto restore = qScopeGuard([&] { QFile::setPermissions(target, oldPermissions); });

        QFile probe(protectFolder ? dir.filePath(QStringLiteral("probe")) : file);
        if (probe.open(QIODevice::Append)) {
            probe.close();
            probe.remove();
            QSKIP("permissions are not enforced for this user (root)");
        }

        AppState state;
        state.AppDir = dir.path();
        state.PortNumber = 7;
        state.DeviceCount = 40;
        const Status status = SaveSettings(state);
        QVERIFY(!status.ok);
        QVERIFY2(status.message.startsWith(QStringLiteral("varn.cfg: cannot be written: ")),
                 qPrintable(status.message));
        QCOMPARE(ReadFile(file), GoodCfg);
        QCOMPARE(state.PortNumber, qint16(7));
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
