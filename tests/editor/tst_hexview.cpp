#include "core/hextext.h"
#include "editor/hexview.h"

#include <QRandomGenerator>
#include <QtTest>
#include <memory>

using namespace varn;

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

} // namespace

class tst_HexView : public QObject {
    Q_OBJECT

private slots:
    void textLayout();
    void scrollMaximum_data();
    void scrollMaximum();
    void checksum_data();
    void checksum();
    void scrollShowsRowsAndResetsCaret();
    void keys_data();
    void keys();
    void randomKeysKeepCaretOnDigits_data();
    void randomKeysKeepCaretOnDigits();
    void typing_data();
    void typing();
    void clicks_data();
    void clicks();
    void displayPositions();
    void goTo_data();
    void goTo();
    void wheel_data();
    void wheel();
};

void tst_HexView::textLayout() {
    auto state = StateWithDevice(65536);
    for (int i = 0; i < 256; ++i) // every byte value, so every character rule shows
        state->Buffer[0x100 + i] = quint8(i);
    HexView view(*state);
    view.SetTopLine(0x10);
    const QString text = view.Text();
    QCOMPARE(text.size(), 1201);
    QCOMPARE(text.left(65), Header);
    for (int r = 0; r < 16; ++r)
        QCOMPARE(text.mid(65 + 71 * r, 71), ExpectedRow(*state, 0x100 + r * 16));
    QCOMPARE(text.mid(65 + 71 * 4, 71),
             QStringLiteral("0140=") + QStringLiteral("40 41 42 43 44 45 46 47 48 49 4A 4B "
                                                      "4C 4D 4E 4F @ABCDEFGHIJKLMNO\r\n"));
    QCOMPARE(view.CaretPos(), 70);
    QCOMPARE(view.AddressText(), QStringLiteral("0100"));
}

void tst_HexView::scrollMaximum_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("maximum");
    QTest::newRow("65536") << 65536 << 4080;
    QTest::newRow("128") << 128 << 0;
    QTest::newRow("half row counts as a row") << 10248 << 625;
    QTest::newRow("beyond 64K held at the last row") << 70000 << 4080;
}

void tst_HexView::scrollMaximum() {
    QFETCH(int, size);
    QFETCH(int, maximum);
    auto state = StateWithDevice(size);
    HexView view(*state);
    QCOMPARE(view.ScrollMaximum(), maximum);
    view.SetTopLine(maximum + 5);
    QCOMPARE(view.TopLine(), maximum);
    view.SetTopLine(-3);
    QCOMPARE(view.TopLine(), 0);
}

void tst_HexView::checksum_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("zeroAt");
    QTest::addColumn<QString>("shown");
    QTest::newRow("1024 x FF") << 1024 << -1 << "FC00";
    // 128 x FF = 7F80; the bytes past the device do not count.
    QTest::newRow("128, byte past device") << 128 << 128 << "7F80";
    QTest::newRow("128, last byte of device") << 128 << 127 << "7E81";
}

void tst_HexView::checksum() {
    QFETCH(int, size);
    QFETCH(int, zeroAt);
    QFETCH(QString, shown);
    auto state = StateWithDevice(size);
    if (zeroAt >= 0)
        state->Buffer[zeroAt] = 0;
    QCOMPARE(HexView(*state).CheckSumText(), shown);
}

void tst_HexView::scrollShowsRowsAndResetsCaret() {
    auto state = StateWithDevice(10240);
    for (int i = 0; i < 10240; ++i)
        state->Buffer[i] = static_cast<quint8>(i * 7);
    HexView view(*state);
    view.KeyDown(Qt::Key_Down);
    view.SetTopLine(624);
    QCOMPARE(view.CaretPos(), 70);
    QCOMPARE(view.AddressText(), QStringLiteral("2700"));
    for (int r = 0; r < 16; ++r)
        QCOMPARE(view.Text().mid(65 + 71 * r, 71), ExpectedRow(*state, 0x2700 + 16 * r));
    // A redraw keeps the top row and sends the caret back to its first digit.
    view.KeyDown(Qt::Key_Down);
    state->Buffer[0x2700] = 0x00;
    view.UpdateBuffer();
    QCOMPARE(view.TopLine(), 624);
    QCOMPARE(view.CaretPos(), 70);
    QCOMPARE(view.Text().mid(70, 2), QStringLiteral("00"));
}

