#include "link/seriallink.h"
#include "link/unitcommands.h"
#include "support/virtualunit.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <unistd.h>

using namespace varn;
using varn::test::VirtualUnit;

namespace {

QByteArray ReadFrame(int address, char last = 0x10) {
    QByteArray f("\x04\x00\x00\x00", 4);
    f[1] = char(address >> 8);
    f[2] = char(address & 0xFF);
    f.append(last);
    return f;
}

// One read exchange as the device functions make it; empty on a time-out.
QByteArray ReadBlock(SerialLink& link, int address, char last = 0x10) {
    if (!link.send(CommandFrame('R')) || !link.send(ReadFrame(address, last)))
        return {};
    if (link.waitForReply(17))
        return {};
    return link.takeAll();
}

QByteArray ProgramFrame(int address, const QByteArray& data) {
    QByteArray f("\x14\x00\x00\x00\x10", 5);
    f[1] = char(address >> 8);
    f[2] = char(address & 0xFF);
    return f + data;
}

QByteArray Block(quint8 count, const QByteArray& data) {
    return QByteArray(1, char(count)) + data;
}

} // namespace

class TestSerialLink : public QObject {
    Q_OBJECT
private slots:
    void portDeviceName_data();
    void portDeviceName();
    void failedOpen_data();
    void failedOpen();
    void identifyThroughLink();
    void reopenAfterClose();
    void permissionFault();
    void portInUse();
    void readReply_data();
    void readReply();
    void lateReplyStaysWaiting();
    void noAnswerTimesOut();
    void nestedWaitKeepsOuterLimit();
    void lostLine();
    void sendFindsLineGone();
    void memorySemantics_data();
    void memorySemantics();
    void savedMemory();
};

void TestSerialLink::portDeviceName_data() {
    QTest::addColumn<QString>("entry"); // file placed in AppDir, if any
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("expected"); // "@" stands for AppDir
    QTest::newRow("no entry, port 1") << "" << 1 << "/dev/ttyS0";
    QTest::newRow("no entry, port 8") << "" << 8 << "/dev/ttyS7";
    QTest::newRow("com3 link, port 3") << "com3" << 3 << "@/com3";
    QTest::newRow("com3 link, port 1") << "com3" << 1 << "/dev/ttyS0";
    QTest::newRow("upper case is not it") << "COM3" << 3 << "/dev/ttyS2";
    QTest::newRow("only com1..com8") << "com9" << 9 << "/dev/ttyS8";
}

void TestSerialLink::portDeviceName() {
    QFETCH(QString, entry);
    QFETCH(int, port);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (!entry.isEmpty())
        QVERIFY(QFile::link("/dev/null", dir.filePath(entry)));
    expected.replace("@", dir.path());
    QCOMPARE(PortDeviceName(port, dir.path()), expected);
}

void TestSerialLink::failedOpen_data() {
    QTest::addColumn<bool>("danglingLink");
    QTest::newRow("missing device behind com2") << true;
    QTest::newRow("missing device path") << false;
}

void TestSerialLink::failedOpen() {
    QFETCH(bool, danglingLink);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString missing = dir.filePath("no-such-tty");
    SerialLink link;
    QVERIFY(!link.send("\x01T")); // never opened
    Status s;
    QString named;
    if (danglingLink) {
        QVERIFY(QFile::link(missing, dir.filePath("com2")));
        s = link.open(2, dir.path());
        named = dir.filePath("com2");
    } else {
        s = link.openPath(missing, "COM5");
        named = missing;
    }
    QVERIFY(!s.ok);
    QVERIFY2(s.message.startsWith(danglingLink ? "COM2, " : "COM5, "), qPrintable(s.message));
    QVERIFY2(s.message.contains(named), qPrintable(s.message));
    QVERIFY(!link.isOpen());
    QVERIFY(!link.send("\x01T"));
    QVERIFY(link.notConnectedReason().startsWith("The programmer unit is not connected ("));
    QVERIFY(link.notConnectedReason().contains(named));
}

