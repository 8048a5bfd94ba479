#include "core/crc32.h"
#include "core/protocol.h"
#include "core/usersettings.h"
#include "production/productionlog.h"
#include "session/sessionhost.h"
#include "support/borrowedtransport.h"
#include "support/messagelog.h"
#include "support/rows.h"
#include "tools/scriptedunit/scriptedtransport.h"
#include "ui/frmfunction.h"
#include "ui/frmproduction.h"
#include "widgets/messagebox.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <optional>
#include <tuple>

using namespace varn;
using varn::test::BorrowedTransport;
using varn::test::MessageLog;

namespace {

QByteArray Letter(char c) {
    return QByteArray(1, '\x01') + c;
}

// The unit's session on its thread, connected as the main window connects
// it at start; frames counts what was sent after the identification.
struct Unit {
    Unit(AppState& state, Transport& link) : host(state, BorrowedTransport::Factory(link)) {
        host.call([&](ProgrammingSession& s) { s.connectUnit(); });
    }
    SessionHost host;
};

struct Window {
    explicit Window(AppState& state, ScriptedTransport& unit)
        : link(state, unit), identified(unit.sent.size()), dlg(state, link.host),
          stateSpy(&dlg, &frmFunction::unitStateChanged) {
        dlg.Form_Load();
        dlg.show();
        waitIdle();
    }
    void waitIdle() { QTRY_VERIFY(!dlg.isRunning()); }
    template <typename T = QLabel> T* child(const char* name) {
        T* w = dlg.findChild<T*>(QLatin1String(name));
        if (!w)
            qFatal("no child %s", name);
        return w;
    }
    QString text(const char* name) { return child<QLineEdit>(name)->text(); }
    QString line(int i) {
        return dlg.findChild<QLabel*>(QStringLiteral("lblMsg%1").arg(i))->text();
    }
    QPushButton* run() { return child<QPushButton>("cmdRun"); }
    QPushButton* close() { return child<QPushButton>("cmdClose"); }
    void start(int row) {
        child<QListWidget>("listFunction")->setCurrentRow(row);
        QTest::mouseClick(run(), Qt::LeftButton);
        waitIdle();
    }
    Unit link;
    qsizetype identified;
    frmFunction dlg;
    QSignalSpy stateSpy;
};

} // namespace

// A unit whose replies take a few milliseconds, so that a window can act
// while a run is under way.
class SlowUnit : public ScriptedTransport {
public:
    bool waitForReply(int expectedBytes, int limitMs) override {
        QThread::msleep(3);
        return ScriptedTransport::waitForReply(expectedBytes, limitMs);
    }
};

// stopAfter: 0: never; chipsRun: after three presses of Space
using ProductionCase = std::tuple<bool, int, int, QString>;

class TestFrmFunction : public QObject {
    Q_OBJECT

    AppState state;
    std::optional<ScriptedTransport> unit;
    std::optional<MessageLog> messages;
    std::optional<QTemporaryDir> dir; // varn.ini: each case starts afresh

private slots:
    void init() {
        state = AppState();
        dir.emplace();
        state.AppDir = dir->path();
        unit.emplace();
        state.DeviceTable[1] = {QStringLiteral("Small"), 2, 4096};
        state.DeviceTable[2] = {QStringLiteral("Eight K"), 3, 8192};
        state.DeviceCount = 2;
        state.SelectedDevice = 2;
        state.UnitIdentified = true;
        messages.emplace();
    }
    void cleanup() { messages.reset(); }
    void setAuto(const QList<qint16>& steps) {
        state.AutoCount = qint16(steps.size());
        std::copy(steps.begin(), steps.end(), state.AutoList.begin() + 1);
    }

