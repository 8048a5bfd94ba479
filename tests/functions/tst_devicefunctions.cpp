#include "core/hextext.h"
#include "functions/devicefunctions.h"
#include "functions/functiontable.h"
#include "functions/functiontext.h"
#include "support/recorder.h"
#include "support/rows.h"
#include "support/testsupport.h"
#include "tools/scriptedunit/scriptedtransport.h"

#include <QTest>

using namespace varn;
using namespace varn::test;
using varn::test::Recorder;

namespace {

// The recorder and the unit share one event log, so tests can check the
// order of texts, progress and pauses.
class LoggingUnit : public ScriptedTransport {
public:
    explicit LoggingUnit(QStringList& log) : log(log) {}
    void pause(int ms) override {
        log << QStringLiteral("pause %1").arg(ms);
        ScriptedTransport::pause(ms);
    }
    QStringList& log;
};

struct Rig {
    QStringList log;
    AppState state;
    LoggingUnit unit{log};
    Recorder observer{&log};
    DeviceFunctions fn{state, unit, observer};

    explicit Rig(qint32 size = 32, qint16 code = 1) {
        state.DeviceTable[1] = DeviceEntry{QStringLiteral("Test"), code, size};
        state.DeviceCount = 1;
        state.SelectedDevice = 1;
    }
    // A memory whose bytes all differ from their neighbours and from 0xFF.
    void patternMemory() {
        for (int i = 0; i < unit.memory.size(); ++i)
            unit.memory[i] = char((i * 7 + 3) % 251);
    }
    void setAuto(const QList<int>& steps) {
        state.AutoCount = qint16(steps.size());
        for (int i = 0; i < steps.size(); ++i)
            state.AutoList[i + 1] = qint16(steps[i]);
    }
    // The block addresses of the frames that start with one of `kinds`.
    QList<int> blockAddresses(QByteArray kinds) const {
        QList<int> addresses;
        for (const QByteArray& f : unit.sent)
            if (f.size() > 2 && kinds.contains(f[0]))
                addresses << (quint8(f[1]) * 256 + quint8(f[2]));
        return addresses;
    }
    // Address frames (the second frame of every read request), in order.
    QList<QByteArray> addressFrames() const {
        QList<QByteArray> frames;
        for (const QByteArray& f : unit.sent)
            if (f.size() == 5 && f[0] == 0x04)
                frames << f;
        return frames;
    }
};

const QString Ok = QStringLiteral("   OK!");
const QString Fault = QStringLiteral("   Device Fault!");

} // namespace

class TestDeviceFunctions : public QObject {
    Q_OBJECT

private slots:
    void programExchangeIsByteExact() {
        Rig rig(32);
        for (int i = 0; i < 32; ++i)
            rig.state.Buffer[i] = quint8(i * 37 + 1);
        rig.state.Buffer[5] = 0x00;
        rig.state.Buffer[20] = 0x01; // frame-length look-alike inside the data
        rig.state.markDefined(0, 1); // an image, but Only the Image is off

        QVERIFY(rig.fn.RunFunction(FnProgram).ran());

        const QByteArray expected = Bytes({0x01, 0x57, 0x14, 0x00, 0x00, 0x00, 0x10}) +
                                    BufferBytes(rig.state, 0, 16) +
                                    Bytes({0x14, 0x00, 0x10, 0x00, 0x10}) +
                                    BufferBytes(rig.state, 16, 16) + Bytes({0x01, 0x57});
        QCOMPARE(rig.unit.sentBytes(), expected);
        QCOMPARE(rig.unit.sent.size(), 4);               // each block in one send
        QCOMPARE(rig.unit.waits, QList<int>({1, 1, 1})); // the last: the line stays quiet
        QCOMPARE(rig.observer.progress, QList<int>({0, 0, 50, 100}));
        QCOMPARE(rig.observer.line(), QStringLiteral("Programming ...") + Ok);
        QCOMPARE(rig.unit.memory.left(32), BufferBytes(rig.state, 0, 32));
        QCOMPARE(rig.observer.errors, 0);
    }

