#include "link/portinfo.h"
#include "support/rows.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <pty.h>
#include <unistd.h>

using namespace varn;
using namespace varn::test;

class tst_portinfo : public QObject {
    Q_OBJECT

private slots:
    // System ports merge with the comN entries that lead to them; a
    // pseudo-terminal and a dangling link appear through their entries only.
    void listPorts() {
        QTemporaryDir dir;
        const QString usb = dir.filePath("ttyUSB0");
        QVERIFY(WriteFile(usb, {}));
        QVERIFY(QDir(dir.path()).mkdir("by-id") && QDir(dir.path()).mkdir("app"));
        const QString byId = dir.filePath("by-id/usb-FTDI_A1-if00-port0");
        QVERIFY(QFile::link("../ttyUSB0", byId));
        int master = -1, slave = -1;
        char name[128];
        QVERIFY(::openpty(&master, &slave, name, nullptr, nullptr) == 0);
        const QString pts = QString::fromLatin1(name);
        const QString app = dir.filePath("app");
        QVERIFY(QFile::link(usb, app + "/com1") && QFile::link(pts, app + "/com2") &&
                QFile::link(pts, app + "/com12") &&
                QFile::link(dir.filePath("gone"), app + "/com3"));
        QVERIFY(WriteFile(app + "/comx", {}) && WriteFile(app + "/com0", {}));

        PortEntry system;
        system.path = usb;
        system.description = "FT232R USB UART";
        system.stableName = StableName(usb, dir.filePath("by-id"));
        QCOMPARE(system.stableName, byId);
        const QList<PortEntry> ports = ListPorts(app, {system});
        ::close(slave);
        ::close(master);

        QCOMPARE(ports.size(), 3);
        QCOMPARE(ports[0].comEntries, QStringList{"com1"});
        QCOMPARE(ports[1].path, pts);
        QCOMPARE(ports[1].comEntries, QStringList({"com2", "com12"}));
        QVERIFY(!ports[1].listedBySystem && ports[1].exists);
        QCOMPARE(ports[2].comEntries, QStringList{"com3"});
        QVERIFY(!ports[2].exists);
        const QString text = FormatPortList(ports);
        for (const QString& part :
             QStringList{usb + "\n  description:  FT232R USB UART\n  stable name:  " + byId,
                         pts + " (pseudo-terminal)\n", "  com entries:  com2, com12\n",
                         dir.filePath("gone") + " (missing)\n  com entries:  com3\n"})
            VERIFY_CONTAINS(text, part);
    }

    void pointPortNumber_data() {
        // before: "", "stale" link, "file"
        Columns<QString, bool>("before", "byId");
        QTest::newRow("new link") << "" << false;
        QTest::newRow("stale link replaced, by-id preferred") << "stale" << true;
        QTest::newRow("plain file left alone") << "file" << false;
    }
    void pointPortNumber() {
        auto [before, byId] = Row<QString, bool>("before", "byId");
        QTemporaryDir dir;
        const QString device = dir.filePath("ttyUSB3"), stable = dir.filePath("by-id/usb-X-port0");
        QVERIFY(WriteFile(device, {}) && QDir(dir.path()).mkdir("by-id"));
        if (byId)
            QVERIFY(QFile::link(device, stable));
        const QString entry = dir.filePath("com4");
        if (before == "stale")
            QVERIFY(QFile::link(dir.filePath("ttyUSB9"), entry));
        if (before == "file")
            QVERIFY(WriteFile(entry, {}));

        const Status s = PointPortNumberAt(4, dir.path(), device, dir.filePath("by-id"));
        QCOMPARE(s.ok, before != "file");
        const QString target = before == "file" ? QString() : byId ? stable : device;
        QCOMPARE(QFileInfo(entry).symLinkTarget(), target);
        QCOMPARE(PortNumberText(DescribePortNumber(4, dir.path())),
                 target.isEmpty() ? "com4" : "com4 -> " + target);
        QVERIFY(!QFileInfo::exists(entry + ".new"));
    }
};

QTEST_GUILESS_MAIN(tst_portinfo)
#include "tst_portinfo.moc"