    void loadSequence_data() {
        QTest::addColumn<bool>("identified");
        QTest::addColumn<QByteArray>("frames");
        const QByteArray common = Letter('+') + Letter('-');
        const QByteArray tail = Letter('P') + Letter('P');
        QTest::newRow("identified") << true << common + Letter('c') + tail;
        QTest::newRow("not identified: no device select") << false << common + tail;
    }
    void loadSequence() {
        QFETCH(bool, identified);
        QFETCH(QByteArray, frames);
        state.UnitIdentified = identified;
        if (!identified)
            unit->dropReply(1);
        Window w(state, *unit);
        QCOMPARE(unit->sentBytes(int(w.identified)), frames);
        QVERIFY(state.unitInReset);
        QCOMPARE(w.stateSpy.count(), 1);
        QCOMPARE(w.text("txtChipStart") + w.text("txtBufferStart"), QStringLiteral("00000000"));
        QCOMPARE(w.text("txtChipEnd") + w.text("txtBufferEnd"), QStringLiteral("20002000"));
        QCOMPARE(w.run()->isEnabled(), identified);
        QVERIFY(w.close()->isEnabled());

        // Enter presses Run only when it may run; otherwise nothing is sent.
        QVERIFY(QTest::qWaitForWindowExposed(&w.dlg));
        w.child<QListWidget>("listFunction")->setCurrentRow(FnErase);
        const int before = unit->sent.size();
        QTest::keyClick(w.child<QListWidget>("listFunction"), Qt::Key_Return);
        w.waitIdle();
        QCOMPARE(unit->sent.mid(before).value(0), identified ? Letter('E') : QByteArray());
        QCOMPARE(w.line(0), identified ? QStringLiteral("Erasing ...   OK!") : QString());
        QVERIFY(w.dlg.isVisible());
    }

    // A Read from the list closes the window even when it fails: the buffer
    // may hold part of the device. (tst_mdimain reads through it whole.)
    void readFromListClosesWindow() {
        unit->dropReply(3);
        Window w(state, *unit);
        w.start(FnRead);
        QVERIFY(!w.dlg.isVisible());
        QCOMPARE(w.dlg.result(), int(QDialog::Accepted));
        QVERIFY(w.dlg.BufferReloadWanted());
        QVERIFY(messages->onlyCritical("Device Error", "Communication Error!"));
        QCOMPARE(w.line(0), QStringLiteral("Reading ...   Device Fault!"));
    }

    void autoWithReadKeepsWindowOpen() {
        QByteArray image(8192, 0);
        for (int i = 0; i < 8192; ++i)
            state.Buffer[i] = quint8(image[i] = char(i ^ (i >> 8)));
        setAuto({FnProgram, FnRead, FnVerify});
        Window w(state, *unit);
        w.start(FnAuto);
        QVERIFY(w.dlg.isVisible() && !w.dlg.BufferReloadWanted() && messages->isEmpty());
        const QStringList lines{"Programming ...   OK!", "Reading ...   OK!",
                                "Verifying ...   OK!"};
        for (int i = 0; i < 6; ++i)
            QCOMPARE(w.line(i), lines.value(i));
        QVERIFY(w.run()->isEnabled() && w.close()->isEnabled());
        QCOMPARE(unit->memory.left(8192), image);
    }