    void resultValues_data() {
        // fault: 1 drop reply 2, 2 short block 1, 3 line lost at 2, ...
        Columns<int, int, Outcome, LinkFault, int, int>("code", "fault", "outcome", "linkFault",
                                                        "blocksDone", "bytes");
        using O = Outcome;
        using L = LinkFault;
        QTest::newRow("read") << int(FnRead) << 0 << O::Success << L::None << 4 << 64;
        QTest::newRow("program") << int(FnProgram) << 0 << O::Success << L::None << 4 << 64;
        QTest::newRow("no reply") << int(FnProgram) << 1 << O::CommunicationFailure << L::NoReply
                                  << 1 << 16;
        QTest::newRow("short block")
            << int(FnVerify) << 2 << O::CommunicationFailure << L::ShortReply << 0 << 0;
        QTest::newRow("line lost")
            << int(FnProgram) << 3 << O::CommunicationFailure << L::LineLost << 1 << 16;
        QTest::newRow("mismatch") << int(FnBlank) << 4 << O::Mismatch << L::None << 2 << 48;
        // Erase, an unknown code, Read, Verify: the result sums the steps.
        QTest::newRow("auto") << int(FnAuto) << 5 << O::Success << L::None << 8 << 128;
    }

    void resultValues() {
        auto [code, fault, outcome, linkFault, blocksDone, bytes] =
            Row<int, int, Outcome, LinkFault, int, int>("code", "fault", "outcome", "linkFault",
                                                        "blocksDone", "bytes");
        Rig rig(64);
        if (fault == 1)
            rig.unit.dropReply(2);
        else if (fault == 2)
            rig.unit.queueRawReply(QByteArray(10, char(17)));
        else if (fault == 3)
            rig.unit.closeFrom(2);
        else if (fault == 4)
            rig.unit.memory[0x23] = 0x5A;
        rig.setAuto({FnErase, 9, FnRead, FnVerify});

        const FunctionResult r = rig.fn.RunFunction(code);

        QCOMPARE(r.outcome, outcome);
        QCOMPARE(r.linkFault, linkFault);
        QCOMPARE(r.blocksDone, blocksDone);
        QCOMPARE(r.blocksTotal, code == FnAuto ? 8 : 4);
        QCOMPARE(r.bytesTransferred, qint64(bytes));
        QVERIFY(r.started.isValid() && r.started <= r.finished);
        QCOMPARE(r.autoStep, 0);
        if (fault == 4)
            QCOMPARE(ResultReport(r), QStringLiteral("Device not blank at 0023 (device 5A)"));
        if (code == FnAuto)
            QVERIFY(r.steps.size() == 3 && r.steps[1].function == FnRead &&
                    r.steps[1].autoStep == 3);
    }

    void skipBlankBlocks_data() {
        Columns<bool, QList<int>>("skip", "blockAddresses");
        QTest::newRow("all blocks by default") << false << QList<int>{0x00, 0x10, 0x20, 0x30};
        QTest::newRow("erased blocks left out") << true << QList<int>{0x00, 0x20, 0x30};
    }

    void skipBlankBlocks() {
        auto [skip, blockAddresses] = Row<bool, QList<int>>("skip", "blockAddresses");
        Rig rig(64);
        rig.state.Buffer.fill(0x12);
        for (int i = 16; i < 48; ++i)
            rig.state.Buffer[i] = 0xFF;
        rig.state.Buffer[47] = 0xFE; // one programmed byte keeps this block

        rig.fn.setOptions({.skipBlankBlocks = skip, .replies = {}});
        rig.fn.RunFunction(FnProgram);

        QCOMPARE(rig.blockAddresses("\x14"), blockAddresses);
        QCOMPARE(rig.unit.sent.first(), Bytes({0x01, 0x57}));
        QCOMPARE(rig.unit.sent.last(), Bytes({0x01, 0x57}));
        QCOMPARE(rig.observer.progress, QList<int>({0, 0, 25, 50, 75, 100}));
        QCOMPARE(rig.unit.memory.left(64), BufferBytes(rig.state, 0, 64));
    }

    void compareListsEveryDifference_data() {
        // bad: device addresses that hold 0x00; ranges: first, last of each range
        Columns<QList<int>, QList<int>, bool>("bad", "ranges", "onlyImage");
        QTest::newRow("three planted")
            << QList<int>{0x10, 0x200, 0x3F0} << QList<int>{0x10, 0x10, 0x200, 0x200, 0x3F0, 0x3F0}
            << false;
        QList<int> run40;
        for (int a = 0x123; a < 0x123 + 40; ++a)
            run40 << a;
        QTest::newRow("40 in a row") << run40 << QList<int>{0x123, 0x14A} << false;
        QTest::newRow("none") << QList<int>{} << QList<int>{} << false;
        // The image is 0x000..0x1F7: 0x1FC is read but not judged, 0x3F0 not read.
        QTest::newRow("only the image")
            << QList<int>{0x10, 0x1FC, 0x3F0} << QList<int>{0x10, 0x10} << true;
    }

