#include "editor/frmbufferfill.h"
#include "ui/messagebox.h"

#include <QLineEdit>
#include <QPushButton>
#include <QtTest>
#include <memory>

using namespace varn;

class tst_frmBufferFill : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void opensWithDefaults();
    void okReadsTheBoxes_data();
    void okReadsTheBoxes();
    void escapeAndFrameCancel_data();
    void escapeAndFrameCancel();
    void enterInABoxIsOk();

private:
    QLineEdit* Box(const char* name) const {
        return dialog->findChild<QLineEdit*>(QLatin1String(name));
    }
    QPushButton* Button(const char* name) const {
        return dialog->findChild<QPushButton*>(QLatin1String(name));
    }

    std::unique_ptr<AppState> state;
    std::unique_ptr<frmBufferFill> dialog;
    QList<ShownMessage> messages;
};

void tst_frmBufferFill::init() {
    messages.clear();
    SetMessageHandler([this](const ShownMessage& m) { messages.append(m); });
    state = std::make_unique<AppState>();
    // Left over from an earlier fill; opening the dialog must reset them.
    state->FillConfirmed = true;
    state->FillByte = 0x12;
    state->FillStart = 0x345;
    state->FillLength = 0x67;
    dialog = std::make_unique<frmBufferFill>(*state);
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
}

void tst_frmBufferFill::cleanup() {
    dialog.reset();
    SetMessageHandler({});
}

void tst_frmBufferFill::opensWithDefaults() {
    QCOMPARE(dialog->objectName(), QStringLiteral("frmBufferFill"));
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Buffer Fill"));
    QCOMPARE(state->FillConfirmed, false);
    QCOMPARE(int(state->FillByte), 0xFF);
    QCOMPARE(Box("txtFillWith")->text(), QStringLiteral("FF"));
    QCOMPARE(Box("txtStart")->text(), QStringLiteral("0000"));
    QCOMPARE(Box("txtLength")->text(), QStringLiteral("1"));
    QCOMPARE(Box("txtFillWith")->maxLength(), 2);
    QCOMPARE(Box("txtStart")->maxLength(), 4);
    QCOMPARE(Box("txtLength")->maxLength(), 4);
    QCOMPARE(Button("cmdOk")->text(), QStringLiteral("OK"));
    QCOMPARE(Button("cmdCancel")->text(), QStringLiteral("Cancel"));
    QCOMPARE(dialog->focusWidget(), Button("cmdCancel"));
    // Tab walks Cancel, OK, then the three boxes.
    const QList<QWidget*> order{Button("cmdCancel"), Button("cmdOk"),  Box("txtFillWith"),
                                Box("txtStart"),     Box("txtLength"), Button("cmdCancel")};
    for (int i = 0; i + 1 < order.size(); ++i) {
        QWidget* next = order[i]->nextInFocusChain();
        while (!(next->focusPolicy() & Qt::TabFocus))
            next = next->nextInFocusChain();
        QCOMPARE(next, order[i + 1]);
    }
}

void tst_frmBufferFill::okReadsTheBoxes_data() {
    QTest::addColumn<QString>("fillWith");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("length");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("fillByte");
    QTest::addColumn<int>("fillStart");
    QTest::addColumn<int>("fillLength");
    QTest::addColumn<QString>("messagePart");

    QTest::newRow("OK at once") << "FF"
                                << "0000"
                                << "1" << true << 0xFF << 0 << 1 << "";
    QTest::newRow("empty fill value") << ""
                                      << "0000"
                                      << "1" << true << 0xFF << 0 << 1 << "";
    QTest::newRow("one digit") << "7"
                               << "100"
                               << "10" << true << 0x07 << 0x100 << 0x10 << "";
    QTest::newRow("lower case") << "a"
                                << "abcd"
                                << "ef" << true << 0x0A << 0xABCD << 0xEF << "";
    QTest::newRow("digit then junk") << "1G"
                                     << "0"
                                     << "0" << true << 0x01 << 0 << 0 << "";
    QTest::newRow("junk only") << "G"
                               << "FFFF"
                               << "0" << true << 0x00 << 0xFFFF << 0 << "";
    QTest::newRow("up to the last index") << "00"
                                          << "FFFF"
                                          << "1172" << true << 0x00 << 0xFFFF << 0x1172 << "";
    QTest::newRow("empty start") << "00"
                                 << ""
                                 << "1" << false << 0 << 0 << 0 << "start";
    QTest::newRow("non-hex start") << "00"
                                   << "12G"
                                   << "1" << false << 0 << 0 << 0 << "12G";
    QTest::newRow("spaced length") << "00"
                                   << "0"
                                   << " 1" << false << 0 << 0 << 0 << "length";
    QTest::newRow("empty length") << "00"
                                  << "0"
                                  << "" << false << 0 << 0 << 0 << "length";
    QTest::newRow("past the buffer") << "00"
                                     << "FFFF"
                                     << "FFFF" << false << 0 << 0 << 0 << "11170";
    QTest::newRow("one past the buffer") << "00"
                                         << "FFFF"
                                         << "1173" << false << 0 << 0 << 0 << "FFFF..11171";
}

