#include "link/scriptedtransport.h"

#include <QTest>

using namespace varn;

namespace {

QByteArray Bytes(std::initializer_list<int> values) {
    QByteArray bytes;
    for (int v : values)
        bytes.append(char(v));
    return bytes;
}

QByteArray ReadBlock(ScriptedTransport& unit, int address) {
    unit.send(Bytes({0x01, 'R'}));
    unit.send(Bytes({0x04, address / 256, address % 256, 0x00, 0x10}));
    return unit.takeAll();
}

} // namespace

// The in-process unit stands in for the real one in the function and
// command-line tests; these cases pin down that it answers like one.
class TestScriptedTransport : public QObject {
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void programErasesAndLocks();
    void faults_data();
    void faults();
    void lateReplyArrivesAfterTheTimeOut();
    void closedLineRefusesFromRequest();
    void rawReplies();
};

void TestScriptedTransport::answers_data() {
    QTest::addColumn<QList<QByteArray>>("frames");
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("identify") << QList<QByteArray>{Bytes({0x01, 'T'})}
                              << QByteArray("\x00VARN\x00"
                                            "21",
                                            8);
    QTest::newRow("read at 0x1FF0")
        << QList<QByteArray>{Bytes({0x01, 'R'}), Bytes({0x04, 0x1F, 0xF0, 0x00, 0x01})}
        << Bytes({17}) + QByteArray(16, char(0xFF));
    QTest::newRow("address frame without R")
        << QList<QByteArray>{Bytes({0x04, 0, 0, 0, 0x10})} << QByteArray();
    for (char c : {'+', '-', 'P', 'W', 'E', 'L', 'c'})
        QTest::newRow(QByteArray("letter ") + c)
            << QList<QByteArray>{Bytes({0x01, c})} << QByteArray();
    QTest::newRow("program block")
        << QList<QByteArray>{Bytes({0x14, 0, 0, 0, 0x10}) + QByteArray(16, 'x')} << Bytes({0x00});
    QTest::newRow("frame of wrong length") << QList<QByteArray>{Bytes({0x02, 'T'})} << QByteArray();
}

void TestScriptedTransport::answers() {
    QFETCH(QList<QByteArray>, frames);
    QFETCH(QByteArray, answer);
    ScriptedTransport unit;
    for (const QByteArray& f : frames)
        QVERIFY(unit.send(f));
    QCOMPARE(unit.Sent, frames);
    QCOMPARE(unit.bytesWaiting(), answer.size());
    QCOMPARE(unit.waitForReply(answer.size()), false);
    QCOMPARE(unit.takeAll(), answer);
    QCOMPARE(unit.bytesWaiting(), 0);
}

void TestScriptedTransport::programErasesAndLocks() {
    ScriptedTransport unit;
    QByteArray data(16, char(0x0F));
    data[0] = char(0xF0);
    unit.send(Bytes({0x14, 0x12, 0x30, 0x00, 0x10}) + data);
    QCOMPARE(unit.takeAll().size(), 1);
    QCOMPARE(unit.Memory.mid(0x1230, 16), data);
    // Programming only clears bits.
    unit.send(Bytes({0x14, 0x12, 0x30, 0x00, 0x10}) + QByteArray(16, char(0x3C)));
    unit.takeAll();
    QCOMPARE(ReadBlock(unit, 0x1230).mid(1, 2), Bytes({0x30, 0x0C}));

    unit.send(Bytes({0x01, 'L'}));
    QCOMPARE(ReadBlock(unit, 0x1230), Bytes({17}) + QByteArray(16, '\0'));
    unit.send(Bytes({0x01, 'E'}));
    QCOMPARE(ReadBlock(unit, 0x1230), Bytes({17}) + QByteArray(16, char(0xFF)));
    QCOMPARE(unit.Requests, 5);
}

void TestScriptedTransport::faults_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("second"); // what the second read brings
    const QByteArray block = Bytes({17}) + QByteArray(16, char(0xFF));
    QTest::newRow("none") << QString() << block;
    QTest::newRow("dropped") << QStringLiteral("drop") << QByteArray();
    QTest::newRow("extra bytes") << QStringLiteral("extra") << block + "ab";
    QTest::newRow("count byte") << QStringLiteral("count") << Bytes({9}) + block.mid(1);
    QTest::newRow("garbage first") << QStringLiteral("garbage") << QByteArray("zz") + block;
}

void TestScriptedTransport::faults() {
    QFETCH(QString, fault);
    QFETCH(QByteArray, second);
    ScriptedTransport unit;
    if (fault == QLatin1String("drop"))
        unit.dropReply(2);
    else if (fault == QLatin1String("extra"))
        unit.extraAfter(2, "ab");
    else if (fault == QLatin1String("count"))
        unit.countByte(2, 9);
    else if (fault == QLatin1String("garbage"))
        unit.garbageBefore(2, "zz");

    QCOMPARE(ReadBlock(unit, 0).size(), 17);
    QCOMPARE(ReadBlock(unit, 16), second);
    QCOMPARE(ReadBlock(unit, 32).size(), 17);
}

void TestScriptedTransport::lateReplyArrivesAfterTheTimeOut() {
    ScriptedTransport unit;
    unit.lateReply(1);
    unit.send(Bytes({0x01, 'T'}));
    QCOMPARE(unit.bytesWaiting(), 0);
    QVERIFY(unit.waitForReply(8, 1000));
    QCOMPARE(unit.Clock, 1000);
    QCOMPARE(unit.TimeOuts, 1);
    QCOMPARE(unit.bytesWaiting(), 8);
    unit.pause(250);
    unit.pause(1000);
    QCOMPARE(unit.Pauses, QList<int>({250, 1000}));
    QCOMPARE(unit.Clock, 2250);
}

void TestScriptedTransport::closedLineRefusesFromRequest() {
    ScriptedTransport unit;
    unit.closeFrom(2);
    QCOMPARE(ReadBlock(unit, 0).size(), 17);
    QVERIFY(unit.isOpen());
    QVERIFY(unit.send(Bytes({0x01, 'R'})));
    QVERIFY(!unit.send(Bytes({0x04, 0, 0x10, 0, 0x10})));
    QVERIFY(!unit.isOpen());
    QVERIFY(!unit.notConnectedReason().isEmpty());
    QVERIFY(!unit.send(Bytes({0x01, 'W'})));
    QCOMPARE(unit.Sent.size(), 3);
    QCOMPARE(unit.RefusedSends, 2);
    QVERIFY(unit.waitForReply(1));
}

void TestScriptedTransport::rawReplies() {
    ScriptedTransport unit;
    unit.queueRawReply("first");
    unit.setRawReplyForAll("always");
    unit.send(Bytes({0x01, 'T'}));
    QCOMPARE(unit.takeAll(), QByteArray("first"));
    QCOMPARE(ReadBlock(unit, 0), QByteArray("always"));
    unit.send(Bytes({0x01, 'P'})); // no reply-bearing request, no answer
    QCOMPARE(unit.takeAll(), QByteArray());
    unit.clearRawReplyForAll();
    unit.send(Bytes({0x01, 'T'}));
    QCOMPARE(unit.takeAll(), unit.Identity);
}

QTEST_GUILESS_MAIN(TestScriptedTransport)
#include "tst_scriptedtransport.moc"
