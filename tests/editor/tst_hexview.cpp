#include "core/hextext.h"
#include "editor/hexview.h"
#include "editor/imagemodel.h"

#include "support/rows.h"

#include <QtTest>
#include <memory>
#include <tuple>

using namespace varn;
using varn::test::Columns;
using varn::test::Row;

namespace {

std::unique_ptr<AppState> StateWithDevice(qint32 size) {
    auto state = std::make_unique<AppState>();
    state->DeviceCount = 1;
    state->DeviceTable[1] = DeviceEntry{QStringLiteral("TEST"), 1, size};
    state->SelectedDevice = 1;
    return state;
}

// The row at base as the reader expects it, built independently of the view.
QString ExpectedRow(const AppState& state, int base) {
    QString row = QStringLiteral("%1=").arg(base, 4, 16, QLatin1Char('0')).toUpper(), chars;
    for (int k = 0; k < 16; ++k) {
        const int b = state.Buffer[base + k];
        row += QStringLiteral("%1 ").arg(b, 2, 16, QLatin1Char('0')).toUpper();
        chars += (b >= 32 && b <= 127) ? QChar(b) : QChar(u'.');
    }
    return row + chars + QStringLiteral("\r\n");
}

// Position of the high (or low) digit of byte k of shown row r.
int P(int row, int byte, bool low = false) {
    return 70 + 71 * row + 3 * byte + (low ? 1 : 0);
}

// The address of the byte under the caret at pos with row top on top.
int AddressAt(int top, int pos) {
    return (top + (pos - 65) / 71) * 16 + ((pos - 65) % 71 - 5) / 3;
}

const QString Header =
    QStringLiteral("ADDR                       HEX                            ASCII\r\n");

// keys: L/U/R/D arrows, H Home, E End, P PageUp, N PageDown; lower case h/e
// with control.
void Press(HexView& view, const QString& keys) {
    static const QHash<QChar, int> code{
        {u'L', Qt::Key_Left}, {u'U', Qt::Key_Up},  {u'R', Qt::Key_Right},  {u'D', Qt::Key_Down},
        {u'H', Qt::Key_Home}, {u'E', Qt::Key_End}, {u'P', Qt::Key_PageUp}, {u'N', Qt::Key_PageDown},
        {u'h', Qt::Key_Home}, {u'e', Qt::Key_End}};
    for (QChar key : keys)
        view.KeyDown(code.value(key), key.isLower());
}

} // namespace

using KeyCase = std::tuple<int, int, int, QString, int, int, QString>;

using TypingCase = std::tuple<int, int, int, QString, int, int, int, int>;

// endTop: -1: refused, nothing moves
using GoToCase = std::tuple<int, int, int, int>;

using ScrollCase = std::tuple<int, int>;

using WheelCase = std::tuple<int, QList<int>, int>;

class tst_HexView : public QObject {
    Q_OBJECT

private slots:
    void scrollMaximum_data() {
        QTest::addColumn<ScrollCase>("testCase");
        QTest::newRow("65536") << ScrollCase(65536, 4080);
        QTest::newRow("128") << ScrollCase(128, 0);
        QTest::newRow("half row counts as a row") << ScrollCase(10248, 625);
        QTest::newRow("beyond 64K held at the last row") << ScrollCase(70000, 4080);
    }

    void scrollMaximum() {
        QFETCH(ScrollCase, testCase);
        auto [size, maximum] = testCase;
        auto state = StateWithDevice(size);
        HexView view(*state);
        QCOMPARE(view.ScrollMaximum(), maximum);
        view.SetTopLine(maximum + 5);
        QCOMPARE(view.TopLine(), maximum);
        view.SetTopLine(-3);
        QCOMPARE(view.TopLine(), 0);
    }

    // Rows at any top line, every byte value shown; a scroll or a redraw
    // keeps the top row and sends the caret back to its first digit.
    void textAndScroll() {
        auto state = StateWithDevice(65536);
        for (int i = 0; i < 65536; ++i)
            state->Buffer[i] = static_cast<quint8>(i * 7);
        HexView view(*state);
        view.KeyDown(Qt::Key_Down);
        view.SetTopLine(0x270);
        QCOMPARE(view.CaretPos(), 70);
        QCOMPARE(view.AddressText(), QStringLiteral("2700"));
        QCOMPARE(view.Text().size(), 1201);
        QCOMPARE(view.Text().left(65), Header);
        for (int r = 0; r < 16; ++r)
            QCOMPARE(view.Text().mid(65 + 71 * r, 71), ExpectedRow(*state, 0x2700 + 16 * r));
        view.KeyDown(Qt::Key_Down);
        state->Buffer[0x2700] = 0x00;
        view.UpdateBuffer();
        QCOMPARE(view.TopLine(), 0x270);
        QCOMPARE(view.CaretPos(), 70);
        QCOMPARE(view.Text().mid(70, 2), QStringLiteral("00"));
    }

