#include "core/hextext.h"
#include "functions/devicefunctions.h"
#include "link/scriptedtransport.h"

#include <QTest>

using namespace varn;

namespace {

// One log for the observer and the unit so that tests can check the order
// of texts, progress and pauses.
struct EventLog {
    QStringList events;
};

class RecordingObserver : public FunctionObserver {
public:
    explicit RecordingObserver(EventLog& log) : log(log) {}
    void setMessage(int line, const QString& text) override {
        shown[line] = text;
        log.events << QStringLiteral("line %1: %2").arg(line).arg(text);
    }
    void showProgress(int percent) override {
        progress << percent;
        log.events << QStringLiteral("progress %1").arg(percent);
    }
    void communicationError() override {
        ++errors;
        linesAtError << shown[0] + QLatin1Char('|') + shown[1];
        log.events << QStringLiteral("box");
    }
    void refused(const QString& reason) override { refusals << reason; }
    void unitStateChanged() override { ++stateChanges; }

    EventLog& log;
    QString shown[6];
    QList<int> progress;
    int errors = 0;
    QStringList linesAtError;
    QStringList refusals;
    int stateChanges = 0;
};

class LoggingUnit : public ScriptedTransport {
public:
    explicit LoggingUnit(EventLog& log) : log(log) {}
    void pause(int ms) override {
        log.events << QStringLiteral("pause %1").arg(ms);
        ScriptedTransport::pause(ms);
    }
    EventLog& log;
};

struct Rig {
    EventLog log;
    AppState state;
    LoggingUnit unit{log};
    RecordingObserver observer{log};
    DeviceFunctions fn{state, unit, observer};

    explicit Rig(qint32 size = 32, qint16 code = 1) { setDevice(size, code); }
    void setDevice(qint32 size, qint16 code = 1) {
        state.DeviceTable[1] = DeviceEntry{QStringLiteral("Test"), code, size};
        state.DeviceCount = 1;
        state.SelectedDevice = 1;
    }
    // A memory whose bytes all differ from their neighbours and from 0xFF.
    void patternMemory() {
        for (int i = 0; i < unit.Memory.size(); ++i)
            unit.Memory[i] = char((i * 7 + 3) % 251);
    }
    QStringList lines() const {
        QStringList all;
        for (const QString& l : fn.Lines)
            all << l;
        return all;
    }
    // Address frames (the second frame of every read request), in order.
    QList<QByteArray> addressFrames() const {
        QList<QByteArray> frames;
        for (const QByteArray& f : unit.Sent)
            if (f.size() == 5 && f[0] == 0x04)
                frames << f;
        return frames;
    }
};

QByteArray Bytes(std::initializer_list<int> values) {
    QByteArray bytes;
    for (int v : values)
        bytes.append(char(v));
    return bytes;
}

QByteArray BufferBytes(const AppState& state, int from, int count) {
    return QByteArray(reinterpret_cast<const char*>(state.Buffer.data()) + from, count);
}

const QString Ok = QStringLiteral("   OK!");
const QString Fault = QStringLiteral("   Device Fault!");

} // namespace

class TestDeviceFunctions : public QObject {
    Q_OBJECT

private slots:
    void programExchangeIsByteExact();
    void programMissingAcknowledgement();
    void skipBlankBlocks_data();
    void skipBlankBlocks();

    void readRequestsAndProgress_data();
    void readRequestsAndProgress();
    void lastByteOfRequests_data();
    void lastByteOfRequests();
    void oddSizes_data();
    void oddSizes();
    void mismatchReports_data();
    void mismatchReports();
    void countBytes_data();
    void countBytes();
    void staleInputDiscarded_data();
    void staleInputDiscarded();

    void eraseAndLock_data();
    void eraseAndLock();

    void autoSequences_data();
    void autoSequences();
    void lineLostDuringAuto();

    void loadSequence_data();
    void loadSequence();
    void loadSequenceOnClosedLine();

    void refusals_data();
    void refusals();
};