    // Program, and Auto whose steps may program, ask first (the main window
    // offers to load a changed file again); declined, nothing is sent.
    void askedBeforeProgramming_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("asks");
        QTest::newRow("read") << int(FnRead) << false;
        QTest::newRow("program") << int(FnProgram) << true;
        QTest::newRow("auto") << int(FnAuto) << true;
    }
    void askedBeforeProgramming() {
        QFETCH(int, code);
        QFETCH(bool, asks);
        Window w(state, *unit);
        int asked = 0;
        w.dlg.beforeProgram = [&] {
            ++asked;
            return false;
        };
        const qsizetype before = unit->sent.size();
        w.start(code);
        QCOMPARE(asked, asks ? 1 : 0);
        QCOMPARE(unit->sent.size() == before, asks);
    }

    // An image the device cannot hold: each window says so before anything
    // of the run is sent, unless Allow Partial Image is on.
    void imagePastTheDevice_data() {
        varn::test::Columns<bool, bool>("production", "allowPartial");
        QTest::newRow("function window") << false << false;
        QTest::newRow("Production window") << true << false;
        QTest::newRow("partial image allowed") << false << true;
    }
    void imagePastTheDevice() {
        auto [production, allowPartial] = varn::test::Row<bool, bool>("production", "allowPartial");
        UserSettings(state).setValue(QLatin1String(AllowPartialKey), allowPartial);
        setAuto({FnProgram});
        state.markDefined(0x1FF0, 0x2010);
        const QString says = QStringLiteral("The image holds 16 bytes outside the device "
                                            "(2000-200F), which is 8,192 bytes long");
        if (production) {
            Unit link(state, *unit);
            frmProduction dlg(state, link.host);
            dlg.Form_Load();
            dlg.show();
            QTRY_VERIFY(!dlg.isRunning());
            const qsizetype sent = unit->sent.size();
            QTest::mouseClick(dlg.findChild<QPushButton*>("startButton"), Qt::LeftButton);
            QTRY_VERIFY(!dlg.isRunning());
            VERIFY_CONTAINS(dlg.findChild<QLabel*>("reasonText")->text(), says);
            QCOMPARE(unit->sent.size(), sent);
            return;
        }
        Window w(state, *unit);
        const qsizetype sent = unit->sent.size();
        w.start(FnProgram);
        if (allowPartial) {
            QVERIFY(messages->isEmpty());
            QCOMPARE(w.line(0), QStringLiteral("Programming ...   OK!"));
        } else {
            QVERIFY(messages->onlyCritical("Image", says));
            QCOMPARE(unit->sent.size(), sent);
        }
    }

    void closeRefusedDuringRun_data() {
        QTest::addColumn<int>("how");
        QTest::newRow("Esc") << 0;
        QTest::newRow("close box") << 1;
        QTest::newRow("reject") << 2;
    }
    void closeRefusedDuringRun() {
        QFETCH(int, how);
        // 8192 bytes are 512 blocks: block 256 is the half-way mark (request
        // 1 is the identification).
        unit->dropReply(258);
        Window w(state, *unit);
        QVERIFY(QTest::qWaitForWindowExposed(&w.dlg));
        bool visibleAfterTry = false, runEnabled = true, closeEnabled = true;
        QString percentShown, timeShown;
        int fill = -1, bar = -1;
        messages->during = [&] {
            runEnabled = w.run()->isEnabled();
            closeEnabled = w.close()->isEnabled();
            percentShown = w.child("lblProgress")->text();
            timeShown = w.child("progressTime")->text();
            fill = w.child<QFrame>("shpProgress")->width();
            bar = w.child<QFrame>("shpBG")->width();
            if (how == 0)
                QTest::keyClick(&w.dlg, Qt::Key_Escape);
            else if (how == 1)
                w.dlg.close();
            else
                w.dlg.reject();
            visibleAfterTry = w.dlg.isVisible();
        };
        w.start(FnProgram);

        QCOMPARE(messages->size(), 1);
        QCOMPARE((*messages)[0].text, QStringLiteral("Communication Error!"));
        QVERIFY(visibleAfterTry);
        QVERIFY(!runEnabled && !closeEnabled);
        QCOMPARE(percentShown, QStringLiteral("50%"));
        VERIFY_CONTAINS(timeShown, QStringLiteral("4,096 of 8,192 bytes   0:0"));
        QCOMPARE(fill, int(50.0f * float(bar) / 100.0f));
        QCOMPARE(w.line(0), QStringLiteral("Programming ...   Device Fault!"));
        // Once the run has ended the same way out works.
        QVERIFY(w.close()->isEnabled());
        messages->during = nullptr;
        QTest::keyClick(&w.dlg, Qt::Key_Escape);
        QVERIFY(!w.dlg.isVisible());
        QCOMPARE(w.dlg.result(), int(QDialog::Rejected));
        QVERIFY(!w.dlg.BufferReloadWanted());
    }

    // Stop (the button, or Esc) ends a run at the next block: the line says
    // where, the write is closed, and the window can be closed again.
    void stopEndsTheRun_data() {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Stop button") << false;
        QTest::newRow("Esc") << true;
    }
    void stopEndsTheRun() {
        QFETCH(bool, escape);
        SlowUnit slow;
        Window w(state, slow);
        QVERIFY(QTest::qWaitForWindowExposed(&w.dlg));
        w.child<QListWidget>("listFunction")->setCurrentRow(FnProgram);
        QTest::mouseClick(w.run(), Qt::LeftButton);
        auto* stop = w.child<QPushButton>("stopButton");
        QTRY_VERIFY(w.child("lblProgress")->text().chopped(1).toInt() >= 10);
        QVERIFY(stop->isVisible() && !w.close()->isVisible());
        VERIFY_CONTAINS(w.child("progressTime")->text(), " left");
        // The close box is refused, and is no Stop.
        w.dlg.close();
        QTRY_VERIFY(w.dlg.isVisible() && w.child("lblProgress")->text().chopped(1).toInt() >= 20);
        if (escape)
            QTest::keyClick(&w.dlg, Qt::Key_Escape);
        else
            QTest::mouseClick(stop, Qt::LeftButton);
        w.waitIdle();
        VERIFY_CONTAINS(w.line(0), QStringLiteral("Programming ...   Stopped at "));
        const int at = w.line(0).right(4).toInt(nullptr, 16);
        QVERIFY(at > 0 && at < 8192);
        // The whole line shows; the stopped run has no time left.
        QLabel* line = w.child("lblMsg0");
        QTRY_VERIFY2(line->fontMetrics().horizontalAdvance(line->text()) <=
                         line->contentsRect().width(),
                     qPrintable(line->text()));
        QVERIFY(!w.child("progressTime")->text().contains("left"));
        QCOMPARE(slow.sent.last(), Letter('W'));
        QVERIFY(!stop->isVisible() && w.close()->isVisible() && w.close()->isEnabled());
    }

    // Closed before the window opens: held in reset all the same (the menu
    // and panel 5 follow the user); Run then says why and sends nothing.
    void closedPort() {
        unit->setOpen(false, QStringLiteral("The unit went away."));
        Window w(state, *unit);
        QVERIFY(state.unitInReset);
        QCOMPARE(w.stateSpy.count(), 1);
        w.start(FnRead);
        QVERIFY(unit->sent.isEmpty());
        QCOMPARE(messages->titles(),
                 QStringList({"Communication Port Error", "Communication Port Error"}));
        QCOMPARE((*messages)[1].text, QStringLiteral("The unit went away."));
        QCOMPARE((*messages)[1].icon, MsgIcon::Critical);
        // Nothing was read, so there is nothing to reload.
        QVERIFY(w.dlg.isVisible() && !w.dlg.BufferReloadWanted());
    }

    // The Production window: Space runs Auto on the next chip, the counts
    // follow, and failures in a row stop it until Resume is clicked.
    void production_data() {
        QTest::addColumn<ProductionCase>("testCase");
        QTest::newRow("good chips") << ProductionCase(true, 2, 3, "PASS");
        QTest::newRow("bad chips, stop after two") << ProductionCase(false, 2, 2, "STOPPED");
        QTest::newRow("bad chips, never stop") << ProductionCase(false, 0, 3, "FAIL");
    }
    void production() {
        QFETCH(ProductionCase, testCase);
        auto [goodChips, stopAfter, chipsRun, verdict] = testCase;
        setAuto({FnProgram, FnVerify});
        state.Buffer[5] = 0x5A;
        if (!goodChips)
            unit->memory[5] = 0x00; // a bit programming cannot set
        Unit link(state, *unit);
        frmProduction dlg(state, link.host);
        dlg.Form_Load();
        dlg.show();
        dlg.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dlg)); // shortcuts need an active window
        QTRY_VERIFY(!dlg.isRunning());
        dlg.findChild<QSpinBox*>("stopAfter")->setValue(stopAfter);
        for (int i = 0; i < 3; ++i) {
            // Where a keyboard's Space goes: to the widget with the focus.
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
            QTRY_VERIFY(!dlg.isRunning());
        }
        const auto text = [&dlg](const char* name) { return dlg.findChild<QLabel*>(name)->text(); };
        QCOMPARE(text("verdict"), verdict);
        const int passed = goodChips ? chipsRun : 0;
        QCOMPARE(text("countsText"),
                 QStringLiteral("Chips: %1    Passed: %2    Failed: %3    Yield: %4 %")
                     .arg(QString::number(chipsRun), QString::number(passed),
                          QString::number(chipsRun - passed), goodChips ? "100.0" : "0.0"));
        QCOMPARE(text("reasonText").startsWith("Verify Error at 0005"), !goodChips);
        QVERIFY(messages->isEmpty());
        if (verdict == "STOPPED") {
            QTest::mouseClick(dlg.findChild<QPushButton*>("startButton"), Qt::LeftButton);
            QTRY_VERIFY(!dlg.isRunning());
            QCOMPARE(dlg.counts().chips, ++chipsRun);
            QCOMPARE(text("verdict"), QStringLiteral("FAIL"));
        }
        // Each chip put into the socket gets its own load sequence (the one
        // sent when the window opened serves the first).
        QCOMPARE(int(unit->sent.count(QByteArray{"\x01", 1} + wire::Run)), chipsRun);
        QCOMPARE(int(unit->pauses.count(250)), 4 * chipsRun);
    }

    // Stop (Esc) in the Production window ends the chip at the next block:
    // it counts as a chip, shows STOPPED and where, and Start works again.
    void productionStop() {
        setAuto({FnProgram, FnVerify});
        SlowUnit slow;
        Unit link(state, slow);
        frmProduction dlg(state, link.host);
        dlg.Form_Load();
        dlg.show();
        QTRY_VERIFY(!dlg.isRunning());
        QTest::mouseClick(dlg.findChild<QPushButton*>("startButton"), Qt::LeftButton);
        QTRY_VERIFY(dlg.findChild<QProgressBar*>("progress")->value() >= 10);
        QTest::keyClick(&dlg, Qt::Key_Escape);
        QTRY_VERIFY(!dlg.isRunning());
        const auto text = [&dlg](const char* name) { return dlg.findChild<QLabel*>(name)->text(); };
        QCOMPARE(text("verdict"), QStringLiteral("STOPPED"));
        VERIFY_CONTAINS(text("reasonText"), QStringLiteral("Programming ...   Stopped at "));
        QVERIFY(!text("progressTime").contains("left"));
        QCOMPARE(dlg.counts().chips, 1);
        QCOMPARE(slow.sent.last(), Letter('W'));
        QVERIFY(dlg.findChild<QPushButton*>("startButton")->isEnabled());
    }

    // With the production log on, in the function window (Program twice)
    // and the Production window (two chips), serial numbers 100 and 105: a
    // log that cannot be opened sends nothing; one that opens gets one whole
    // record per run, with the image's CRC-32 (not the last chip's number),
    // and the buffer never holds a chip's number.
    void productionLog_data() {
        QTest::addColumn<bool>("production");
        QTest::addColumn<QString>("location");
        QTest::addColumn<int>("records"); // -1: the log cannot be opened
        QTest::newRow("function window") << false << "log.sqlite" << 2;
        QTest::newRow("function window, no such log") << false << "typo.sqlite" << -1;
        QTest::newRow("production window") << true << "log.sqlite" << 2;
        QTest::newRow("production window, no such log") << true << "typo.sqlite" << -1;
    }
    void productionLog() {
        QFETCH(bool, production);
        QFETCH(QString, location);
        QFETCH(int, records);
        QTemporaryDir dir;
        state.AppDir = dir.path();
        setAuto({FnErase, FnProgram, FnVerify});
        state.Buffer[0x20] = 0x5A;
        SerialSettings serial{
            .enabled = true, .address = 0x10, .length = 2, .first = 100, .step = 5};
        serial.name = QStringLiteral("board");
        {
            Status created;
            auto log = ProductionLog::open(dir.filePath("log.sqlite"),
                                           LogOpenOptions{true, {}, false}, &created);
            QVERIFY(log && log->createSeries(serial));
        }
        UserSettings settings(state);
        settings.setValue(QStringLiteral("log/enabled"), true);
        settings.setValue(QStringLiteral("log/url"), dir.filePath(location));
        serial.save(settings);
        QVERIFY(settings.sync());
        RunContext context;
        context.imageFile = QStringLiteral("image.hex");
        context.port = QStringLiteral("COM3");
        const quint32 crc = BufferCrc32(state);
        const auto buffer = state.Buffer;
        qsizetype before = 0; // frames after the load sequence
        std::optional<Window> w;
        std::optional<Unit> link;
        std::optional<frmProduction> p;
        QString reason;
        if (production) {
            link.emplace(state, *unit);
            p.emplace(state, link->host);
            p->setRecordContext(context);
            p->Form_Load();
            QTRY_VERIFY(!p->isRunning());
            before = unit->sent.size();
            const auto text = [&p](const char* name) {
                return p->findChild<QLabel*>(name)->text();
            };
            QCOMPARE(text("serialText"), records < 0 ? "" : "Next serial number: 100");
            for (int i = 0; i < 2; ++i) {
                QTest::mouseClick(p->findChild<QPushButton*>("startButton"), Qt::LeftButton);
                QTRY_VERIFY(!p->isRunning());
            }
            QCOMPARE(text("serialText"), records < 0 ? "" : "Next serial number: 110");
            reason = text("reasonText");
        } else {
            w.emplace(state, *unit);
            w->dlg.setRecordContext(context);
            before = unit->sent.size();
            w->start(FnProgram);
            w->start(FnProgram);
            reason = messages->isEmpty() ? QString() : (*messages)[0].text;
        }
        QVERIFY(state.Buffer == buffer);
        if (records < 0) {
            QCOMPARE(unit->sent.size(), before);
            VERIFY_CONTAINS(reason, QLatin1String("Nothing"));
            QVERIFY(!QFile::exists(dir.filePath(location))); // no new numbering started
            return;
        }
        QVERIFY(messages->isEmpty());
        Status opened;
        auto log = ProductionLog::open(dir.filePath(location), LogOpenOptions{}, &opened);
        QVERIFY(log);
        QList<ChipRecord> written;
        QVERIFY(log->records(&written));
        QCOMPARE(written.size(), records);
        const QStringList functions =
            production ? QStringList{"Erase", "Program", "Verify"} : QStringList{"Program"};
        for (const ChipRecord& r : written) {
            QVERIFY(r.passed);
            QCOMPARE(r.functions, functions);
            // The unit's name and version come from its identification.
            QCOMPARE(r.deviceType + r.unitName + r.unitVersion + r.imageFile,
                     QStringLiteral("Eight KVARN2.0image.hex"));
            QCOMPARE(r.port, QStringLiteral("COM3"));
            QCOMPARE(r.imageCrc32, crc);
        }
        QCOMPARE(written[1].serial, qint64(105));
        if (production) // erased between chips
            QCOMPARE(unit->memory.mid(0x10, 2), QByteArray::fromHex("0069"));
    }
};

QTEST_MAIN(TestFrmFunction)
#include "tst_frmfunction.moc"
