#include "frmbuffer.h"

#include "core/hextext.h"

#include <QAbstractTextDocumentLayout>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QToolTip>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

namespace varn {

namespace {

// The memory map shades per-chip blocks purple; here a paler one, apart from
// found (yellow) and selected (blue) bytes.
const QColor PerChipBackground(225, 205, 245);

QFont ViewFont() {
    QFont font(QStringLiteral("Courier"));
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    font.setBold(true);
    font.setPointSizeF(9.75);
    if (!QFontInfo(font).fixedPitch()) {
        // The columns only line up in a fixed-pitch font.
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setBold(true);
        font.setPointSizeF(9.75);
    }
    return font;
}

} // namespace

frmBuffer::frmBuffer(ImageModel& imageModel, QWidget* parent)
    : QWidget(parent), model(imageModel), view(imageModel.Image()) {
    setObjectName(QStringLiteral("frmBuffer"));
    setWindowTitle(QStringLiteral("Buffer"));
    BuildControls();
    ShowView();
    connect(&model, &ImageModel::contentsChanged, this, &frmBuffer::ImageChanged);
    connect(&model, &ImageModel::reset, this, [this] {
        view.Reset();
        ShowView();
    });
}

void frmBuffer::ImageChanged(qint32 begin, qint32 end) {
    // A typed digit redraws once the caret has moved on.
    if (typing)
        return;
    // The sums cover the whole device, so any change redraws them; the rows
    // only matter when in view, but redrawing them costs no more.
    Q_UNUSED(begin);
    Q_UNUSED(end);
    view.Redraw();
    ShowView();
}

void frmBuffer::BuildControls() {
    const QFont viewFont = ViewFont();

    txtBuffer = new QPlainTextEdit(this);
    txtBuffer->setObjectName(QStringLiteral("txtBuffer"));
    txtBuffer->setFont(viewFont);
    txtBuffer->setReadOnly(true);
    txtBuffer->setUndoRedoEnabled(false);
    txtBuffer->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtBuffer->setWordWrapMode(QTextOption::NoWrap);
    txtBuffer->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txtBuffer->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txtBuffer->setTabChangesFocus(true);
    txtBuffer->setFocusPolicy(Qt::StrongFocus);
    // A read-only text shows no caret, so the selected digit must stay
    // visible when the window loses focus as well.
    QPalette textPalette = txtBuffer->palette();
    textPalette.setColor(QPalette::Inactive, QPalette::Highlight,
                         textPalette.color(QPalette::Active, QPalette::Highlight));
    textPalette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                         textPalette.color(QPalette::Active, QPalette::HighlightedText));
    txtBuffer->setPalette(textPalette);
    txtBuffer->installEventFilter(this);
    txtBuffer->viewport()->installEventFilter(this);

    vsc = new QScrollBar(Qt::Vertical, this);
    vsc->setObjectName(QStringLiteral("vsc"));
    vsc->setMinimum(0);
    vsc->setMaximum(view.ScrollMaximum());
    vsc->setSingleStep(1);
    vsc->setPageStep(1);
    vsc->setTracking(true); // the rows follow a dragged thumb
    vsc->setFocusPolicy(Qt::TabFocus);
    vsc->installEventFilter(this);
    connect(vsc, &QScrollBar::valueChanged, this, &frmBuffer::vsc_Change);

    auto* addressCaption = new QLabel(QStringLiteral("Address:"), this);
    auto* checkSumCaption = new QLabel(QStringLiteral("CheckSum:"), this);
    auto* crc32Caption = new QLabel(QStringLiteral("CRC-32:"), this);
    lblAddress = new QLabel(QStringLiteral("0000"), this);
    lblAddress->setObjectName(QStringLiteral("lblAddress"));
    lblCheckSum = new QLabel(QStringLiteral("0000"), this);
    lblCheckSum->setObjectName(QStringLiteral("lblCheckSum"));
    crc32 = new QLabel(QStringLiteral("00000000"), this);
    crc32->setObjectName(QStringLiteral("crc32"));
    // The sum misses two swapped bytes; the CRC is what a build or a
    // production record names the image by.
    const QString crcTip =
        QStringLiteral("CRC-32 of the device's part of the buffer (IEEE, as zlib and srec_cat)");
    crc32->setToolTip(crcTip);
    crc32Caption->setToolTip(crcTip);
    for (QLabel* value : {lblAddress, lblCheckSum, crc32}) {
        value->setFont(viewFont);
        value->setAlignment(Qt::AlignCenter);
        value->setAutoFillBackground(true);
        QPalette palette = value->palette();
        palette.setColor(QPalette::Window, QColor(0, 0, 128));
        palette.setColor(QPalette::WindowText, Qt::white);
        value->setPalette(palette);
    }