void TestSerialLink::identifyThroughLink() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    VirtualUnit unit({"--name", "ABCD", "--version", "21", "--link", dir.filePath("com4")});
    QVERIFY2(unit.start(), qPrintable(unit.error()));
    SerialLink link;
    const Status s = link.open(4, dir.path());
    QVERIFY2(s.ok, qPrintable(s.message));
    QVERIFY(link.isOpen());
    QVERIFY(link.notConnectedReason().isEmpty());

    AppState state;
    const Identification id = IdentifyUnit(state, link);
    QVERIFY(id.ok);
    QVERIFY(state.UnitIdentified);
    QCOMPARE(IdentificationReport(id.reply), QStringLiteral("Device: ABCD\r\nVersion 2.1"));
    QCOMPARE(link.bytesWaiting(), 0);
    QVERIFY(DeviceReset(state, link));
    QVERIFY(unit.waitForFrames(2));
    QCOMPARE(unit.frames(), (QList<QByteArray>{"\x01T", "\x01-"}));
}

void TestSerialLink::reopenAfterClose() {
    VirtualUnit unit;
    QVERIFY2(unit.start(), qPrintable(unit.error()));
    SerialLink link;
    QVERIFY(link.openPath(unit.path(), "COM1").ok);
    QCOMPARE(ReadBlock(link, 0).size(), 17);
    link.close();
    QVERIFY(!link.isOpen());
    QVERIFY(!link.send(CommandFrame('T')));
    QVERIFY(link.notConnectedReason().contains(unit.path()));
    // The unit keeps running while the host's side is closed.
    const Status again = link.openPath(unit.path(), "COM1");
    QVERIFY2(again.ok, qPrintable(again.message));
    QCOMPARE(ReadBlock(link, 0x20).size(), 17);
    QCOMPARE(unit.frames().size(), 4);
}

void TestSerialLink::permissionFault() {
    if (::geteuid() == 0)
        QSKIP("root may open any device");
    VirtualUnit unit;
    QVERIFY2(unit.start(), qPrintable(unit.error()));
    QVERIFY(QFile::setPermissions(unit.path(), QFileDevice::ReadOwner));
    SerialLink link;
    const Status s = link.openPath(unit.path(), "COM3");
    QVERIFY(!s.ok);
    QVERIFY2(s.message.startsWith("COM3, " + unit.path() + ": "), qPrintable(s.message));
    // Says which group gives access and how to join it.
    QVERIFY2(s.message.contains("group \""), qPrintable(s.message));
    QVERIFY2(s.message.contains("usermod -aG"), qPrintable(s.message));
}

void TestSerialLink::portInUse() {
    VirtualUnit unit;
    QVERIFY2(unit.start(), qPrintable(unit.error()));
    SerialLink first, second;
    QVERIFY(first.openPath(unit.path(), "COM1").ok);
    const Status s = second.openPath(unit.path(), "COM1");
    QVERIFY(!s.ok);
    QVERIFY2(s.message.startsWith("COM1, " + unit.path() + ": "), qPrintable(s.message));
    QVERIFY2(s.message.contains("in use by another program"), qPrintable(s.message));
    QVERIFY(!second.send(CommandFrame('T')));
    QVERIFY(first.isOpen());
}

void TestSerialLink::readReply_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<char>("last");
    QTest::addColumn<QByteArray>("reply");
    const QByteArray blank(16, '\xFF');
    QTest::newRow("read") << QStringList() << char(0x10) << Block(17, blank);
    QTest::newRow("verify asks the same") << QStringList() << char(0x01) << Block(17, blank);
    QTest::newRow("count byte 9") << QStringList{"--count", "9"} << char(0x10) << Block(9, blank);
    QTest::newRow("extra byte") << QStringList{"--extra-byte"} << char(0x10)
                                << Block(17, blank) + '\xEE';
    QTest::newRow("garbage first")
        << QStringList{"--garbage", "2"} << char(0x10) << QByteArray("\xA5\xA5") + Block(17, blank);
    QTest::newRow("at line rate") << QStringList{"--baud-emulation"} << char(0x10)
                                  << Block(17, blank);
}

void TestSerialLink::readReply() {
    QFETCH(QStringList, options);
    QFETCH(char, last);
    QFETCH(QByteArray, reply);
    VirtualUnit unit(options);
    QVERIFY2(unit.start(), qPrintable(unit.error()));
    SerialLink link;
    QVERIFY(link.openPath(unit.path(), "COM1").ok);

    QVERIFY(link.send(CommandFrame('R')));
    QVERIFY(link.send(ReadFrame(0x1FF0, last)));
    QVERIFY(!link.waitForReply(17));
    QVERIFY(!link.TimedOut);
    QByteArray got = link.takeAll();
    // Surplus bytes may come in a later chunk than the 17 the wait asked for.
    QTRY_COMPARE((got += link.takeAll()).size(), qMax(reply.size(), qsizetype(17)));
    QCOMPARE(got.left(reply.size()), reply);
    QCOMPARE(unit.frames(), (QList<QByteArray>{"\x01R", ReadFrame(0x1FF0, last)}));
}