void TestDeviceFunctions::programExchangeIsByteExact() {
    Rig rig(32);
    for (int i = 0; i < 32; ++i)
        rig.state.Buffer[i] = quint8(i * 37 + 1); // includes 0x00 and high values
    rig.state.Buffer[5] = 0x00;
    rig.state.Buffer[20] = 0x01; // frame-length look-alike inside the data

    QVERIFY(rig.fn.RunFunction(FnProgram));

    QByteArray expected = Bytes({0x01, 0x57, 0x14, 0x00, 0x00, 0x00, 0x10});
    expected += BufferBytes(rig.state, 0, 16);
    expected += Bytes({0x14, 0x00, 0x10, 0x00, 0x10});
    expected += BufferBytes(rig.state, 16, 16);
    expected += Bytes({0x01, 0x57});
    QCOMPARE(rig.unit.sentBytes(), expected);
    QCOMPARE(rig.unit.Sent.size(), 4); // each block in one send
    QCOMPARE(rig.unit.Waits, QList<int>({1, 1}));
    QCOMPARE(rig.observer.progress, QList<int>({0, 0, 50, 100}));
    QCOMPARE(rig.fn.Lines[0], QStringLiteral("Programming ...") + Ok);
    QCOMPARE(rig.observer.shown[0], rig.fn.Lines[0]);
    QCOMPARE(rig.unit.Memory.left(32), BufferBytes(rig.state, 0, 32));
    QCOMPARE(rig.observer.errors, 0);
}

void TestDeviceFunctions::programMissingAcknowledgement() {
    Rig rig(64);
    rig.unit.dropReply(2);

    QVERIFY(rig.fn.RunFunction(FnProgram));

    QCOMPARE(rig.unit.Sent.size(), 3); // "W", block 0, block 1; no closing "W"
    QCOMPARE(rig.unit.Sent.last().left(3), Bytes({0x14, 0x00, 0x10}));
    QCOMPARE(rig.observer.errors, 1);
    // The box comes before the line is marked.
    QCOMPARE(rig.observer.linesAtError, QStringList{QStringLiteral("Programming ...|")});
    QCOMPARE(rig.fn.Lines[0], QStringLiteral("Programming ...") + Fault);
    QCOMPARE(rig.observer.progress.last(), 25);
    QVERIFY(rig.fn.CommunicationFailed);
    QVERIFY(!rig.fn.FunctionFailed);
}

void TestDeviceFunctions::skipBlankBlocks_data() {
    QTest::addColumn<bool>("skip");
    QTest::addColumn<QList<int>>("blockAddresses");
    QTest::newRow("all blocks by default") << false << QList<int>{0x00, 0x10, 0x20, 0x30};
    QTest::newRow("erased blocks left out") << true << QList<int>{0x00, 0x20, 0x30};
}

void TestDeviceFunctions::skipBlankBlocks() {
    QFETCH(bool, skip);
    QFETCH(QList<int>, blockAddresses);
    Rig rig(64);
    rig.state.Buffer.fill(0x12);
    for (int i = 16; i < 32; ++i)
        rig.state.Buffer[i] = 0xFF;
    for (int i = 32; i < 48; ++i)
        rig.state.Buffer[i] = 0xFF;
    rig.state.Buffer[47] = 0xFE; // one programmed byte keeps this block

    rig.fn.SkipBlankBlocks = skip;
    rig.fn.RunFunction(FnProgram);

    QList<int> sent;
    for (const QByteArray& f : rig.unit.Sent)
        if (f[0] == 0x14)
            sent << (quint8(f[1]) * 256 + quint8(f[2]));
    QCOMPARE(sent, blockAddresses);
    QCOMPARE(rig.unit.Sent.first(), Bytes({0x01, 0x57}));
    QCOMPARE(rig.unit.Sent.last(), Bytes({0x01, 0x57}));
    QCOMPARE(rig.observer.progress, QList<int>({0, 0, 25, 50, 75, 100}));
    QCOMPARE(rig.fn.Lines[0], QStringLiteral("Programming ...") + Ok);
    QCOMPARE(rig.unit.Memory.left(64), BufferBytes(rig.state, 0, 64));
}

