#include "functions/frmfunction.h"
#include "link/scriptedtransport.h"
#include "ui/messagebox.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>
#include <optional>

using namespace varn;

namespace {

QByteArray Letter(char c) {
    return QByteArray(1, '\x01') + c;
}

struct Window {
    explicit Window(AppState& state, ScriptedTransport& unit) : dlg(state, unit) {}
    template <typename T> T* child(const QString& name) {
        T* w = dlg.findChild<T*>(name);
        if (!w)
            qFatal("no child %s", qPrintable(name));
        return w;
    }
    QString line(int i) { return child<QLabel>(QStringLiteral("lblMsg%1").arg(i))->text(); }
    QPushButton* run() { return child<QPushButton>(QStringLiteral("cmdRun")); }
    QPushButton* close() { return child<QPushButton>(QStringLiteral("cmdClose")); }
    void select(int row) { child<QListWidget>(QStringLiteral("listFunction"))->setCurrentRow(row); }
    frmFunction dlg;
};

} // namespace

class TestFrmFunction : public QObject {
    Q_OBJECT

    AppState state;
    std::optional<ScriptedTransport> unit;
    QList<ShownMessage> messages;
    std::function<void()> duringMessage;

private slots:
    void init() {
        state = AppState();
        unit.emplace();
        state.DeviceTable[1] = {QStringLiteral("Small"), 2, 4096};
        state.DeviceTable[2] = {QStringLiteral("Eight K"), 3, 8192};
        state.DeviceCount = 2;
        state.SelectedDevice = 2;
        state.UnitIdentified = true;
        messages.clear();
        duringMessage = nullptr;
        SetMessageHandler([this](const ShownMessage& m) {
            messages.append(m);
            if (duringMessage)
                duringMessage();
        });
    }
    void cleanup() { SetMessageHandler({}); }

