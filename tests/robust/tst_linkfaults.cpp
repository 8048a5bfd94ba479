// The unit misbehaving on a real serial line (the virtual unit on a
// pseudo-terminal): lost lines, lost, late, padded and garbled replies. Each
// case checks what the user is told and what the buffer and files hold.
#include "core/config.h"
#include "functions/devicefunctions.h"
#include "link/seriallink.h"
#include "robust/robustsupport.h"
#include "support/virtualunit.h"
#include "ui/mdimain.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace varn;
using namespace varn::robust;
using varn::test::VirtualUnit;

namespace {

constexpr int DeviceBytes = 256; // 16 blocks
const QString Ok = QStringLiteral("   OK!");
const QString Fault = QStringLiteral("   Device Fault!");

quint8 UnitByte(int address) {
    return quint8(address * 7 + 1);
}

class Observer : public FunctionObserver {
public:
    void setMessage(int line, const QString& text) override { lines[line] = text; }
    void showProgress(int percent) override { progress << percent; }
    void communicationError() override { ++errors; }
    void refused(const QString& reason) override { refusals << reason; }
    QString lines[6];
    QList<int> progress;
    int errors = 0;
    QStringList refusals;
};

// The virtual unit with a known memory, the real serial link to it and the
// device functions on top, for a device of DeviceBytes bytes.
struct Rig {
    explicit Rig(const QStringList& faults) : unit(arguments(faults)) {}

    bool start() {
        if (!unit.start()) {
            qWarning("%s", qPrintable(unit.error() + unit.errorOutput()));
            return false;
        }
        const Status opened = link.openPath(unit.path(), QStringLiteral("COM1"));
        if (!opened)
            qWarning("%s", qPrintable(opened.message));
        return opened.ok;
    }

    // The buffer as the unit's memory would leave it: the device part copied.
    void bufferFromUnit() {
        for (int i = 0; i < DeviceBytes; ++i)
            state.Buffer[size_t(i)] = UnitByte(i);
    }

    QStringList arguments(QStringList faults) {
        QByteArray memory(65536, '\0');
        for (int i = 0; i < memory.size(); ++i)
            memory[i] = char(UnitByte(i));
        const QString file = dir.filePath("memory.bin");
        WriteAll(file, memory);
        return faults << "--memory" << file;
    }

    QTemporaryDir dir;
    VirtualUnit unit;
    AppState state = [] {
        AppState s;
        s.DeviceCount = 1;
        s.SelectedDevice = 1;
        s.DeviceTable[1] = {QStringLiteral("TEST 256"), 1, DeviceBytes};
        PatternBuffer(s);
        return s;
    }();
    SerialLink link;
    Observer observer;
    DeviceFunctions fn{state, link, observer};
};

QString Reading() {
    return QStringLiteral("Reading ...");
}
QString Verifying() {
    return QStringLiteral("Verifying ...");
}
QString Programming() {
    return QStringLiteral("Programming ...");
}

} // namespace

class TestLinkFaults : public QObject {
    Q_OBJECT
private slots:
    void lineClosedDuringFunction_data();
    void lineClosedDuringFunction();
    void lineClosedDuringIdentification();
    void noAnswerInTheMiddleOfVerify();
    void lateAnswerThenNewFunction();
    void extraByteAfterEveryReply();
    void countByte_data();
    void countByte();
    void garbageBeforeReply_data();
    void garbageBeforeReply();
};

void TestLinkFaults::lineClosedDuringFunction_data() {
    QTest::addColumn<int>("function");
    QTest::addColumn<int>("closeAtFrame"); // the frame the unit dies on
    QTest::addColumn<int>("blocksDone");   // blocks answered before
    // Program: "W", then one frame per block. Read: "R" and an address frame per block.
    QTest::newRow("program, at block 3") << int(FnProgram) << 5 << 3;
    QTest::newRow("read, at block 3") << int(FnRead) << 8 << 3;
    QTest::newRow("read, at the first block") << int(FnRead) << 2 << 0;
}

void TestLinkFaults::lineClosedDuringFunction() {
    QFETCH(int, function);
    QFETCH(int, closeAtFrame);
    QFETCH(int, blocksDone);
    Rig rig({"--close-after", QString::number(closeAtFrame)});
    QVERIFY(rig.start());
    QSignalSpy lost(&rig.link, &SerialLink::connectionLost);
    const auto before = rig.state.Buffer;

    QVERIFY(rig.fn.RunFunction(function));

    const QString text = function == FnRead ? Reading() : Programming();
    QCOMPARE(rig.fn.Lines[0], text + Fault);
    QCOMPARE(rig.observer.errors, 1);
    QVERIFY(rig.unit.waitForExit());
    QCOMPARE(rig.unit.frames().size(), closeAtFrame);
    QTRY_VERIFY(!rig.link.isOpen());
    QTRY_COMPARE(lost.size(), 1);

    // Read keeps the blocks that arrived; nothing else touches the buffer.
    auto expected = before;
    if (function == FnRead) {
        for (int i = 0; i < blocksDone * 16; ++i)
            expected[size_t(i)] = UnitByte(i);
    }
    QVERIFY(rig.state.Buffer == expected);

    // The next function is refused with the reason instead of sending into nothing.
    QVERIFY(!rig.fn.RunFunction(FnVerify));
    QCOMPARE(rig.observer.refusals.size(), 1);
    QVERIFY2(rig.observer.refusals[0].startsWith("The programmer unit is not connected (COM1, "),
             qPrintable(rig.observer.refusals[0]));
    QVERIFY2(rig.observer.refusals[0].contains("the line was lost"),
             qPrintable(rig.observer.refusals[0]));
    QCOMPARE(rig.observer.errors, 1);
    QCOMPARE(lost.size(), 1);
}