void TestDeviceFunctions::readRequestsAndProgress_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("lastRequest");
    QTest::newRow("8192 bytes") << 8192 << Bytes({0x04, 0x1F, 0xF0, 0x00, 0x10});
    QTest::newRow("65536 bytes") << 65536 << Bytes({0x04, 0xFF, 0xF0, 0x00, 0x10});
    QTest::newRow("32 bytes") << 32 << Bytes({0x04, 0x00, 0x10, 0x00, 0x10});
}

void TestDeviceFunctions::readRequestsAndProgress() {
    QFETCH(int, size);
    QFETCH(QByteArray, lastRequest);
    Rig rig(size);
    rig.patternMemory();
    rig.state.Buffer[size] = 0x5A;

    rig.fn.ReadDevice();

    const auto frames = rig.addressFrames();
    QCOMPARE(frames.size(), size / 16);
    QCOMPARE(frames.last(), lastRequest);
    QCOMPARE(frames.first(), Bytes({0x04, 0x00, 0x00, 0x00, 0x10}));
    // Every address frame follows its own read command.
    QCOMPARE(rig.unit.Sent.size(), 2 * frames.size());
    QCOMPARE(rig.unit.Sent[rig.unit.Sent.size() - 2], Bytes({0x01, 0x52}));
    QCOMPARE(BufferBytes(rig.state, 0, size), rig.unit.Memory.left(size));
    if (size < BufferSize - 1)
        QCOMPARE(rig.state.Buffer[size], quint8(0x5A)); // beyond the device untouched
    QCOMPARE(rig.fn.Lines[0], QStringLiteral("Reading ...") + Ok);
    QCOMPARE(rig.observer.progress.size(), size / 16 + 1);
    QCOMPARE(rig.observer.progress.last(), 100);
    if (size == 8192) {
        QCOMPARE(rig.observer.progress.mid(0, 8), QList<int>({0, 0, 0, 0, 0, 0, 1, 1}));
        QCOMPARE(rig.observer.progress[511], 99);
    }
}

void TestDeviceFunctions::lastByteOfRequests_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("lastByte");
    QTest::newRow("read") << int(FnRead) << 0x10;
    QTest::newRow("verify") << int(FnVerify) << 0x01;
    QTest::newRow("blank") << int(FnBlank) << 0x01;
}

void TestDeviceFunctions::lastByteOfRequests() {
    QFETCH(int, code);
    QFETCH(int, lastByte);
    Rig rig(8192);
    QVERIFY(rig.fn.RunFunction(code));
    const auto frames = rig.addressFrames();
    QCOMPARE(frames.size(), 512);
    for (const QByteArray& f : frames) {
        QCOMPARE(f[3], char(0x00));
        QCOMPARE(int(quint8(f[4])), lastByte);
    }
    QCOMPARE(rig.unit.Waits, QList<int>(512, 17));
    QVERIFY(rig.fn.Lines[0].endsWith(Ok));
}

void TestDeviceFunctions::oddSizes_data() {
    // Sizes that are not a multiple of 16: the last, partial block is still
    // exchanged, so a difference in the device's last byte is found and the
    // progress ends at exactly 100.
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("requests");
    QTest::addColumn<QList<int>>("progress");
    QTest::newRow("9 bytes") << 9 << 1 << QList<int>{0, 100};
    QTest::newRow("24 bytes") << 24 << 2 << QList<int>{0, 50, 100};
    QTest::newRow("40 bytes") << 40 << 3 << QList<int>{0, 33, 66, 100};
    QTest::newRow("56 bytes") << 56 << 4 << QList<int>{0, 25, 50, 75, 100};
}

void TestDeviceFunctions::oddSizes() {
    QFETCH(int, size);
    QFETCH(int, requests);
    QFETCH(QList<int>, progress);
    {
        Rig rig(size);
        rig.fn.VerifyDevice();
        QCOMPARE(rig.addressFrames().size(), requests);
        QCOMPARE(rig.observer.progress, progress);
        QCOMPARE(rig.fn.Lines[0], QStringLiteral("Verifying ...") + Ok);
    }
    Rig rig(size);
    rig.unit.Memory[size - 1] = 0x00;
    rig.fn.VerifyDevice();
    QCOMPARE(rig.fn.Lines[0], QStringLiteral("Verify Error at ") + HexWord(size - 1));
    QVERIFY(rig.fn.FunctionFailed);
}