    void compareListsEveryDifference() {
        auto [bad, ranges, onlyImage] =
            Row<QList<int>, QList<int>, bool>("bad", "ranges", "onlyImage");
        Rig rig(1024);
        rig.patternMemory();
        for (int a = 0; a < 1024; ++a)
            rig.state.Buffer[a] = quint8(rig.unit.memory[a]);
        rig.state.markDefined(0, 0x1F8);
        for (int a : bad)
            rig.unit.memory[a] = 0x00;
        const QByteArray before = BufferBytes(rig.state, 0, 1024);
        rig.fn.setOptions({.replies = {}, .onlyImage = onlyImage});

        const FunctionResult r = rig.fn.RunFunction(FnCompare);

        QList<int> got;
        for (const DifferenceRange& range : r.report.ranges)
            got << range.first << range.last;
        QCOMPARE(got, ranges);
        QCOMPARE(r.outcome, ranges.isEmpty() ? Outcome::Success : Outcome::Mismatch);
        QCOMPARE(r.report.count, qint64(r.differences.size()));
        if (!onlyImage)
            QCOMPARE(r.report.count, qint64(bad.size()));
        QCOMPARE(BufferBytes(rig.state, 0, 1024), before); // the buffer stays
        // Its line sums up the ranges, not a first wrong byte as Verify's does.
        if (ranges.isEmpty())
            QCOMPARE(rig.observer.line(), QStringLiteral("Comparing ...   OK!"));
        else
            QVERIFY2(rig.observer.line().startsWith("Comparing ...   ") &&
                         !rig.observer.line().contains("Error"),
                     qPrintable(rig.observer.line()));
        // Read's requests: 04 hi lo 00 10; with only the image just 0x000..0x1F0.
        const auto frames = rig.addressFrames();
        const int last = (onlyImage ? 32 : 64) * 16 - 16;
        QCOMPARE(frames.size(), last / 16 + 1);
        QCOMPARE(frames.last(), Bytes({0x04, last >> 8, last & 0xFF, 0x00, 0x10}));
        QCOMPARE(rig.observer.progress.last(), 100);
        QCOMPARE(r.blocksTotal, frames.size());
    }

    void onlyImageBlocks_data() {
        // The image: 0x005 and 0x0FF..0x100 (blocks 000, 0F0, 100) on a
        // 1 KiB device; the device is erased except where a row plants a byte.
        // wrongAt: -1: none
        Columns<int, int, QString>("code", "wrongAt", "line");
        QTest::newRow("program") << int(FnProgram) << -1 << "Programming ...   OK!";
        QTest::newRow("verify") << int(FnVerify) << -1 << "Verifying ...   OK!";
        QTest::newRow("verify, wrong image byte")
            << int(FnVerify) << 0x100 << "Verify Error at 0100";
        QTest::newRow("verify, other byte of an image block")
            << int(FnVerify) << 0x0F3 << "Verifying ...   OK!";
        QTest::newRow("blank, other byte of an image block")
            << int(FnBlank) << 0x0F3 << "Device not blank at 00F3";
        QTest::newRow("blank, outside the image")
            << int(FnBlank) << 0x200 << "Blank Checking ...   OK!";
    }

    void onlyImageBlocks() {
        auto [code, wrongAt, line] = Row<int, int, QString>("code", "wrongAt", "line");
        Rig rig(1024);
        rig.state.Buffer.fill(0x00);
        for (int a : {0x005, 0x0FF, 0x100}) {
            rig.state.Buffer[a] = quint8(a);
            rig.state.markDefined(a, a + 1);
        }
        if (code == FnVerify)
            for (int i = 0; i < 1024; ++i)
                rig.unit.memory[i] = char(rig.state.Buffer[i]);
        if (wrongAt >= 0)
            rig.unit.memory[wrongAt] = char(0x5A);
        rig.fn.setOptions({.replies = {}, .onlyImage = true});

        const FunctionResult r = rig.fn.RunFunction(code);

        QCOMPARE(rig.observer.line(), line);
        if (r.succeeded()) {
            QCOMPARE(rig.blockAddresses("\x04\x14"), QList<int>({0x000, 0x0F0, 0x100}));
            QCOMPARE(rig.observer.progress.mid(1), QList<int>({0, 33, 66, 100}));
        }
        if (code == FnProgram) // whole blocks as the buffer holds them
            QCOMPARE(rig.unit.memory.left(0x110), BufferBytes(rig.state, 0, 16) +
                                                      QByteArray(0xE0, char(0xFF)) +
                                                      BufferBytes(rig.state, 0xF0, 0x20));
    }

