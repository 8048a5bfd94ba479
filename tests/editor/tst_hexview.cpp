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

// Row r as the reader expects it, built from the bytes at base independently
// of the view's own drawing loop.
QString ExpectedRow(const AppState& state, int base) {
    QString row = QStringLiteral("%1=").arg(base, 4, 16, QLatin1Char('0')).toUpper();
    QString chars;
    for (int k = 0; k < 16; ++k) {
        const int b = state.Buffer[base + k];
        row += QStringLiteral("%1 ").arg(b, 2, 16, QLatin1Char('0')).toUpper();
        chars += (b >= 32 && b <= 127) ? QChar(b) : QChar(u'.');
    }
    return row + chars + QStringLiteral("\r\n");
}

// Position of the high (or low) digit of byte k of row r.
int DigitPos(int row, int byte, bool low = false) {
    return 70 + 71 * row + 3 * byte + (low ? 1 : 0);
}

const QString Header =
    QStringLiteral("ADDR                       HEX                            ASCII\r\n");

} // namespace

class tst_HexView : public QObject {
    Q_OBJECT

private slots:
    void textLayout();
    void exampleRow();
    void characterColumn_data();
    void characterColumn();
    void scrollMaximum_data();
    void scrollMaximum();
    void checksum_data();
    void checksum();
    void scrollShowsRowsAndResetsCaret();
    void keys_data();
    void keys();
    void repeatedDownStopsAtLastRow_data();
    void repeatedDownStopsAtLastRow();
    void randomKeysKeepCaretOnDigits_data();
    void randomKeysKeepCaretOnDigits();
    void typing_data();
    void typing();
    void clicks_data();
    void clicks();
    void displayPositions();
};

void tst_HexView::textLayout() {
    auto state = StateWithDevice(0);
    HexView view(*state);
    const QString text = view.Text();
    QCOMPARE(text.size(), 1201);
    QCOMPARE(text.left(65), Header);
    // Device size 0 still shows rows 0000..00F0.
    for (int r = 0; r < 16; ++r)
        QCOMPARE(text.mid(65 + 71 * r, 71), ExpectedRow(*state, r * 16));
    QCOMPARE(view.CaretPos(), 70);
    QCOMPARE(view.AddressText(), QStringLiteral("0000"));
}

void tst_HexView::exampleRow() {
    auto state = StateWithDevice(65536);
    state->Buffer.fill(0x00);
    state->Buffer[0x120] = 0x41;
    state->Buffer[0x121] = 0x42;
    HexView view(*state);
    view.SetTopLine(0x12);
    const QString expected = QStringLiteral("0120=41 42 ") + QStringLiteral("00 ").repeated(14) +
                             QStringLiteral("AB") + QString(14, QLatin1Char('.')) +
                             QStringLiteral("\r\n");
    QCOMPARE(view.Text().mid(65, 71), expected);
    QCOMPARE(view.Text().mid(65 + 71, 5), QStringLiteral("0130="));
    QCOMPARE(view.AddressText(), QStringLiteral("0120"));
}

void tst_HexView::characterColumn_data() {
    QTest::addColumn<int>("byte");
    QTest::addColumn<QString>("digits");
    QTest::addColumn<QChar>("shown");
    QTest::newRow("DEL shows as itself") << 0x7F << "7F" << QChar(0x7F);
    QTest::newRow("control 1F") << 0x1F << "1F" << QChar(u'.');
    QTest::newRow("high 80") << 0x80 << "80" << QChar(u'.');
    QTest::newRow("space 20") << 0x20 << "20" << QChar(u' ');
    QTest::newRow("letter") << 0x7A << "7A" << QChar(u'z');
    QTest::newRow("zero") << 0x00 << "00" << QChar(u'.');
    QTest::newRow("FF") << 0xFF << "FF" << QChar(u'.');
}

void tst_HexView::characterColumn() {
    QFETCH(int, byte);
    QFETCH(QString, digits);
    QFETCH(QChar, shown);
    auto state = StateWithDevice(1024);
    // Byte 9 of row 3, so that neither the first nor the last column hides a fault.
    state->Buffer[0x39] = static_cast<quint8>(byte);
    HexView view(*state);
    const int rowStart = 65 + 71 * 3;
    QCOMPARE(view.Text().mid(rowStart + 5 + 3 * 9, 3), digits + QLatin1Char(' '));
    QCOMPARE(view.Text().at(rowStart + 53 + 9), shown);
    QCOMPARE(view.Text().at(rowStart + 53 + 8), QChar(u'.'));
}