void TestSerialLink::lateReplyStaysWaiting() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile memory(dir.filePath("memory.bin"));
    QVERIFY(memory.open(QIODevice::WriteOnly));
    memory.write(QByteArray(16, '\x11'));
    memory.close();
    VirtualUnit unit({"--late", "1:2500", "--memory", memory.fileName()});
    QVERIFY2(unit.start(), qPrintable(unit.error()));
    SerialLink link;
    QVERIFY(link.openPath(unit.path(), "COM1").ok);

    QVERIFY(link.send(CommandFrame('R')));
    QVERIFY(link.send(ReadFrame(0)));
    QVERIFY(link.waitForReply(17));
    QVERIFY(link.TimedOut);
    QCOMPARE(link.bytesWaiting(), 0);
    // The late reply stays waiting; the next exchange finds its 17 bytes at
    // once and takes them as its own (its real reply, if already there, is
    // taken with them; otherwise it is left behind).
    QTRY_COMPARE_WITH_TIMEOUT(link.bytesWaiting(), 17, 5000);
    QByteArray got = ReadBlock(link, 0x10);
    QCOMPARE(got.left(17), Block(17, QByteArray(16, '\x11')));
    QTRY_COMPARE((got += link.takeAll()).size(), 34);
    QCOMPARE(got.mid(17), Block(17, QByteArray(16, '\xFF')));
    QCOMPARE(unit.frames().size(), 4);
}

void TestSerialLink::noAnswerTimesOut() {
    VirtualUnit unit({"--no-answer", "1"});
    QVERIFY2(unit.start(), qPrintable(unit.error()));
    SerialLink link;
    QVERIFY(link.openPath(unit.path(), "COM1").ok);
    QVERIFY(ReadBlock(link, 0).isEmpty());
    QVERIFY(link.TimedOut);
    // Only the first request is lost; the next wait clears the flag.
    QCOMPARE(ReadBlock(link, 0).size(), 17);
    QVERIFY(!link.TimedOut);
}

void TestSerialLink::nestedWaitKeepsOuterLimit() {
    VirtualUnit unit({"--no-answer", "1"});
    QVERIFY2(unit.start(), qPrintable(unit.error()));
    SerialLink link;
    QVERIFY(link.openPath(unit.path(), "COM1").ok);

    // Something the outer wait lets run starts a short wait of its own.
    bool innerTimedOut = false;
    QTimer::singleShot(0, &link, [&] { innerTimedOut = link.waitForReply(1, 50); });
    // Should the outer wait lose its limit, this answer ends it instead.
    bool rescued = false;
    QTimer::singleShot(10000, &link, [&] {
        rescued = true;
        link.send(CommandFrame('T'));
    });
    QVERIFY(link.send(CommandFrame('T'))); // not answered
    QVERIFY(link.waitForReply(8, 500));
    QVERIFY(innerTimedOut);
    QVERIFY(link.TimedOut);
    QVERIFY(!rescued);
}

void TestSerialLink::lostLine() {
    VirtualUnit unit({"--close-after", "2"});
    QVERIFY2(unit.start(), qPrintable(unit.error()));
    SerialLink link;
    QVERIFY(link.openPath(unit.path(), "COM6").ok);
    QSignalSpy lost(&link, &SerialLink::connectionLost);

    AppState state;
    QVERIFY(IdentifyUnit(state, link).ok);
    QVERIFY(link.send(CommandFrame('R'))); // the unit closes the line on this one
    QVERIFY(link.waitForReply(17, 20000));
    QVERIFY(link.TimedOut);
    QTRY_COMPARE(lost.count(), 1);
    QVERIFY(!link.isOpen());
    QVERIFY(!link.send(ReadFrame(0)));
    QTest::qWait(200); // a flood of port errors would show here
    QCOMPARE(lost.count(), 1);
    QVERIFY(link.notConnectedReason().startsWith("The programmer unit is not connected (COM6, "));
    QVERIFY(link.waitForReply(1));
    QCOMPARE(unit.frames(), (QList<QByteArray>{"\x01T", "\x01R"}));
}

