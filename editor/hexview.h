#pragma once

#include "core/appstate.h"

#include <QString>
#include <functional>

namespace varn {

// The hex view of the buffer window without any widget: the text (header
// plus up to 16 rows of 16 bytes, every line ending in CR LF; 1,201
// characters with all 16), the caret as a character position in that text,
// the scroll position and the two label texts. The window only mirrors this state into its
// controls, so the whole caret arithmetic can be exercised without a window.
class HexView {
public:
    static constexpr int HeaderLength = 65; // 63 characters, CR, LF
    static constexpr int RowLength = 71;    // 69 characters, CR, LF
    static constexpr int RowCount = 16;     // the most rows a view shows
    static constexpr int BytesPerRow = 16;
    static constexpr int TextLength = HeaderLength + RowCount * RowLength; // 1201, all rows
    static constexpr int FirstDigitPos = 70;                               // row 0, column 0
    static constexpr int TopRowLastDigitPos = 116;                         // row 0, column 46
    static constexpr int BottomRowFirstDigitPos = 1135;                    // row 15 of 16, column 0
    static constexpr int LastDigitColumn = 46;
    static constexpr int WheelRows = 3;

    // Starts at row 0 with the scroll range of the device selected now.
    explicit HexView(const AppState& state);

    // Writes one byte of the image (the image model's SetByte in the window).
    using ByteStore = std::function<void(qint32 address, quint8 value)>;

    // Rebuilds the text, puts the caret on the first digit of the top row,
    // shows the top row's address and recomputes the checksum.
    void UpdateBuffer();
    // Rebuilds the text and the sums after the image changed; the caret and
    // the scroll position stay.
    void Redraw();
    // As a new view: top row 0, caret on address 0, nothing found, the scroll
    // range of the device selected now.
    void Reset();
    // The scroll bar moved: clamps to 0..ScrollMaximum and redraws.
    void SetTopLine(int line);
    // Shows count rows (1..RowCount; a window with less room shows fewer):
    // the text, the scroll range and Page Up/Down follow, and the caret's
    // byte stays in view.
    void SetRowCount(int count);
    int Rows() const { return rows; }

    // A key went down (Qt::Key codes): the four arrows move the caret one
    // digit or row; Home/End go to the row's first and last byte, Page Up and
    // Page Down a view's height, and with control Home/End go to the device's
    // first and last byte.
    // With shift, the arrows move a byte at a time and select from where the
    // caret was to where it goes.
    void KeyDown(int key, bool control = false, bool shift = false);
    // Puts the caret on the high digit of the byte at address, scrolling only
    // when its row is not in view, and ends any selection. False (nothing
    // moves) outside the device.
    bool GoTo(qint32 address);
    // The mouse wheel turned by angleDelta eighths of a degree (120 a notch,
    // positive away from the user): three rows a notch; touchpads' partial
    // notches add up.
    void Wheel(int angleDelta);
    // The bytes a Find matched, for the window to mark; length 0 for none.
    void SetFound(qint32 address, int length);
    qint32 FoundAddress() const { return foundAddress; }
    int FoundLength() const { return foundLength; }
    // The text position of the high digit of the byte at address, or -1 when
    // its row is not in view.
    int PositionOf(qint32 address) const;
    // A character was typed; hex digits change the byte under the caret
    // through store. In the character column any printable character is
    // the byte itself. Returns true when a byte was stored.
    bool KeyPress(QChar ch, const ByteStore& store);
    // The user clicked at a character position of the text; a hex digit or a
    // byte's character takes the caret (the latter puts it in the character
    // column) and ends a selection.
    void Click(int pos);
    // The mouse, pressed, moved to pos: selects from the byte pressed to the
    // byte under pos, with the caret there.
    void DragTo(int pos);

    // The selected bytes [SelectionFirst, SelectionLast]; without a
    // selection both are the caret's byte.
    bool HasSelection() const { return anchor >= 0 && anchor != caretAddress; }
    qint32 SelectionFirst() const;
    qint32 SelectionLast() const;
    void ClearSelection() { anchor = -1; }
    // The address of the byte whose digit or character stands at pos, or -1.
    qint32 ByteAt(int pos) const;
    // Whether the caret stands in the character column.
    bool InCharacters() const { return inCharacters; }
    // Where the window shows the caret: its digit, or its byte's character.
    int ShownCaretPos() const;
    // The text position of the character of the byte at address, or -1.
    int CharacterPositionOf(qint32 address) const;
    // Scrolls so that address is shown (on the top row where the scroll range
    // allows) and puts the caret on its first digit. Addresses outside the
    // device are ignored.
    void ShowAddress(qint32 address);

    int TopLine() const { return topLine; }
    int ScrollMaximum() const { return scrollMaximum; }
    int CaretPos() const { return caretPos; }
    qint32 CaretAddress() const { return caretAddress; }
    quint16 CheckSum() const { return checkSum; }

    const QString& Text() const { return text; }
    const QString& AddressText() const { return addressText; }
    const QString& CheckSumText() const { return checkSumText; }
    // CRC-32 of the device's part of the buffer, eight hex digits.
    const QString& Crc32Text() const { return crc32Text; }
    // Grows by one on every redraw, so a window knows when to replace its text.
    quint64 TextRevision() const { return revision; }

    // Column of a position in a row: -5..-2 address, -1 "=", 3k/3k+1 the
    // digits of byte k, 3k+2 the space after it, 48..63 the characters.
    static int ColumnOf(int pos) { return (pos - HeaderLength) % RowLength - 5; }
    static int RowOf(int pos) { return (pos - HeaderLength) / RowLength; }
    static bool IsDigitPosition(int pos);

    // Text widgets keep one line break where the text has CR LF; these map
    // between positions of the text here and of such a widget's plain text.
    static QString DisplayText(const QString& text);
    static int ToDisplayPosition(int pos);
    static int FromDisplayPosition(int displayPos);

    // The device's rows (a partial last row counts as one) less the rows in
    // view, at least 0; a device past 64 KiB scrolls as one of 64 KiB.
    static int ScrollMaximumFor(qint32 deviceSize, int rowsShown = RowCount);

private:
    // The high digit's position of the byte shown at pos (digit or
    // character), or -1.
    static int DigitOf(int pos);
    qint32 DeviceSize() const;
    int TextSize() const { return HeaderLength + rows * RowLength; }
    int BottomRowFirstDigit() const { return FirstDigitPos + (rows - 1) * RowLength; }
    void ScrollTo(int line);
    void ShowCaretAddress();
    qint32 AddressAt(int pos) const;
    bool CanScrollDown() const { return topLine < scrollMaximum; }
    void MoveLeft();
    void MoveUp();
    void MoveRight();
    void MoveDown();
    void PlaceCaret(qint32 address);

    const AppState& state;
    QString text;
    QString addressText;
    QString checkSumText;
    QString crc32Text;
    int rows = RowCount;
    int topLine = 0;
    int scrollMaximum = 0;
    int caretPos = FirstDigitPos;
    int caretColumn = 0;
    qint32 caretAddress = 0;
    quint16 checkSum = 0;
    quint64 revision = 0;
    int wheelRest = 0;
    qint32 foundAddress = 0;
    int foundLength = 0;
    // The caret to address, scrolling as needed; the selection stays (the
    // keys that move the caret extend it).
    bool MoveTo(qint32 address);
    qint32 anchor = -1;
    bool inCharacters = false;
};

} // namespace varn