void tst_HexView::scrollMaximum_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("maximum");
    QTest::newRow("10240") << 10240 << 624;
    QTest::newRow("65536") << 65536 << 4080;
    QTest::newRow("128") << 128 << 0;
    QTest::newRow("0") << 0 << 0;
    QTest::newRow("one view") << 256 << 0;
    QTest::newRow("one row more") << 272 << 1;
    QTest::newRow("half row counts as a row") << 10248 << 625;
    QTest::newRow("another half row") << 10264 << 626;
    QTest::newRow("beyond 64K held at the last row") << 70000 << 4080;
}

void tst_HexView::scrollMaximum() {
    QFETCH(int, size);
    QFETCH(int, maximum);
    auto state = StateWithDevice(size);
    HexView view(*state);
    QCOMPARE(view.ScrollMaximum(), maximum);
    QCOMPARE(view.TopLine(), 0);
    view.SetTopLine(maximum + 5);
    QCOMPARE(view.TopLine(), maximum);
    view.SetTopLine(-3);
    QCOMPARE(view.TopLine(), 0);
}

void tst_HexView::checksum_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("pokeAt");
    QTest::addColumn<int>("pokeValue");
    QTest::addColumn<QString>("shown");
    QTest::newRow("1024 x FF") << 1024 << -1 << 0 << "FC00";
    QTest::newRow("65536 x FF") << 65536 << -1 << 0 << "0000";
    QTest::newRow("size 0") << 0 << 0 << 0x12 << "0000";
    // 128 x FF = 7F80; the bytes past the device do not count.
    QTest::newRow("128, byte past device") << 128 << 128 << 0x00 << "7F80";
    QTest::newRow("128, last byte of device") << 128 << 127 << 0x00 << "7E81";
    QTest::newRow("1024, one byte lowered") << 1024 << 0x200 << 0x0F << "FB10";
}

void tst_HexView::checksum() {
    QFETCH(int, size);
    QFETCH(int, pokeAt);
    QFETCH(int, pokeValue);
    QFETCH(QString, shown);
    auto state = StateWithDevice(size);
    if (pokeAt >= 0)
        state->Buffer[pokeAt] = static_cast<quint8>(pokeValue);
    HexView view(*state);
    QCOMPARE(view.CheckSumText(), shown);
}

void tst_HexView::scrollShowsRowsAndResetsCaret() {
    auto state = StateWithDevice(10240);
    for (int i = 0; i < 10240; ++i)
        state->Buffer[i] = static_cast<quint8>(i * 7);
    HexView view(*state);
    view.KeyDown(Qt::Key_Down);
    view.KeyDown(Qt::Key_Right);
    QCOMPARE(view.CaretPos(), 141 + 1);
    view.SetTopLine(624);
    QCOMPARE(view.CaretPos(), 70);
    QCOMPARE(view.AddressText(), QStringLiteral("2700"));
    for (int r = 0; r < 16; ++r)
        QCOMPARE(view.Text().mid(65 + 71 * r, 71), ExpectedRow(*state, 0x2700 + 16 * r));
    QVERIFY(view.Text().mid(65 + 71 * 15).startsWith(QStringLiteral("27F0=")));
    // A redraw keeps the top row and sends the caret back to its first digit.
    view.KeyDown(Qt::Key_Down);
    state->Buffer[0x2700] = 0x00;
    view.UpdateBuffer();
    QCOMPARE(view.TopLine(), 624);
    QCOMPARE(view.CaretPos(), 70);
    QCOMPARE(view.Text().mid(70, 2), QStringLiteral("00"));
}