void TestSerialLink::sendFindsLineGone() {
    VirtualUnit unit({"--close-after", "1"});
    QVERIFY2(unit.start(), qPrintable(unit.error()));
    SerialLink link;
    QVERIFY(link.openPath(unit.path(), "COM2").ok);
    QSignalSpy lost(&link, &SerialLink::connectionLost);
    QVERIFY(link.send(CommandFrame('P')));
    QVERIFY(unit.waitForExit());
    // No event has told the port yet; the next send finds out itself.
    QVERIFY(!link.send(CommandFrame('P')));
    QVERIFY(!link.isOpen());
    QTRY_COMPARE(lost.count(), 1);
    QTest::qWait(100);
    QCOMPARE(lost.count(), 1);
}

void TestSerialLink::memorySemantics_data() {
    QTest::addColumn<QStringList>("steps"); // P:data byte, E, L, S:device letter
    QTest::addColumn<QByteArray>("at0");    // data of the block at 0 read at the end
    QTest::addColumn<QByteArray>("at32");   // and of the block at 32
    const QByteArray mem0(16, '\xF0'), mem32(16, '\x5A'), ff(16, '\xFF'), zero(16, '\0');
    QTest::newRow("as loaded") << QStringList{} << mem0 << mem32;
    QTest::newRow("program clears bits only")
        << QStringList{"P:3C"} << QByteArray(16, '\x30') << mem32;
    QTest::newRow("programmed twice") << QStringList{"P:3C", "P:C3"} << zero << mem32;
    QTest::newRow("erase") << QStringList{"E"} << ff << ff;
    QTest::newRow("erase then program") << QStringList{"E", "P:12"} << QByteArray(16, '\x12') << ff;
    QTest::newRow("lock hides the data") << QStringList{"L"} << zero << zero;
    QTest::newRow("erase unlocks") << QStringList{"L", "E"} << ff << ff;
    QTest::newRow("32-byte device ends at 32") << QStringList{"S:a"} << mem0 << ff;
}

void TestSerialLink::memorySemantics() {
    QFETCH(QStringList, steps);
    QFETCH(QByteArray, at0);
    QFETCH(QByteArray, at32);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile memory(dir.filePath("memory.bin"));
    QVERIFY(memory.open(QIODevice::WriteOnly));
    memory.write(QByteArray(32, '\xF0') + QByteArray(32, '\x5A'));
    memory.close();
    QFile dev(dir.filePath("varn.dev"));
    QVERIFY(dev.open(QIODevice::WriteOnly));
    dev.write("\"Tiny, 32\",1,32\r\n\"Other\",2,8192\r\n");
    dev.close();

    VirtualUnit unit({"--memory", memory.fileName(), "--dev", dev.fileName()});
    QVERIFY2(unit.start(), qPrintable(unit.error()));
    SerialLink link;
    QVERIFY(link.openPath(unit.path(), "COM1").ok);
    for (const QString& step : steps) {
        if (step.startsWith("P:")) {
            const QByteArray data(16, char(step.mid(2).toInt(nullptr, 16)));
            QVERIFY(link.send(CommandFrame('W')));
            QVERIFY(link.send(ProgramFrame(0, data)));
            QVERIFY(!link.waitForReply(1));
            QCOMPARE(link.takeAll().size(), 1);
            QVERIFY(link.send(CommandFrame('W')));
        } else if (step.startsWith("S:")) {
            QVERIFY(link.send(CommandFrame(step.at(2).toLatin1())));
        } else {
            QVERIFY(link.send(CommandFrame(step.at(0).toLatin1())));
        }
    }
    QCOMPARE(ReadBlock(link, 0), Block(17, at0));
    QCOMPARE(ReadBlock(link, 32), Block(17, at32));
}

void TestSerialLink::savedMemory() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile dev(dir.filePath("varn.dev"));
    QVERIFY(dev.open(QIODevice::WriteOnly));
    dev.write("\"A\",1,8192\r\n\"B\",2,32\r\n");
    dev.close();
    const QString saved = dir.filePath("saved.bin");
    VirtualUnit unit({"--dev", dev.fileName(), "--save-memory", saved});
    QVERIFY2(unit.start(), qPrintable(unit.error()));
    SerialLink link;
    QVERIFY(link.openPath(unit.path(), "COM1").ok);
    QVERIFY(link.send(CommandFrame('b')));
    QByteArray data;
    for (int i = 0; i < 16; ++i)
        data.append(char(i * 17));
    QVERIFY(link.send(ProgramFrame(16, data)));
    QVERIFY(!link.waitForReply(1));
    unit.stop();

    QFile file(saved);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray(16, '\xFF') + data); // device B: 32 bytes
}

QTEST_GUILESS_MAIN(TestSerialLink)
#include "tst_seriallink.moc"
