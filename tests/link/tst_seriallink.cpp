#include "link/seriallink.h"
#include "link/unitcommands.h"
#include "support/testsupport.h"
#include "support/virtualunit.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <unistd.h>

using namespace varn;
using varn::test::VirtualUnit;

namespace {

QByteArray AddressFrame(quint8 type, int address, char last = 0x10) {
    QByteArray f("\x00\x00\x00\x00", 4);
    f[0] = char(type);
    f[1] = char(address >> 8);
    f[2] = char(address & 0xFF);
    return f + last;
}

QByteArray ReadFrame(int address, char last = 0x10) {
    return AddressFrame(0x04, address, last);
}

// One read exchange as the device functions make it; empty on a time-out.
QByteArray ReadBlock(SerialLink& link, int address, char last = 0x10) {
    if (!link.send(CommandFrame('R')) || !link.send(ReadFrame(address, last)))
        return {};
    return link.waitForReply(17) ? QByteArray() : link.takeAll();
}

QByteArray Block(const QByteArray& data) {
    return QByteArray(1, char(17)) + data;
}

QString WriteFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    return varn::test::WriteFile(dir.filePath(name), bytes) ? dir.filePath(name) : QString();
}

// Starts the unit and opens the link to its pseudo-terminal.
bool Start(VirtualUnit& unit, SerialLink& link, const QString& port = "COM1") {
    if (!unit.start()) {
        qWarning("%s", qPrintable(unit.error()));
        return false;
    }
    const Status s = link.openPath(unit.path(), port);
    if (!s.ok)
        qWarning("%s", qPrintable(s.message));
    return s.ok;
}

} // namespace

class TestSerialLink : public QObject {
    Q_OBJECT
private slots:
    void portDeviceName_data() {
        QTest::addColumn<QString>("entry"); // file placed in AppDir, if any
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("expected"); // "@" stands for AppDir
        QTest::newRow("no entry, port 1") << "" << 1 << "/dev/ttyS0";
        QTest::newRow("com3 link, port 3") << "com3" << 3 << "@/com3";
        QTest::newRow("upper case is not it") << "COM3" << 3 << "/dev/ttyS2";
        QTest::newRow("only com1..com8") << "com9" << 9 << "/dev/ttyS8";
    }

    void portDeviceName() {
        QFETCH(QString, entry);
        QFETCH(int, port);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        if (!entry.isEmpty())
            QVERIFY(QFile::link("/dev/null", dir.filePath(entry)));
        QCOMPARE(PortDeviceName(port, dir.path()), expected.replace("@", dir.path()));
    }

    void failedOpen_data() {
        QTest::addColumn<bool>("danglingLink");
        QTest::newRow("missing device behind com2") << true;
        QTest::newRow("missing device path") << false;
    }

    void failedOpen() {
        QFETCH(bool, danglingLink);
        QTemporaryDir dir;
        const QString missing = dir.filePath("no-such-tty");
        const QString named = danglingLink ? dir.filePath("com2") : missing;
        SerialLink link;
        QVERIFY(!link.send("\x01T")); // never opened
        if (danglingLink)
            QVERIFY(QFile::link(missing, named));
        const Status s = danglingLink ? link.open(2, dir.path()) : link.openPath(missing, "COM5");
        QVERIFY(!s.ok);
        QVERIFY2(s.message.startsWith(danglingLink ? "COM2, " : "COM5, "), qPrintable(s.message));
        QVERIFY2(s.message.contains(named), qPrintable(s.message));
        QVERIFY(!link.isOpen());
        QVERIFY(!link.send("\x01T"));
        QVERIFY(link.notConnectedReason().startsWith("The programmer unit is not connected ("));
        QVERIFY(link.notConnectedReason().contains(named));
    }

    void openRefused_data() {
        QTest::addColumn<bool>("inUse"); // else: no permission
        QTest::addColumn<QStringList>("hints");
        QTest::newRow("no permission") << false << QStringList{"group \"", "usermod -aG", "id -nG"};
        QTest::newRow("in use") << true << QStringList{"in use by another program"};
    }