void TestDeviceFunctions::mismatchReports_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<QList<int>>("deviceDiffers"); // addresses where the unit holds 0x00
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("requests");
    QTest::addColumn<int>("address");
    QTest::newRow("verify, first of two") << int(FnVerify) << QList<int>{0x10, 0x20}
                                          << QStringLiteral("Verify Error at 0010") << 2 << 0x10;
    QTest::newRow("verify, last byte") << int(FnVerify) << QList<int>{0xFF}
                                       << QStringLiteral("Verify Error at 00FF") << 16 << 0xFF;
    QTest::newRow("blank at 0123") << int(FnBlank) << QList<int>{0x123}
                                   << QStringLiteral("Device not blank at 0123") << 19 << 0x123;
    QTest::newRow("blank at 0000")
        << int(FnBlank) << QList<int>{0} << QStringLiteral("Device not blank at 0000") << 1 << 0;
}

void TestDeviceFunctions::mismatchReports() {
    QFETCH(int, code);
    QFETCH(QList<int>, deviceDiffers);
    QFETCH(QString, text);
    QFETCH(int, requests);
    QFETCH(int, address);
    Rig rig(1024);
    // Buffer and device agree (all 0xFF) except where the device holds 0x00.
    for (int a : deviceDiffers)
        rig.unit.Memory[a] = 0x00;

    QVERIFY(rig.fn.RunFunction(code));

    QCOMPARE(rig.fn.Lines[0], text);
    QCOMPARE(rig.observer.shown[0], text);
    QVERIFY(rig.fn.FunctionFailed);
    QCOMPARE(rig.addressFrames().size(), requests);
    QCOMPARE(rig.fn.MismatchAddress, address);
    QCOMPARE(rig.fn.MismatchExpected, 0xFF);
    QCOMPARE(rig.fn.MismatchActual, 0x00);
    QCOMPARE(rig.observer.progress.last(), (requests - 1) * 100 / 64);
    QCOMPARE(rig.observer.errors, 0);
}

void TestDeviceFunctions::countBytes_data() {
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("extra");
    QTest::addColumn<int>("stored"); // device bytes stored from address 0
    QTest::addColumn<int>("beyond"); // Buffer(16) afterwards
    QTest::addColumn<QString>("mark");
    QTest::newRow("0") << 0 << QByteArray() << 0 << 0x55 << Ok;
    QTest::newRow("1") << 1 << QByteArray() << 0 << 0x55 << Ok;
    QTest::newRow("9") << 9 << QByteArray() << 8 << 0x55 << Ok;
    QTest::newRow("17") << 17 << QByteArray() << 16 << 0x55 << Ok;
    QTest::newRow("18, block short") << 18 << QByteArray() << 16 << 0x55 << Fault;
    QTest::newRow("18, one more byte came") << 18 << Bytes({0x77}) << 16 << 0x77 << Ok;
    QTest::newRow("255") << 255 << QByteArray() << 16 << 0x55 << Fault;
}

void TestDeviceFunctions::countBytes() {
    QFETCH(int, count);
    QFETCH(QByteArray, extra);
    QFETCH(int, stored);
    QFETCH(int, beyond);
    QFETCH(QString, mark);
    Rig rig(16);
    rig.patternMemory();
    rig.state.Buffer.fill(0x55);
    rig.unit.countByte(1, quint8(count));
    if (!extra.isEmpty())
        rig.unit.extraAfter(1, extra);

    rig.fn.ReadDevice();

    QByteArray expected(16, char(0x55));
    for (int i = 0; i < stored; ++i)
        expected[i] = rig.unit.Memory[i];
    QCOMPARE(BufferBytes(rig.state, 0, 16), expected);
    QCOMPARE(int(rig.state.Buffer[16]), beyond);
    QCOMPARE(rig.fn.Lines[0], QStringLiteral("Reading ...") + mark);
    QCOMPARE(rig.observer.errors, mark == Fault ? 1 : 0);
}

void TestDeviceFunctions::staleInputDiscarded_data() {
    QTest::addColumn<bool>("late");
    QTest::newRow("late reply of an earlier read") << true;
    QTest::newRow("bytes nobody asked for") << false;
}