void TestLinkFaults::lineClosedDuringIdentification() {
    QTemporaryDir dir;
    const QByteArray settings = "1\r\n1\r\n1\r\n";
    const QByteArray devices = "\"TEST 256\",1,256\r\n";
    const QByteArray steps = "2\r\n1\r\n3\r\n";
    QVERIFY(WriteAll(dir.filePath(SettingsFileName), settings));
    QVERIFY(WriteAll(dir.filePath(DeviceFileName), devices));
    QVERIFY(WriteAll(dir.filePath(AutoFileName), steps));
    VirtualUnit unit({"--close-after", "1", "--link", dir.filePath("com1")});
    QVERIFY2(unit.start(), qPrintable(unit.error()));

    MessageLog log;
    AppState state;
    QVERIFY(Main(state, dir.path()).ok);
    {
        mdiMain w(state);
        w.MDIForm_Load();
        w.MDIForm_Activate();
        QTRY_COMPARE(log.shown.size(), 2);
        QCoreApplication::processEvents();

        QVERIFY(!state.UnitIdentified);
        QVERIFY(!w.cm->isOpen());
        QCOMPARE(w.PanelText(1), QStringLiteral("FAIL"));
        QStringList titles = log.titles();
        titles.sort();
        QCOMPARE(titles, (QStringList{"Communication Port Error", "Device Error"}));
        for (const ShownMessage& m : log.shown) {
            QCOMPARE(m.icon, MsgIcon::Critical);
            if (m.title == "Device Error")
                QCOMPARE(m.text, QStringLiteral("Communication Error!"));
            else
                QVERIFY2(m.text.contains("the line was lost"), qPrintable(m.text));
        }
        QVERIFY(unit.frames() == QList<QByteArray>{QByteArray("\x01T")});
        QVERIFY(std::all_of(state.Buffer.begin(), state.Buffer.end(),
                            [](quint8 b) { return b == 0xFF; }));
        w.close();
    }
    // The configuration comes out of it as it went in.
    QCOMPARE(ReadAll(dir.filePath(SettingsFileName)), settings);
    QCOMPARE(ReadAll(dir.filePath(DeviceFileName)), devices);
    QCOMPARE(ReadAll(dir.filePath(AutoFileName)), steps);
    QCOMPARE(log.shown.size(), 2);
}

void TestLinkFaults::noAnswerInTheMiddleOfVerify() {
    Rig rig({"--no-answer", "8"}); // block 7 of 16
    QVERIFY(rig.start());
    rig.bufferFromUnit();
    const auto before = rig.state.Buffer;

    QVERIFY(rig.fn.RunFunction(FnVerify));
    QCOMPARE(rig.fn.Lines[0], Verifying() + Fault);
    QCOMPARE(rig.observer.errors, 1);
    QCOMPARE(rig.fn.MismatchAddress, -1);
    QCOMPARE(rig.observer.progress.last(), 7 * 100 / 16);
    QVERIFY(!rig.fn.FunctionFailed);
    QVERIFY(rig.state.Buffer == before);

    // The unit answers again: the same Verify now goes through.
    QVERIFY(rig.fn.RunFunction(FnVerify));
    QCOMPARE(rig.fn.Lines[0], Verifying() + Ok);
    QCOMPARE(rig.observer.errors, 1);
    QVERIFY(rig.state.Buffer == before);
}

void TestLinkFaults::lateAnswerThenNewFunction() {
    Rig rig({"--late", "3:1500"}); // block 2 answers after the second is over
    QVERIFY(rig.start());
    const auto before = rig.state.Buffer;

    QVERIFY(rig.fn.RunFunction(FnRead));
    QCOMPARE(rig.fn.Lines[0], Reading() + Fault);
    QCOMPARE(rig.observer.errors, 1);
    auto expected = before;
    for (int i = 0; i < 32; ++i)
        expected[size_t(i)] = UnitByte(i);
    QVERIFY(rig.state.Buffer == expected);

    // The late block arrives while nothing waits for it...
    QTRY_COMPARE_WITH_TIMEOUT(rig.link.bytesWaiting(), 17, 5000);
    // ...and must not be taken for the first block of the next Read.
    QVERIFY(rig.fn.RunFunction(FnRead));
    QCOMPARE(rig.fn.Lines[0], Reading() + Ok);
    QCOMPARE(rig.observer.errors, 1);
    for (int i = 0; i < DeviceBytes; ++i)
        expected[size_t(i)] = UnitByte(i);
    QVERIFY(rig.state.Buffer == expected);
}