    setTabOrder(txtBuffer, vsc);

    // The text is as wide as the 69 columns; its height shows the header and
    // as many of the 16 rows as there is room for (FitRows).
    const QFontMetrics metrics(viewFont);
    const int frame = 2 * txtBuffer->frameWidth();
    const int margin = 2 * static_cast<int>(std::ceil(txtBuffer->document()->documentMargin()));
    txtBuffer->setFixedWidth(69 * metrics.horizontalAdvance(QLatin1Char('0')) + frame + margin + 4);
    // A line of the text control can be taller than the font's line spacing;
    // measure one as the control lays it out.
    txtBuffer->setPlainText(HexView::DisplayText(view.Text()));
    shownRevision = view.TextRevision();
    const QTextBlock header = txtBuffer->document()->firstBlock();
    lineHeight = std::max<double>(
        metrics.lineSpacing(),
        txtBuffer->document()->documentLayout()->blockBoundingRect(header).height());
    const auto textHeight = [&](int rows) {
        return static_cast<int>(std::ceil((rows + 1) * lineHeight)) + frame + margin + 2;
    };
    txtBuffer->setMinimumHeight(textHeight(MinimumRows));
    txtBuffer->setMaximumHeight(textHeight(HexView::RowCount));

    // Bottom line: captions and values left to right.
    auto* values = new QHBoxLayout;
    values->setSpacing(6);
    for (QLabel* label :
         {addressCaption, lblAddress, checkSumCaption, lblCheckSum, crc32Caption, crc32}) {
        values->addWidget(label);
        if (label == lblAddress || label == lblCheckSum)
            values->addSpacing(12);
    }
    for (QLabel* value : {lblAddress, lblCheckSum})
        value->setMinimumWidth(metrics.horizontalAdvance(QStringLiteral("00000")) + 4);
    crc32->setMinimumWidth(metrics.horizontalAdvance(QStringLiteral("000000000")) + 4);
    values->addStretch(1);

    // Under it, the next chip's own fields: three lines, as several fields
    // make a long one (the tool tip holds all of it).
    previewLine = new QLabel(this);
    previewLine->setObjectName(QStringLiteral("previewLine"));
    previewLine->setWordWrap(true);
    previewLine->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    previewLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
    previewLine->setFixedHeight(3 * previewLine->fontMetrics().lineSpacing() + 2);

    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setHorizontalSpacing(0);
    layout->addWidget(txtBuffer, 0, 0);
    layout->addWidget(vsc, 0, 1);
    layout->addLayout(values, 1, 0, 1, 2);
    layout->addWidget(previewLine, 2, 0, 1, 2);
    layout->setRowStretch(0, 1);
}

QSize frmBuffer::sizeHint() const {
    // All 16 rows, where the window has the room.
    const QSize shown = QWidget::sizeHint();
    const int textRow = std::max(vsc->sizeHint().height(), txtBuffer->sizeHint()
                                                               .expandedTo(txtBuffer->minimumSize())
                                                               .boundedTo(txtBuffer->maximumSize())
                                                               .height());
    return {shown.width(), shown.height() - textRow + txtBuffer->maximumHeight()};
}

void frmBuffer::FitRows() {
    // Whole lines only: the header and the rows below it.
    const double room = txtBuffer->viewport()->height() - txtBuffer->document()->documentMargin();
    const int rows = std::clamp(static_cast<int>(room / lineHeight) - 1, 1, HexView::RowCount);
    if (rows == view.Rows())
        return;
    view.SetRowCount(rows);
    ShowView();
}

void frmBuffer::UpdateBuffer() {
    view.UpdateBuffer();
    ShowView();
}

bool frmBuffer::GoTo(qint32 address) {
    if (!view.GoTo(address))
        return false;
    ShowView();
    return true;
}

void frmBuffer::ShowFound(qint32 address, int length) {
    view.SetFound(address, length);
    GoTo(address);
    ShowView();
}

void frmBuffer::SetChipPreview(const ChipPreview& chip) {
    preview = chip;
    const QString line = preview.line();
    // Cut at a word where it outgrows its lines; the tool tip holds it all.
    const QFontMetrics metrics(previewLine->font());
    const QRect room(0, 0, previewLine->width(), 1 << 20);
    QString shown = line, kept = line;
    while (metrics.boundingRect(room, Qt::TextWordWrap, shown).height() > previewLine->height()) {
        const qsizetype cut = kept.lastIndexOf(QLatin1Char(' '));
        if (cut <= 0)
            break;
        kept.truncate(cut);
        shown = kept + QStringLiteral(" ...");
    }
    previewLine->setText(shown);
    previewLine->setToolTip(line);
    // A refusal stands out; bytes read as the rest of the window.
    QPalette palette = previewLine->palette();
    palette.setColor(QPalette::WindowText, preview.problem.isEmpty()
                                               ? this->palette().color(QPalette::WindowText)
                                               : QColor(190, 0, 0));
    previewLine->setPalette(palette);
    MarkDigits();
}

