#include "core/bufferops.h"
#include "editor/bufferhistory.h"
#include "editor/buffersearch.h"

#include <QtTest>
#include <memory>
#include <tuple>

using namespace varn;

namespace {

std::unique_ptr<AppState> StateWithDevice(qint32 size) {
    auto state = std::make_unique<AppState>();
    state->DeviceTable[1] = DeviceEntry{QStringLiteral("TEST"), 1, size};
    state->SelectedDevice = 1;
    for (int i = 0; i < BufferSize; ++i)
        state->Buffer[i] = quint8(i * 13);
    return state;
}

} // namespace

// at: where the test puts the pattern; -1 nowhere; from: where the search starts
using FindCase = std::tuple<QByteArray, int, int, int>;

class tst_BufferLogic : public QObject {
    Q_OBJECT

private slots:
    void parseSearchText_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("pairs with spaces") << "12 ab 3F" << QByteArray("\x12\xAB\x3F");
        QTest::newRow("pairs run together") << "CAFE" << QByteArray("\xCA\xFE");
        QTest::newRow("quoted is text") << "\"CAFE\"" << QByteArray("CAFE");
        QTest::newRow("odd digit count is text") << "ABC" << QByteArray("ABC");
        QTest::newRow("space inside a pair is text") << "1 2" << QByteArray("1 2");
        QTest::newRow("other characters are text") << "Hello" << QByteArray("Hello");
    }
    void parseSearchText() {
        QFETCH(QString, typed);
        QFETCH(QByteArray, bytes);
        QCOMPARE(ParseSearchText(typed), bytes);
    }

    void findInBuffer_data() {
        QTest::addColumn<FindCase>("testCase");
        QTest::newRow("ahead") << FindCase("\x01\x02\x03", 0x40, 0x10, 0x40);
        QTest::newRow("across two rows") << FindCase("\xAA\xBB\xCC\xDD", 0x1E, 0, 0x1E);
        QTest::newRow("at the caret") << FindCase("\x01\x02\x03", 0x40, 0x40, 0x40);
        QTest::newRow("behind: from the start again") << FindCase("\x01\x02", 0x20, 0x21, 0x20);
        QTest::newRow("ends on the last byte") << FindCase("\x05\x06", 0x3FE, 0, 0x3FE);
        QTest::newRow("past the device end") << FindCase("\x05\x06", 0x3FF, 0, -1);
        QTest::newRow("nowhere") << FindCase("\x01\x02\x03", -1, 0, -1);
    }
    void findInBuffer() {
        QFETCH(FindCase, testCase);
        auto [pattern, at, from, found] = testCase;
        auto state = StateWithDevice(0x400);
        state->Buffer.fill(0);
        if (at >= 0)
            std::copy(pattern.begin(), pattern.end(), state->Buffer.begin() + at);
        QCOMPARE(FindInBuffer(*state, pattern, from, state->DeviceSize()), found);
    }

    // Typed digits, fills, loads and reads, undone and redone in any order,
    // give back the very bytes and checksum each step left.
    void undoRedoRestoresBytes() {
        auto state = StateWithDevice(0x400);
        BufferHistory history(*state);
        state->markDefined(0, 0x20);
        QList<std::array<quint8, BufferSize>> after{state->Buffer};
        QList<std::bitset<BufferSize>> defined{state->Defined};
        auto step = [&](BufferHistory::Kind kind, auto change) {
            history.Begin();
            change();
            history.Commit(kind);
            after.append(state->Buffer);
            defined.append(state->Defined);
        };
        using K = BufferHistory::Kind;
        step(K::Edit, [&] { state->Buffer[5] = 0x5A; });
        step(K::Edit, [&] { FillBuffer(*state, 0x100, 0x80, 0xEE); });
        step(K::Replace, [&] { ClearBuffer(*state); });
        step(K::Edit, [&] { state->Buffer[0x3FF] = 0x11, state->Buffer[70000] = 0x22; });
        QCOMPARE(history.Undo(), 0x3FF);
        QVERIFY(state->Buffer == after[3]);
        QCOMPARE(history.Undo(), 0);
        QCOMPARE(history.Undo(), 0x100);
        QVERIFY(state->Buffer == after[1]);
        QVERIFY(state->Defined == defined[1]);
        QCOMPARE(BufferChecksum(*state), [&] {
            quint32 sum = 0;
            for (int i = 0; i < 0x400; ++i)
                sum += after[1][i];
            return quint16(sum);
        }());
        QCOMPARE(history.Redo(), 0x100);
        QCOMPARE(history.Redo(), 0);
        QVERIFY(state->Buffer == after[3]);
        QVERIFY(state->Defined == defined[3]);
        QCOMPARE(history.Undo(), 0);
        QCOMPARE(history.Undo(), 0x100);
        QCOMPARE(history.Undo(), 5);
        QVERIFY(state->Buffer == after[0]);
        QVERIFY(state->Defined == defined[0]);
        QCOMPARE(history.Undo(), -1);
        // A new change drops what could have been redone.
        step(K::Edit, [&] { state->Buffer[7] = 0x77; });
        QCOMPARE(history.Redo(), -1);
        QCOMPARE(history.Undo(), 7);
        QVERIFY(state->Buffer == after[0]);
        // Nothing changed, nothing recorded.
        history.Begin();
        history.Commit(K::Edit);
        QCOMPARE(history.Redo(), 7);
        QCOMPARE(history.Undo(), 7);
        QCOMPARE(history.Undo(), -1);
    }

    // Changed digits are those differing from the last load, Clear or Read,
    // digit by digit, and follow undo.
    void changedDigitsSinceReplace() {
        auto state = StateWithDevice(0x400);
        state->Buffer[0x10] = 0x12;
        BufferHistory history(*state);
        auto edit = [&](BufferHistory::Kind kind, int address, quint8 value) {
            history.Begin();
            state->Buffer[address] = value;
            history.Commit(kind);
        };
        edit(BufferHistory::Kind::Edit, 0x10, 0x1F);
        QVERIFY(!history.HighDigitChanged(0x10) && history.LowDigitChanged(0x10));
        QVERIFY(!history.HighDigitChanged(0x11) && !history.LowDigitChanged(0x11));
        edit(BufferHistory::Kind::Replace, 0x20, 0x00);
        QVERIFY(!history.LowDigitChanged(0x10) && !history.LowDigitChanged(0x20));
        history.Undo();
        QVERIFY(history.LowDigitChanged(0x10));
        history.Undo();
        QVERIFY(!history.LowDigitChanged(0x10));
    }
};

QTEST_GUILESS_MAIN(tst_BufferLogic)
#include "tst_bufferlogic.moc"