    void readMarksWhatItStored() {
        Rig rig(40);
        rig.fn.setOptions(
            {.replies = {}, .onlyImage = true}); // Read reads the whole device all the same
        QVERIFY(rig.fn.refusalReason(FnVerify).contains("Load a file"));
        rig.state.markDefined(100, 101); // beyond the device: still no image
        QVERIFY(rig.fn.refusalReason(FnCompare).contains("Load a file"));
        rig.unit.closeFrom(3); // the third block never comes

        rig.fn.RunFunction(FnRead);

        QCOMPARE(rig.addressFrames().size(), 2);
        for (int a : {0, 31, 100, 32, 39, 99})
            QCOMPARE(rig.state.isDefined(a), a < 32 || a == 100);
    }

    // The last, partial block is still exchanged, so a difference in the
    // device's last byte is found and the progress ends at exactly 100.
    void readRequests_data() {
        // progress: after the window's reset to 0
        Columns<int, int, int, QList<int>>("code", "size", "lastByte", "progress");
        QTest::newRow("read 8 KiB") << int(FnRead) << 8192 << 0x10 << QList<int>();
        QTest::newRow("verify 9") << int(FnVerify) << 9 << 0x01 << QList<int>{0, 100};
        QTest::newRow("verify 24") << int(FnVerify) << 24 << 0x01 << QList<int>{0, 50, 100};
        QTest::newRow("blank 40") << int(FnBlank) << 40 << 0x01 << QList<int>{0, 33, 66, 100};
        QTest::newRow("verify 1000") << int(FnVerify) << 1000 << 0x01 << QList<int>();
    }

    void readRequests() {
        auto [code, size, lastByte, progress] =
            Row<int, int, int, QList<int>>("code", "size", "lastByte", "progress");
        Rig rig(size);
        if (code == FnRead) { // else buffer and device are all 0xFF
            rig.patternMemory();
            rig.state.Buffer[size] = 0x5A;
        } else { // past the device's end: neither judged
            rig.state.Buffer[size] = 0x5A;
            rig.unit.memory[size] = 0x00;
        }
        rig.state.markDefined(0, 1); // an image, but Only the Image is off

        QVERIFY(rig.fn.RunFunction(code).ran());

        // Every address frame follows its own read command: 04 AH AL 00 last.
        const auto frames = rig.addressFrames();
        const int blocks = (size + 15) / 16;
        QCOMPARE(frames.size(), blocks);
        QCOMPARE(rig.unit.sent.size(), 2 * blocks);
        for (int i = 0; i < blocks; ++i) {
            QCOMPARE(rig.unit.sent[2 * i], Bytes({0x01, 0x52}));
            QCOMPARE(frames[i], Bytes({0x04, i * 16 >> 8, i * 16 & 0xFF, 0x00, lastByte}));
        }
        // The last reply is used once the line has stayed quiet after it.
        QCOMPARE(rig.unit.waits, QList<int>(blocks, 17) << 1);
        QVERIFY(rig.observer.line().endsWith(Ok));
        if (code == FnRead) {
            QCOMPARE(rig.observer.progress.mid(1, 8), QList<int>({0, 0, 0, 0, 0, 0, 1, 1}));
            QCOMPARE(rig.observer.progress.mid(512), QList<int>({99, 100}));
            QCOMPARE(BufferBytes(rig.state, 0, size), rig.unit.memory.left(size));
            QCOMPARE(rig.state.Buffer[size], quint8(0x5A)); // past the device: untouched
            return;
        }
        if (!progress.isEmpty())
            QCOMPARE(rig.observer.progress.mid(1), progress);
        rig.unit.memory[size - 1] ^= 0x01;
        rig.fn.RunFunction(code);
        QCOMPARE(rig.observer.line(), (code == FnVerify ? QStringLiteral("Verify Error at ")
                                                        : QStringLiteral("Device not blank at ")) +
                                          HexWord(size - 1));
        QCOMPARE(rig.observer.last.outcome, Outcome::Mismatch);
    }

    // A read reply whose count byte is not 17 is no data: the block is asked
    // for again until a whole reply comes or the retries are spent.
    void garbledReadReplies_data() {
        // garbled: requests in a row answered with `count`; sent: read requests
        Columns<int, int, int, int, QString>("count", "garbled", "retries", "sent", "mark");
        QTest::newRow("9, once") << 9 << 1 << 0 << 2 << Ok;
        QTest::newRow("18 and one more byte, once") << 18 << 1 << 0 << 2 << Ok;
        QTest::newRow("255, three re-asks spent") << 255 << 4 << 0 << 4 << Fault;
        QTest::newRow("255, more retries") << 255 << 4 << 5 << 5 << Ok;
    }

