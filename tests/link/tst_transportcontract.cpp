// One set of exchanges against both stand-ins for the unit: the scripted
// unit in the process and varn-unit on a pseudo-terminal. Each must answer
// byte for byte as the unit's protocol says, so a test passing against one
// means the same against the other.
#include "link/openlink.h"
#include "link/seriallink.h"
#include "link/unitcommands.h"
#include "support/rows.h"
#include "support/testsupport.h"
#include "support/virtualunit.h"
#include "tools/scriptedunit/scriptedtransport.h"

#include <QtTest>
#include <memory>

using namespace varn;
using namespace varn::test;

namespace {

QByteArray ReadRequest(int address) {
    return Bytes({0x04, address >> 8, address & 0xFF, 0x00, 0x10});
}
QByteArray ReadReply(const QByteArray& data) {
    return QByteArray(1, char(17)) + data;
}

// Every way the test reaches a unit; the transport stays valid as long as
// the object lives.
struct Emulation {
    std::unique_ptr<ScriptedTransport> scripted;
    std::unique_ptr<VirtualUnit> unit;
    std::unique_ptr<PortLink> link;

    Transport* transport() {
        return scripted ? static_cast<Transport*>(scripted.get()) : link.get();
    }

    // "" when it is ready, otherwise why not.
    QString start(const QString& kind) {
        if (kind == QLatin1String("scripted")) {
            scripted = std::make_unique<ScriptedTransport>();
            return {};
        }
        unit = std::make_unique<VirtualUnit>();
        if (!unit->start())
            return unit->error();
        OpenedLink opened = OpenLink(unit->path(), QString());
        link = std::move(opened.link);
        return opened.status ? QString() : opened.status.message;
    }
};

// Sends the frames and returns the reply of `expected` bytes (or what came).
QByteArray Ask(Transport& t, const QList<QByteArray>& frames, int expected) {
    for (const QByteArray& frame : frames) {
        if (!t.send(frame))
            return "not sent";
    }
    t.waitForReply(expected, 2000);
    return t.takeAll();
}

} // namespace

class TestTransportContract : public QObject {
    Q_OBJECT
private slots:
    void answersAsTheProtocolSays_data() {
        Columns<QString>("kind");
        for (const char* kind : {"scripted", "varn-unit"})
            QTest::newRow(kind) << QString::fromLatin1(kind);
    }

    void answersAsTheProtocolSays() {
        auto [kind] = Row<QString>("kind");
        Emulation emulation;
        const QString why = emulation.start(kind);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        Transport& t = *emulation.transport();
        const QByteArray read = CommandFrame('R');
        const QByteArray write = CommandFrame('W');

        // The identification: "T", the name, a space, the version.
        AppState state;
        const Identification id = IdentifyUnit(state, t);
        QVERIFY2(id.ok, t.takeAll().toHex().constData());
        QCOMPARE(id.reply, QByteArray("TVARN 20"));

        // Erased: sixteen 0xFF bytes.
        t.send(CommandFrame('E'));
        QCOMPARE(Ask(t, {read, ReadRequest(0x1230)}, 17), ReadReply(QByteArray(16, char(0xFF))));

        // A block with 0xFF, 0x11 and a frame-length look-alike in it; the
        // acknowledgement is one 00 byte.
        const QByteArray data = Bytes({0xFF, 0xFF, 0x11, 0x14, 0xF0, 0x0F, 0x00, 0xFF, 0xFE, 0x01,
                                       0x7F, 0x80, 0xFF, 0x55, 0xAA, 0xFF});
        t.send(write);
        QCOMPARE(Ask(t, {Bytes({0x14, 0x12, 0x30, 0x00, 0x10}) + data}, 1), QByteArray(1, '\0'));
        t.send(write);
        QCOMPARE(Ask(t, {read, ReadRequest(0x1230)}, 17), ReadReply(data));
        QCOMPARE(Ask(t, {read, ReadRequest(0x1240)}, 17), ReadReply(QByteArray(16, char(0xFF))));

        // Locked: zeros; erased again: 0xFF. Commands bring no answer.
        t.send(CommandFrame('L'));
        QCOMPARE(Ask(t, {read, ReadRequest(0x1230)}, 17), ReadReply(QByteArray(16, '\0')));
        t.send(CommandFrame('E'));
        for (const char letter : {'+', '-', 'P', 'a'})
            t.send(CommandFrame(letter));
        QCOMPARE(Ask(t, {read, ReadRequest(0x1230)}, 17), ReadReply(QByteArray(16, char(0xFF))));
        QVERIFY(t.waitForReply(1, 100));
        QCOMPARE(t.bytesWaiting(), 0);
    }
};

QTEST_MAIN(TestTransportContract)
#include "tst_transportcontract.moc"