void tst_HexView::keys_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("topLine");
    QTest::addColumn<int>("startPos");
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<int>("caretPos");
    QTest::addColumn<int>("endTopLine");
    QTest::addColumn<QString>("address");

    const int L = Qt::Key_Left, U = Qt::Key_Up, R = Qt::Key_Right, D = Qt::Key_Down;
    // At the top with nothing above.
    QTest::newRow("left at top, row 0 shown")
        << 1024 << 0 << 70 << QList<int>{L} << 70 << 0 << "0000";
    QTest::newRow("up at top, row 0 shown")
        << 1024 << 0 << 73 << QList<int>{U} << 73 << 0 << "0001";
    // At the top with rows above.
    QTest::newRow("left at top scrolls") << 1024 << 5 << 70 << QList<int>{L} << 116 << 4 << "004F";
    QTest::newRow("up at top scrolls, column kept")
        << 1024 << 5 << DigitPos(0, 3, true) << QList<int>{U} << DigitPos(0, 3, true) << 4
        << "0043";
    // Inside the view.
    QTest::newRow("left skips the space") << 1024 << 0 << 73 << QList<int>{L} << 71 << 0 << "0000";
    QTest::newRow("left high to low digit")
        << 1024 << 0 << 74 << QList<int>{L} << 73 << 0 << "0001";
    QTest::newRow("left wraps to row above")
        << 1024 << 0 << DigitPos(1, 0) << QList<int>{L} << 116 << 0 << "000F";
    QTest::newRow("right skips the space") << 1024 << 0 << 71 << QList<int>{R} << 73 << 0 << "0001";
    QTest::newRow("right wraps to row below")
        << 1024 << 0 << 116 << QList<int>{R} << DigitPos(1, 0) << 0 << "0010";
    QTest::newRow("down and up") << 1024 << 2 << 73 << QList<int>{D, D, U} << DigitPos(1, 1) << 2
                                 << "0031";
    QTest::newRow("a row by right arrows")
        << 1024 << 0 << 70 << QList<int>(32, R) << DigitPos(1, 0) << 0 << "0010";
    QTest::newRow("and back by left arrows")
        << 1024 << 0 << DigitPos(1, 0) << QList<int>(32, L) << 70 << 0 << "0000";
    // At the bottom.
    QTest::newRow("right at bottom scrolls")
        << 1024 << 0 << DigitPos(15, 15, true) << QList<int>{R} << 1135 << 1 << "0100";
    QTest::newRow("down at bottom scrolls")
        << 1024 << 0 << DigitPos(15, 1) << QList<int>{D} << DigitPos(15, 1) << 1 << "0101";
    QTest::newRow("right at device end stays")
        << 1024 << 48 << DigitPos(15, 15, true) << QList<int>{R} << DigitPos(15, 15, true) << 48
        << "03FF";
    QTest::newRow("down at device end stays")
        << 1024 << 48 << DigitPos(15, 1) << QList<int>{D} << DigitPos(15, 1) << 48 << "03F1";
    // Small devices never scroll.
    QTest::newRow("128: right at bottom stays")
        << 128 << 0 << DigitPos(15, 15, true) << QList<int>{R} << DigitPos(15, 15, true) << 0
        << "00FF";
    QTest::newRow("128: down at bottom stays")
        << 128 << 0 << DigitPos(15, 0) << QList<int>{D} << DigitPos(15, 0) << 0 << "00F0";
    QTest::newRow("0: down at bottom stays")
        << 0 << 0 << DigitPos(15, 0) << QList<int>{D} << DigitPos(15, 0) << 0 << "00F0";
    // Sizes that are no whole number of rows stop at the scroll maximum.
    QTest::newRow("10248: right reaches the partial last row, then stays")
        << 10248 << 624 << DigitPos(15, 15, true) << QList<int>(33, R) << DigitPos(15, 15, true)
        << 625 << "280F";
    QTest::newRow("10248: down at maximum stays")
        << 10248 << 625 << DigitPos(15, 0) << QList<int>{D} << DigitPos(15, 0) << 625 << "2800";
    QTest::newRow("10264: right scrolls once, then stays")
        << 10264 << 625 << DigitPos(15, 15, true) << QList<int>(33, R) << DigitPos(15, 15, true)
        << 626 << "281F";
    QTest::newRow("10264: down below the device's end stays")
        << 10264 << 625 << DigitPos(15, 9) << QList<int>{D} << DigitPos(15, 9) << 625 << "2809";
    QTest::newRow("10264: down inside the device scrolls")
        << 10264 << 625 << DigitPos(15, 7) << QList<int>{D} << DigitPos(15, 7) << 626 << "2817";
    // Keys other than the arrows change nothing.
    QTest::newRow("home") << 1024 << 3 << DigitPos(4, 2) << QList<int>{Qt::Key_Home}
                          << DigitPos(4, 2) << 3 << "0072";
    QTest::newRow("end") << 1024 << 3 << DigitPos(4, 2) << QList<int>{Qt::Key_End} << DigitPos(4, 2)
                         << 3 << "0072";
    QTest::newRow("page up") << 1024 << 3 << DigitPos(4, 2) << QList<int>{Qt::Key_PageUp}
                             << DigitPos(4, 2) << 3 << "0072";
    QTest::newRow("page down") << 1024 << 3 << DigitPos(4, 2) << QList<int>{Qt::Key_PageDown}
                               << DigitPos(4, 2) << 3 << "0072";
    QTest::newRow("delete and letters")
        << 1024 << 3 << DigitPos(4, 2) << QList<int>{Qt::Key_Delete, Qt::Key_A, Qt::Key_5}
        << DigitPos(4, 2) << 3 << "0072";
}

