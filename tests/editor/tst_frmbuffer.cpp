#include "core/hextext.h"
#include "editor/frmbuffer.h"
#include "editor/imagemodel.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QtTest>
#include <memory>
#include <tuple>

using namespace varn;

// part: of the character: 0 left edge, 1 middle, 2 right edge
using ClickCase = std::tuple<int, int, int, QString, QString, bool>;

class tst_frmBuffer : public QObject {
    Q_OBJECT

    // Row r of the text as the widget shows it.
    QString ShownRow(int row) const { return text->document()->findBlockByNumber(row + 1).text(); }
    QString Selected() const { return text->textCursor().selectedText(); }

    std::unique_ptr<AppState> state;
    std::unique_ptr<ImageModel> model;
    std::unique_ptr<frmBuffer> window;
    QPlainTextEdit* text = nullptr;
    QScrollBar* scroll = nullptr;
    QLabel* lblAddress = nullptr;

private slots:
    void cleanup() { window.reset(); }

    void init() {
        state = std::make_unique<AppState>();
        state->DeviceCount = 1;
        state->DeviceTable[1] = DeviceEntry{QStringLiteral("TEST"), 1, 1024};
        state->SelectedDevice = 1;
        for (int i = 0; i < 1024; ++i)
            state->Buffer[i] = static_cast<quint8>(i / 16);
        model = std::make_unique<ImageModel>(*state);
        window = std::make_unique<frmBuffer>(*model);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        text = window->findChild<QPlainTextEdit*>(QStringLiteral("txtBuffer"));
        scroll = window->findChild<QScrollBar*>(QStringLiteral("vsc"));
        lblAddress = window->findChild<QLabel*>(QStringLiteral("lblAddress"));
        QVERIFY(text && scroll && lblAddress);
        text->setFocus();
    }

    void showsTheBuffer() {
        QCOMPARE(ShownRow(15).left(8), QStringLiteral("00F0=0F "));
        QCOMPARE(Selected(), QStringLiteral("0"));
        QCOMPARE(text->textCursor().selectionStart(), 64 + 5);
        // Bytes 0..1023 are i / 16: sixteen times 0 + 1 + ... + 63 = 32256 = 7E00.
        QCOMPARE(window->findChild<QLabel*>(QStringLiteral("lblCheckSum"))->text(),
                 QStringLiteral("7E00"));
        QCOMPARE(scroll->maximum(), 48);
        // The whole view is in sight: the header on the top line, row 15 whole.
        QCOMPARE(text->cursorForPosition(QPoint(2, 2)).blockNumber(), 0);
        QTextCursor last(text->document()->findBlockByNumber(16));
        QVERIFY(text->cursorRect(last).bottom() <= text->viewport()->height());
    }

    // A window with less room shows fewer rows, each of them whole, and
    // scrolls over the rest; four rows stay at the least.
    void rowsFollowTheHeight_data() {
        QTest::addColumn<int>("fewer"); // lines less than all 16 rows need
        QTest::newRow("room for all") << 0;
        QTest::newRow("three lines less") << 3;
        QTest::newRow("too small") << 40;
    }
    void rowsFollowTheHeight() {
        QFETCH(int, fewer);
        const auto top = [this](int block) {
            return text->cursorRect(QTextCursor(text->document()->findBlockByNumber(block))).top();
        };
        window->resize(window->sizeHint() - QSize(0, fewer * (top(2) - top(1))));
        const int rows = std::clamp(16 - fewer, 4, 16);
        // The header, then the rows (ShownRow), each in sight.
        QVERIFY(ShownRow(rows - 1).startsWith(QStringLiteral("%1=").arg(HexWord((rows - 1) * 16))));
        QVERIFY(ShownRow(rows).isEmpty());
        QVERIFY(text->cursorRect(QTextCursor(text->document()->findBlockByNumber(rows))).top() <=
                text->viewport()->height());
        QCOMPARE(scroll->maximum(), 64 - rows);
    }

