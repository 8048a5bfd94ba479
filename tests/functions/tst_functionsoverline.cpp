// The device functions over a real pseudo-terminal, through the serial link,
// against the virtual unit: what the function window does with a real unit.

#include "core/appstate.h"
#include "core/hextext.h"
#include "functions/devicefunctions.h"
#include "functions/functiontext.h"
#include "link/seriallink.h"
#include "link/unitcommands.h"

#include "support/virtualunit.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTest>

using namespace varn;
using varn::test::VirtualUnit;

namespace {

class Lines : public FunctionObserver {
public:
    void functionStarted(const FunctionResult& run) override { shown.started(run); }
    void functionProgress(const FunctionResult&, int percent) override { last = percent; }
    void functionFinished(const FunctionResult& result) override {
        errors += result.outcome == Outcome::CommunicationFailure ? 1 : 0;
        shown.finished(result);
    }
    void refused(const QString& reason) override { refusals << reason; }

    FunctionLines shown;
    int last = -1;
    int errors = 0;
    QStringList refusals;
};

QString DeviceTable(const QString& dir) {
    const QString path = dir + QStringLiteral("/varn.dev");
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write("\"SMALL 1K\",1,1024\r\n\"EPROM 64K\",2,65536\r\n");
    return path;
}

} // namespace

class TestFunctionsOverLine : public QObject {
    Q_OBJECT
private slots:
    void programVerifyAndReadBackWholeDevice();
    void loadSequenceSelectsTheDevice_data();
    void loadSequenceSelectsTheDevice();
};

void TestFunctionsOverLine::programVerifyAndReadBackWholeDevice() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    VirtualUnit unit({QStringLiteral("--dev"), DeviceTable(dir.path())});
    QVERIFY2(unit.start(), qPrintable(unit.error()));

    AppState state;
    state.DeviceTable[2] = DeviceEntry{QStringLiteral("EPROM 64K"), 2, 65536};
    state.DeviceCount = 2;
    state.SelectedDevice = 2;
    SerialLink link;
    QVERIFY(link.openPath(unit.path(), QStringLiteral("COM1")).ok);
    QVERIFY(IdentifyUnit(state, link).ok);

    // Every byte value, in no particular order, all over the device.
    QByteArray image(65536, '\0');
    QRandomGenerator random(7);
    for (int i = 0; i < image.size(); ++i) {
        image[i] = char(random.bounded(256));
        state.Buffer[i] = quint8(image[i]);
    }

    Lines lines;
    DeviceFunctions fn(state, link, lines);
    fn.setPauseMs(1); // the load sequence's pauses are not under test here
    fn.LoadSequence();
    QVERIFY(fn.RunFunction(FnProgram).ran());
    QCOMPARE(lines.shown.line(0), QStringLiteral("Programming ...   OK!"));
    QCOMPARE(lines.last, 100);

    QCOMPARE(fn.RunFunction(FnVerify).outcome, Outcome::Success);
    QCOMPARE(lines.shown.line(0), QStringLiteral("Verifying ...   OK!"));

    // A byte near the end that the device does not hold.
    state.Buffer[0xFFF3] ^= 0x01;
    QCOMPARE(fn.RunFunction(FnVerify).outcome, Outcome::Mismatch);
    QCOMPARE(lines.shown.line(0), QStringLiteral("Verify Error at FFF3"));

    // Read into a cleared buffer brings the image back; past the device the
    // buffer keeps its 0xFF.
    state.Buffer.fill(0xFF);
    QVERIFY(fn.RunFunction(FnRead).ran());
    QCOMPARE(lines.shown.line(0), QStringLiteral("Reading ...   OK!"));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(state.Buffer.data()), 65536), image);
    QCOMPARE(state.Buffer[65536], quint8(0xFF));
    QCOMPARE(state.Buffer[BufferLast], quint8(0xFF));
    QCOMPARE(lines.errors, 0);
    QVERIFY(lines.refusals.isEmpty());

    // 4,096 program blocks between two "W", then 4,096 requests per read.
    const QList<QByteArray> frames = unit.frames();
    // Identification, the five load frames, Program, two Verifies, one Read.
    QCOMPARE(frames.size(), 1 + 5 + (1 + 4096 + 1) + 3 * 2 * 4096);
    const QByteArray lastRead = frames.last();
    QCOMPARE(lastRead, QByteArray("\x04\xFF\xF0\x00\x10", 5));
}

void TestFunctionsOverLine::loadSequenceSelectsTheDevice_data() {
    QTest::addColumn<bool>("identified");
    QTest::newRow("identified unit") << true;
    QTest::newRow("unit not identified") << false;
}

void TestFunctionsOverLine::loadSequenceSelectsTheDevice() {
    QFETCH(bool, identified);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    VirtualUnit unit({QStringLiteral("--dev"), DeviceTable(dir.path())});
    QVERIFY2(unit.start(), qPrintable(unit.error()));

    AppState state;
    state.DeviceTable[1] = DeviceEntry{QStringLiteral("SMALL 1K"), 1, 1024};
    state.DeviceCount = 1;
    state.SelectedDevice = 1;
    state.UnitIdentified = identified;
    SerialLink link;
    QVERIFY(link.openPath(unit.path(), QStringLiteral("COM1")).ok);
    Lines lines;
    DeviceFunctions fn(state, link, lines);
    fn.setPauseMs(1);
    fn.LoadSequence();
    QVERIFY(state.UnitInReset);
    QVERIFY(unit.waitForFrames(identified ? 5 : 4));

    QList<QByteArray> expected{CommandFrame('+'), CommandFrame('-')};
    if (identified)
        expected << CommandFrame('a');
    expected << CommandFrame('P') << CommandFrame('P');
    QCOMPARE(unit.frames(), expected);
}

QTEST_GUILESS_MAIN(TestFunctionsOverLine)
#include "tst_functionsoverline.moc"