    void garbledReadReplies() {
        auto [count, garbled, retries, sent, mark] =
            Row<int, int, int, int, QString>("count", "garbled", "retries", "sent", "mark");
        Rig rig(16);
        rig.patternMemory();
        rig.state.Buffer.fill(0x55);
        for (int k = 1; k <= garbled; ++k)
            rig.unit.countByte(k, quint8(count));
        rig.unit.extraAfter(1, Bytes({0x77}));
        rig.fn.setOptions({.replies = {1000, retries}});

        const FunctionResult r = rig.fn.RunFunction(FnRead);

        const bool ok = mark == Ok;
        QCOMPARE(BufferBytes(rig.state, 0, 16),
                 ok ? rig.unit.memory.left(16) : QByteArray(16, char(0x55)));
        QCOMPARE(int(rig.state.Buffer[16]), 0x55);
        QCOMPARE(rig.addressFrames(), QList<QByteArray>(sent, Bytes({0x04, 0, 0, 0, 0x10})));
        QCOMPARE(r.resent, sent - 1);
        QCOMPARE(r.linkFault, ok ? LinkFault::None : LinkFault::GarbledReply);
        QCOMPARE(rig.observer.line(), QStringLiteral("Reading ...") + mark);
    }

    // Every other read reply garbled: each retry that then comes whole casts
    // doubt on the block before, and stepping back never gets ahead. The run
    // gives up after the doubts allowed, not once the unit stops.
    void endlessDoubtGivesUp() {
        Rig rig(64);
        rig.patternMemory();
        for (int k = 1; k < 400; k += 2)
            rig.unit.countByte(k, 9);
        const FunctionResult r = rig.fn.RunFunction(FnRead);
        QCOMPARE(r.linkFault, LinkFault::GarbledReply);
        QCOMPARE(r.resent, 26);
        QCOMPARE(rig.observer.line(), QStringLiteral("Reading ...") + Fault);
    }

    // An acknowledgement of any value counts, and so do two bytes at once;
    // bytes nobody asked for never make a block count twice or leave one
    // unsent, and a late reply is never taken for the next block's.
    void repliesWithinTheProtocol_data() {
        // raw: the first reply-bearing request's answer instead of the
        // unit's own (empty: the unit's); strayUs: a stray byte that long
        // after every reply (-1: none); late: the first block's reply comes
        // after the 100 ms time-out (1), or the last reply comes with a
        // stray 11 ahead of it that looks like its count byte, and its last
        // byte half a millisecond later (-1)
        Columns<int, QByteArray, int, int, QList<int>>("function", "raw", "strayUs", "late",
                                                       "blocks");
        const QList<int> once{0x00, 0x10};
        QTest::newRow("program, acknowledged 06")
            << int(FnProgram) << Bytes({0x06}) << -1 << 0 << once;
        QTest::newRow("program, acknowledged FF")
            << int(FnProgram) << Bytes({0xFF}) << -1 << 0 << once;
        QTest::newRow("program, two bytes at once")
            << int(FnProgram) << Bytes({0xEE, 0x00}) << -1 << 0 << once;
        QTest::newRow("program, a stray 2 ms after each acknowledgement")
            << int(FnProgram) << QByteArray() << 2000 << 0 << QList<int>{0x00, 0x10, 0x00, 0x10};
        QTest::newRow("read, a stray 5 ms after each reply")
            << int(FnRead) << QByteArray() << 5000 << 0 << QList<int>{0x00, 0x10, 0x10, 0x00, 0x10};
        // Each reply comes with a byte behind it: confirmed by coming twice,
        // it casts no doubt on the block before.
        QTest::newRow("read, a stray right behind each reply")
            << int(FnRead) << QByteArray() << 0 << 0 << QList<int>{0x00, 0x00, 0x00, 0x10, 0x10};
        QTest::newRow("read, the first reply late")
            << int(FnRead) << QByteArray() << -1 << 1 << QList<int>{0x00, 0x00, 0x10};
        QTest::newRow("verify, the first reply late")
            << int(FnVerify) << QByteArray() << -1 << 1 << QList<int>{0x00, 0x00, 0x10};
        QTest::newRow("read, the last reply shifted by a stray")
            << int(FnRead) << QByteArray() << -1 << -1 << QList<int>{0x00, 0x10, 0x10};
    }