void TestDeviceFunctions::staleInputDiscarded() {
    QFETCH(bool, late);
    Rig rig(32);
    rig.patternMemory();
    // A reply that looks like a whole block of zeros.
    const QByteArray zeros = Bytes({17}) + QByteArray(16, '\0');
    if (late) {
        rig.unit.queueRawReply(zeros);
        rig.unit.lateReply(1);
        rig.fn.ReadDevice();
        QCOMPARE(rig.fn.Lines[0], QStringLiteral("Reading ...") + Fault);
        QCOMPARE(rig.unit.bytesWaiting(), 17); // it came after all
    } else {
        rig.unit.inject(zeros);
    }

    rig.fn.ReadDevice();
    QCOMPARE(rig.fn.Lines[0], QStringLiteral("Reading ...") + Ok);
    QCOMPARE(BufferBytes(rig.state, 0, 32), rig.unit.Memory.left(32));

    rig.unit.inject(zeros);
    rig.fn.VerifyDevice();
    QCOMPARE(rig.fn.Lines[0], QStringLiteral("Verifying ...") + Ok);
}

void TestDeviceFunctions::eraseAndLock_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("text");
    QTest::newRow("erase") << int(FnErase) << Bytes({0x01, 0x45}) << QStringLiteral("Erasing ...");
    QTest::newRow("lock") << int(FnLock) << Bytes({0x01, 0x4C}) << QStringLiteral("Locking ...");
}

void TestDeviceFunctions::eraseAndLock() {
    QFETCH(int, code);
    QFETCH(QByteArray, frame);
    QFETCH(QString, text);
    Rig rig(0); // no device needed
    rig.fn.PauseMs = 1000;

    QVERIFY(rig.fn.RunFunction(code));

    QCOMPARE(rig.unit.Sent, QList<QByteArray>{frame});
    QCOMPARE(rig.fn.Lines[0], text + Ok);
    QList<int> expectedProgress{0};
    for (int k = 1; k <= 100; ++k)
        expectedProgress << k;
    QCOMPARE(rig.observer.progress, expectedProgress);
    QCOMPARE(rig.unit.Pauses, QList<int>{1000});
    // Marked at once, then the hundred steps, then the one pause.
    const QStringList& ev = rig.log.events;
    const int marked = ev.indexOf(QStringLiteral("line 0: ") + text + Ok);
    QVERIFY(marked >= 0);
    QCOMPARE(ev.indexOf(QStringLiteral("progress 1")), marked + 1);
    QCOMPARE(ev.indexOf(QStringLiteral("pause 1000")), marked + 101);
    QCOMPARE(ev.size(), marked + 102);
}

void TestDeviceFunctions::autoSequences_data() {
    QTest::addColumn<QList<int>>("steps");
    QTest::addColumn<int>("dropRequest"); // 0: none
    QTest::addColumn<int>("notBlankAt");  // -1: device erased
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<int>("errors");
    QTest::addColumn<int>("pauses");

    const QString rd = QStringLiteral("Reading ...");
    const QString bl = QStringLiteral("Blank Checking ...");
    const QString er = QStringLiteral("Erasing ...");
    const QString pr = QStringLiteral("Programming ...");
    const QString ve = QStringLiteral("Verifying ...");
    const QString lk = QStringLiteral("Locking ...");
    const QString none;

    QTest::newRow("no steps") << QList<int>{} << 0 << -1
                              << QStringList{none, none, none, none, none, none} << 0 << 0;
    QTest::newRow("time-out in step 1 goes on")
        << QList<int>{FnRead, FnBlank} << 1 << -1
        << QStringList{rd + Fault, bl + Ok, none, none, none, none} << 1 << 0;
    QTest::newRow("not blank ends the sequence")
        << QList<int>{FnBlank, FnProgram, FnVerify} << 0 << 0x45
        << QStringList{QStringLiteral("Device not blank at 0045"), none, none, none, none, none}
        << 0 << 0;
    QTest::newRow("eight steps, last three on line 5")
        << QList<int>{FnErase, FnBlank, FnProgram, FnVerify, FnRead, FnLock, FnErase, FnBlank} << 0
        << -1 << QStringList{er + Ok, bl + Ok, pr + Ok, ve + Ok, rd + Ok, bl + Ok} << 0 << 6;
    QTest::newRow("unknown code writes nothing, next step moves on")
        << QList<int>{9, FnLock} << 0 << -1 << QStringList{none, lk + Ok, none, none, none, none}
        << 0 << 2;
}

