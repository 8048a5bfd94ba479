#include "hexview.h"

#include "core/bufferops.h"
#include "core/crc32.h"
#include "core/hextext.h"

#include <QtCore/qnamespace.h>
#include <algorithm>
#include <cmath>

namespace varn {

namespace {

QString HeaderText() {
    return QStringLiteral("ADDR") + QString(23, QLatin1Char(' ')) + QStringLiteral("HEX") +
           QString(28, QLatin1Char(' ')) + QStringLiteral("ASCII\r\n");
}

QChar CharacterOf(quint8 b) {
    return (b >= 0x20 && b <= 0x7F) ? QChar(b) : QChar(QLatin1Char('.'));
}

} // namespace

HexView::HexView(const AppState& appState) : state(appState) {
    text = HeaderText();
    text.resize(TextSize(), QLatin1Char(' '));
    scrollMaximum = ScrollMaximumFor(DeviceSize(), rows);
    UpdateBuffer();
}

int HexView::ScrollMaximumFor(qint32 deviceSize, int rowsShown) {
    // Rows past 0xFFF0 would need five address digits and break the fixed
    // row length, so the view never scrolls beyond a 64 KiB device.
    const qint32 size = std::clamp<qint32>(deviceSize, 0, MaxDeviceSize);
    // A partial last row still counts as a row: rounding it away would leave
    // the device's last bytes out of the user's reach.
    return std::max(0, (size + 15) / 16 - rowsShown);
}

qint32 HexView::DeviceSize() const {
    return std::max<qint32>(0, state.DeviceSize());
}

bool HexView::IsDigitPosition(int pos) {
    if (pos < HeaderLength || pos >= TextLength)
        return false;
    const int column = ColumnOf(pos);
    return column >= 0 && column <= LastDigitColumn + 1 && column % 3 != 2;
}

void HexView::UpdateBuffer() {
    Redraw();
    caretPos = FirstDigitPos;
    caretColumn = 0;
    caretAddress = topLine * BytesPerRow;
    addressText = HexWord(caretAddress);
}

void HexView::Reset() {
    scrollMaximum = ScrollMaximumFor(DeviceSize(), rows);
    topLine = 0;
    foundAddress = 0;
    foundLength = 0;
    anchor = -1;
    inCharacters = false;
    UpdateBuffer();
}

void HexView::Redraw() {
    QChar* out = text.data() + HeaderLength;
    // Raw pointers: this runs after every typed digit, in debug builds too.
    const quint8* buffer = state.Buffer.data();
    for (int row = 0; row < rows; ++row) {
        const int base = (topLine + row) * BytesPerRow;
        for (int shift = 12; shift >= 0; shift -= 4)
            *out++ = QLatin1Char(HexDigits[(base >> shift) & 0xF]);
        *out++ = QLatin1Char('=');
        for (int k = 0; k < BytesPerRow; ++k) {
            const quint8 b = buffer[base + k];
            *out++ = QLatin1Char(HexDigits[b >> 4]);
            *out++ = QLatin1Char(HexDigits[b & 0xF]);
            *out++ = QLatin1Char(' ');
        }
        for (int k = 0; k < BytesPerRow; ++k)
            *out++ = CharacterOf(buffer[base + k]);
        *out++ = QLatin1Char('\r');
        *out++ = QLatin1Char('\n');
    }
    ++revision;

    const qint32 summed = std::min<qint32>(DeviceSize(), BufferSize);
    checkSum = BufferChecksum(state);
    checkSumText = HexWord(checkSum);
    crc32Text =
        QStringLiteral("%1").arg(Crc32(buffer, size_t(summed)), 8, 16, QLatin1Char('0')).toUpper();
}

void HexView::ShowAddress(qint32 address) {
    if (address < 0 || address >= std::min<qint32>(DeviceSize(), MaxDeviceSize))
        return;
    ScrollTo(std::min(address / BytesPerRow, scrollMaximum));
    caretPos =
        FirstDigitPos + (address / BytesPerRow - topLine) * RowLength + 3 * (address % BytesPerRow);
    caretColumn = ColumnOf(caretPos);
    ShowCaretAddress();
}

void HexView::SetTopLine(int line) {
    ScrollTo(std::clamp(line, 0, scrollMaximum));
}

void HexView::SetRowCount(int count) {
    count = std::clamp(count, 1, RowCount);
    if (count == rows)
        return;
    const int column = ColumnOf(caretPos);
    const int caretRow = caretAddress / BytesPerRow;
    rows = count;
    text = HeaderText();
    text.resize(TextSize(), QLatin1Char(' '));
    scrollMaximum = ScrollMaximumFor(DeviceSize(), rows);
    // The caret's row was in view; it stays so, moving the rows only when it
    // would fall below them.
    topLine = std::clamp(std::max(topLine, caretRow - rows + 1), 0, scrollMaximum);
    Redraw();
    caretPos = FirstDigitPos + (caretRow - topLine) * RowLength + column;
    caretColumn = column;
    ShowCaretAddress();
}

void HexView::ScrollTo(int line) {
    topLine = line;
    UpdateBuffer();
}

qint32 HexView::AddressAt(int pos) const {
    return (topLine + RowOf(pos)) * BytesPerRow + ColumnOf(pos) / 3;
}

void HexView::ShowCaretAddress() {
    caretAddress = AddressAt(caretPos);
    addressText = HexWord(caretAddress);
}

qint32 HexView::SelectionFirst() const {
    return anchor >= 0 ? std::min(anchor, caretAddress) : caretAddress;
}

qint32 HexView::SelectionLast() const {
    return anchor >= 0 ? std::max(anchor, caretAddress) : caretAddress;
}

int HexView::CharacterPositionOf(qint32 address) const {
    const int digit = PositionOf(address);
    return digit < 0 ? -1 : digit - 3 * (address % BytesPerRow) + 48 + address % BytesPerRow;
}

int HexView::ShownCaretPos() const {
    return inCharacters ? CharacterPositionOf(caretAddress) : caretPos;
}

void HexView::KeyDown(int key, bool control, bool shift) {
    const bool arrow = key == Qt::Key_Left || key == Qt::Key_Right || key == Qt::Key_Up ||
                       key == Qt::Key_Down || key == Qt::Key_Home || key == Qt::Key_End ||
                       key == Qt::Key_PageUp || key == Qt::Key_PageDown;
    if (arrow && !shift)
        anchor = -1;
    if (arrow && shift && anchor < 0)
        anchor = caretAddress;
    if ((shift || inCharacters) && (key == Qt::Key_Left || key == Qt::Key_Right)) {
        // A byte at a time: half a byte cannot be selected or typed as a character.
        const qint32 to = caretAddress + (key == Qt::Key_Left ? -1 : 1);
        if (to >= 0 && to < std::min(DeviceSize(), MaxDeviceSize))
            MoveTo(to);
        return;
    }
    caretColumn = ColumnOf(caretPos);
    const qint32 address = AddressAt(caretPos);
    const qint32 rowStart = address - address % BytesPerRow;
    const qint32 last = DeviceSize() - 1;
    switch (key) {
    case Qt::Key_Home:
        MoveTo(control ? 0 : rowStart);
        return;
    case Qt::Key_End:
        MoveTo(control ? last : std::min(rowStart + BytesPerRow - 1, last));
        return;
    case Qt::Key_PageUp:
    case Qt::Key_PageDown: {
        // The caret keeps its place in the view while the rows move under
        // it; where the view cannot move far enough, the caret goes the rest.
        const int step = key == Qt::Key_PageUp ? -rows : rows;
        const int screenRow = RowOf(caretPos);
        const int column = caretColumn;
        const int top = std::clamp(topLine + step, 0, scrollMaximum);
        const int wantedRow = topLine + screenRow + step;
        const int rows = std::max(1, (DeviceSize() + BytesPerRow - 1) / BytesPerRow);
        const int row = std::clamp(wantedRow, 0, rows - 1);
        if (top != topLine)
            ScrollTo(top);
        caretPos = FirstDigitPos + std::clamp(row - topLine, 0, rows - 1) * RowLength + column;
        caretColumn = column;
        break;
    }
    case Qt::Key_Left:
        MoveLeft();
        break;
    case Qt::Key_Up:
        MoveUp();
        break;
    case Qt::Key_Right:
        MoveRight();
        break;
    case Qt::Key_Down:
        MoveDown();
        break;
    default:
        break;
    }
    ShowCaretAddress();
}

bool HexView::GoTo(qint32 address) {
    if (address < 0 || address >= DeviceSize())
        return false;
    // Going to an address starts afresh: a selection made before would
    // otherwise stretch to it, and Copy would take everything in between.
    ClearSelection();
    return MoveTo(address);
}

bool HexView::MoveTo(qint32 address) {
    if (address < 0 || address >= DeviceSize())
        return false;
    const int row = address / BytesPerRow;
    if (row < topLine || row >= topLine + rows)
        ScrollTo(std::clamp(row, 0, scrollMaximum));
    PlaceCaret(address);
    return true;
}

void HexView::PlaceCaret(qint32 address) {
    caretPos = PositionOf(address);
    caretColumn = ColumnOf(caretPos);
    ShowCaretAddress();
}

int HexView::PositionOf(qint32 address) const {
    const int row = address / BytesPerRow - topLine;
    if (address < 0 || row < 0 || row >= rows)
        return -1;
    return FirstDigitPos + row * RowLength + (address % BytesPerRow) * 3;
}

void HexView::Wheel(int angleDelta) {
    wheelRest += angleDelta;
    const int notches = wheelRest / 120;
    if (notches == 0)
        return;
    wheelRest -= notches * 120;
    SetTopLine(topLine - notches * WheelRows);
}

void HexView::SetFound(qint32 address, int length) {
    foundAddress = address;
    foundLength = std::max(0, length);
}

void HexView::MoveLeft() {
    caretPos -= 1;
    caretColumn = ColumnOf(caretPos);
    if (caretColumn >= 0 && caretColumn % 3 == 2) {
        caretPos -= 1;
        caretColumn -= 1;
    } else if (caretColumn == -1) {
        // From the first digit of a row to the last digit of the row above.
        caretPos -= 24;
        caretColumn = ColumnOf(caretPos);
        if (caretPos == FirstDigitPos - 25) {
            if (topLine == 0) {
                caretPos = FirstDigitPos;
                caretColumn = 0;
            } else {
                ScrollTo(topLine - 1);
                caretPos = TopRowLastDigitPos;
                caretColumn = LastDigitColumn;
            }
        }
    }
}

void HexView::MoveUp() {
    caretPos -= RowLength;
    caretColumn = ColumnOf(caretPos);
    if (caretPos >= HeaderLength)
        return;
    caretPos += RowLength;
    caretColumn = ColumnOf(caretPos);
    if (topLine > 0) {
        const int column = caretColumn;
        ScrollTo(topLine - 1);
        caretPos = FirstDigitPos + column;
        caretColumn = column;
    }
}

void HexView::MoveRight() {
    caretPos += 1;
    caretColumn = ColumnOf(caretPos);
    if (caretColumn < LastDigitColumn + 1 && caretColumn % 3 == 2) {
        caretPos += 1;
        caretColumn += 1;
    }
    if (caretColumn != LastDigitColumn + 1)
        return;
    // From the last digit of a row to the first digit of the row below.
    caretPos += 24;
    caretColumn = ColumnOf(caretPos);
    if (caretPos <= TextSize())
        return;
    // Below the bottom row: scroll, unless the view already shows the
    // device's end. Sizes that are not whole views of 16-byte rows can make
    // the device's end unreachable by equality, so the scroll range decides too.
    const bool atDeviceEnd = (topLine + rows) * BytesPerRow == DeviceSize();
    if (atDeviceEnd || !CanScrollDown()) {
        caretPos -= 25;
        caretColumn = ColumnOf(caretPos);
    } else {
        ScrollTo(topLine + 1);
        caretPos = BottomRowFirstDigit();
        caretColumn = 0;
    }
}

void HexView::MoveDown() {
    caretPos += RowLength;
    caretColumn = ColumnOf(caretPos);
    if (caretPos <= TextSize())
        return;
    const qint32 below = (topLine + rows) * BytesPerRow + caretColumn / 3;
    if (below < DeviceSize() && CanScrollDown()) {
        const int column = caretColumn;
        ScrollTo(topLine + 1);
        caretPos = BottomRowFirstDigit() + column;
        caretColumn = column;
    } else {
        caretPos -= RowLength;
        caretColumn = ColumnOf(caretPos);
    }
}

bool HexView::KeyPress(QChar ch, const ByteStore& store) {
    if (inCharacters) {
        if (ch.unicode() < 0x20 || ch.unicode() > 0x7E)
            return false;
        const qint32 address = caretAddress;
        store(address, quint8(ch.unicode()));
        Redraw();
        KeyDown(Qt::Key_Right);
        return true;
    }
    const int digit = HexDigitValue(ch);
    if (digit < 0)
        return false;
    const int caret = caretPos;
    const int column = ColumnOf(caret);
    const qint32 address = AddressAt(caret);
    const quint8 byte = state.Buffer[size_t(address)];
    store(address, column % 3 == 0 ? static_cast<quint8>((byte & 0x0F) | (digit << 4))
                                   : static_cast<quint8>((byte & 0xF0) | digit));
    UpdateBuffer();
    caretPos = caret;
    caretColumn = column;
    ShowCaretAddress();
    KeyDown(Qt::Key_Right);
    return true;
}

void HexView::Click(int pos) {
    if (pos >= TextSize())
        return;
    const int column = pos >= HeaderLength ? ColumnOf(pos) : -1;
    const bool character = column >= 48 && column < 48 + BytesPerRow;
    if (!IsDigitPosition(pos) && !character)
        return;
    anchor = -1;
    inCharacters = character;
    caretPos = character ? pos - column + 3 * (column - 48) : pos;
    caretColumn = ColumnOf(caretPos);
    ShowCaretAddress();
}

int HexView::DigitOf(int pos) {
    const int column = pos >= HeaderLength && pos < TextLength ? ColumnOf(pos) : -1;
    if (column >= 48 && column < 48 + BytesPerRow)
        return pos - column + 3 * (column - 48);
    if (IsDigitPosition(pos))
        return pos - column % 3;
    return -1;
}

qint32 HexView::ByteAt(int pos) const {
    const int digit = DigitOf(pos);
    return digit < 0 ? -1 : AddressAt(digit);
}

void HexView::DragTo(int pos) {
    const int digit = DigitOf(pos);
    if (digit < 0)
        return;
    if (anchor < 0)
        anchor = caretAddress;
    const qint32 address = AddressAt(digit);
    if (address >= DeviceSize())
        return;
    caretPos = digit;
    caretColumn = ColumnOf(caretPos);
    ShowCaretAddress();
}

QString HexView::DisplayText(const QString& text) {
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return shown;
}

int HexView::ToDisplayPosition(int pos) {
    if (pos < HeaderLength)
        return std::min(pos, HeaderLength - 2);
    const int row = (pos - HeaderLength) / RowLength;
    const int offset = std::min((pos - HeaderLength) % RowLength, RowLength - 2);
    return (HeaderLength - 1) + row * (RowLength - 1) + offset;
}

int HexView::FromDisplayPosition(int displayPos) {
    if (displayPos < HeaderLength - 1)
        return std::max(displayPos, 0);
    const int row = (displayPos - (HeaderLength - 1)) / (RowLength - 1);
    const int offset = (displayPos - (HeaderLength - 1)) % (RowLength - 1);
    return HeaderLength + row * RowLength + offset;
}

} // namespace varn