    void repliesWithinTheProtocol() {
        auto [function, raw, strayUs, late, blocks] = Row<int, QByteArray, int, int, QList<int>>(
            "function", "raw", "strayUs", "late", "blocks");
        Rig rig(32);
        rig.patternMemory();
        for (int i = 0; i < 32; ++i)
            rig.state.Buffer[i] =
                function == FnProgram ? quint8(i * 5) : quint8(rig.unit.memory[i]);
        const QByteArray image = BufferBytes(rig.state, 0, 32);
        if (function == FnProgram)
            rig.unit.memory.fill(char(0xFF));
        if (function == FnRead)
            rig.state.Buffer.fill(0x55);
        if (!raw.isEmpty())
            rig.unit.queueRawReply(raw);
        if (strayUs >= 0) {
            rig.unit.freedom.strayAfter = Bytes({0xEE});
            rig.unit.freedom.strayAfterUs = strayUs;
        }
        if (late > 0)
            rig.unit.lateReply(1, 150);
        if (late < 0) {
            rig.unit.freedom.strayBefore = Bytes({0x11});
            rig.unit.freedom.strayBeforeOnly = 2;
            rig.unit.freedom.pieceBytes = 17;
            rig.unit.freedom.pieceGapUs = 500;
        }
        rig.fn.setOptions({.replies = {100, 3}});

        const FunctionResult r = rig.fn.RunFunction(function);

        QVERIFY2(r.succeeded(), qPrintable(rig.observer.line()));
        QCOMPARE(rig.blockAddresses(function == FnProgram ? "\x14" : "\x04"), blocks);
        QCOMPARE(rig.unit.memory.left(32), image);
        QCOMPARE(BufferBytes(rig.state, 0, 32), image);
        QCOMPARE(r.blocksDone, 2);
        QCOMPARE(r.resent, blocks.size() - 2);
        if (function == FnProgram)
            QCOMPARE(rig.unit.sent.last(), Bytes({0x01, 0x57}));
    }

    void eraseAndLock_data() {
        Columns<int, QByteArray, QString>("code", "frame", "text");
        QTest::newRow("erase") << int(FnErase) << Bytes({0x01, 0x45}) << "Erasing ...";
        QTest::newRow("lock") << int(FnLock) << Bytes({0x01, 0x4C}) << "Locking ...";
    }

    void eraseAndLock() {
        auto [code, frame, text] = Row<int, QByteArray, QString>("code", "frame", "text");
        Rig rig(0); // no device needed
        rig.fn.setPauseMs(1000);

        QVERIFY(rig.fn.RunFunction(code).ran());

        QCOMPARE(rig.unit.sent, QList<QByteArray>{frame});
        // Marked at once, then progress 1..100, then the one pause.
        QStringList expected{QStringLiteral("line 0: ") + text + Ok};
        for (int k = 1; k <= 100; ++k)
            expected << QStringLiteral("progress %1").arg(k);
        QCOMPARE(rig.log.mid(rig.log.indexOf(expected[0])), expected << "pause 1000");
        QCOMPARE(rig.observer.progress.size(), 101);
        QCOMPARE(rig.observer.progress.first(), 0);
    }

    void autoSequences_data() {
        // lostRequest: 0: none; lineCloses: at it, else only its reply is lost
        // notBlankAt: -1: device erased
        // named: the steps as a list named together (varn-cli, a job), not auto.cfg
        Columns<QList<int>, int, bool, int, QStringList, int, bool>(
            "steps", "lostRequest", "lineCloses", "notBlankAt", "lines", "pauses", "named");
        const QString rd = "Reading ...", bl = "Blank Checking ...", er = "Erasing ...",
                      pr = "Programming ...", ve = "Verifying ...", lk = "Locking ...", no;

        QTest::newRow("time-out in step 1 goes on")
            << QList<int>{FnRead, FnBlank} << 1 << false << -1 << QStringList{rd + Fault, bl + Ok}
            << 0 << false;
        QTest::newRow("not blank ends the sequence")
            << QList<int>{FnBlank, FnProgram, FnVerify} << 0 << false << 0x45
            << QStringList{"Device not blank at 0045"} << 0 << false;
        QTest::newRow("eight steps, last three on line 5")
            << QList<int>{FnErase, FnBlank, FnProgram, FnVerify, FnRead, FnLock, FnErase, FnBlank}
            << 0 << false << -1 << QStringList{er + Ok, bl + Ok, pr + Ok, ve + Ok, rd + Ok, bl + Ok}
            << 6 << false;
        QTest::newRow("unknown code writes nothing, next step moves on")
            << QList<int>{9, FnLock} << 0 << false << -1 << QStringList{no, lk + Ok} << 2 << false;
        QTest::newRow("a step naming Auto itself is skipped")
            << QList<int>{FnAuto, FnLock} << 0 << false << -1 << QStringList{no, lk + Ok} << 2
            << false;
        QTest::newRow("line lost in step 1 ends the sequence")
            << QList<int>{FnBlank, FnErase, FnVerify} << 3 << true << -1 << QStringList{bl + Fault}
            << 0 << false;
        // Named together, a step that did not succeed ends the chip: Blank
        // would have taken line 0 after Read's time-out.
        QTest::newRow("named list: time-out in step 1 ends it")
            << QList<int>{FnRead, FnBlank} << 1 << false << -1 << QStringList{rd + Fault} << 0
            << true;
    }

