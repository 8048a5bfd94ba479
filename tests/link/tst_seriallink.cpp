#include "link/seriallink.h"
#include "link/unitcommands.h"
#include "support/rows.h"
#include "support/virtualunit.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <unistd.h>

using namespace varn;
using namespace varn::test;
using varn::test::VirtualUnit;

namespace {

// One read exchange as the device functions make it; empty on a time-out.
QByteArray ReadBlock(SerialLink& link, int address) {
    const QByteArray frame =
        QByteArray("\x04", 1) + char(address >> 8) + char(address) + '\0' + '\x10';
    if (!link.send(CommandFrame('R')) || !link.send(frame))
        return {};
    return link.waitForReply(17) ? QByteArray() : link.takeAll();
}

// Starts the unit and opens the link to its pseudo-terminal.
bool Start(VirtualUnit& unit, SerialLink& link) {
    const Status s = unit.start() ? link.openPath(unit.path(), "COM1") : Status::Fail(unit.error());
    if (!s.ok)
        qWarning("%s", qPrintable(s.message));
    return s.ok;
}

} // namespace

class TestSerialLink : public QObject {
    Q_OBJECT
private slots:
    void portDeviceName_data() {
        // entry: file placed in AppDir, if any; expected: "@" stands for AppDir
        Columns<QString, int, QString>("entry", "port", "expected");
        QTest::newRow("no entry, port 1") << "" << 1 << "/dev/ttyS0";
        QTest::newRow("com3 link, port 3") << "com3" << 3 << "@/com3";
        QTest::newRow("upper case is not it") << "COM3" << 3 << "/dev/ttyS2";
        QTest::newRow("only com1..com8") << "com9" << 9 << "/dev/ttyS8";
    }

    void portDeviceName() {
        auto [entry, port, expected] = Row<QString, int, QString>("entry", "port", "expected");
        QTemporaryDir dir;
        if (!entry.isEmpty())
            QVERIFY(QFile::link("/dev/null", dir.filePath(entry)));
        QCOMPARE(PortDeviceName(port, dir.path()), expected.replace("@", dir.path()));
    }

    void openFails_data() {
        // hints: the first starts the message
        Columns<QString, QStringList>("kind", "hints");
        QTest::newRow("missing device behind com2") << "dangling" << QStringList{"COM2, "};
        QTest::newRow("missing device path") << "missing" << QStringList{"COM3, "};
        QTest::newRow("in use") << "in use" << QStringList{"COM3, ", "in use by another program"};
        QTest::newRow("no permission")
            << "denied" << QStringList{"COM3, ", "group \"", "usermod -aG", "id -nG"};
    }

    void openFails() {
        auto [kind, hints] = Row<QString, QStringList>("kind", "hints");
        if (kind == "denied" && ::geteuid() == 0)
            QSKIP("root may open any device");
        QTemporaryDir dir;
        VirtualUnit unit;
        SerialLink first, link;
        QVERIFY(!link.send("\x01T")); // never opened
        const QString missing = dir.filePath("no-such-tty"), com2 = dir.filePath("com2");
        QString named = kind == "dangling" ? com2 : missing;
        if (kind == "dangling")
            QVERIFY(QFile::link(missing, com2));
        if (kind == "in use")
            QVERIFY(Start(unit, first));
        if (kind == "denied")
            QVERIFY(unit.start() && QFile::setPermissions(unit.path(), QFileDevice::ReadOwner));
        if (kind == "in use" || kind == "denied")
            named = unit.path();
        const Status s =
            kind == "dangling" ? link.open(2, dir.path()) : link.openPath(named, "COM3");
        QVERIFY(!s.ok && !link.isOpen() && !link.send("\x01T"));
        QVERIFY2(s.message.startsWith(hints[0] + named), qPrintable(s.message));
        for (const QString& hint : hints)
            VERIFY_CONTAINS(s.message, hint);
        QVERIFY(link.notConnectedReason().startsWith("The programmer unit is not connected (" +
                                                     hints[0] + named));
        QCOMPARE(first.isOpen(), kind == "in use");
    }

    // A second unit on the same link takes it over; the first, ending, leaves
    // it be, and opening again follows the link afresh to the newcomer.
    void linkBelongsToItsLastUnit() {
        QTemporaryDir dir;
        const QString com = dir.filePath("com1");
        VirtualUnit first({"--link", com}), second({"--name", "WXYZ", "--link", com});
        QVERIFY2(first.start(), qPrintable(first.error()));
        SerialLink link;
        AppState state;
        QVERIFY(link.open(1, dir.path()).ok && DeviceReset(state, link));
        QVERIFY2(second.start(), qPrintable(second.error()));
        first.stop();
        QCOMPARE(QFileInfo(com).symLinkTarget(), second.path());
        QTRY_VERIFY(!link.isOpen());
        QVERIFY(link.reopen().ok);
        const Identification id = IdentifyUnit(state, link);
        QVERIFY(id.ok && state.UnitIdentified);
        QCOMPARE(IdentificationReport(id.reply), QStringLiteral("Device: WXYZ\r\nVersion 2.0"));
        second.stop();
        QVERIFY(!QFileInfo(com).isSymLink());
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
        for (const int ms : {100, 100, 100, 100, 100, 100, 100, 100, 250, 250, 250, 1000}) {
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
};

QTEST_GUILESS_MAIN(TestSerialLink)
#include "tst_seriallink.moc"