void tst_HexView::keys_data() {
    // keys: L/U/R/D arrows, H Home, E End, P PageUp, N PageDown, X Delete.
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("top");
    QTest::addColumn<int>("start");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<int>("caret");
    QTest::addColumn<int>("endTop");
    QTest::addColumn<QString>("address");
    QTest::newRow("up at top, row 0") << 1024 << 0 << 73 << "U" << 73 << 0 << "0001";
    QTest::newRow("left at top scrolls") << 1024 << 5 << 70 << "L" << 116 << 4 << "004F";
    QTest::newRow("up at top scrolls")
        << 1024 << 5 << P(0, 3, 1) << "U" << P(0, 3, 1) << 4 << "0043";
    QTest::newRow("left skips the space") << 1024 << 0 << 73 << "L" << 71 << 0 << "0000";
    QTest::newRow("left wraps") << 1024 << 0 << P(1, 0) << "L" << 116 << 0 << "000F";
    QTest::newRow("right skips the space") << 1024 << 0 << 71 << "R" << 73 << 0 << "0001";
    QTest::newRow("right wraps") << 1024 << 0 << 116 << "R" << P(1, 0) << 0 << "0010";
    QTest::newRow("right at bottom scrolls")
        << 1024 << 0 << P(15, 15, 1) << "R" << 1135 << 1 << "0100";
    QTest::newRow("down at bottom scrolls")
        << 1024 << 0 << P(15, 1) << "D" << P(15, 1) << 1 << "0101";
    QTest::newRow("right at device end")
        << 1024 << 48 << P(15, 15, 1) << "R" << P(15, 15, 1) << 48 << "03FF";
    QTest::newRow("down at device end")
        << 1024 << 48 << P(15, 1) << "D" << P(15, 1) << 48 << "03F1";
    QTest::newRow("10248: partial last row reached")
        << 10248 << 624 << P(15, 15, 1) << QString(33, u'R') << P(15, 15, 1) << 625 << "280F";
    QTest::newRow("10264: down below the end")
        << 10264 << 625 << P(15, 9) << "D" << P(15, 9) << 625 << "2809";
    QTest::newRow("10264: down inside the device")
        << 10264 << 625 << P(15, 7) << "D" << P(15, 7) << 626 << "2817";
    QTest::newRow("home") << 1024 << 3 << P(4, 5, 1) << "H" << P(4, 0) << 3 << "0070";
    QTest::newRow("end") << 1024 << 3 << P(4, 5) << "E" << P(4, 15) << 3 << "007F";
    QTest::newRow("page down") << 1024 << 3 << P(4, 2) << "N" << P(4, 2) << 19 << "0172";
    QTest::newRow("page down to the last view")
        << 1024 << 40 << P(4, 2) << "N" << P(12, 2) << 48 << "03C2";
    QTest::newRow("page down in the last view")
        << 1024 << 48 << P(10, 2) << "N" << P(15, 2) << 48 << "03F2";
    QTest::newRow("page up in the first view")
        << 1024 << 0 << P(5, 1) << "P" << P(0, 1) << 0 << "0001";
    QTest::newRow("ctrl+home") << 1024 << 30 << P(7, 7) << "h" << P(0, 0) << 0 << "0000";
    QTest::newRow("ctrl+end") << 1024 << 0 << P(3, 3) << "e" << P(15, 15) << 48 << "03FF";
    QTest::newRow("ctrl+end, partial last row")
        << 10248 << 0 << P(3, 3) << "e" << P(15, 7) << 625 << "2807";
    QTest::newRow("delete does nothing") << 1024 << 3 << P(4, 2) << "X" << P(4, 2) << 3 << "0072";
}

void tst_HexView::keys() {
    QFETCH(int, size);
    QFETCH(int, top);
    QFETCH(int, start);
    QFETCH(QString, keys);
    QFETCH(int, caret);
    QFETCH(int, endTop);
    QFETCH(QString, address);
    static const QHash<QChar, int> code{
        {u'L', Qt::Key_Left},   {u'U', Qt::Key_Up},       {u'R', Qt::Key_Right},
        {u'D', Qt::Key_Down},   {u'H', Qt::Key_Home},     {u'E', Qt::Key_End},
        {u'P', Qt::Key_PageUp}, {u'N', Qt::Key_PageDown}, {u'X', Qt::Key_Delete},
        {u'h', Qt::Key_Home},   {u'e', Qt::Key_End}};

    auto state = StateWithDevice(size);
    HexView view(*state);
    view.SetTopLine(top);
    view.Click(start);
    QCOMPARE(view.CaretPos(), start);
    for (QChar key : keys)
        view.KeyDown(code.value(key), key.isLower()); // lower case: with control
    QCOMPARE(view.CaretPos(), caret);
    QCOMPARE(view.TopLine(), endTop);
    QCOMPARE(view.AddressText(), address);
    QCOMPARE(view.CaretAddress(), address.toInt(nullptr, 16));
    QCOMPARE(view.Text().mid(65, 4), HexWord(endTop * 16));
}

