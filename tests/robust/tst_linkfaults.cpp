// The unit misbehaving on a real serial line (the virtual unit on a
// pseudo-terminal): lost lines, lost, late, padded and garbled replies. Each
// case checks what the user is told and what the buffer and files hold.
#include "core/config.h"
#include "functions/devicefunctions.h"
#include "functions/functiontext.h"
#include "link/seriallink.h"
#include "robust/robustsupport.h"
#include "support/virtualunit.h"
#include "ui/mdimain.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <chrono>
#include <thread>

using namespace varn;
using namespace varn::robust;
using varn::test::VirtualUnit;

namespace {

constexpr int DeviceBytes = 256; // 16 blocks
const QString Ok = QStringLiteral("   OK!");
const QString Fault = QStringLiteral("   Device Fault!");
const QString Reading = QStringLiteral("Reading ...");
const QString Verifying = QStringLiteral("Verifying ...");
const QString Programming = QStringLiteral("Programming ...");

quint8 UnitByte(int address) {
    return quint8(address * 7 + 1);
}

class Observer : public FunctionObserver {
public:
    void functionStarted(const FunctionResult& run) override { lines.started(run); }
    void functionProgress(const FunctionResult&, int percent) override {
        progress << percent;
        // A window repainting its bar: stray bytes have come by the next request.
        if (slow)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    void functionFinished(const FunctionResult& result) override {
        if (result.outcome == Outcome::CommunicationFailure && result.function != FnAuto)
            ++errors;
        lines.finished(result);
        last = result;
    }
    void refused(const QString& reason) override { refusals << reason; }
    FunctionLines lines;
    FunctionResult last;
    QList<int> progress;
    bool slow = false;
    int errors = 0;
    QStringList refusals;
};

// The virtual unit with a known memory, the real serial link to it and the
// device functions on top, for a device of DeviceBytes bytes.
struct Rig {
    explicit Rig(QStringList faults) : unit(faults << "--memory" << memoryFile()) {
        state.DeviceCount = 1;
        state.SelectedDevice = 1;
        state.DeviceTable[1] = {QStringLiteral("TEST 256"), 1, DeviceBytes};
        PatternBuffer(state);
    }

    QString memoryFile() {
        QByteArray memory(65536, '\0');
        for (int i = 0; i < memory.size(); ++i)
            memory[i] = char(UnitByte(i));
        WriteAll(dir.filePath("memory.bin"), memory);
        return dir.filePath("memory.bin");
    }

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

    // The buffer with bytes [from, to) as the unit's memory holds them.
    std::array<quint8, BufferSize> withUnitBytes(int from, int to) const {
        auto buffer = state.Buffer;
        for (int i = from; i < to; ++i)
            buffer[size_t(i)] = UnitByte(i);
        return buffer;
    }

    QTemporaryDir dir;
    VirtualUnit unit;
    AppState state;
    SerialLink link;
    Observer observer;
    DeviceFunctions fn{state, link, observer};
};

} // namespace

class TestLinkFaults : public QObject {
    Q_OBJECT
private slots:
    void lineClosedDuringFunction_data() {
        QTest::addColumn<int>("function");
        QTest::addColumn<int>("closeAtFrame"); // the frame the unit dies on
        QTest::addColumn<int>("blocksDone");   // blocks answered before
        // Program: "W", then one frame per block. Read: "R" and an address frame per block.
        QTest::newRow("program, at block 3") << int(FnProgram) << 5 << 3;
        QTest::newRow("read, at block 3") << int(FnRead) << 8 << 3;
        QTest::newRow("read, at the first block") << int(FnRead) << 2 << 0;
    }

    void lineClosedDuringFunction() {
        QFETCH(int, function);
        QFETCH(int, closeAtFrame);
        QFETCH(int, blocksDone);
        Rig rig({"--close-after", QString::number(closeAtFrame)});
        QVERIFY(rig.start());
        QSignalSpy lost(&rig.link, &SerialLink::connectionLost);
        // Read keeps the blocks that arrived; nothing else touches the buffer.
        const auto expected = rig.withUnitBytes(0, function == FnRead ? blocksDone * 16 : 0);

        QVERIFY(rig.fn.RunFunction(function).ran());

        QCOMPARE(rig.observer.lines.line(0), (function == FnRead ? Reading : Programming) + Fault);
        QCOMPARE(rig.observer.errors, 1);
        QVERIFY(rig.unit.waitForExit());
        QCOMPARE(rig.unit.frames().size(), closeAtFrame);
        QTRY_VERIFY(!rig.link.isOpen());
        QTRY_COMPARE(lost.size(), 1);
        QVERIFY(rig.state.Buffer == expected);

        // The next function is refused with the reason instead of sending into nothing.
        QVERIFY(!rig.fn.RunFunction(FnVerify).ran());
        QCOMPARE(rig.observer.refusals.size(), 1);
        const QString reason = rig.observer.refusals[0];
        QVERIFY2(reason.startsWith("The programmer unit is not connected (COM1, "),
                 qPrintable(reason));
        QVERIFY2(reason.contains("the line was lost"), qPrintable(reason));
        QCOMPARE(rig.observer.errors, 1);
        QCOMPARE(lost.size(), 1);
    }