void tst_HexView::keys() {
    QFETCH(int, size);
    QFETCH(int, topLine);
    QFETCH(int, startPos);
    QFETCH(QList<int>, keys);
    QFETCH(int, caretPos);
    QFETCH(int, endTopLine);
    QFETCH(QString, address);

    auto state = StateWithDevice(size);
    HexView view(*state);
    view.SetTopLine(topLine);
    QCOMPARE(view.TopLine(), topLine);
    view.Click(startPos);
    QCOMPARE(view.CaretPos(), startPos);
    for (int key : keys)
        view.KeyDown(key);
    QCOMPARE(view.CaretPos(), caretPos);
    QCOMPARE(view.TopLine(), endTopLine);
    QCOMPARE(view.AddressText(), address);
    QCOMPARE(view.CaretAddress(), address.toInt(nullptr, 16));
    // The first row shown always matches the top line.
    QCOMPARE(view.Text().mid(65, 4), HexWord(endTopLine * 16));
}

void tst_HexView::repeatedDownStopsAtLastRow_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("bottomRow");
    QTest::newRow("65536") << 65536 << "FFF0";
    QTest::newRow("10240") << 10240 << "27F0";
    QTest::newRow("10264") << 10264 << "2810";
}

void tst_HexView::repeatedDownStopsAtLastRow() {
    QFETCH(int, size);
    QFETCH(QString, bottomRow);
    auto state = StateWithDevice(size);
    HexView view(*state);
    view.Click(1135);
    for (int i = 0; i < 5000; ++i) {
        view.KeyDown(Qt::Key_Down);
        QVERIFY(view.TopLine() <= view.ScrollMaximum());
    }
    QCOMPARE(view.TopLine(), view.ScrollMaximum());
    QCOMPARE(view.CaretPos(), 1135);
    QCOMPARE(view.AddressText(), bottomRow);
    QCOMPARE(view.Text().mid(65 + 71 * 15, 5), bottomRow + QLatin1Char('='));
}

void tst_HexView::randomKeysKeepCaretOnDigits_data() {
    QTest::addColumn<int>("size");
    for (int size : {0, 128, 200, 256, 272, 1000, 1024, 10248, 10264})
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
        const int expected = (view.TopLine() + (pos - 65) / 71) * 16 + ((pos - 65) % 71 - 5) / 3;
        QCOMPARE(view.CaretAddress(), expected);
        QCOMPARE(view.AddressText(), HexWord(expected));
    }
}

void tst_HexView::typing_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("topLine");
    QTest::addColumn<int>("startPos");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("byte");
    QTest::addColumn<int>("caretPos");
    QTest::addColumn<int>("endTopLine");
    QTest::addColumn<QString>("shownAddress");

    QTest::newRow("A on FF") << 1024 << 0 << 70 << "A" << 0 << 0xAF << 71 << 0 << "0000";
    QTest::newRow("A then 5 on FF") << 1024 << 0 << 70 << "A5" << 0 << 0xA5 << 73 << 0 << "0001";
    QTest::newRow("lower case c") << 1024 << 0 << 70 << "c" << 0 << 0xCF << 71 << 0 << "0000";
    QTest::newRow("upper case C") << 1024 << 0 << 70 << "C" << 0 << 0xCF << 71 << 0 << "0000";
    QTest::newRow("low digit only") << 1024 << 0 << 71 << "0" << 0 << 0xF0 << 73 << 0 << "0001";
    QTest::newRow("digits 0 and 9")
        << 1024 << 2 << DigitPos(3, 4) << "09" << 0x54 << 0x09 << DigitPos(3, 5) << 2 << "0055";
    QTest::newRow("g ignored") << 1024 << 0 << 70 << "g" << 0 << 0xFF << 70 << 0 << "0000";
    QTest::newRow("space ignored") << 1024 << 0 << 70 << " " << 0 << 0xFF << 70 << 0 << "0000";
    QTest::newRow("backspace ignored") << 1024 << 0 << 71 << "\b" << 0 << 0xFF << 71 << 0 << "0000";
    QTest::newRow("enter ignored") << 1024 << 0 << 70 << "\r" << 0 << 0xFF << 70 << 0 << "0000";
    QTest::newRow("ignored between digits")
        << 1024 << 0 << 70 << "1xz 2" << 0 << 0x12 << 73 << 0 << "0001";
    QTest::newRow("end of row wraps")
        << 1024 << 0 << DigitPos(0, 15) << "3C" << 0x0F << 0x3C << DigitPos(1, 0) << 0 << "0010";
    QTest::newRow("bottom row scrolls")
        << 1024 << 0 << DigitPos(15, 15) << "12" << 0xFF << 0x12 << 1135 << 1 << "0100";
    QTest::newRow("device end keeps low digit") << 1024 << 48 << DigitPos(15, 15) << "7E" << 0x3FF
                                                << 0x7E << DigitPos(15, 15, true) << 48 << "03FF";
    QTest::newRow("last byte of 64K") << 65536 << 4080 << DigitPos(15, 15) << "5A" << 0xFFFF << 0x5A
                                      << DigitPos(15, 15, true) << 4080 << "FFFF";
}