void tst_HexView::randomKeysKeepCaretOnDigits_data() {
    QTest::addColumn<int>("size");
    for (int size : {0, 200, 10248, 10264})
        QTest::newRow(qPrintable(QString::number(size))) << size;
}

void tst_HexView::randomKeysKeepCaretOnDigits() {
    QFETCH(int, size);
    auto state = StateWithDevice(size);
    HexView view(*state);
    QRandomGenerator random(size + 1);
    const int keys[] = {Qt::Key_Left, Qt::Key_Up, Qt::Key_Right, Qt::Key_Down};
    for (int i = 0; i < 20000; ++i) {
        // Biased towards right and down so the bottom is reached.
        const int pick = random.bounded(10);
        view.KeyDown(keys[pick < 2 ? 0 : pick < 3 ? 1 : pick < 7 ? 2 : 3]);
        const int pos = view.CaretPos();
        QVERIFY2(HexView::IsDigitPosition(pos), qPrintable(QString::number(pos)));
        QVERIFY(view.TopLine() >= 0 && view.TopLine() <= view.ScrollMaximum());
        const int expected = AddressAt(view.TopLine(), pos);
        QCOMPARE(view.CaretAddress(), expected);
        QCOMPARE(view.AddressText(), HexWord(expected));
    }
}

void tst_HexView::typing_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("top");
    QTest::addColumn<int>("start");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("byte");
    QTest::addColumn<int>("caret");
    QTest::addColumn<int>("endTop");
    QTest::newRow("a then 5 on FF") << 1024 << 0 << 70 << "a5" << 0 << 0xA5 << 73 << 0;
    QTest::newRow("digits 0 and 9") << 1024 << 2 << P(3, 4) << "09" << 0x54 << 0x09 << P(3, 5) << 2;
    QTest::newRow("g, space, enter, backspace ignored")
        << 1024 << 0 << 70 << "g \r\b" << 0 << 0xFF << 70 << 0;
    QTest::newRow("end of row wraps")
        << 1024 << 0 << P(0, 15) << "3C" << 0x0F << 0x3C << P(1, 0) << 0;
    QTest::newRow("bottom row scrolls")
        << 1024 << 0 << P(15, 15) << "12" << 0xFF << 0x12 << 1135 << 1;
    QTest::newRow("device end keeps low digit")
        << 1024 << 48 << P(15, 15) << "7E" << 0x3FF << 0x7E << P(15, 15, 1) << 48;
}

void tst_HexView::typing() {
    QFETCH(int, size);
    QFETCH(int, top);
    QFETCH(int, start);
    QFETCH(QString, typed);
    QFETCH(int, address);
    QFETCH(int, byte);
    QFETCH(int, caret);
    QFETCH(int, endTop);

    auto state = StateWithDevice(size);
    HexView view(*state);
    view.SetTopLine(top);
    view.Click(start);
    for (QChar ch : typed)
        view.KeyPress(ch);
    QCOMPARE(int(state->Buffer[address]), byte);
    QCOMPARE(view.CaretPos(), caret);
    QCOMPARE(view.TopLine(), endTop);
    QCOMPARE(view.AddressText(), HexWord(AddressAt(endTop, caret)));
    const int changed =
        BufferSize - int(std::count(state->Buffer.begin(), state->Buffer.end(), 0xFF));
    QCOMPARE(changed, byte == 0xFF ? 0 : 1);
    QCOMPARE(int(state->Defined.count()), changed);
    QCOMPARE(state->isDefined(address), changed == 1);
    const int row = address / 16 - view.TopLine();
    QCOMPARE(view.Text().mid(65 + 71 * row + 5 + 3 * (address % 16), 2), HexByte(byte));
}