void TestDeviceFunctions::autoSequences() {
    QFETCH(QList<int>, steps);
    QFETCH(int, dropRequest);
    QFETCH(int, notBlankAt);
    QFETCH(QStringList, lines);
    QFETCH(int, errors);
    QFETCH(int, pauses);
    Rig rig(256);
    rig.fn.PauseMs = 1000;
    for (int i = 0; i < 256; ++i)
        rig.state.Buffer[i] = quint8(i ^ 0xA5);
    rig.state.AutoCount = qint16(steps.size());
    for (int i = 0; i < steps.size(); ++i)
        rig.state.AutoList[i + 1] = qint16(steps[i]);
    if (dropRequest)
        rig.unit.dropReply(dropRequest);
    if (notBlankAt >= 0)
        rig.unit.Memory[notBlankAt] = 0x00;

    QVERIFY(rig.fn.RunFunction(FnAuto));

    QCOMPARE(rig.lines(), lines);
    for (int line = 0; line < 6; ++line)
        QCOMPARE(rig.observer.shown[line], lines[line]);
    QCOMPARE(rig.observer.errors, errors);
    QCOMPARE(rig.unit.Pauses, QList<int>(pauses, 1000));
    if (steps.isEmpty())
        QVERIFY(rig.unit.Sent.isEmpty());
    if (notBlankAt >= 0) {
        // Nothing after the blank check: no write command went out.
        QVERIFY(!rig.unit.Sent.contains(Bytes({0x01, 0x57})));
        QVERIFY(rig.fn.FunctionFailed);
    }
}

void TestDeviceFunctions::lineLostDuringAuto() {
    Rig rig(64);
    rig.state.AutoCount = 3;
    rig.state.AutoList[1] = FnBlank;
    rig.state.AutoList[2] = FnErase;
    rig.state.AutoList[3] = FnVerify;
    rig.unit.closeFrom(3);

    rig.fn.RunFunction(FnAuto);

    QCOMPARE(rig.fn.Lines[0], QStringLiteral("Blank Checking ...") + Fault);
    QCOMPARE(rig.fn.Lines[1], QString());
    QCOMPARE(rig.observer.errors, 1);
    QVERIFY(rig.observer.refusals.isEmpty());
    QCOMPARE(rig.addressFrames().size(), 2);
}

void TestDeviceFunctions::loadSequence_data() {
    QTest::addColumn<bool>("identified");
    QTest::addColumn<int>("code");
    QTest::addColumn<QList<QByteArray>>("frames");
    const QByteArray run = Bytes({0x01, 0x2B}), reset = Bytes({0x01, 0x2D}),
                     p = Bytes({0x01, 0x50});
    QTest::newRow("identified, code 3")
        << true << 3 << QList<QByteArray>{run, reset, Bytes({0x01, 'c'}), p, p};
    QTest::newRow("identified, no device")
        << true << 0 << QList<QByteArray>{run, reset, Bytes({0x01, 96}), p, p};
    QTest::newRow("identified, code 159")
        << true << 159 << QList<QByteArray>{run, reset, Bytes({0x01, 0xFF}), p, p};
    QTest::newRow("not identified") << false << 3 << QList<QByteArray>{run, reset, p, p};
}

