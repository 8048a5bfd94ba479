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

HexView::HexView(AppState& state) : m_state(state) {
    m_text = HeaderText();
    m_text.resize(TextLength, QLatin1Char(' '));
    m_scrollMaximum = ScrollMaximumFor(DeviceSize());
    UpdateBuffer();
}

int HexView::ScrollMaximumFor(qint32 deviceSize) {
    // Rows past 0xFFF0 would need five address digits and break the fixed
    // row length, so the view never scrolls beyond a 64 KiB device.
    const qint32 size = std::clamp<qint32>(deviceSize, 0, MaxDeviceSize);
    // A partial last row still counts as a row: rounding it away would leave
    // the device's last bytes out of the user's reach.
    const int rows = (size + 15) / 16;
    return std::max(0, rows - 16);
}

qint32 HexView::DeviceSize() const {
    return std::max<qint32>(0, m_state.DeviceSize());
}

bool HexView::IsDigitPosition(int pos) {
    if (pos < HeaderLength || pos >= TextLength)
        return false;
    const int column = ColumnOf(pos);
    return column >= 0 && column <= LastDigitColumn + 1 && column % 3 != 2;
}

void HexView::UpdateBuffer() {
    QChar* out = m_text.data() + HeaderLength;
    // Raw pointers: this runs after every typed digit, in debug builds too.
    const quint8* buffer = m_state.Buffer.data();
    for (int row = 0; row < RowCount; ++row) {
        const int base = (m_topLine + row) * BytesPerRow;
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
    ++m_revision;

    m_caretPos = FirstDigitPos;
    m_caretColumn = 0;
    m_caretAddress = m_topLine * BytesPerRow;
    m_addressText = HexWord(m_caretAddress);

    const qint32 summed = std::min<qint32>(DeviceSize(), BufferSize);
    m_checkSum = BufferChecksum(m_state);
    m_checkSumText = HexWord(m_checkSum);
    m_crc32Text =
        QStringLiteral("%1").arg(Crc32(buffer, size_t(summed)), 8, 16, QLatin1Char('0')).toUpper();
}

void HexView::ShowAddress(qint32 address) {
    if (address < 0 || address >= std::min<qint32>(DeviceSize(), MaxDeviceSize))
        return;
    ScrollTo(std::min(address / BytesPerRow, m_scrollMaximum));
    m_caretPos = FirstDigitPos + (address / BytesPerRow - m_topLine) * RowLength +
                 3 * (address % BytesPerRow);
    m_caretColumn = ColumnOf(m_caretPos);
    ShowCaretAddress();
}

void HexView::SetTopLine(int line) {
    ScrollTo(std::clamp(line, 0, m_scrollMaximum));
}

void HexView::ScrollTo(int line) {
    m_topLine = line;
    UpdateBuffer();
}

qint32 HexView::AddressAt(int pos) const {
    return (m_topLine + RowOf(pos)) * BytesPerRow + ColumnOf(pos) / 3;
}

void HexView::ShowCaretAddress() {
    m_caretAddress = AddressAt(m_caretPos);
    m_addressText = HexWord(m_caretAddress);
}

void HexView::KeyDown(int key, bool control) {
    m_caretColumn = ColumnOf(m_caretPos);
    const qint32 address = AddressAt(m_caretPos);
    const qint32 rowStart = address - address % BytesPerRow;
    const qint32 last = DeviceSize() - 1;
    switch (key) {
    case Qt::Key_Home:
        GoTo(control ? 0 : rowStart);
        return;
    case Qt::Key_End:
        GoTo(control ? last : std::min(rowStart + BytesPerRow - 1, last));
        return;
    case Qt::Key_PageUp:
    case Qt::Key_PageDown: {
        // The caret keeps its place in the view while the rows move under
        // it; where the view cannot move far enough, the caret goes the rest.
        const int step = key == Qt::Key_PageUp ? -RowCount : RowCount;
        const int screenRow = RowOf(m_caretPos);
        const int column = m_caretColumn;
        const int top = std::clamp(m_topLine + step, 0, m_scrollMaximum);
        const int wantedRow = m_topLine + screenRow + step;
        const int rows = std::max(1, (DeviceSize() + BytesPerRow - 1) / BytesPerRow);
        const int row = std::clamp(wantedRow, 0, rows - 1);
        if (top != m_topLine)
            ScrollTo(top);
        m_caretPos =
            FirstDigitPos + std::clamp(row - m_topLine, 0, RowCount - 1) * RowLength + column;
        m_caretColumn = column;
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
    const int row = address / BytesPerRow;
    if (row < m_topLine || row >= m_topLine + RowCount)
        ScrollTo(std::clamp(row, 0, m_scrollMaximum));
    PlaceCaret(address);
    return true;
}

void HexView::PlaceCaret(qint32 address) {
    m_caretPos = PositionOf(address);
    m_caretColumn = ColumnOf(m_caretPos);
    ShowCaretAddress();
}

int HexView::PositionOf(qint32 address) const {
    const int row = address / BytesPerRow - m_topLine;
    if (address < 0 || row < 0 || row >= RowCount)
        return -1;
    return FirstDigitPos + row * RowLength + (address % BytesPerRow) * 3;
}

void HexView::Wheel(int angleDelta) {
    m_wheelRest += angleDelta;
    const int notches = m_wheelRest / 120;
    if (notches == 0)
        return;
    m_wheelRest -= notches * 120;
    SetTopLine(m_topLine - notches * WheelRows);
}

void HexView::SetFound(qint32 address, int length) {
    m_foundAddress = address;
    m_foundLength = std::max(0, length);
}

void HexView::MoveLeft() {
    m_caretPos -= 1;
    m_caretColumn = ColumnOf(m_caretPos);
    if (m_caretColumn >= 0 && m_caretColumn % 3 == 2) {
        m_caretPos -= 1;
        m_caretColumn -= 1;
    } else if (m_caretColumn == -1) {
        // From the first digit of a row to the last digit of the row above.
        m_caretPos -= 24;
        m_caretColumn = ColumnOf(m_caretPos);
        if (m_caretPos == FirstDigitPos - 25) {
            if (m_topLine == 0) {
                m_caretPos = FirstDigitPos;
                m_caretColumn = 0;
            } else {
                ScrollTo(m_topLine - 1);
                m_caretPos = TopRowLastDigitPos;
                m_caretColumn = LastDigitColumn;
            }
        }
    }
}

void HexView::MoveUp() {
    m_caretPos -= RowLength;
    m_caretColumn = ColumnOf(m_caretPos);
    if (m_caretPos >= HeaderLength)
        return;
    m_caretPos += RowLength;
    m_caretColumn = ColumnOf(m_caretPos);
    if (m_topLine > 0) {
        const int column = m_caretColumn;
        ScrollTo(m_topLine - 1);
        m_caretPos = FirstDigitPos + column;
        m_caretColumn = column;
    }
}

void HexView::MoveRight() {
    m_caretPos += 1;
    m_caretColumn = ColumnOf(m_caretPos);
    if (m_caretColumn < LastDigitColumn + 1 && m_caretColumn % 3 == 2) {
        m_caretPos += 1;
        m_caretColumn += 1;
    }
    if (m_caretColumn != LastDigitColumn + 1)
        return;
    // From the last digit of a row to the first digit of the row below.
    m_caretPos += 24;
    m_caretColumn = ColumnOf(m_caretPos);
    if (m_caretPos <= TextLength)
        return;
    // Below the bottom row: scroll, unless the view already shows the
    // device's end. Sizes that are not whole views of 16-byte rows can make
    // the device's end unreachable by equality, so the scroll range decides too.
    const bool atDeviceEnd = (m_topLine + RowCount) * BytesPerRow == DeviceSize();
    if (atDeviceEnd || !CanScrollDown()) {
        m_caretPos -= 25;
        m_caretColumn = ColumnOf(m_caretPos);
    } else {
        ScrollTo(m_topLine + 1);
        m_caretPos = BottomRowFirstDigitPos;
        m_caretColumn = 0;
    }
}

void HexView::MoveDown() {
    m_caretPos += RowLength;
    m_caretColumn = ColumnOf(m_caretPos);
    if (m_caretPos <= TextLength)
        return;
    const qint32 below = (m_topLine + RowCount) * BytesPerRow + m_caretColumn / 3;
    if (below < DeviceSize() && CanScrollDown()) {
        const int column = m_caretColumn;
        ScrollTo(m_topLine + 1);
        m_caretPos = BottomRowFirstDigitPos + column;
        m_caretColumn = column;
    } else {
        m_caretPos -= RowLength;
        m_caretColumn = ColumnOf(m_caretPos);
    }
}

bool HexView::KeyPress(QChar ch) {
    const int digit = HexDigitValue(ch);
    if (digit < 0)
        return false;
    const int caret = m_caretPos;
    const int column = ColumnOf(caret);
    const qint32 address = AddressAt(caret);
    quint8& byte = m_state.Buffer[address];
    if (column % 3 == 0)
        byte = static_cast<quint8>((byte & 0x0F) | (digit << 4));
    else
        byte = static_cast<quint8>((byte & 0xF0) | digit);
    m_state.markDefined(address, address + 1);
    UpdateBuffer();
    m_caretPos = caret;
    m_caretColumn = column;
    ShowCaretAddress();
    KeyDown(Qt::Key_Right);
    return true;
}

void HexView::Click(int pos) {
    if (!IsDigitPosition(pos))
        return;
    m_caretPos = pos;
    m_caretColumn = ColumnOf(pos);
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