    void autoSequences() {
        auto [steps, lostRequest, lineCloses, notBlankAt, lines, pauses, named] =
            Row<QList<int>, int, bool, int, QStringList, int, bool>(
                "steps", "lostRequest", "lineCloses", "notBlankAt", "lines", "pauses", "named");
        Rig rig(256);
        rig.fn.setPauseMs(1000);
        for (int i = 0; i < 256; ++i)
            rig.state.Buffer[i] = quint8(i ^ 0xA5);
        rig.setAuto(steps);
        if (lineCloses)
            rig.unit.closeFrom(lostRequest);
        else if (lostRequest)
            rig.unit.dropReply(lostRequest);
        if (notBlankAt >= 0)
            rig.unit.memory[notBlankAt] = 0x00;

        QVERIFY(named ? rig.fn.RunSequence(steps, SequenceRule::EndAtFirstFailure).ran()
                      : rig.fn.RunFunction(FnAuto).ran());

        for (int line = 0; line < 6; ++line) // lines not named stay empty
            QCOMPARE(rig.observer.lines.line(line), lines.value(line));
        QCOMPARE(rig.observer.errors, lostRequest ? 1 : 0);
        QVERIFY(rig.observer.refusals.isEmpty());
        QCOMPARE(rig.unit.pauses, QList<int>(pauses, 1000));
        if (notBlankAt >= 0) {
            QVERIFY(!rig.unit.sent.contains(Bytes({0x01, 0x57}))); // no write command went out
            QCOMPARE(rig.observer.last.outcome, Outcome::Mismatch);
        }
    }

    void loadSequence_data() {
        Columns<bool, int, QList<QByteArray>>("identified", "code", "frames");
        const QByteArray run = Bytes({0x01, 0x2B}), reset = Bytes({0x01, 0x2D}),
                         p = Bytes({0x01, 0x50});
        QTest::newRow("identified, code 3")
            << true << 3 << QList<QByteArray>{run, reset, Bytes({0x01, 'c'}), p, p};
        QTest::newRow("identified, code 159")
            << true << 159 << QList<QByteArray>{run, reset, Bytes({0x01, 0xFF}), p, p};
        QTest::newRow("not identified") << false << 3 << QList<QByteArray>{run, reset, p, p};
    }

    void loadSequence() {
        auto [identified, code, frames] =
            Row<bool, int, QList<QByteArray>>("identified", "code", "frames");
        Rig rig(8192, qint16(code));
        rig.state.UnitIdentified = identified;

        rig.fn.LoadSequence();

        QCOMPARE(rig.unit.sent, frames);
        QCOMPARE(rig.unit.pauses, QList<int>({250, 250, 250, 250})); // between the sends
        QCOMPARE(rig.fn.deviceLetter(), 'a' + code - 1);
        QVERIFY(rig.state.unitInReset);
        QCOMPARE(rig.observer.stateChanges, 1);
        QVERIFY(rig.observer.refusals.isEmpty());
        rig.fn.RunFunction(FnErase);
        QCOMPARE(rig.unit.pauses.last(), 1000);
    }

    void refusals_data() {
        // image: the buffer's bytes 0..image-1 are the image; reasonPart empty: runs
        Columns<int, bool, int, int, bool, QString>("size", "open", "index", "image",
                                                    "allowPartial", "reasonPart");
        const QString closed = QStringLiteral("line is gone");
        QTest::newRow("size 8, read") << 8 << true << int(FnRead) << 0 << false << "8 bytes";
        QTest::newRow("too large, verify")
            << 65537 << true << int(FnVerify) << 0 << false << "65537";
        for (const FunctionRow& row : FunctionTable())
            QTest::addRow("closed, %s", row.name)
                << 64 << false << row.code << 0 << false << closed;
        QTest::newRow("no device, read") << 0 << true << int(FnRead) << 0 << false << "No device";
        QTest::newRow("no device, auto with a read")
            << 0 << true << int(FnAuto) << 0 << false << "No device";
        QTest::newRow("erase without device") << 0 << true << int(FnErase) << 0 << false << "";
        // An image the device cannot hold: the functions that use it refuse.
        const QString outside = QStringLiteral("The image holds 17 bytes outside the device "
                                               "(0040-004F, 0100), which is 64 bytes long");
        for (const int code : {FnProgram, FnVerify, FnBlank, FnCompare})
            QTest::addRow("image past the device, %s", qPrintable(FunctionName(code)))
                << 64 << true << code << 0x50 << false << outside;
        for (const int code : {FnRead, FnErase, FnLock, FnAuto})
            QTest::addRow("image past the device, %s", qPrintable(FunctionName(code)))
                << 64 << true << code << 0x50 << false << "";
        QTest::newRow("image past the device, partial allowed")
            << 64 << true << int(FnProgram) << 0x50 << true << "";
        QTest::newRow("image ends at the device's end")
            << 64 << true << int(FnProgram) << 0x40 << false << "";
    }

