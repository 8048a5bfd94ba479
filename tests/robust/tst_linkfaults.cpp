// The device functions over a real serial line (the virtual unit on a
// pseudo-terminal): a whole device, and a unit that misbehaves -- lost lines,
// lost, late and padded replies. Each case checks what the user is
// told and what the buffer holds.
#include "link/seriallink.h"
#include "link/unitcommands.h"
#include "support/recorder.h"
#include "support/rows.h"
#include "support/testsupport.h"
#include "support/virtualunit.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace varn;
using namespace varn::test;

namespace {

constexpr int DeviceBytes = 256; // 16 blocks
const QString Ok = QStringLiteral("   OK!");
const QString Fault = QStringLiteral("   Device Fault!");
const QString Reading = QStringLiteral("Reading ...");
const QString Programming = QStringLiteral("Programming ...");

quint8 UnitByte(int address) {
    return quint8(address * 7 + 1);
}

// The virtual unit with a known memory, the real serial link to it and the
// device functions on top, for a device of `size` bytes.
struct Rig {
    explicit Rig(QStringList options, int size = DeviceBytes)
        : unit(options << "--memory" << memoryFile()) {
        state.DeviceCount = 1;
        state.SelectedDevice = 1;
        state.DeviceTable[1] = {QStringLiteral("TEST"), 1, size};
        for (int i = 0; i < BufferSize; ++i) // any byte a test did not expect to change shows
            state.Buffer[size_t(i)] = quint8(i * 31 + 7);
    }
    QString memoryFile() {
        QByteArray memory(65536, '\0');
        for (int i = 0; i < memory.size(); ++i)
            memory[i] = char(UnitByte(i));
        WriteFile(dir.filePath("memory.bin"), memory);
        return dir.filePath("memory.bin");
    }
    bool start() {
        const Status opened = unit.start() ? link.openPath(unit.path(), "COM1")
                                           : Status::Fail(unit.error() + unit.errorOutput());
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
    Recorder observer;
    DeviceFunctions fn{state, link, observer};
};

} // namespace

class TestLinkFaults : public QObject {
    Q_OBJECT
private slots:
    void programVerifyAndReadBackWholeDevice() {
        Rig rig({}, 65536);
        QVERIFY(rig.start());
        QVERIFY(IdentifyUnit(rig.state, rig.link).ok);
        // Every byte value, in no particular order, all over the device.
        QByteArray image(65536, '\0');
        QRandomGenerator random(7);
        for (int i = 0; i < image.size(); ++i)
            rig.state.Buffer[i] = quint8(image[i] = char(random.bounded(256)));
        const quint8 beyond = rig.state.Buffer[65536];
        rig.fn.setPauseMs(1); // the load sequence's pauses are not under test here
        rig.fn.LoadSequence();
        QVERIFY(rig.fn.RunFunction(FnErase).ran()); // programming only clears bits
        QVERIFY(rig.fn.RunFunction(FnProgram).ran());
        QCOMPARE(rig.observer.line(), Programming + Ok);
        QCOMPARE(rig.observer.progress.last(), 100);
        QCOMPARE(rig.fn.RunFunction(FnVerify).outcome, Outcome::Success);

        // A byte near the end that the device does not hold.
        rig.state.Buffer[0xFFF3] ^= 0x01;
        QCOMPARE(rig.fn.RunFunction(FnVerify).outcome, Outcome::Mismatch);
        QCOMPARE(rig.observer.line(), QStringLiteral("Verify Error at FFF3"));

        // Read brings the image back; past the device the buffer is untouched.
        rig.state.Buffer.fill(0x00);
        rig.state.Buffer[65536] = beyond;
        QVERIFY(rig.fn.RunFunction(FnRead).ran());
        QCOMPARE(rig.observer.line(), Reading + Ok);
        QCOMPARE(BufferBytes(rig.state, 0, 65536), image);
        QCOMPARE(rig.state.Buffer[65536], beyond);
        QCOMPARE(rig.observer.errors, 0);
        // Identification, five load frames, Erase, Program, two Verifies, one Read.
        const QList<QByteArray> frames = rig.unit.frames();
        QCOMPARE(frames.size(), 1 + 5 + 1 + (1 + 4096 + 1) + 3 * 2 * 4096);
        QCOMPARE(frames.last(), QByteArray("\x04\xFF\xF0\x00\x10", 5));
    }

