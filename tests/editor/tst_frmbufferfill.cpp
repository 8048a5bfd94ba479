#include "editor/frmbufferfill.h"
#include "support/messagelog.h"

#include <QLineEdit>
#include <QPushButton>
#include <QtTest>
#include <memory>
#include <tuple>

using namespace varn;
using varn::test::MessageLog;

using BoxesCase = std::tuple<QStringList, QList<int>, QString>;

class tst_frmBufferFill : public QObject {
    Q_OBJECT

    QLineEdit* Box(const char* name) const {
        return dialog->findChild<QLineEdit*>(QLatin1String(name));
    }
    QPushButton* Button(const char* name) const {
        return dialog->findChild<QPushButton*>(QLatin1String(name));
    }

    std::unique_ptr<frmBufferFill> dialog;
    std::unique_ptr<MessageLog> messages;

private slots:
    void init() {
        messages = std::make_unique<MessageLog>();
        // The start box begins at the caret's address.
        dialog = std::make_unique<frmBufferFill>(0x345);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    }

    void cleanup() {
        dialog.reset();
        messages.reset();
    }

    void okReadsTheBoxes_data() {
        // The three boxes' texts, then the value, start and length read, or the
        // part of the warning when the dialog stays open.
        QTest::addColumn<BoxesCase>("testCase");
        QTest::newRow("empty fill value") << BoxesCase({"", "0000", "1"}, {0xFF, 0, 1}, "");
        QTest::newRow("lower case") << BoxesCase({"a", "abcd", "ef"}, {0x0A, 0xABCD, 0xEF}, "");
        QTest::newRow("digit then junk") << BoxesCase({"1G", "0", "0"}, {0x01, 0, 0}, "");
        QTest::newRow("up to the last index")
            << BoxesCase({"00", "FFFF", "1172"}, {0x00, 0xFFFF, 0x1172}, "");
        QTest::newRow("empty start") << BoxesCase({"00", "", "1"}, {}, "start");
        QTest::newRow("spaced length") << BoxesCase({"00", "0", " 1"}, {}, "length");
        QTest::newRow("one past the buffer")
            << BoxesCase({"00", "FFFF", "1173"}, {}, "FFFF..11171");
    }

    void okReadsTheBoxes() {
        QFETCH(BoxesCase, testCase);
        auto [boxes, read, messagePart] = testCase;
        Box("txtFillWith")->setText(boxes[0]);
        Box("txtStart")->setText(boxes[1]);
        Box("txtLength")->setText(boxes[2]);
        QTest::mouseClick(Button("cmdOk"), Qt::LeftButton);

        const bool accepted = !read.isEmpty();
        const std::optional<FillRequest>& result = dialog->Result();
        QCOMPARE(bool(result), accepted);
        QCOMPARE(dialog->isVisible(), !accepted);
        if (accepted) {
            QVERIFY(messages->isEmpty());
            QCOMPARE(QList<int>({int(result->value), int(result->start), int(result->length)}),
                     read);
            return;
        }
        QCOMPARE(messages->titles(), QStringList{"Buffer Fill"});
        QCOMPARE((*messages)[0].icon, MsgIcon::Warning);
        QVERIFY2((*messages)[0].text.contains(messagePart), qPrintable((*messages)[0].text));
        // Mending the boxes and pressing OK again is accepted.
        Box("txtStart")->setText(QStringLiteral("10"));
        Box("txtLength")->setText(QStringLiteral("2"));
        QTest::mouseClick(Button("cmdOk"), Qt::LeftButton);
        QVERIFY(result);
        QCOMPARE(result->start, 0x10);
        QCOMPARE(result->length, 2);
        QVERIFY(!dialog->isVisible());
    }

    void enterInABoxIsOk() {
        Box("txtLength")->setFocus();
        Box("txtLength")->setText(QStringLiteral("20"));
        QTest::keyClick(Box("txtLength"), Qt::Key_Return);
        QVERIFY(dialog->Result());
        QCOMPARE(QList<int>({dialog->Result()->start, dialog->Result()->length}),
                 QList<int>({0x345, 0x20}));
        QVERIFY(!dialog->isVisible());
    }
};

QTEST_MAIN(tst_frmBufferFill)
#include "tst_frmbufferfill.moc"