void tst_HexView::clicks_data() {
    QTest::addColumn<int>("pos");
    QTest::addColumn<int>("caret");
    QTest::addColumn<QString>("address");
    // Before the click the caret is on byte 1 of row 0, row 2 on top.
    QTest::newRow("high digit") << P(1, 0) << P(1, 0) << "0030";
    QTest::newRow("low digit") << P(4, 7, true) << P(4, 7, true) << "0067";
    QTest::newRow("separator") << P(2, 3) + 2 << 73 << "0021";
    QTest::newRow("character column") << 65 + 71 * 2 + 53 << 73 << "0021";
    QTest::newRow("header") << 10 << 73 << "0021";
}

void tst_HexView::clicks() {
    QFETCH(int, pos);
    QFETCH(int, caret);
    QFETCH(QString, address);
    auto state = StateWithDevice(1024);
    HexView view(*state);
    view.SetTopLine(2);
    view.Click(73);
    view.Click(pos);
    QCOMPARE(view.CaretPos(), caret);
    QCOMPARE(view.AddressText(), address);
    // A typed digit then goes to the half of the byte the caret shows.
    const bool highDigit = HexView::ColumnOf(caret) % 3 == 0;
    view.KeyPress(QChar(u'0'));
    QCOMPARE(int(state->Buffer[address.toInt(nullptr, 16)]), highDigit ? 0x0F : 0xF0);
}

void tst_HexView::displayPositions() {
    auto state = StateWithDevice(1024);
    for (int i = 0; i < 1024; ++i)
        state->Buffer[i] = static_cast<quint8>(i);
    const QString logical = HexView(*state).Text();
    const QString shown = HexView::DisplayText(logical);
    QCOMPARE(shown.size(), 1201 - 17);
    QVERIFY(!shown.contains(QLatin1Char('\r')));
    for (int pos = 0; pos < logical.size(); ++pos) {
        if (logical.at(pos) == QLatin1Char('\r') || logical.at(pos) == QLatin1Char('\n'))
            continue;
        const int at = HexView::ToDisplayPosition(pos);
        QCOMPARE(shown.at(at), logical.at(pos));
        QCOMPARE(HexView::FromDisplayPosition(at), pos);
    }
}

void tst_HexView::goTo_data() {
    QTest::addColumn<int>("top");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("endTop"); // -1: refused, nothing moves
    QTest::addColumn<int>("caret");
    QTest::newRow("in view: no scrolling") << 3 << 0x45 << 3 << P(1, 5);
    QTest::newRow("below: row on top") << 3 << 0x200 << 32 << P(0, 0);
    QTest::newRow("above: row on top") << 20 << 0x12 << 1 << P(0, 2);
    QTest::newRow("last bytes: last view") << 0 << 0x3FF << 48 << P(15, 15);
    QTest::newRow("past the device") << 3 << 0x400 << -1 << P(0, 1);
}

void tst_HexView::goTo() {
    QFETCH(int, top);
    QFETCH(int, address);
    QFETCH(int, endTop);
    QFETCH(int, caret);
    auto state = StateWithDevice(1024);
    HexView view(*state);
    view.SetTopLine(top);
    view.Click(P(0, 1));
    QCOMPARE(view.GoTo(address), endTop >= 0);
    QCOMPARE(view.TopLine(), endTop >= 0 ? endTop : top);
    QCOMPARE(view.CaretPos(), caret);
    QCOMPARE(view.CaretAddress(), AddressAt(view.TopLine(), caret));
}

void tst_HexView::wheel_data() {
    QTest::addColumn<int>("top");
    QTest::addColumn<QList<int>>("deltas");
    QTest::addColumn<int>("endTop");
    QTest::newRow("one notch down") << 10 << QList<int>{-120} << 13;
    QTest::newRow("half notches add up") << 10 << QList<int>{-60, -60} << 13;
    QTest::newRow("stops at the start") << 1 << QList<int>{120} << 0;
    QTest::newRow("stops at the end") << 47 << QList<int>{-240} << 48;
}

void tst_HexView::wheel() {
    QFETCH(int, top);
    QFETCH(QList<int>, deltas);
    QFETCH(int, endTop);
    auto state = StateWithDevice(1024);
    HexView view(*state);
    view.SetTopLine(top);
    for (int delta : deltas)
        view.Wheel(delta);
    QCOMPARE(view.TopLine(), endTop);
}

QTEST_GUILESS_MAIN(tst_HexView)
#include "tst_hexview.moc"