void TestLinkFaults::extraByteAfterEveryReply() {
    Rig rig({"--extra-byte"});
    QVERIFY(rig.start());

    // Erase, Program, Verify, Read in one Auto run: every reply carries a
    // stray byte, and none of the steps may take it for data.
    rig.state.AutoCount = 4;
    rig.state.AutoList[1] = FnErase;
    rig.state.AutoList[2] = FnProgram;
    rig.state.AutoList[3] = FnVerify;
    rig.state.AutoList[4] = FnRead;
    const auto programmed = rig.state.Buffer;
    QVERIFY(rig.fn.RunFunction(FnAuto));

    QCOMPARE(rig.fn.Lines[0], QStringLiteral("Erasing ...") + Ok);
    QCOMPARE(rig.fn.Lines[1], Programming() + Ok);
    QCOMPARE(rig.fn.Lines[2], Verifying() + Ok);
    QCOMPARE(rig.fn.Lines[3], Reading() + Ok);
    QCOMPARE(rig.observer.errors, 0);
    QVERIFY(rig.state.Buffer == programmed);
}

void TestLinkFaults::countByte_data() {
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("perBlock");    // bytes stored from each block
    QTest::addColumn<int>("blocksTaken"); // blocks whose bytes were stored
    QTest::addColumn<bool>("fault");
    QTest::newRow("0") << 0 << 0 << 16 << false;
    QTest::newRow("1") << 1 << 0 << 16 << false;
    QTest::newRow("16") << 16 << 15 << 16 << false;
    // More announced than came: the block counts as lost after its bytes.
    QTest::newRow("18") << 18 << 16 << 1 << true;
    QTest::newRow("255") << 255 << 16 << 1 << true;
}

void TestLinkFaults::countByte() {
    QFETCH(int, count);
    QFETCH(int, perBlock);
    QFETCH(int, blocksTaken);
    QFETCH(bool, fault);
    Rig rig({"--count", QString::number(count)});
    QVERIFY(rig.start());
    const auto before = rig.state.Buffer;

    QVERIFY(rig.fn.RunFunction(FnRead));

    QCOMPARE(rig.fn.Lines[0], Reading() + (fault ? Fault : Ok));
    QCOMPARE(rig.observer.errors, fault ? 1 : 0);
    auto expected = before;
    for (int block = 0; block < blocksTaken; ++block)
        for (int j = 0; j < perBlock; ++j)
            expected[size_t(block * 16 + j)] = UnitByte(block * 16 + j);
    QVERIFY(rig.state.Buffer == expected);
}

void TestLinkFaults::garbageBeforeReply_data() {
    QTest::addColumn<int>("function");
    QTest::newRow("verify") << int(FnVerify);
    QTest::newRow("read") << int(FnRead);
}

void TestLinkFaults::garbageBeforeReply() {
    QFETCH(int, function);
    constexpr int Garbage = 40;
    Rig rig({"--garbage", QStringLiteral("3:%1").arg(Garbage)}); // before block 2
    QVERIFY(rig.start());
    if (function == FnVerify)
        rig.bufferFromUnit();
    const auto before = rig.state.Buffer;

    QVERIFY(rig.fn.RunFunction(function));

    auto expected = before;
    if (function == FnVerify) {
        // The flood's first byte is taken for the count, the next for data.
        QCOMPARE(rig.fn.Lines[0], QStringLiteral("Verify Error at 0020"));
        QVERIFY(rig.fn.FunctionFailed);
        QCOMPARE(rig.observer.errors, 0);
    } else {
        // Count A5 announces 164 bytes; the 56 that came are stored from the
        // block's address, and the rest counts as a lost reply.
        QCOMPARE(rig.fn.Lines[0], Reading() + Fault);
        QCOMPARE(rig.observer.errors, 1);
        for (int i = 0; i < 32; ++i)
            expected[size_t(i)] = UnitByte(i);
        int at = 32;
        for (int i = 1; i < Garbage; ++i)
            expected[size_t(at++)] = 0xA5;
        expected[size_t(at++)] = 17;
        for (int i = 0; i < 16; ++i)
            expected[size_t(at++)] = UnitByte(32 + i);
    }
    QVERIFY(rig.state.Buffer == expected);

    // Nothing of the flood is left to spoil the next function.
    rig.bufferFromUnit();
    QVERIFY(rig.fn.RunFunction(FnVerify));
    QCOMPARE(rig.fn.Lines[0], Verifying() + Ok);
}

QTEST_MAIN(TestLinkFaults)
#include "tst_linkfaults.moc"