void TestDeviceFunctions::loadSequence() {
    QFETCH(bool, identified);
    QFETCH(int, code);
    QFETCH(QList<QByteArray>, frames);
    Rig rig(8192, qint16(code));
    rig.state.UnitIdentified = identified;

    rig.fn.LoadSequence();

    QCOMPARE(rig.unit.Sent, frames);
    QCOMPARE(rig.unit.Pauses, QList<int>({250, 250, 250, 250}));
    QCOMPARE(rig.fn.PauseMs, 1000);
    QCOMPARE(rig.fn.DeviceLetter, 'a' + code - 1);
    QVERIFY(rig.state.UnitInReset);
    QCOMPARE(rig.observer.stateChanges, 1);
    QVERIFY(rig.observer.refusals.isEmpty());
    // The last "P" is not followed by a pause; pauses sit between the sends.
    const QStringList& ev = rig.log.events;
    QCOMPARE(ev.count(QStringLiteral("pause 250")), 4);

    rig.fn.EraseDevice();
    QCOMPARE(rig.unit.Pauses.last(), 1000);
}

void TestDeviceFunctions::loadSequenceOnClosedLine() {
    Rig rig(8192, 2);
    rig.state.UnitIdentified = true;
    rig.unit.setOpen(false, QStringLiteral("COM1 is not open."));

    rig.fn.LoadSequence();

    QVERIFY(rig.unit.Sent.isEmpty());
    QCOMPARE(rig.unit.RefusedSends, 0);
    QCOMPARE(rig.observer.refusals, QStringList{QStringLiteral("COM1 is not open.")});
    QVERIFY(!rig.state.UnitInReset);
    QCOMPARE(rig.fn.PauseMs, 1000);
}

void TestDeviceFunctions::refusals_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("open");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("reasonPart"); // empty: runs
    const QString closed = QStringLiteral("line is gone");
    for (int index : {int(FnRead), int(FnBlank), int(FnProgram), int(FnVerify)}) {
        const QByteArray tag = QByteArray::number(index);
        QTest::newRow("size 8, " + tag) << 8 << true << index << QStringLiteral("8 bytes");
        QTest::newRow("too large, " + tag) << 65537 << true << index << QStringLiteral("65537");
        QTest::newRow("closed, " + tag) << 64 << false << index << closed;
    }
    QTest::newRow("no device, read") << 0 << true << int(FnRead) << QStringLiteral("No device");
    QTest::newRow("erase without device") << 0 << true << int(FnErase) << QString();
    QTest::newRow("lock without device") << 0 << true << int(FnLock) << QString();
    QTest::newRow("erase, closed") << 0 << false << int(FnErase) << closed;
    QTest::newRow("lock, closed") << 0 << false << int(FnLock) << closed;
    QTest::newRow("9 bytes runs") << 9 << true << int(FnRead) << QString();
    QTest::newRow("65536 bytes runs") << 65536 << true << int(FnBlank) << QString();
    QTest::newRow("auto with a read, no device")
        << 0 << true << int(FnAuto) << QStringLiteral("No device");
    QTest::newRow("auto, closed") << 64 << false << int(FnAuto) << closed;
}

void TestDeviceFunctions::refusals() {
    QFETCH(int, size);
    QFETCH(bool, open);
    QFETCH(int, index);
    QFETCH(QString, reasonPart);
    Rig rig(size);
    if (size == 0)
        rig.state.SelectedDevice = 0;
    rig.unit.setOpen(open, QStringLiteral("The line is gone."));
    // An erase first: a refused sequence must not have run it.
    rig.state.AutoCount = 2;
    rig.state.AutoList[1] = FnErase;
    rig.state.AutoList[2] = FnRead;
    rig.fn.Lines[2] = QStringLiteral("earlier result");

    const bool ran = rig.fn.RunFunction(index);

    if (reasonPart.isEmpty()) {
        QVERIFY(ran);
        QVERIFY(rig.observer.refusals.isEmpty());
        QVERIFY(!rig.unit.Sent.isEmpty());
        return;
    }
    QVERIFY(!ran);
    QCOMPARE(rig.observer.refusals.size(), 1);
    QVERIFY2(rig.observer.refusals[0].contains(reasonPart, Qt::CaseInsensitive),
             qPrintable(rig.observer.refusals[0]));
    QVERIFY(rig.unit.Sent.isEmpty());
    QCOMPARE(rig.unit.RefusedSends, 0);
    QVERIFY(rig.observer.progress.isEmpty());
    QCOMPARE(rig.fn.Lines[2], QStringLiteral("earlier result"));
}

QTEST_GUILESS_MAIN(TestDeviceFunctions)
#include "tst_devicefunctions.moc"