void frmBuffer::vsc_Change(int value) {
    view.SetTopLine(value);
    ShowView();
}

void frmBuffer::ShowView() {
    if (shownRevision != view.TextRevision()) {
        txtBuffer->setPlainText(HexView::DisplayText(view.Text()));
        shownRevision = view.TextRevision();
    }
    if (vsc->value() != view.TopLine() || vsc->maximum() != view.ScrollMaximum()) {
        // The view has already redrawn itself for the new row.
        const QSignalBlocker blocker(vsc);
        vsc->setMaximum(view.ScrollMaximum());
        vsc->setValue(view.TopLine());
    }
    const int caret = HexView::ToDisplayPosition(view.ShownCaretPos());
    QTextCursor cursor(txtBuffer->document());
    cursor.setPosition(caret);
    cursor.setPosition(caret + 1, QTextCursor::KeepAnchor);
    txtBuffer->setTextCursor(cursor);
    // Keeping the caret visible may have scrolled the control while it was
    // still being laid out; the header line always stays on top.
    txtBuffer->verticalScrollBar()->setValue(0);
    lblAddress->setText(view.AddressText());
    lblCheckSum->setText(view.CheckSumText());
    crc32->setText(view.Crc32Text());
    MarkDigits();
}

void frmBuffer::MarkDigits() {
    QList<QTextEdit::ExtraSelection> marks;
    auto mark = [&](int pos, int length, const QTextCharFormat& format) {
        QTextEdit::ExtraSelection selection;
        selection.cursor = QTextCursor(txtBuffer->document());
        selection.cursor.setPosition(HexView::ToDisplayPosition(pos));
        selection.cursor.setPosition(HexView::ToDisplayPosition(pos) + length,
                                     QTextCursor::KeepAnchor);
        selection.format = format;
        marks.append(selection);
    };
    const qint32 top = view.TopLine() * HexView::BytesPerRow;
    const qint32 shown = view.Rows() * HexView::BytesPerRow;
    // First, so that found and selected bytes show over them.
    QTextCharFormat perChip;
    perChip.setBackground(PerChipBackground);
    for (const FieldPreview& field : preview.fields)
        for (qint64 a = std::max<qint64>(top, field.address);
             a < std::min<qint64>(top + shown, field.end()); ++a) {
            const int digit = view.PositionOf(qint32(a));
            if (digit < 0)
                continue;
            mark(digit, 2, perChip);
            mark(view.CharacterPositionOf(qint32(a)), 1, perChip);
        }
    QTextCharFormat found;
    found.setBackground(QColor(255, 230, 120));
    for (qint32 a = std::max(top, view.FoundAddress());
         a < std::min(top + shown, view.FoundAddress() + view.FoundLength()); ++a)
        mark(view.PositionOf(a), 2, found);
    if (view.HasSelection()) {
        QTextCharFormat selected;
        selected.setBackground(QColor(170, 200, 250));
        for (qint32 a = std::max(top, view.SelectionFirst());
             a <= std::min(top + shown - 1, view.SelectionLast()); ++a) {
            mark(view.PositionOf(a), 2, selected);
            mark(view.CharacterPositionOf(a), 1, selected);
        }
    }
    {
        const BufferHistory& history = model.History();
        QTextCharFormat changed;
        changed.setForeground(QColor(200, 0, 0));
        for (qint32 a = top; a < top + shown; ++a) {
            // Both digits in one mark: the text control draws only the first
            // of two adjoining one-character marks.
            const bool high = history.HighDigitChanged(a), low = history.LowDigitChanged(a);
            if (high || low)
                mark(view.PositionOf(a) + (high ? 0 : 1), high && low ? 2 : 1, changed);
        }
    }
    txtBuffer->setExtraSelections(marks);
}

void frmBuffer::ShowAddress(qint32 address) {
    view.ShowAddress(address);
    ShowView();
    txtBuffer->setFocus(Qt::OtherFocusReason);
}