    void openRefused() {
        QFETCH(bool, inUse);
        QFETCH(QStringList, hints);
        if (!inUse && ::geteuid() == 0)
            QSKIP("root may open any device");
        VirtualUnit unit;
        SerialLink first, second;
        if (inUse)
            QVERIFY(Start(unit, first));
        else
            QVERIFY2(unit.start(), qPrintable(unit.error()));
        if (!inUse)
            QVERIFY(QFile::setPermissions(unit.path(), QFileDevice::ReadOwner));
        const Status s = second.openPath(unit.path(), "COM3");
        QVERIFY(!s.ok);
        QVERIFY2(s.message.startsWith("COM3, " + unit.path() + ": "), qPrintable(s.message));
        for (const QString& hint : hints)
            QVERIFY2(s.message.contains(hint), qPrintable(s.message));
        QVERIFY(!second.send(CommandFrame('T')));
        QCOMPARE(first.isOpen(), inUse);
    }

    // The unit vanishes and another takes its link: the link's reconnect
    // follows the link afresh and identifies the newcomer.
    void reconnectFindsNewUnitOnLink() {
        QTemporaryDir dir;
        auto first = std::make_unique<VirtualUnit>(QStringList{"--link", dir.filePath("com2")});
        QVERIFY2(first->start(), qPrintable(first->error()));
        SerialLink link;
        QVERIFY(link.open(2, dir.path()).ok);
        AppState state;
        QVERIFY(DeviceReset(state, link));
        first.reset();
        QTRY_VERIFY(!link.isOpen());
        VirtualUnit second({"--name", "WXYZ", "--link", dir.filePath("com2")});
        QVERIFY2(second.start(), qPrintable(second.error()));
        const Identification id = ReconnectUnit(state, link);
        QVERIFY(id.ok && state.UnitIdentified && !state.UnitInReset);
        QCOMPARE(IdentificationReport(id.reply), QStringLiteral("Device: WXYZ\r\nVersion 2.0"));
        QCOMPARE(second.frames(), QList<QByteArray>{"\x01T"});
    }

    // A second unit on the same link takes it over; the first, ending, leaves it be.
    void linkBelongsToItsLastUnit() {
        QTemporaryDir dir;
        const QString com = dir.filePath("com1");
        VirtualUnit first({"--link", com}), second({"--link", com});
        QVERIFY2(first.start() && second.start(), qPrintable(first.error() + second.error()));
        first.stop();
        QCOMPARE(QFileInfo(com).symLinkTarget(), second.path());
        second.stop();
        QVERIFY(!QFileInfo(com).isSymLink());
    }

    void reopenAfterClose() {
        VirtualUnit unit;
        SerialLink link;
        QVERIFY(Start(unit, link));
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

    void readReply_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<char>("last");
        QTest::newRow("read") << QStringList() << char(0x10);
        QTest::newRow("at line rate") << QStringList{"--baud-emulation"} << char(0x10);
    }

    void readReply() {
        QFETCH(QStringList, options);
        QFETCH(char, last);
        VirtualUnit unit(options);
        SerialLink link;
        QVERIFY(Start(unit, link));
        QCOMPARE(ReadBlock(link, 0x1FF0, last), Block(QByteArray(16, '\xFF')));
        QVERIFY(!link.TimedOut);
        QCOMPARE(unit.frames(), (QList<QByteArray>{"\x01R", ReadFrame(0x1FF0, last)}));
    }

    // Timers may fire early unless told otherwise: a reply complete within
    // the second must still be taken, every time. A reply that a loaded
    // machine delivered after the second proves nothing either way.
    void lateButWithinTheSecond() {
        VirtualUnit unit({"--late", "950"}); // every reply
        SerialLink link;
        QVERIFY(Start(unit, link));
        AppState state;
        QElapsedTimer clock;
        for (int run = 0; run < 5; ++run) {
            clock.start();
            const bool identify = run % 2 == 0;
            if (identify ? IdentifyUnit(state, link).ok : ReadBlock(link, 0x10 * run).size() == 17)
                continue;
            link.waitForReply(identify ? 8 : 17, 5000);
            QVERIFY2(clock.elapsed() >= 1000, qPrintable(QString::number(run)));
            link.takeAll();
        }
        // Nor does a time-out ever come early ("P" is never answered).
        for (int run = 0; run < 5; ++run) {
            clock.start();
            QVERIFY(link.send(CommandFrame('P')) && link.waitForReply(1, 250));
            QVERIFY(clock.nsecsElapsed() >= 250000000LL);
        }
    }

