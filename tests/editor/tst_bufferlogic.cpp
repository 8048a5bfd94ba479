#include "core/bufferops.h"
#include "editor/bufferhistory.h"
#include "editor/buffersearch.h"
#include "editor/clipboardtext.h"
#include "editor/imagemodel.h"
#include "editor/memorymap.h"

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
        QList<std::bitset<BufferSize>> defined{state->defined};
        auto step = [&](BufferHistory::Kind kind, auto change) {
            history.Begin();
            change();
            history.Commit(kind);
            after.append(state->Buffer);
            defined.append(state->defined);
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
        QVERIFY(state->defined == defined[1]);
        QCOMPARE(BufferChecksum(*state), [&] {
            quint32 sum = 0;
            for (int i = 0; i < 0x400; ++i)
                sum += after[1][i];
            return quint16(sum);
        }());
        QCOMPARE(history.Redo(), 0x100);
        QCOMPARE(history.Redo(), 0);
        QVERIFY(state->Buffer == after[3]);
        QVERIFY(state->defined == defined[3]);
        QCOMPARE(history.Undo(), 0);
        QCOMPARE(history.Undo(), 0x100);
        QCOMPARE(history.Undo(), 5);
        QVERIFY(state->Buffer == after[0]);
        QVERIFY(state->defined == defined[0]);
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

    // What each change of the image tells the windows (the range touched, or a
    // reset for a replaced image), and when it counts as unsaved.
    void imageModelSignals() {
        auto state = StateWithDevice(0x400);
        ImageModel model(*state);
        QList<QList<int>> seen; // begin, end; -1 -1: reset; -2 m: modified is m
        connect(&model, &ImageModel::contentsChanged, [&](qint32 b, qint32 e) {
            seen << QList<int>{b, e};
        });
        connect(&model, &ImageModel::reset, [&] { seen << QList<int>{-1, -1}; });
        connect(&model, &ImageModel::modifiedChanged, [&](bool m) { seen << QList<int>{-2, m}; });
        using K = ImageModel::Kind;
        model.SetByte(0x10, 0x00);
        model.SetByte(0x10, 0x01); // defined already: the byte alone
        QVERIFY(model.Fill(0x100, 0x20, 0xEE));
        QCOMPARE(model.Undo(), 0x100);
        model.MarkSaved();
        QCOMPARE(model.Redo(), 0x100);
        QCOMPARE(model.Undo(), 0x100);
        // A reload inside the function window's step shows at once; both are one step.
        model.Begin();
        model.Edit(K::Replace, [](AppState& image) { image.Buffer[5] = 0x55; });
        model.Commit(K::Edit);
        QCOMPARE(model.Undo(), 5);
        QCOMPARE(int(state->Buffer[5]), 5 * 13);
        const QList<QList<int>> expected{{0x10, 0x11},    {-2, 1}, {0x10, 0x11},   {0x100, 0x120},
                                         {0x100, 0x120},  {-2, 0}, {0x100, 0x120}, {-2, 1},
                                         {0x100, 0x120},  {-2, 0}, {-1, -1},       {-1, -1},
                                         {0, BufferSize}, {-2, 1}};
        QCOMPARE(seen, expected);
        model.SetFile(QStringLiteral("a.hex"), FileFormat::IntelHex);
        AppState read = *state;
        read.Buffer[7] = 0x77;
        read.markDefined(0, 0x400);
        model.StoreRead(read.Buffer, read.defined);
        QVERIFY(model.FilePath().isEmpty() && !model.IsModified());
        QVERIFY(state->Buffer == read.Buffer && state->defined == read.defined);
    }

    // The memory map's cells from a buffer, its defined marks, a difference
    // list, a per-chip field and the block being worked on; a partial last
    // block is a cell of its own.
    void memoryMapCells() {
        AppState image;
        image.DeviceTable[1] = DeviceEntry{QStringLiteral("T"), 1, 0x85};
        image.SelectedDevice = 1;
        FillBuffer(image, 0x20, 2, 0x12); // block 2: image (a fill defines)
        image.Buffer[0x50] = 0x00;        // block 5: not from the image
        FillBuffer(image, 0x84, 1, 0xFF); // block 8, partial: image even though FF
        DifferenceReport report;
        report.count = 2;
        report.ranges.push_back({0x40, 0x41, 2, {}, {}});
        MemoryMap map;
        map.SetDeviceSize(image.DeviceSize());
        map.SetDifferences(report, QStringLiteral("device"));
        map.SetPerChipFields({{0x5E, 0x61}}); // ends in block 6
        map.SetWorking(0x75);
        using S = MemoryMap::Shade;
        const std::vector<S> cells = map.Cells(image);
        QCOMPARE(cells, (std::vector<S>{S::Blank, S::Blank, S::Image, S::Blank, S::Differs,
                                        S::PerChip, S::PerChip, S::Working, S::Image}));
        QCOMPARE(map.ToolTip(image, 4),
                 QStringLiteral("0040-004F: differs, 0 of 16 bytes defined by the image, 16 FF, "
                                "2 in a range that differs from the device"));
        QCOMPARE(map.ToolTip(image, 8),
                 QStringLiteral("0080-0084: image, 1 of 5 bytes defined by the image, 5 FF"));
        map.SetDifferences({}, QString());
        QCOMPARE(map.CellShade(image, 4), S::Blank);
    }

    // The clipboard texts of a selection, and what a paste accepts.
    void clipboardText() {
        QByteArray bytes;
        for (int i = 0; i < 17; ++i)
            bytes.append(char(0xF0 + i));
        QCOMPARE(HexClipText(bytes.left(3)), QStringLiteral("F0 F1 F2"));
        QCOMPARE(HexClipText(bytes).section('\n', 1), QStringLiteral("00"));
        const QString array = CArrayClipText(bytes.left(13), 0x100);
        QCOMPARE(array, QStringLiteral("const unsigned char image_0100[13] = {\n"
                                       "    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, "
                                       "0xF9, 0xFA, 0xFB,\n    0xFC,\n};\n"));
        QCOMPARE(ParseHexClip(array), std::optional<QByteArray>(bytes.left(13)));
        QCOMPARE(ParseHexClip(HexClipText(bytes)), std::optional<QByteArray>(bytes));
        const QByteArray three("\x12\xAB\x3F");
        for (const char* text : {"12AB3F", "12 ab 3f", "0x12, 0xAB,0x3F", " 12\tAB\r\n3F\n"})
            QCOMPARE(ParseHexClip(QString::fromLatin1(text)), std::optional<QByteArray>(three));
        for (const char* text : {"", "ABC", "12 G4", "hello", "{ 12, 34"})
            QVERIFY2(!ParseHexClip(QString::fromLatin1(text)), text);
    }
};

QTEST_GUILESS_MAIN(tst_BufferLogic)
#include "tst_bufferlogic.moc"