    void keys_data() {
        QTest::addColumn<KeyCase>("testCase");
        QTest::newRow("up at top, row 0") << KeyCase(1024, 0, 73, "U", 73, 0, "0001");
        QTest::newRow("left at top scrolls") << KeyCase(1024, 5, 70, "L", 116, 4, "004F");
        QTest::newRow("left wraps") << KeyCase(1024, 0, P(1, 0), "L", 116, 0, "000F");
        QTest::newRow("right wraps") << KeyCase(1024, 0, 116, "R", P(1, 0), 0, "0010");
        QTest::newRow("right at bottom scrolls")
            << KeyCase(1024, 0, P(15, 15, 1), "R", 1135, 1, "0100");
        QTest::newRow("down at bottom scrolls")
            << KeyCase(1024, 0, P(15, 1), "D", P(15, 1), 1, "0101");
        QTest::newRow("right at device end")
            << KeyCase(1024, 48, P(15, 15, 1), "R", P(15, 15, 1), 48, "03FF");
        QTest::newRow("10248: partial last row reached")
            << KeyCase(10248, 624, P(15, 15, 1), QString(33, u'R'), P(15, 15, 1), 625, "280F");
        QTest::newRow("10264: down below the end")
            << KeyCase(10264, 625, P(15, 9), "D", P(15, 9), 625, "2809");
        QTest::newRow("10264: down inside the device")
            << KeyCase(10264, 625, P(15, 7), "D", P(15, 7), 626, "2817");
        QTest::newRow("home") << KeyCase(1024, 3, P(4, 5, 1), "H", P(4, 0), 3, "0070");
        QTest::newRow("end") << KeyCase(1024, 3, P(4, 5), "E", P(4, 15), 3, "007F");
        QTest::newRow("page down") << KeyCase(1024, 3, P(4, 2), "N", P(4, 2), 19, "0172");
        QTest::newRow("page down to the last view")
            << KeyCase(1024, 40, P(4, 2), "N", P(12, 2), 48, "03C2");
        QTest::newRow("page down in the last view")
            << KeyCase(1024, 48, P(10, 2), "N", P(15, 2), 48, "03F2");
        QTest::newRow("page up in the first view")
            << KeyCase(1024, 0, P(5, 1), "P", P(0, 1), 0, "0001");
        QTest::newRow("ctrl+home") << KeyCase(1024, 30, P(7, 7), "h", P(0, 0), 0, "0000");
        QTest::newRow("ctrl+end") << KeyCase(1024, 0, P(3, 3), "e", P(15, 15), 48, "03FF");
        QTest::newRow("ctrl+end, partial last row")
            << KeyCase(10248, 0, P(3, 3), "e", P(15, 7), 625, "2807");
    }

    void keys() {
        QFETCH(KeyCase, testCase);
        auto [size, top, start, keys, caret, endTop, address] = testCase;
        auto state = StateWithDevice(size);
        HexView view(*state);
        view.SetTopLine(top);
        view.Click(start);
        QCOMPARE(view.CaretPos(), start);
        Press(view, keys);
        QCOMPARE(view.CaretPos(), caret);
        QCOMPARE(view.TopLine(), endTop);
        QCOMPARE(view.AddressText(), address);
        QCOMPARE(view.CaretAddress(), address.toInt(nullptr, 16));
        QCOMPARE(view.Text().mid(65, 4), HexWord(endTop * 16));
    }

    // A window with room for fewer rows (a 1 KiB device): the text holds
    // those, the keys, pages and scroll range follow them, and the caret's
    // byte stays in view as rows go.
    void fewerRows_data() {
        Columns<int, int, int, QString, int, int, QString>("rows", "top", "start", "keys", "caret",
                                                           "endTop", "address");
        QTest::newRow("caret below them scrolls up")
            << 4 << 0 << P(10, 3) << "" << P(3, 3) << 7 << "00A3";
        QTest::newRow("caret above them stays")
            << 4 << 5 << P(0, 3) << "" << P(0, 3) << 5 << "0053";
        QTest::newRow("down at the bottom row")
            << 4 << 0 << P(3, 1) << "D" << P(3, 1) << 1 << "0041";
        QTest::newRow("right at the bottom row")
            << 4 << 0 << P(3, 15, 1) << "R" << P(3, 0) << 1 << "0040";
        QTest::newRow("page down") << 4 << 0 << P(1, 2) << "N" << P(1, 2) << 4 << "0052";
        QTest::newRow("ctrl+end") << 4 << 0 << P(0, 0) << "e" << P(3, 15) << 60 << "03FF";
        QTest::newRow("one row") << 1 << 0 << P(2, 0) << "U" << P(0, 0) << 1 << "0010";
        QTest::newRow("16 at most") << 20 << 0 << P(15, 0) << "D" << P(15, 0) << 1 << "0100";
    }
    void fewerRows() {
        auto [rows, top, start, keys, caret, endTop, address] =
            Row<int, int, int, QString, int, int, QString>("rows", "top", "start", "keys", "caret",
                                                           "endTop", "address");
        auto state = StateWithDevice(1024);
        HexView view(*state);
        view.SetTopLine(top);
        view.Click(start);
        view.SetRowCount(rows);
        Press(view, keys);
        const int shown = std::min(rows, 16);
        QCOMPARE(view.Text().size(), 65 + 71 * shown);
        QCOMPARE(view.ScrollMaximum(), 64 - shown);
        QCOMPARE(view.CaretPos(), caret);
        QCOMPARE(view.TopLine(), endTop);
        QCOMPARE(view.AddressText(), address);
        QCOMPARE(view.Text().mid(65 + 71 * (shown - 1), 4), HexWord((endTop + shown - 1) * 16));
    }