    void lineClosedDuringFunction_data() {
        // closeAtFrame: the frame the unit dies on; blocksDone: blocks answered before
        Columns<int, int, int>("function", "closeAtFrame", "blocksDone");
        // Program: "W", then a frame per block; Read: "R" and an address frame per block.
        QTest::newRow("program, at block 3") << int(FnProgram) << 5 << 3;
        QTest::newRow("read, at block 3") << int(FnRead) << 8 << 3;
    }
    void lineClosedDuringFunction() {
        auto [function, closeAtFrame, blocksDone] =
            Row<int, int, int>("function", "closeAtFrame", "blocksDone");
        Rig rig({"--close-after", QString::number(closeAtFrame)});
        QVERIFY(rig.start());
        QSignalSpy lost(&rig.link, &SerialLink::connectionLost);
        // Read keeps the blocks that arrived; nothing else touches the buffer.
        const auto expected = rig.withUnitBytes(0, function == FnRead ? blocksDone * 16 : 0);

        QVERIFY(rig.fn.RunFunction(function).ran());

        QCOMPARE(rig.observer.line(), (function == FnRead ? Reading : Programming) + Fault);
        QCOMPARE(rig.observer.errors, 1);
        QVERIFY(rig.unit.waitForExit());
        QCOMPARE(rig.unit.frames().size(), closeAtFrame);
        QTRY_VERIFY(!rig.link.isOpen());
        QTRY_COMPARE(lost.size(), 1);
        QVERIFY(rig.state.Buffer == expected);

        // The next function is refused with its reason, not sent into nothing.
        QVERIFY(!rig.fn.RunFunction(FnVerify).ran());
        QCOMPARE(rig.observer.refusals.size(), 1);
        VERIFY_CONTAINS(rig.observer.refusals[0], "the line was lost");
        QVERIFY(
            rig.observer.refusals[0].startsWith("The programmer unit is not connected (COM1, "));
        QTest::qWait(200); // a flood of port errors would show here
        QCOMPARE(lost.size(), 1);
    }

    void extraByteAfterEveryReply_data() {
        Columns<QStringList>("options");
        // A byte-time after the reply: usually gone before the next request.
        QTest::newRow("with the reply") << QStringList{"--extra-byte", "--baud-emulation"};
        // Later than the discard before the next request: it lands ahead of
        // the next reply, which must be recognised as shifted and asked again.
        QTest::newRow("2 ms later, line rate")
            << QStringList{"--extra-byte-delay", "2", "--baud-emulation"};
        QTest::newRow("2 ms later, full speed") << QStringList{"--extra-byte-delay", "2"};
    }
    void extraByteAfterEveryReply() {
        auto [options] = Row<QStringList>("options");
        Rig rig(options);
        QVERIFY(rig.start());
        QVERIFY(rig.fn.RunFunction(FnErase).succeeded());
        // No step may take a stray byte for the start of its next reply. A
        // window repainting its bar gives a byte close behind its reply time
        // to arrive; one that trails by 2 ms beats even that.
        rig.observer.slow = !options.contains("--extra-byte-delay");
        rig.state.AutoCount = 2;
        rig.state.AutoList = {0, FnProgram, FnVerify};
        const auto programmed = rig.state.Buffer;
        QVERIFY(rig.fn.RunFunction(FnAuto).succeeded());
        rig.state.Buffer.fill(0);
        QVERIFY(rig.fn.RunFunction(FnRead).succeeded());
        QCOMPARE(rig.observer.errors, 0);
        QVERIFY(std::equal(programmed.begin(), programmed.begin() + DeviceBytes,
                           rig.state.Buffer.begin()));
    }

    // --retries: a block request whose reply did not come goes out again,
    // byte for byte, and the blocks after it still line up.
    void retriesResendAMissingReply_data() {
        // repeatedAt: first frame of the repeated request, or -1
        Columns<int, QStringList, int, int, int>("function", "fault", "retries", "frameCount",
                                                 "repeatedAt");
        const QStringList dropThird{"--no-answer", "3"};
        // 16 blocks: two frames per read request.
        QTest::newRow("read, reply dropped, one retry") << int(FnRead) << dropThird << 1 << 34 << 4;
        QTest::newRow("read, reply dropped, no retry") << int(FnRead) << dropThird << 0 << 6 << -1;
        // Later than the time-out: the first reply and, one line time after
        // it, the repetition's both arrive.
        QTest::newRow("read, reply late, one retry")
            << int(FnRead) << QStringList{"--late", "3:150", "--baud-emulation"} << 1 << 34 << 4;
        QTest::newRow("program, ack dropped, one retry")
            << int(FnProgram) << dropThird << 1 << 19 << 3;
    }
    void retriesResendAMissingReply() {
        auto [function, fault, retries, frameCount, repeatedAt] =
            Row<int, QStringList, int, int, int>("function", "fault", "retries", "frameCount",
                                                 "repeatedAt");
        Rig rig(fault);
        QVERIFY(rig.start());
        rig.fn.setOptions({.replies = {100, retries}});
        const FunctionResult result = rig.fn.RunFunction(function);

        const bool ok = repeatedAt >= 0;
        QCOMPARE(result.outcome, ok ? Outcome::Success : Outcome::CommunicationFailure);
        QCOMPARE(result.resent, ok ? 1 : 0);
        if (function == FnRead && ok)
            QVERIFY(rig.state.Buffer == rig.withUnitBytes(0, DeviceBytes));
        QVERIFY(rig.unit.waitForFrames(frameCount));
        const QList<QByteArray> frames = rig.unit.frames();
        QCOMPARE(frames.size(), frameCount);
        const int size = function == FnRead ? 2 : 1;
        if (ok)
            QCOMPARE(frames.mid(repeatedAt + size, size), frames.mid(repeatedAt, size));
    }
};

QTEST_MAIN(TestLinkFaults)
#include "tst_linkfaults.moc"