    void lineClosedDuringIdentification() {
        QTemporaryDir dir;
        const QByteArray settings = "1\r\n1\r\n1\r\n", devices = "\"TEST 256\",1,256\r\n",
                         steps = "2\r\n1\r\n3\r\n";
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

    void noAnswerInTheMiddleOfVerify() {
        Rig rig({"--no-answer", "8"}); // block 7 of 16
        QVERIFY(rig.start());
        rig.state.Buffer = rig.withUnitBytes(0, DeviceBytes);
        const auto before = rig.state.Buffer;

        QVERIFY(rig.fn.RunFunction(FnVerify).ran());
        QCOMPARE(rig.observer.lines.line(0), Verifying + Fault);
        QCOMPARE(rig.observer.errors, 1);
        QVERIFY(rig.observer.last.differences.isEmpty());
        QCOMPARE(rig.observer.progress.last(), 7 * 100 / 16);
        QVERIFY(rig.observer.last.outcome != Outcome::Mismatch);

        // The unit answers again: the same Verify now goes through.
        QVERIFY(rig.fn.RunFunction(FnVerify).ran());
        QCOMPARE(rig.observer.lines.line(0), Verifying + Ok);
        QCOMPARE(rig.observer.errors, 1);
        QVERIFY(rig.state.Buffer == before);
    }

    void lateAnswerThenNewFunction() {
        Rig rig({"--late", "3:1500"}); // block 2 answers after the second is over
        QVERIFY(rig.start());
        const auto firstTwoBlocks = rig.withUnitBytes(0, 32),
                   all = rig.withUnitBytes(0, DeviceBytes);

        QVERIFY(rig.fn.RunFunction(FnRead).ran());
        QCOMPARE(rig.observer.lines.line(0), Reading + Fault);
        QCOMPARE(rig.observer.errors, 1);
        QVERIFY(rig.state.Buffer == firstTwoBlocks);

        // The late block arrives while nothing waits for it...
        QTRY_COMPARE_WITH_TIMEOUT(rig.link.bytesWaiting(), 17, 5000);
        // ...and must not be taken for the first block of the next Read.
        QVERIFY(rig.fn.RunFunction(FnRead).ran());
        QCOMPARE(rig.observer.lines.line(0), Reading + Ok);
        QCOMPARE(rig.observer.errors, 1);
        QVERIFY(rig.state.Buffer == all);
    }

    void extraByteAfterEveryReply() {
        Rig rig({"--extra-byte", "--baud-emulation"});
        QVERIFY(rig.start());
        QVERIFY(rig.fn.RunFunction(FnErase).succeeded());
        // Every reply carries a stray byte a byte-time after it, and no step
        // may take it for the start of its next reply.
        rig.observer.slow = true;
        rig.state.AutoCount = 2;
        rig.state.AutoList[1] = FnProgram;
        rig.state.AutoList[2] = FnVerify;
        const auto programmed = rig.state.Buffer;
        QVERIFY(rig.fn.RunFunction(FnAuto).succeeded());
        rig.state.Buffer.fill(0);
        QVERIFY(rig.fn.RunFunction(FnRead).succeeded());
        QCOMPARE(rig.observer.errors, 0);
        QVERIFY(std::equal(programmed.begin(), programmed.begin() + DeviceBytes,
                           rig.state.Buffer.begin()));
    }

    void countByte_data() {
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

    void countByte() {
        QFETCH(int, count);
        QFETCH(int, perBlock);
        QFETCH(int, blocksTaken);
        QFETCH(bool, fault);
        Rig rig({"--count", QString::number(count)});
        QVERIFY(rig.start());
        auto expected = rig.state.Buffer;
        for (int block = 0; block < blocksTaken; ++block)
            for (int j = 0; j < perBlock; ++j)
                expected[size_t(block * 16 + j)] = UnitByte(block * 16 + j);

        QVERIFY(rig.fn.RunFunction(FnRead).ran());

        QCOMPARE(rig.observer.lines.line(0), Reading + (fault ? Fault : Ok));
        QCOMPARE(rig.observer.errors, fault ? 1 : 0);
        QVERIFY(rig.state.Buffer == expected);
    }

    void garbageBeforeReply_data() {
        QTest::addColumn<int>("function");
        QTest::newRow("verify") << int(FnVerify);
        QTest::newRow("read") << int(FnRead);
    }

    void garbageBeforeReply() {
        QFETCH(int, function);
        constexpr int Garbage = 40;
        Rig rig({"--garbage", QStringLiteral("3:%1").arg(Garbage)}); // before block 2
        QVERIFY(rig.start());
        if (function == FnVerify)
            rig.state.Buffer = rig.withUnitBytes(0, DeviceBytes);
        auto expected = rig.state.Buffer;

        QVERIFY(rig.fn.RunFunction(function).ran());

        if (function == FnVerify) {
            // The flood's first byte is taken for the count, the next for data.
            QCOMPARE(rig.observer.lines.line(0), QStringLiteral("Verify Error at 0020"));
            QCOMPARE(rig.observer.last.outcome, Outcome::Mismatch);
            QCOMPARE(rig.observer.errors, 0);
        } else {
            // Count A5 announces 164 bytes; the 56 that came are stored from the
            // block's address, and the rest counts as a lost reply.
            QCOMPARE(rig.observer.lines.line(0), Reading + Fault);
            QCOMPARE(rig.observer.errors, 1);
            for (int i = 0; i < 32; ++i)
                expected[size_t(i)] = UnitByte(i);
            const QByteArray flood = QByteArray(Garbage - 1, '\xA5') + char(17);
            for (int i = 0; i < 56; ++i)
                expected[size_t(32 + i)] =
                    i < Garbage ? quint8(flood[i]) : UnitByte(i - Garbage + 32);
        }
        QVERIFY(rig.state.Buffer == expected);

        // Nothing of the flood is left to spoil the next function.
        rig.state.Buffer = rig.withUnitBytes(0, DeviceBytes);
        QVERIFY(rig.fn.RunFunction(FnVerify).ran());
        QCOMPARE(rig.observer.lines.line(0), Verifying + Ok);
    }
};

QTEST_MAIN(TestLinkFaults)
#include "tst_linkfaults.moc"