    void typing_data() {
        QTest::addColumn<TypingCase>("testCase");
        QTest::newRow("a then 5 on FF") << TypingCase(1024, 0, 70, "a5", 0, 0xA5, 73, 0);
        QTest::newRow("digits 0 and 9")
            << TypingCase(1024, 2, P(3, 4), "09", 0x54, 0x09, P(3, 5), 2);
        QTest::newRow("g, space, enter, backspace ignored")
            << TypingCase(1024, 0, 70, "g \r\b", 0, 0xFF, 70, 0);
        QTest::newRow("end of row wraps")
            << TypingCase(1024, 0, P(0, 15), "3C", 0x0F, 0x3C, P(1, 0), 0);
        QTest::newRow("bottom row scrolls")
            << TypingCase(1024, 0, P(15, 15), "12", 0xFF, 0x12, 1135, 1);
        QTest::newRow("device end keeps low digit")
            << TypingCase(1024, 48, P(15, 15), "7E", 0x3FF, 0x7E, P(15, 15, 1), 48);
    }

    void typing() {
        QFETCH(TypingCase, testCase);
        auto [size, top, start, typed, address, byte, caret, endTop] = testCase;

        auto state = StateWithDevice(size);
        HexView view(*state);
        ImageModel model(*state);
        view.SetTopLine(top);
        view.Click(start);
        for (QChar ch : typed)
            view.KeyPress(ch, [&](qint32 at, quint8 value) { model.SetByte(at, value); });
        QCOMPARE(int(state->Buffer[address]), byte);
        QCOMPARE(view.CaretPos(), caret);
        QCOMPARE(view.TopLine(), endTop);
        QCOMPARE(view.AddressText(), HexWord(AddressAt(endTop, caret)));
        const int changed =
            BufferSize - int(std::count(state->Buffer.begin(), state->Buffer.end(), 0xFF));
        QCOMPARE(changed, byte == 0xFF ? 0 : 1);
        QCOMPARE(int(state->defined.count()), changed);
        QCOMPARE(state->isDefined(address), changed == 1);
        const int row = address / 16 - view.TopLine();
        QCOMPARE(view.Text().mid(65 + 71 * row + 5 + 3 * (address % 16), 2), HexByte(byte));
    }

    void goTo_data() {
        QTest::addColumn<GoToCase>("testCase");
        QTest::newRow("in view: no scrolling") << GoToCase(3, 0x45, 3, P(1, 5));
        QTest::newRow("below: row on top") << GoToCase(3, 0x200, 32, P(0, 0));
        QTest::newRow("above: row on top") << GoToCase(20, 0x12, 1, P(0, 2));
        QTest::newRow("last bytes: last view") << GoToCase(0, 0x3FF, 48, P(15, 15));
        QTest::newRow("past the device") << GoToCase(3, 0x400, -1, P(0, 1));
    }

    void goTo() {
        QFETCH(GoToCase, testCase);
        auto [top, address, endTop, caret] = testCase;
        auto state = StateWithDevice(1024);
        HexView view(*state);
        view.SetTopLine(top);
        view.Click(P(0, 1));
        // A selection made before does not stretch to the address gone to.
        for (int i = 0; i < 7; ++i)
            view.KeyDown(Qt::Key_Right, false, true);
        QVERIFY(view.HasSelection());
        QCOMPARE(view.GoTo(address), endTop >= 0);
        QCOMPARE(view.HasSelection(), endTop < 0);
        QCOMPARE(view.TopLine(), endTop >= 0 ? endTop : top);
        if (endTop >= 0)
            QCOMPARE(view.CaretPos(), caret);
        QCOMPARE(view.CaretAddress(), AddressAt(view.TopLine(), view.CaretPos()));
    }

    void wheel_data() {
        QTest::addColumn<WheelCase>("testCase");
        QTest::newRow("one notch down") << WheelCase(10, {-120}, 13);
        QTest::newRow("half notches add up") << WheelCase(10, {-60, -60}, 13);
        QTest::newRow("stops at the start") << WheelCase(1, {120}, 0);
        QTest::newRow("stops at the end") << WheelCase(47, {-240}, 48);
    }

    void wheel() {
        QFETCH(WheelCase, testCase);
        auto [top, deltas, endTop] = testCase;
        auto state = StateWithDevice(1024);
        HexView view(*state);
        view.SetTopLine(top);
        for (int delta : deltas)
            view.Wheel(delta);
        QCOMPARE(view.TopLine(), endTop);
    }
};

QTEST_GUILESS_MAIN(tst_HexView)
#include "tst_hexview.moc"