void tst_frmBufferFill::okReadsTheBoxes() {
    QFETCH(QString, fillWith);
    QFETCH(QString, start);
    QFETCH(QString, length);
    QFETCH(bool, accepted);
    QFETCH(int, fillByte);
    QFETCH(int, fillStart);
    QFETCH(int, fillLength);
    QFETCH(QString, messagePart);

    Box("txtFillWith")->setText(fillWith);
    Box("txtStart")->setText(start);
    Box("txtLength")->setText(length);
    QTest::mouseClick(Button("cmdOk"), Qt::LeftButton);

    QCOMPARE(state->FillConfirmed, accepted);
    QCOMPARE(dialog->isVisible(), !accepted);
    if (accepted) {
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QVERIFY(messages.isEmpty());
        QCOMPARE(int(state->FillByte), fillByte);
        QCOMPARE(state->FillStart, fillStart);
        QCOMPARE(state->FillLength, fillLength);
    } else {
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].title, QStringLiteral("Buffer Fill"));
        QCOMPARE(messages[0].icon, MsgIcon::Warning);
        QVERIFY2(messages[0].text.contains(messagePart), qPrintable(messages[0].text));
        // Nothing of the refused entry reached the caller.
        QCOMPARE(int(state->FillByte), 0xFF);
        // Mending the box and pressing OK again is accepted.
        Box("txtStart")->setText(QStringLiteral("10"));
        Box("txtLength")->setText(QStringLiteral("2"));
        QTest::mouseClick(Button("cmdOk"), Qt::LeftButton);
        QVERIFY(state->FillConfirmed);
        QCOMPARE(state->FillStart, 0x10);
        QCOMPARE(state->FillLength, 2);
        QVERIFY(!dialog->isVisible());
    }
}

void tst_frmBufferFill::escapeAndFrameCancel_data() {
    QTest::addColumn<int>("how");
    QTest::newRow("Esc") << 0;
    QTest::newRow("Cancel button") << 1;
    QTest::newRow("window frame") << 2;
}

void tst_frmBufferFill::escapeAndFrameCancel() {
    QFETCH(int, how);
    Box("txtFillWith")->setText(QStringLiteral("00"));
    if (how == 0)
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
    else if (how == 1)
        QTest::mouseClick(Button("cmdCancel"), Qt::LeftButton);
    else
        dialog->close();
    QVERIFY(!dialog->isVisible());
    QCOMPARE(dialog->result(), int(QDialog::Rejected));
    QCOMPARE(state->FillConfirmed, false);
    QCOMPARE(int(state->FillByte), 0xFF);
    QVERIFY(messages.isEmpty());
}

void tst_frmBufferFill::enterInABoxIsOk() {
    Box("txtLength")->setFocus();
    Box("txtLength")->setText(QStringLiteral("20"));
    QTest::keyClick(Box("txtLength"), Qt::Key_Return);
    QVERIFY(state->FillConfirmed);
    QCOMPARE(state->FillLength, 0x20);
    QVERIFY(!dialog->isVisible());
}

QTEST_MAIN(tst_frmBufferFill)
#include "tst_frmbufferfill.moc"
