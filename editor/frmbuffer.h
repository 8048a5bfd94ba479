#pragma once

#include "core/appstate.h"
#include "core/chippreview.h"
#include "editor/hexview.h"
#include "editor/imagemodel.h"

#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QScrollBar;

namespace varn {

// The buffer window: up to 256 bytes of the buffer at a time in hex and as
// characters (as many rows of 16 as its height has room for), a row-wise
// scroll bar over the selected device's memory, the caret's address and the
// checksum of the device's part of the buffer.
// All caret arithmetic lives in HexView; this class mirrors it into controls.
class frmBuffer : public QWidget {
    Q_OBJECT
public:
    // Follows model: typed digits become its undoable steps, its history's
    // reference tells which digits to show as changed, and every change it
    // signals is redrawn in place. The model outlives the window.
    explicit frmBuffer(ImageModel& model, QWidget* parent = nullptr);

    // Redraws the rows at the current scroll position and the checksum, with
    // the caret on the top row's first digit.
    void UpdateBuffer();
    // The caret to the byte at address (false outside the device).
    bool GoTo(qint32 address);
    // Marks length bytes from address as found, with the caret on the first.
    void ShowFound(qint32 address, int length);

    // The per-chip fields the next chip would get: their bytes marked on
    // their own background, and a line under the view naming them with the
    // bytes they would hold there (or why the chip would be refused). Only
    // shown: the buffer keeps its own bytes.
    void SetChipPreview(const ChipPreview& preview);
    const ChipPreview& Preview() const { return preview; }

    const HexView& View() const { return view; }
    // Room for all 16 rows.
    QSize sizeHint() const override;
    // Shows address with the caret on it (a chosen difference, for example).
    void ShowAddress(qint32 address);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    // Shows as many rows as the text has room for.
    void FitRows();
    void vsc_Change(int value);
    bool txtBuffer_Key(QEvent* event);
    bool txtBuffer_Mouse(QEvent* event);
    // Display position of the character under a point of the text's
    // viewport; -1 when there is none (beyond a line's end, below the text).
    int CharacterAt(const QPoint& point) const;
    bool Wheel(QEvent* event);
    // The field under a point of the text's viewport, as a tool tip.
    bool ShowFieldTip(QEvent* event);
    // Changed digits in their own colour, found bytes and per-chip fields
    // on their own backgrounds.
    void MarkDigits();
    // Copies the view's text (when it changed), caret, scroll position and
    // labels into the controls.
    void ShowView();
    void ImageChanged(qint32 begin, qint32 end);

    ImageModel& model;
    HexView view;
    QPlainTextEdit* txtBuffer = nullptr;
    QScrollBar* vsc = nullptr;
    QLabel* lblAddress = nullptr;
    QLabel* lblCheckSum = nullptr;
    QLabel* crc32 = nullptr;
    QLabel* previewLine = nullptr;
    ChipPreview preview;
    quint64 shownRevision = 0;
    double lineHeight = 1; // of a line of the text, as laid out
    // Fewer rows than these make the window too small to work in.
    static constexpr int MinimumRows = 4;
    bool typing = false;
};

} // namespace varn