    void pausesNeverEndEarly() {
        SerialLink link;
        QElapsedTimer clock;
        for (const int ms : {250, 250, 250, 250, 1000, 1000}) {
            clock.start();
            link.pause(ms);
            QVERIFY2(clock.nsecsElapsed() >= ms * 1000000LL, qPrintable(QString::number(ms)));
        }
    }

    void noAnswerTimesOut() {
        VirtualUnit unit({"--no-answer", "1"});
        SerialLink link;
        QVERIFY(Start(unit, link));
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
        // Only the first request is lost; the next wait clears the flag.
        QCOMPARE(ReadBlock(link, 0).size(), 17);
        QVERIFY(!link.TimedOut);
    }

    void lostLine() {
        VirtualUnit unit({"--close-after", "2"});
        SerialLink link;
        QVERIFY(Start(unit, link, "COM6"));
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
        QVERIFY(
            link.notConnectedReason().startsWith("The programmer unit is not connected (COM6, "));
        QVERIFY(link.waitForReply(1));
        QCOMPARE(unit.frames(), (QList<QByteArray>{"\x01T", "\x01R"}));
    }

    void sendFindsLineGone() {
        VirtualUnit unit({"--close-after", "1"});
        SerialLink link;
        QVERIFY(Start(unit, link));
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

    void memorySemantics_data() {
        QTest::addColumn<QStringList>("steps"); // P:data byte, E, L, S:device letter
        QTest::addColumn<QByteArray>("at0");    // data of the block at 0 read at the end
        QTest::addColumn<QByteArray>("at32");   // and of the block at 32
        const QByteArray mem0(16, '\xF0'), mem32(16, '\x5A'), ff(16, '\xFF'), zero(16, '\0');
        QTest::newRow("program clears bits only")
            << QStringList{"P:3C"} << QByteArray(16, '\x30') << mem32;
        QTest::newRow("lock hides the data") << QStringList{"L"} << zero << zero;
        QTest::newRow("erase unlocks") << QStringList{"L", "E"} << ff << ff;
        QTest::newRow("32-byte device ends at 32") << QStringList{"S:a"} << mem0 << ff;
    }

    void memorySemantics() {
        QFETCH(QStringList, steps);
        QFETCH(QByteArray, at0);
        QFETCH(QByteArray, at32);
        QTemporaryDir dir;
        VirtualUnit unit(
            {"--memory",
             WriteFile(dir, "memory.bin", QByteArray(32, '\xF0') + QByteArray(32, '\x5A')), "--dev",
             WriteFile(dir, "varn.dev", "\"Tiny, 32\",1,32\r\n\"Other\",2,8192\r\n")});
        SerialLink link;
        QVERIFY(Start(unit, link));
        for (const QString& step : steps) {
            if (step.startsWith("P:")) {
                const QByteArray data(16, char(step.mid(2).toInt(nullptr, 16)));
                QVERIFY(link.send(CommandFrame('W')));
                QVERIFY(link.send(AddressFrame(0x14, 0) + data));
                QVERIFY(!link.waitForReply(1));
                QCOMPARE(link.takeAll().size(), 1);
                QVERIFY(link.send(CommandFrame('W')));
            } else {
                QVERIFY(link.send(CommandFrame(step.back().toLatin1())));
            }
        }
        QCOMPARE(ReadBlock(link, 0), Block(at0));
        QCOMPARE(ReadBlock(link, 32), Block(at32));
    }
};

QTEST_GUILESS_MAIN(TestSerialLink)
#include "tst_seriallink.moc"