    void loadSequence_data() {
        QTest::addColumn<bool>("identified");
        QTest::addColumn<int>("selected");
        QTest::addColumn<QByteArray>("frames");
        QTest::addColumn<QString>("end");

        const QByteArray common = Letter('+') + Letter('-');
        const QByteArray tail = Letter('P') + Letter('P');
        QTest::newRow("identified, 8 KiB device")
            << true << 2 << common + Letter('c') + tail << QStringLiteral("2000");
        QTest::newRow("identified, 4 KiB device")
            << true << 1 << common + Letter('b') + tail << QStringLiteral("1000");
        QTest::newRow("not identified: no device select")
            << false << 2 << common + tail << QStringLiteral("2000");
        QTest::newRow("no device selected")
            << true << 0 << common + Letter('`') + tail << QStringLiteral("0000");
    }
    void loadSequence() {
        QFETCH(bool, identified);
        QFETCH(int, selected);
        QFETCH(QByteArray, frames);
        QFETCH(QString, end);
        state.UnitIdentified = identified;
        state.SelectedDevice = qint16(selected);

        Window w(state, *unit);
        QSignalSpy stateSpy(&w.dlg, &frmFunction::unitStateChanged);
        w.dlg.Form_Load();

        QCOMPARE(unit->sentBytes(), frames);
        QVERIFY(state.UnitInReset);
        QCOMPARE(stateSpy.count(), 1);
        QCOMPARE(w.child<QLineEdit>(QStringLiteral("txtChipStart"))->text(),
                 QStringLiteral("0000"));
        QCOMPARE(w.child<QLineEdit>(QStringLiteral("txtBufferStart"))->text(),
                 QStringLiteral("0000"));
        QCOMPARE(w.child<QLineEdit>(QStringLiteral("txtChipEnd"))->text(), end);
        QCOMPARE(w.child<QLineEdit>(QStringLiteral("txtBufferEnd"))->text(), end);
        QCOMPARE(w.child<QLabel>(QStringLiteral("lblProgress"))->text(), QStringLiteral("0%"));
        QCOMPARE(w.child<QListWidget>(QStringLiteral("listFunction"))->currentItem()->text(),
                 QStringLiteral("Read"));
        QCOMPARE(w.run()->isEnabled(), identified);
        QVERIFY(w.close()->isEnabled());

        // Enter presses Run only when it may run; otherwise nothing is sent.
        w.dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.dlg));
        w.select(FnErase);
        const int before = unit->Sent.size();
        QTest::keyClick(w.child<QListWidget>(QStringLiteral("listFunction")), Qt::Key_Return);
        if (identified) {
            QCOMPARE(unit->Sent.mid(before).value(0), Letter('E'));
            QCOMPARE(w.line(0), QStringLiteral("Erasing ...   OK!"));
        } else {
            QCOMPARE(unit->Sent.size(), before);
            QCOMPARE(w.line(0), QString());
        }
        QVERIFY(w.dlg.isVisible());
    }

    void readFromListClosesWindow_data() {
        QTest::addColumn<bool>("timeOut");
        QTest::newRow("read completes") << false;
        QTest::newRow("read times out") << true;
    }
    void readFromListClosesWindow() {
        QFETCH(bool, timeOut);
        for (int i = 0; i < 8192; ++i)
            unit->Memory[i] = char(i * 7 + 3);
        if (timeOut)
            unit->dropReply(3);
        Window w(state, *unit);
        w.dlg.Form_Load();
        w.dlg.show();
        w.select(FnRead);
        QTest::mouseClick(w.run(), Qt::LeftButton);

        QVERIFY(!w.dlg.isVisible());
        QCOMPARE(w.dlg.result(), int(QDialog::Accepted));
        QVERIFY(w.dlg.BufferReloadWanted());
        if (timeOut) {
            QCOMPARE(messages.size(), 1);
            QCOMPARE(messages[0].title, QStringLiteral("Device Error"));
            QCOMPARE(messages[0].text, QStringLiteral("Communication Error!"));
            QCOMPARE(messages[0].icon, MsgIcon::Critical);
            QCOMPARE(w.line(0), QStringLiteral("Reading ...   Device Fault!"));
        } else {
            QVERIFY(messages.isEmpty());
            QCOMPARE(w.line(0), QStringLiteral("Reading ...   OK!"));
            for (int i = 0; i < 8192; ++i)
                QCOMPARE(state.Buffer[i], quint8(i * 7 + 3));
            QCOMPARE(state.Buffer[8192], quint8(0xFF));
        }
    }

    void functionsKeepWindowOpen_data() {
        QTest::addColumn<int>("index");
        QTest::addColumn<QList<qint16>>("autoSteps");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("progress");

        QTest::newRow("Program") << int(FnProgram) << QList<qint16>{}
                                 << QStringList{QStringLiteral("Programming ...   OK!")}
                                 << QStringLiteral("100%");
        QTest::newRow("Auto with a Read stays open")
            << int(FnAuto) << QList<qint16>{FnProgram, FnRead, FnVerify}
            << QStringList{QStringLiteral("Programming ...   OK!"),
                           QStringLiteral("Reading ...   OK!"),
                           QStringLiteral("Verifying ...   OK!")}
            << QStringLiteral("100%");
        QTest::newRow("empty Auto")
            << int(FnAuto) << QList<qint16>{} << QStringList{} << QStringLiteral("0%");
    }
    void functionsKeepWindowOpen() {
        QFETCH(int, index);
        QFETCH(QList<qint16>, autoSteps);
        QFETCH(QStringList, lines);
        QFETCH(QString, progress);

        for (int i = 0; i < 8192; ++i)
            state.Buffer[i] = quint8(i ^ (i >> 8));
        state.AutoCount = qint16(autoSteps.size());
        for (int i = 0; i < autoSteps.size(); ++i)
            state.AutoList[i + 1] = autoSteps[i];

        Window w(state, *unit);
        w.dlg.Form_Load();
        w.dlg.show();
        w.select(index);
        QTest::mouseClick(w.run(), Qt::LeftButton);

        QVERIFY(w.dlg.isVisible());
        QVERIFY(!w.dlg.BufferReloadWanted());
        QVERIFY(messages.isEmpty());
        for (int i = 0; i < 6; ++i)
            QCOMPARE(w.line(i), lines.value(i));
        QCOMPARE(w.child<QLabel>(QStringLiteral("lblProgress"))->text(), progress);
        const int bar = w.child<QFrame>(QStringLiteral("shpBG"))->width();
        const int fill = w.child<QFrame>(QStringLiteral("shpProgress"))->width();
        QCOMPARE(fill, progress == QLatin1String("100%") ? bar : 0);
        QVERIFY(w.run()->isEnabled());
        QVERIFY(w.close()->isEnabled());
        if (index == FnProgram)
            QCOMPARE(unit->Memory.left(8192),
                     QByteArray(reinterpret_cast<const char*>(state.Buffer.data()), 8192));
    }

    void closeRefusedDuringRun_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("Esc") << QStringLiteral("esc");
        QTest::newRow("close box") << QStringLiteral("close");
        QTest::newRow("reject") << QStringLiteral("reject");
    }
    void closeRefusedDuringRun() {
        QFETCH(QString, how);
        // 8192 bytes are 512 blocks: block 256 is the half-way mark.
        unit->dropReply(257);
        Window w(state, *unit);
        w.dlg.Form_Load();
        w.dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.dlg));
        w.select(FnProgram);

        bool visibleAfterTry = false;
        bool runEnabled = true, closeEnabled = true;
        QString percentShown;
        int fill = -1, bar = -1;
        duringMessage = [&] {
            runEnabled = w.run()->isEnabled();
            closeEnabled = w.close()->isEnabled();
            percentShown = w.child<QLabel>(QStringLiteral("lblProgress"))->text();
            fill = w.child<QFrame>(QStringLiteral("shpProgress"))->width();
            bar = w.child<QFrame>(QStringLiteral("shpBG"))->width();
            if (how == QLatin1String("esc"))
                QTest::keyClick(&w.dlg, Qt::Key_Escape);
            else if (how == QLatin1String("close"))
                w.dlg.close();
            else
                w.dlg.reject();
            visibleAfterTry = w.dlg.isVisible();
        };
        QTest::mouseClick(w.run(), Qt::LeftButton);

        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].text, QStringLiteral("Communication Error!"));
        QVERIFY(visibleAfterTry);
        QVERIFY(!runEnabled);
        QVERIFY(!closeEnabled);
        QCOMPARE(percentShown, QStringLiteral("50%"));
        QCOMPARE(fill, int(50.0f * float(bar) / 100.0f));
        QCOMPARE(w.line(0), QStringLiteral("Programming ...   Device Fault!"));

        // Once the run has ended the same way out works.
        QVERIFY(w.dlg.isVisible());
        QVERIFY(w.close()->isEnabled());
        duringMessage = nullptr;
        QTest::keyClick(&w.dlg, Qt::Key_Escape);
        QVERIFY(!w.dlg.isVisible());
        QCOMPARE(w.dlg.result(), int(QDialog::Rejected));
        QVERIFY(!w.dlg.BufferReloadWanted());
    }

    void refusedRunIsReported_data() {
        QTest::addColumn<int>("index");
        QTest::newRow("Read") << int(FnRead);
        QTest::newRow("Program") << int(FnProgram);
    }
    void refusedRunIsReported() {
        QFETCH(int, index);
        Window w(state, *unit);
        w.dlg.Form_Load();
        w.dlg.show();
        unit->setOpen(false, QStringLiteral("The unit went away."));
        const int sent = unit->Sent.size();
        w.select(index);
        QTest::mouseClick(w.run(), Qt::LeftButton);

        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].title, QStringLiteral("Device Error"));
        QCOMPARE(messages[0].text, QStringLiteral("The unit went away."));
        QCOMPARE(messages[0].icon, MsgIcon::Critical);
        QCOMPARE(unit->Sent.size(), sent);
        // Nothing was read, so there is nothing to reload.
        QVERIFY(w.dlg.isVisible());
        QVERIFY(!w.dlg.BufferReloadWanted());
        QVERIFY(w.run()->isEnabled());
        QVERIFY(w.close()->isEnabled());
    }
};

QTEST_MAIN(TestFrmFunction)
#include "tst_frmfunction.moc"
