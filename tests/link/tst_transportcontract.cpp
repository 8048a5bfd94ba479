// One set of exchanges against both stand-ins for the unit: the scripted
// unit in the process and varn-unit on a pseudo-terminal. Each must answer
// byte for byte as the unit's protocol says, so a test passing against one
// means the same against the other. Then the device functions against both,
// set anywhere within the freedoms the protocol leaves a unit
// (doc/protocol.md): the host must serve every such unit.
#include "functions/devicefunctions.h"
#include "link/openlink.h"
#include "link/seriallink.h"
#include "link/unitcommands.h"
#include "support/recorder.h"
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
    QString start(const QString& kind, const ScriptedTransport::Freedom& freedom = {},
                  const QStringList& unitOptions = {}) {
        if (kind == QLatin1String("scripted")) {
            scripted = std::make_unique<ScriptedTransport>();
            scripted->freedom = freedom;
            return {};
        }
        unit = std::make_unique<VirtualUnit>(unitOptions);
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

// One freedom of the unit, as each stand-in is told to use it.
struct Freedom {
    ScriptedTransport::Freedom scripted;
    QStringList unitOptions;
    ReplyPolicy replies;
    int lateRequest = 0; // the scripted unit's late reply, with lateMs
    int lateMs = 0;
    // Every read reply's count byte, when not 17: such a unit is never
    // believed, and nothing it reads is stored.
    int countAll = 0;
    QString identification = QStringLiteral("Device: VARN\r\nVersion 2.0");
};

Freedom FreedomNamed(const QString& name) {
    Freedom f;
    if (name == QLatin1String("acknowledgement 06")) {
        f.scripted.ack = 0x06;
        f.unitOptions = {"--ack", "06"};
    } else if (name == QLatin1String("acknowledgement FF")) {
        f.scripted.ack = char(0xFF);
        f.unitOptions = {"--ack", "FF"};
    } else if (name == QLatin1String("identification bytes 0 and 5")) {
        f.scripted.identity = "X1234-56";
        f.unitOptions = {"--identity", "X1234-56"};
        f.identification = QStringLiteral("Device: 1234\r\nVersion 5.6");
    } else if (name == QLatin1String("replies just inside the time-out")) {
        f.replies.timeoutMs = 300;
        f.scripted.replyDelayUs = 250000;
        f.unitOptions = {"--reply-delay", "250"};
    } else if (name == QLatin1String("replies in pieces")) {
        f.scripted.pieceBytes = 3;
        f.scripted.pieceGapUs = 2000;
        f.unitOptions = {"--pieces", "3:2"};
    } else if (name.endsWith(QLatin1String("ms after each reply"))) {
        const int ms = name.section(QLatin1Char(' '), 2, 2).toInt();
        f.scripted.strayAfter = QByteArray(1, char(0xEE));
        f.scripted.strayAfterUs = ms * 1000;
        f.unitOptions = {"--extra-byte-delay", QString::number(ms)};
    } else if (name == QLatin1String("stray byte before a read reply")) {
        // Reply 11 is Read's second block (after the identification and
        // four blocks each of Program and Verify). The scripted unit's
        // stray looks like a count byte.
        f.scripted.strayBefore = QByteArray(1, char(0x11));
        f.scripted.strayBeforeOnly = 11;
        f.unitOptions = {"--garbage", "11:1"};
    } else if (name == QLatin1String("read replies counting 9")) {
        f.countAll = 9;
        f.unitOptions = {"--count", "9"};
    } else if (name == QLatin1String("a read reply after its time-out")) {
        f.replies = {100, 3};
        f.lateRequest = 11;
        f.lateMs = 150;
        f.unitOptions = {"--late", "11:150"};
    }
    return f;
}

const QStringList Freedoms = {"default",
                              "acknowledgement 06",
                              "acknowledgement FF",
                              "identification bytes 0 and 5",
                              "replies just inside the time-out",
                              "replies in pieces",
                              "stray byte 1 ms after each reply",
                              "stray byte 2 ms after each reply",
                              "stray byte 5 ms after each reply",
                              "stray byte before a read reply",
                              "a read reply after its time-out",
                              "read replies counting 9"};

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

    void functionsAcrossFreedoms_data() {
        Columns<QString, QString>("kind", "freedom");
        for (const char* kind : {"scripted", "varn-unit"})
            for (const QString& freedom : Freedoms)
                QTest::addRow("%s, %s", kind, qPrintable(freedom))
                    << QString::fromLatin1(kind) << freedom;
    }

    // Identification, then Erase, Program, Verify and Read of a small device:
    // the device holds the image, Read brings it back, and nothing fails;
    // a unit whose read replies are never whole blocks gets nothing believed.
    void functionsAcrossFreedoms() {
        auto [kind, name] = Row<QString, QString>("kind", "freedom");
        const Freedom freedom = FreedomNamed(name);
        Emulation emulation;
        const QString why = emulation.start(kind, freedom.scripted, freedom.unitOptions);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        if (emulation.scripted && freedom.lateRequest > 0)
            emulation.scripted->lateReply(freedom.lateRequest, freedom.lateMs);
        for (int k = 1; emulation.scripted && freedom.countAll && k < 100; ++k)
            emulation.scripted->countByte(k, quint8(freedom.countAll));
        Transport& t = *emulation.transport();

        AppState state;
        state.DeviceTable[1] = DeviceEntry{QStringLiteral("Test"), 1, 64};
        state.DeviceCount = 1;
        state.SelectedDevice = 1;
        const Identification id = IdentifyUnit(state, t);
        QVERIFY(id.ok);
        QCOMPARE(IdentificationReport(id.reply), freedom.identification);

        Recorder observer;
        DeviceFunctions fn(state, t, observer);
        fn.setOptions({.replies = freedom.replies});
        QByteArray image;
        for (int i = 0; i < 64; ++i) {
            state.Buffer[size_t(i)] = quint8(i * 29 + 5);
            image.append(char(state.Buffer[size_t(i)]));
        }
        for (const int function : {FnErase, FnProgram}) {
            const FunctionResult r = fn.RunFunction(function);
            QVERIFY2(r.succeeded(), qPrintable(observer.line()));
        }
        if (freedom.countAll) {
            // Neither judged nor stored: the functions say the replies came garbled.
            for (const int function : {FnVerify, FnRead}) {
                state.Buffer.fill(0x00);
                const FunctionResult r = fn.RunFunction(function);
                QCOMPARE(r.linkFault, LinkFault::GarbledReply);
                QCOMPARE(BufferBytes(state, 0, 64), QByteArray(64, '\0'));
            }
            if (emulation.scripted)
                QCOMPARE(emulation.scripted->memory.left(64), image);
            return;
        }
        QVERIFY2(fn.RunFunction(FnVerify).succeeded(), qPrintable(observer.line()));
        state.Buffer.fill(0x00);
        QVERIFY2(fn.RunFunction(FnRead).succeeded(), qPrintable(observer.line()));
        QCOMPARE(BufferBytes(state, 0, 64), image);
        QCOMPARE(observer.errors, 0);
        if (emulation.scripted)
            QCOMPARE(emulation.scripted->memory.left(64), image);
    }
};

QTEST_MAIN(TestTransportContract)
#include "tst_transportcontract.moc"