    // The caret model has tests of its own; here the widget must hand keys to it
    // and show the result: selection, address, row and checksum.
    void keysReachTheView() {
        QTest::keyClicks(text, QStringLiteral("a5"));
        QCOMPARE(int(state->Buffer[0]), 0xA5);
        QVERIFY(ShownRow(0).startsWith(QStringLiteral("0000=A5 00 ")));
        QCOMPARE(lblAddress->text(), QStringLiteral("0001"));
        QCOMPARE(text->textCursor().selectionStart(), 64 + 5 + 3);
        QCOMPARE(window->findChild<QLabel*>(QStringLiteral("lblCheckSum"))->text(),
                 QStringLiteral("7EA5")); // 7E00 + A5
        // Alt+F must reach the menu bar, not the text control as the digit F;
        // nor may Alt or Ctrl with a digit type.
        QKeyEvent overrideEvent(QEvent::ShortcutOverride, Qt::Key_F, Qt::AltModifier,
                                QStringLiteral("f"));
        overrideEvent.ignore();
        QCoreApplication::sendEvent(text, &overrideEvent);
        QVERIFY(!overrideEvent.isAccepted());
        QTest::keyClick(text, Qt::Key_A, Qt::AltModifier);
        QTest::keyClick(text, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(int(state->Buffer[1]), 0x00);
        QCOMPARE(lblAddress->text(), QStringLiteral("0001"));
    }

    void scrollBarMovesTheView() {
        QTest::keyClick(text, Qt::Key_Right);
        scroll->setValue(7);
        QCOMPARE(ShownRow(0).left(5), QStringLiteral("0070="));
        QCOMPARE(ShownRow(15).left(5), QStringLiteral("0160="));
        QCOMPARE(lblAddress->text(), QStringLiteral("0070"));
        QCOMPARE(text->textCursor().selectionStart(), 64 + 5);
        // The arrow keys then scroll onwards from there.
        QTest::keyClick(text, Qt::Key_Up);
        QCOMPARE(scroll->value(), 6);
        QCOMPARE(ShownRow(0).left(5), QStringLiteral("0060="));
        // A change of the image redraws in place: top row and caret stay.
        model->SetByte(0x60, 0xAB);
        QCOMPARE(ShownRow(0).left(8), QStringLiteral("0060=AB "));
        QCOMPARE(scroll->value(), 6);
        QCOMPARE(lblAddress->text(), QStringLiteral("0060"));
        // A replaced image (a load, Clear, a Read) shows from address 0.
        model->Clear();
        QCOMPARE(ShownRow(0).left(8), QStringLiteral("0000=FF "));
        QCOMPARE(scroll->value(), 0);
    }

    void clickPicksADigit_data() {
        QTest::addColumn<ClickCase>("testCase");
        const char* const parts[] = {"left edge", "middle", "right edge"};
        for (int part = 0; part < 3; ++part) {
            QTest::addRow("high digit, %s", parts[part])
                << ClickCase(2, 5 + 3 * 4, part, "0024", QString("0"), true);
            QTest::addRow("low digit, %s", parts[part])
                << ClickCase(3, 5 + 3 * 15 + 1, part, "003F", QString("3"), false);
            QTest::addRow("separator, %s", parts[part])
                << ClickCase(2, 5 + 2, part, "0001", QString("0"), true);
        }
        QTest::newRow("header") << ClickCase(-1, 10, 1, "0001", QString("0"), true);
    }

    void clickPicksADigit() {
        QFETCH(ClickCase, testCase);
        auto [row, column, part, address, selected, highDigit] = testCase;
        QTest::keyClick(text, Qt::Key_Right);
        QTest::keyClick(text, Qt::Key_Right);
        QTextCursor cursor(text->document()->findBlockByNumber(row + 1));
        cursor.setPosition(cursor.position() + column);
        const QRect rect = text->cursorRect(cursor);
        cursor.movePosition(QTextCursor::NextCharacter);
        const int right = text->cursorRect(cursor).left() - 1;
        const int x = part == 0 ? rect.left() : part == 1 ? (rect.left() + right) / 2 : right;
        QTest::mouseClick(text->viewport(), Qt::LeftButton, {}, QPoint(x, rect.center().y()));
        QCOMPARE(lblAddress->text(), address);
        QCOMPARE(Selected(), selected);
        // A double-click selects no word, only the caret.
        QTest::mouseDClick(text->viewport(), Qt::LeftButton, {},
                           text->cursorRect(text->textCursor()).center());
        QCOMPARE(Selected(), selected);
        // Typing goes to the byte named by the address.
        QTest::keyClicks(text, QStringLiteral("E"));
        const int byte = state->Buffer[address.toInt(nullptr, 16)];
        QCOMPARE(highDigit ? byte >> 4 : byte & 0xF, 0xE);
    }

    // Shift+arrows and dragging select bytes, marked in both columns; a click
    // on a character puts the caret there, and typed characters are bytes.
    void selectionAndCharacters() {
        const auto at = [&](int row, int column) {
            QTextCursor cursor(text->document()->findBlockByNumber(row + 1));
            cursor.setPosition(cursor.position() + column);
            return text->cursorRect(cursor).center() + QPoint(2, 0);
        };
        const auto marked = [&] {
            int count = 0;
            for (const QTextEdit::ExtraSelection& mark : text->extraSelections())
                count += mark.format.background().color() == QColor(170, 200, 250);
            return count;
        };
        QTest::keyClick(text, Qt::Key_Right, Qt::ShiftModifier);
        QTest::keyClick(text, Qt::Key_Right, Qt::ShiftModifier);
        QCOMPARE(QList<int>({window->View().SelectionFirst(), window->View().SelectionLast()}),
                 QList<int>({0, 2}));
        QCOMPARE(marked(), 6);
        QTest::keyClick(text, Qt::Key_Down);
        QVERIFY(!window->View().HasSelection());
        QTest::mousePress(text->viewport(), Qt::LeftButton, {}, at(1, 5 + 3));
        QMouseEvent drag(QEvent::MouseMove, at(1, 5 + 9), text->viewport()->mapToGlobal(at(1, 14)),
                         Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(text->viewport(), &drag);
        QTest::mouseRelease(text->viewport(), Qt::LeftButton, {}, at(1, 5 + 9));
        QCOMPARE(QList<int>({window->View().SelectionFirst(), window->View().SelectionLast()}),
                 QList<int>({0x11, 0x13}));
        QTest::mouseClick(text->viewport(), Qt::LeftButton, {}, at(3, 53));
        QCOMPARE(lblAddress->text(), QStringLiteral("0030"));
        QTest::keyClicks(text, QStringLiteral("Hi"));
        QCOMPARE(QList<int>({state->Buffer[0x30], state->Buffer[0x31]}), QList<int>({'H', 'i'}));
        QCOMPARE(ShownRow(3).mid(53, 3), QStringLiteral("Hi."));
        QCOMPARE(lblAddress->text(), QStringLiteral("0032"));
    }

    void wheelScrollsRowsNotText() {
        const QPoint at = text->viewport()->rect().center();
        for (int i = 0; i < 3; ++i) {
            QWheelEvent wheel(at, text->viewport()->mapToGlobal(at), QPoint(), QPoint(0, -120),
                              Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QCoreApplication::sendEvent(text->viewport(), &wheel);
        }
        QVERIFY(scroll->value() > 0);
        // The header stays the first line in view; the top row is the scroll bar's.
        QCOMPARE(text->cursorForPosition(QPoint(2, 2)).blockNumber(), 0);
        QCOMPARE(ShownRow(0).left(4), HexWord(scroll->value() * 16));
        QCOMPARE(lblAddress->text(), ShownRow(0).left(4));
    }
    // The next chip's fields: their bytes, digits and characters, on their
    // own background and named under the view; the buffer keeps its bytes,
    // and a digit typed there still edits it.
    void chipPreviewMarksTheFields() {
        ChipPreview preview;
        preview.fields = {{0x12, 2, "crc16", QByteArray::fromHex("29B1")},
                          {0x1F, 2, "serial", QByteArray::fromHex("0102")}};
        const auto before = state->Buffer;
        window->SetChipPreview(preview);
        QCOMPARE(window->findChild<QLabel*>("previewLine")->text(),
                 QStringLiteral("Next chip: crc16@0012 = 29 B1, serial@001F = 01 02"));
        // Shown row, column and length of every mark on the fields' colour.
        QList<QList<int>> marks;
        for (const QTextEdit::ExtraSelection& mark : text->extraSelections())
            if (mark.format.background().color() == QColor(225, 205, 245))
                marks.append({mark.cursor.block().blockNumber() - 1,
                              mark.cursor.selectionStart() - mark.cursor.block().position(),
                              mark.cursor.selectionEnd() - mark.cursor.selectionStart()});
        std::sort(marks.begin(), marks.end());
        QCOMPARE(marks, (QList<QList<int>>{{1, 11, 2},
                                           {1, 14, 2},
                                           {1, 50, 2},
                                           {1, 55, 1},
                                           {1, 56, 1},
                                           {1, 68, 1},
                                           {2, 5, 2},
                                           {2, 53, 1}}));
        QVERIFY(state->Buffer == before);
        window->GoTo(0x12);
        QTest::keyClicks(text, QStringLiteral("ab"));
        QCOMPARE(int(state->Buffer[0x12]), 0xAB);
    }
};

QTEST_MAIN(tst_frmBuffer)
#include "tst_frmbuffer.moc"