bool frmBuffer::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize && watched == txtBuffer->viewport())
        FitRows();
    if (event->type() == QEvent::Wheel && (watched == vsc || watched == txtBuffer->viewport()))
        return Wheel(event);
    if (watched == txtBuffer)
        return txtBuffer_Key(event);
    if (watched == txtBuffer->viewport())
        return txtBuffer_Mouse(event);
    return QWidget::eventFilter(watched, event);
}

// Alt+F opens the File menu and Ctrl+key is a command: neither is a typed
// hex digit, and the text control must not swallow them as text.
static bool IsCommandKey(const QKeyEvent* key) {
    return key->modifiers() & (Qt::AltModifier | Qt::ControlModifier | Qt::MetaModifier);
}

bool frmBuffer::txtBuffer_Key(QEvent* event) {
    switch (event->type()) {
    case QEvent::ShortcutOverride:
        if (IsCommandKey(static_cast<QKeyEvent*>(event))) {
            event->ignore(); // let the menus have it
            return true;
        }
        return false;
    case QEvent::KeyPress: {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab)
            return false; // moves the focus to the scroll bar
        view.KeyDown(key->key(), key->modifiers() & Qt::ControlModifier,
                     key->modifiers() & Qt::ShiftModifier);
        const QString typed = key->text();
        if (typed.size() == 1 && !IsCommandKey(key) && typed.at(0).isPrint()) {
            typing = true;
            view.KeyPress(typed.at(0),
                          [this](qint32 address, quint8 value) { model.SetByte(address, value); });
            typing = false;
        }
        ShowView();
        return true; // the text control itself never edits or moves
    }
    case QEvent::KeyRelease:
        ShowView();
        return true;
    default:
        return false;
    }
}

int frmBuffer::CharacterAt(const QPoint& point) const {
    // The text control answers with the nearest gap between characters: the
    // right half of a digit would give the next one. The character under the
    // pointer starts at that gap or ends at it.
    const QTextCursor nearest = txtBuffer->cursorForPosition(point);
    const QTextBlock block = nearest.block();
    for (const int at : {nearest.position() - 1, nearest.position()}) {
        if (at < block.position() || at >= block.position() + block.length() - 1)
            continue;
        QTextCursor from(txtBuffer->document());
        from.setPosition(at);
        QTextCursor to(from);
        to.movePosition(QTextCursor::NextCharacter);
        const QRect left = txtBuffer->cursorRect(from), right = txtBuffer->cursorRect(to);
        if (point.x() >= left.left() && point.x() < right.left() && point.y() >= left.top() &&
            point.y() <= left.bottom())
            return at;
    }
    return -1;
}

// The wheel moves the rows a fixed three a notch, whatever the desktop's
// setting for text, over the rows and over the scroll bar alike.
bool frmBuffer::Wheel(QEvent* event) {
    view.Wheel(static_cast<QWheelEvent*>(event)->angleDelta().y());
    ShowView();
    return true;
}

bool frmBuffer::ShowFieldTip(QEvent* event) {
    auto* help = static_cast<QHelpEvent*>(event);
    const int shown = CharacterAt(help->pos());
    const qint32 address = shown < 0 ? -1 : view.ByteAt(HexView::FromDisplayPosition(shown));
    const FieldPreview* field = address < 0 ? nullptr : preview.fieldAt(address);
    if (!field) {
        QToolTip::hideText();
        event->ignore();
        return true;
    }
    QToolTip::showText(
        help->globalPos(),
        QStringLiteral("Next chip: ") + field->text() +
            (preview.problem.isEmpty() ? QString() : QStringLiteral("\n") + preview.problem),
        txtBuffer->viewport());
    return true;
}

bool frmBuffer::txtBuffer_Mouse(QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        txtBuffer->setFocus(Qt::MouseFocusReason);
        if (mouse->button() == Qt::LeftButton) {
            const int shown = CharacterAt(mouse->position().toPoint());
            if (shown >= 0)
                view.Click(HexView::FromDisplayPosition(shown));
        }
        ShowView();
        return true;
    }
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseButtonRelease:
        ShowView();
        return true;
    case QEvent::MouseMove: {
        // Dragging selects from the byte pressed.
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->buttons() & Qt::LeftButton) {
            const int shown = CharacterAt(mouse->position().toPoint());
            if (shown >= 0)
                view.DragTo(HexView::FromDisplayPosition(shown));
            ShowView();
        }
        return true;
    }
    case QEvent::ContextMenu:
        return true; // no Select All
    case QEvent::ToolTip:
        return ShowFieldTip(event);
    case QEvent::Wheel:
        // The text never scrolls by itself; the wheel moves the rows instead.
        QCoreApplication::sendEvent(vsc, event);
        return true;
    default:
        return false;
    }
}

} // namespace varn