void tst_HexView::typing() {
    QFETCH(int, size);
    QFETCH(int, topLine);
    QFETCH(int, startPos);
    QFETCH(QString, typed);
    QFETCH(int, address);
    QFETCH(int, byte);
    QFETCH(int, caretPos);
    QFETCH(int, endTopLine);
    QFETCH(QString, shownAddress);

    auto state = StateWithDevice(size);
    HexView view(*state);
    view.SetTopLine(topLine);
    view.Click(startPos);
    for (QChar ch : typed)
        view.KeyPress(ch);
    QCOMPARE(int(state->Buffer[address]), byte);
    QCOMPARE(view.CaretPos(), caretPos);
    QCOMPARE(view.TopLine(), endTopLine);
    QCOMPARE(view.AddressText(), shownAddress);
    // Nothing else of the buffer changed.
    int changed = 0;
    for (int i = 0; i < BufferSize; ++i)
        changed += state->Buffer[i] != 0xFF ? 1 : 0;
    QCOMPARE(changed, byte == 0xFF ? 0 : 1);
    // The view shows the new byte in its row.
    const int row = address / 16 - view.TopLine();
    QCOMPARE(view.Text().mid(65 + 71 * row + 5 + 3 * (address % 16), 2), HexByte(byte));
}

void tst_HexView::clicks_data() {
    QTest::addColumn<int>("pos");
    QTest::addColumn<int>("caretPos");
    QTest::addColumn<QString>("address");
    // The caret starts on the high digit of byte 1 of row 0 with row 2 on top.
    QTest::newRow("high digit") << DigitPos(1, 0) << DigitPos(1, 0) << "0030";
    QTest::newRow("low digit") << DigitPos(4, 7, true) << DigitPos(4, 7, true) << "0067";
    QTest::newRow("last digit of bottom row")
        << DigitPos(15, 15, true) << DigitPos(15, 15, true) << "011F";
    QTest::newRow("separator") << DigitPos(2, 3) + 2 << 73 << "0021";
    QTest::newRow("space after byte 15") << 65 + 71 * 2 + 52 << 73 << "0021";
    QTest::newRow("equals sign") << 65 + 71 * 2 + 4 << 73 << "0021";
    QTest::newRow("address") << 65 + 71 * 2 + 1 << 73 << "0021";
    QTest::newRow("character column") << 65 + 71 * 2 + 53 << 73 << "0021";
    QTest::newRow("line end") << 65 + 71 * 2 + 69 << 73 << "0021";
    QTest::newRow("header") << 10 << 73 << "0021";
    QTest::newRow("header start") << 0 << 73 << "0021";
    QTest::newRow("end of text") << 1201 << 73 << "0021";
}

void tst_HexView::clicks() {
    QFETCH(int, pos);
    QFETCH(int, caretPos);
    QFETCH(QString, address);
    auto state = StateWithDevice(1024);
    HexView view(*state);
    view.SetTopLine(2);
    view.Click(73);
    view.Click(pos);
    QCOMPARE(view.CaretPos(), caretPos);
    QCOMPARE(view.AddressText(), address);
    // A typed digit then goes to the half of the byte the caret shows.
    const bool highDigit = HexView::ColumnOf(caretPos) % 3 == 0;
    view.KeyPress(QChar(u'0'));
    QCOMPARE(int(state->Buffer[address.toInt(nullptr, 16)]), highDigit ? 0x0F : 0xF0);
}

void tst_HexView::displayPositions() {
    auto state = StateWithDevice(1024);
    for (int i = 0; i < 1024; ++i)
        state->Buffer[i] = static_cast<quint8>(i);
    HexView view(*state);
    const QString logical = view.Text();
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

QTEST_GUILESS_MAIN(tst_HexView)
#include "tst_hexview.moc"