    void refusals() {
        auto [size, open, index, image, allowPartial, reasonPart] =
            Row<int, bool, int, int, bool, QString>("size", "open", "index", "image",
                                                    "allowPartial", "reasonPart");
        Rig rig(size);
        if (size == 0)
            rig.state.SelectedDevice = 0;
        rig.unit.setOpen(open, QStringLiteral("The line is gone."));
        rig.setAuto({FnErase, FnRead}); // a refused sequence must not have run the erase
        rig.observer.lines.setLine(2, QStringLiteral("earlier result"));
        rig.state.markDefined(0, image);
        if (image > size) // a second range, apart from the first
            rig.state.markDefined(0x100, 0x101);
        rig.fn.setOptions({.replies = {}, .onlyImage = false, .allowPartial = allowPartial});

        const bool ran = rig.fn.RunFunction(index).ran();

        QCOMPARE(ran, reasonPart.isEmpty());
        QCOMPARE(rig.unit.sent.isEmpty(), !ran);
        QCOMPARE(rig.observer.refusals.size(), ran ? 0 : 1);
        if (ran)
            return;
        QVERIFY2(rig.observer.refusals[0].contains(reasonPart, Qt::CaseInsensitive),
                 qPrintable(rig.observer.refusals[0]));
        QCOMPARE(rig.unit.refusedSends, 0);
        QVERIFY(rig.observer.progress.isEmpty());
        QCOMPARE(rig.observer.lines.line(2), QStringLiteral("earlier result"));
    }

    void stopEndsAtBlockBoundary_data() {
        // stopAtPercent: the progress event that raises the flag (before that
        // block goes out); blocks: what went out before the stop.
        Columns<int, int, int, QByteArray>("code", "stopAtPercent", "blocks", "tail");
        QTest::newRow("program") << int(FnProgram) << 50 << 2 << QByteArray("\x01W", 2);
        QTest::newRow("verify") << int(FnVerify) << 25 << 1
                                << QByteArray("\x04\x00\x00\x00\x01", 5);
        QTest::newRow("read") << int(FnRead) << 75 << 3 << QByteArray("\x04\x00\x20\x00\x10", 5);
        QTest::newRow("auto, in its program step")
            << int(FnAuto) << 50 << 2 << QByteArray("\x01W", 2);
    }
    void stopEndsAtBlockBoundary() {
        const auto [code, stopAtPercent, blocks, tail] =
            Row<int, int, int, QByteArray>("code", "stopAtPercent", "blocks", "tail");
        Rig rig(64);
        rig.setAuto({FnErase, FnProgram, FnVerify});
        std::atomic<bool> stop{false};
        rig.fn.setStopFlag(&stop);
        struct Stopper : Recorder {
            std::atomic<bool>* flag = nullptr;
            int at = 0;
            qint32 working = -1; // the block the run said it was at then
            void functionProgress(const FunctionResult& run, int percent) override {
                Recorder::functionProgress(run, percent);
                if (percent == at && run.function != FnErase) {
                    flag->store(true);
                    working = run.workingAt;
                }
            }
        } stopper;
        stopper.flag = &stop;
        stopper.at = stopAtPercent;
        DeviceFunctions fn(rig.state, rig.unit, stopper);
        fn.setStopFlag(&stop);
        fn.setPauseMs(0);
        const FunctionResult result = fn.RunFunction(code);

        QCOMPARE(result.outcome, Outcome::Stopped);
        QCOMPARE(result.stoppedAt, blocks * 16);
        QCOMPARE(stopper.working, blocks * 16);
        QCOMPARE(rig.blockAddresses(code == FnRead || code == FnVerify ? "\x04" : "\x14").size(),
                 blocks);
        // The reply of the last request was awaited and nothing followed it
        // but the close of an opened write.
        QCOMPARE(rig.unit.sent.last(), tail);
        QVERIFY(stopper.line(code == FnAuto ? 1 : 0)
                    .endsWith(QStringLiteral("Stopped at %1").arg(HexWord(blocks * 16))));
        if (code == FnAuto) // no step after the stopped one
            QCOMPARE(result.steps.size(), size_t(2));
        QCOMPARE(result.programSent, code == FnProgram || code == FnAuto);
    }
};

QTEST_GUILESS_MAIN(TestDeviceFunctions)
#include "tst_devicefunctions.moc"
