#include "core/appstate.h"
#include "core/config.h"
#include "core/usersettings.h"
#include "editor/frmbuffer.h"
#include "editor/frmmemorymap.h"
#include "editor/imagemodel.h"
#include "jobs/productionjob.h"
#include "production/productionlog.h"
#include "session/logaccess.h"
#include "session/sessionhost.h"
#include "ui/frmfunction.h"
#include "ui/frmoperator.h"
#include "ui/frmproduction.h"
#include "ui/mdimain.h"

#include "support/hangingserver.h"
#include "support/messagelog.h"
#include "support/modalanswer.h"
#include "support/rows.h"
#include "support/testsupport.h"
#include "support/virtualunit.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QtTest>
#include <csignal>
#include <optional>
#include <tuple>

using namespace varn;
using namespace varn::test;

namespace {

// Until the function window's load exchange or run is over (the unit's
// session works on its own thread).
void WaitIdle(QWidget* dialog) {
    QTRY_VERIFY_WITH_TIMEOUT(!static_cast<varn::frmFunction*>(dialog)->isRunning(), 30000);
}

void click(QWidget* dialog, const char* button) {
    dialog->findChild<QPushButton*>(QLatin1String(button))->click();
}

void setText(QWidget* dialog, const char* box, const QString& text) {
    dialog->findChild<QLineEdit*>(QLatin1String(box))->setText(text);
}

// A start folder: settings, four device types, an empty auto sequence.
void writeConfig(const QString& dir) {
    WriteFile(dir + "/varn.cfg", "1\r\n4\r\n1\r\n");
    WriteFile(dir + "/varn.dev", "\"FLASH 8K\",1,8192\r\n\"EPROM 64K\",2,65536\r\n"
                                 "\"NONE\",3,0\r\n\"EEPROM 2816\",4,2816\r\n");
    WriteFile(dir + "/auto.cfg", "0\r\n");
}

QStringList panelTexts(const mdiMain& w) {
    QStringList texts;
    for (int i = 1; i <= 5; ++i)
        texts << w.PanelText(i);
    return texts;
}

bool allBytes(const AppState& state, quint8 value) {
    return std::all_of(state.Buffer.begin(), state.Buffer.end(),
                       [&](quint8 b) { return b == value; });
}

// Stops a unit's process and lets it go on only once the window thread's
// own timer has ticked a few times: a window that waited for the unit would
// hold it until its replies timed out.
class UnitHold : public QObject {
public:
    explicit UnitHold(qint64 pid) : pid(pid_t(pid)) {
        connect(&timer, &QTimer::timeout, this, [this] {
            if (held && counting && ++ticks == 5) {
                ::kill(this->pid, SIGCONT);
                held = false;
                ++released;
            }
        });
        timer.start(20);
    }
    ~UnitHold() override {
        if (held)
            ::kill(pid, SIGCONT);
    }
    void hold() {
        ticks = 0;
        counting = false;
        held = ::kill(pid, SIGSTOP) == 0;
    }
    // From now on the ticks count: a start that waits for the window to be
    // shown ticks before it has asked the unit anything.
    void count() { counting = true; }
    int released = 0;

private:
    pid_t pid;
    QTimer timer;
    bool held = false;
    bool counting = false;
    int ticks = 0;
};

} // namespace

// answer: "" = file dialog cancelled; bufferOffset: typed into the options dialog; at: where the
// data lands; -1: nowhere
using LoadCase = std::tuple<QString, QByteArray, QString, QString, int, QString>;

// boxes: value, start, length, then OK; empty: Cancel
using FillCase = std::tuple<bool, QStringList, int, int, int>;

// row: -1: Cancel

class tst_mdimain : public QObject {
    Q_OBJECT

    std::unique_ptr<MessageLog> messages;
    // Each test's start folder, and the state a start from it gives.
    std::optional<QTemporaryDir> dir;
    AppState state;

    // Starts a unit linked as com1 in dir and the program on it; waits for
    // the identification report.
    std::unique_ptr<mdiMain> startWithUnit(VirtualUnit& unit) {
        if (!unit.start()) {
            qWarning("%s", qPrintable(unit.error()));
            return nullptr;
        }
        auto w = StartUp(state, dir->path());
        return QTest::qWaitFor([&] { return !messages->isEmpty(); }) ? std::move(w) : nullptr;
    }
    // Program in the Function window (beforeRun: just before Run is
    // clicked); the function's line when it is over.
    QString programThroughFunctionWindow(mdiMain& w, const std::function<void()>& beforeRun = {}) {
        QString line;
        ModalAnswer answer("frmFunction", [&](QWidget* dialog) {
            dialog->findChild<QListWidget*>("listFunction")->setCurrentRow(FnProgram);
            WaitIdle(dialog);
            if (beforeRun)
                beforeRun();
            click(dialog, "cmdRun");
            WaitIdle(dialog);
            line = dialog->findChild<QLabel*>("lblMsg0")->text();
            static_cast<QDialog*>(dialog)->reject();
        });
        w.DeviceFunction_Click();
        return line;
    }
    QStringList unitArgs() const {
        return {"--link", dir->path() + "/com1", "--dev", dir->path() + "/varn.dev"};
    }
    // A job of two units for the image in image.bin (shaped further by
    // shape), and a station that logs into log.sqlite and runs it on ports 1
    // and 2; the path of the job.
    QString writeStationJob(const QString& name, const QByteArray& image,
                            const std::function<void(ProductionJob&)>& shape) {
        const QString jobPath = dir->path() + "/" + name;
        WriteFile(dir->path() + "/image.bin", image);
        AppState loaded = state;
        ProductionJob job;
        if (!LoadAs(loaded, FileFormat::Binary, dir->path() + "/image.bin") ||
            !JobFromBuffer(loaded, dir->path() + "/image.bin", {FileFormat::Binary, 0, 0}, true,
                           jobPath, &job))
            return {};
        job.units = 2;
        shape(job);
        UserSettings ini(state);
        ini.setValue("log/enabled", true);
        ini.setValue("log/url", dir->path() + "/log.sqlite");
        ini.setValue("production/ports", "1, 2");
        const bool made =
            WriteJobFile(jobPath, job) &&
            ProductionLog::open(dir->path() + "/log.sqlite", {true, {}, false}, nullptr) &&
            ini.sync();
        return made ? jobPath : QString();
    }
    // Opens the job in operator mode, the shift given as asked.
    static void openForShift(mdiMain& w, const QString& jobPath, const LineFields& shift) {
        w.cdia.showJob = [jobPath](QWidget*, bool) { return jobPath; };
        w.FileOpenJob_Click();
        w.cdia.askShift = [shift](QWidget*, const LineFields&) { return std::optional(shift); };
    }

private slots:
    void init() {
        messages = std::make_unique<MessageLog>();
        dir.emplace();
        state = AppState();
        writeConfig(dir->path());
        QVERIFY(Main(state, dir->path()));
    }
    void cleanup() {
        messages.reset();
        SetChoiceHandler({});
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (QWidget* w : QApplication::topLevelWidgets())
            QVERIFY2(!w->isVisible() || w->objectName().isEmpty(), qPrintable(w->objectName()));
    }

    void startupFaultEndsBeforeWindow() {
        QVERIFY(QFile::remove(dir->path() + "/varn.cfg"));
        QVERIFY(!StartUp(state, dir->path()));
        QVERIFY(messages->onlyCritical("VARN", "varn.cfg"));
        for (QWidget* top : QApplication::topLevelWidgets())
            QVERIFY(!qobject_cast<mdiMain*>(top));
    }

    void startupPortFails() {
        QVERIFY(QFile::link(dir->path() + "/no-such-tty", dir->path() + "/com1"));
        auto w = StartUp(state, dir->path());
        QVERIFY(w);
        QTRY_COMPARE(messages->size(), 2);
        QCOMPARE(messages->titles(), QStringList({"Communication Port Error", "Device Error"}));
        QVERIFY2((*messages)[0].text.startsWith("COM1, "), qPrintable((*messages)[0].text));
        // The port tried, where it leads, and the way on.
        QCOMPARE((*messages)[1].text.section("\n", 0, 0), QStringLiteral("Communication Error!"));
        VERIFY_CONTAINS((*messages)[1].text, "No programmer unit answered on COM1 (com1 -> " +
                                                 dir->path() + "/no-such-tty (missing))");
        QCOMPARE((*messages)[1].buttons, QStringList({"Settings...", "OK"}));
        QCOMPARE(panelTexts(*w), QStringList({"FAIL", "Device:", "Size:", "File:", ""}));
        QVERIFY(!w->BufferWindow() && !state.UnitIdentified);
        // The buffer is emptied by the load step whatever the port does.
        QVERIFY(allBytes(state, 0xFF));

        // Reset still follows the user, but nothing can be sent.
        messages->clear();
        w->Action("DeviceReset")->trigger();
        QCOMPARE(w->PanelText(5), QStringLiteral("RESET"));
        QVERIFY(!w->Action("DeviceRun")->isChecked());
        QTRY_COMPARE(messages->titles(), QStringList{"Communication Port Error"});
        QCOMPARE(w->PanelText(5), QStringLiteral("RESET"));
    }

    // A unit that does not answer holds up neither the window nor its
    // painting: the start returns before the session has been heard from,
    // and the outcome follows.
    void startupWaitsForNoUnit() {
        VirtualUnit unit(unitArgs() + QStringList{"--no-answer", "1"});
        QVERIFY2(unit.start(), qPrintable(unit.error()));
        auto w = StartUp(state, dir->path());
        QVERIFY(w && w->isVisible());
        QVERIFY(w->PanelText(1) != QStringLiteral("COM1")); // not yet claimed
        QVERIFY(messages->isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(messages->titles(), QStringList{"Device Error"}, 10000);
        QCOMPARE(w->PanelText(1), QStringLiteral("COM1"));
        QVERIFY(!state.UnitIdentified && !w->BufferWindow());
        QCOMPARE(unit.frames().value(0), QByteArray("\x01T", 2));
    }

    // Connecting, identifying and a Program go on while the unit keeps the
    // window waiting: the unit answers only after the window's timer ran.
    void windowThreadNeverWaitsForUnit() {
        VirtualUnit unit(unitArgs());
        QVERIFY2(unit.start(), qPrintable(unit.error()));
        UnitHold hold(unit.pid());
        hold.hold();
        auto w = StartUp(state, dir->path());
        QVERIFY(w);
        hold.count();
        QTRY_COMPARE_WITH_TIMEOUT(messages->titles(), QStringList{"VARN"}, 10000);
        QCOMPARE(hold.released, 1);
        messages->clear();

        for (int i = 0; i < 16; ++i)
            state.Buffer[i] = quint8(0xA0 + i);
        QCOMPARE(programThroughFunctionWindow(*w,
                                              [&] {
                                                  hold.hold();
                                                  hold.count();
                                              }),
                 QStringLiteral("Programming ...   OK!"));
        QCOMPARE(hold.released, 2);
        QVERIFY(unit.frames().contains(
            QByteArray::fromHex("1400000010a0a1a2a3a4a5a6a7a8a9aaabacadaeaf")));
    }

    void startupWithUnit() {
        VirtualUnit unit(unitArgs());
        // The report waits until the main window is placed and on screen.
        bool overShownWindow = false;
        messages->during = [&] {
            for (QWidget* top : QApplication::topLevelWidgets())
                if (auto* shown = qobject_cast<mdiMain*>(top))
                    overShownWindow = shown->windowHandle()->isExposed();
        };
        auto w = startWithUnit(unit);
        QVERIFY(overShownWindow);
        QVERIFY(w);
        QCOMPARE(messages->titles(), QStringList{"VARN"});
        QCOMPARE((*messages)[0].text, QStringLiteral("Device: VARN\r\nVersion 2.0"));
        QCOMPARE(panelTexts(*w),
                 QStringList({"COM1", "Device: FLASH 8K", "Size: 2000H", "File:", "RUN"}));
        QVERIFY(state.UnitIdentified && w->BufferWindow());
        QCOMPARE(w->MdiArea()->subWindowList().size(), 1);
        // F6 and F5 reach the Device menu from inside the buffer window; a
        // second F5 sends nothing.
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        auto* text = w->BufferWindow()->findChild<QWidget*>("txtBuffer");
        text->setFocus();
        QTest::keyClick(text, Qt::Key_F6);
        QCOMPARE(w->PanelText(5), QStringLiteral("RESET"));
        QVERIFY(w->Action("DeviceReset")->isChecked() && !w->Action("DeviceRun")->isChecked());
        QTest::keyClick(text, Qt::Key_F5);
        QTest::keyClick(text, Qt::Key_F5);
        QCOMPARE(w->PanelText(5), QStringLiteral("RUN"));
        QVERIFY(w->Action("DeviceRun")->isChecked() && !w->Action("DeviceReset")->isChecked());
        w->Action("DeviceReset")->trigger();
        QVERIFY(unit.waitForFrames(4));
        QCOMPARE(unit.frames(), (QList<QByteArray>{"\x01T", "\x01-", "\x01+", "\x01-"}));
        // Showing the window again does not repeat the report.
        w->hide();
        w->show();
        w->MDIForm_Activate();
        QCoreApplication::processEvents();
        QCOMPARE(messages->size(), 1);
    }

    // The unit vanishes and a new one takes its link; Reconnect (the lost
    // line's message button or the menu) finds it and Program works on it.
    void reconnectAfterLostLine_data() {
        QTest::addColumn<bool>("fromMessage");
        QTest::newRow("message button") << true;
        QTest::newRow("Device > Reconnect") << false;
    }
    void reconnectAfterLostLine() {
        QFETCH(bool, fromMessage);
        auto first = std::make_unique<VirtualUnit>(unitArgs());
        auto w = startWithUnit(*first);
        QVERIFY(w);
        messages->clear();
        QList<QStringList> offers;
        SetChoiceHandler([&](const ShownMessage& m) {
            offers << (QStringList{m.title} + m.buttons);
            return fromMessage ? 0 : 1;
        });
        first->stop();
        VirtualUnit second(unitArgs());
        QVERIFY2(second.start(), qPrintable(second.error()));
        QTRY_COMPARE(offers.size(), 1);
        QCOMPARE(offers[0], QStringList({"Communication Port Error", "Reconnect", "OK"}));
        if (!fromMessage) {
            QCOMPARE(w->PanelText(1), QStringLiteral("FAIL"));
            w->Action("DeviceReconnect")->trigger();
        }
        QTRY_COMPARE(messages->titles(), QStringList{"VARN"});
        QCOMPARE((*messages)[0].text, QStringLiteral("Device: VARN\r\nVersion 2.0"));
        QCOMPARE(w->PanelText(1), QStringLiteral("COM1"));
        QVERIFY(w->Action("DeviceFunction")->isEnabled());

        for (int i = 0; i < 16; ++i)
            state.Buffer[i] = quint8(0x30 + i);
        QCOMPARE(programThroughFunctionWindow(*w), QStringLiteral("Programming ...   OK!"));
        QVERIFY(second.frames().contains(
            QByteArray::fromHex("1400000010303132333435363738393a3b3c3d3e3f")));
        QCOMPARE(offers.size(), 1);
    }

    void functionWindowReadReloadsBuffer() {
        QByteArray memory(8192, '\0');
        for (int i = 0; i < memory.size(); ++i)
            memory[i] = char((i * 7 + (i >> 8)) & 0xFF);
        WriteFile(dir->path() + "/memory.bin", memory);
        VirtualUnit unit(unitArgs() + QStringList{"--memory", dir->path() + "/memory.bin"});
        auto w = startWithUnit(unit);
        QVERIFY(w);
        messages->clear();
        QPointer<frmBuffer> before = w->BufferWindow();
        QVERIFY(before);
        ModalAnswer answer("frmFunction", [](QWidget* dialog) {
            dialog->findChild<QListWidget*>("listFunction")->setCurrentRow(0);
            WaitIdle(dialog);
            click(dialog, "cmdRun");
        });
        w->DeviceFunction_Click();
        QVERIFY(answer.seen && answer.unexpected.isEmpty());
        QVERIFY(w->Action("DeviceFunction")->isEnabled());
        QCOMPARE(w->PanelText(5), QStringLiteral("RESET"));
        QVERIFY(w->Action("DeviceReset")->isChecked());
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(state.Buffer.data()), 8192), memory);
        // The open window follows the image: the bytes read, from address 0.
        QCOMPARE(w->BufferWindow(), before.data());
        QCOMPARE(before->View().Text().mid(65, 8), QStringLiteral("0000=00 "));
        QVERIFY(messages->isEmpty());
    }

    void deviceCompare_data() {
        QTest::addColumn<QList<int>>("changed"); // device bytes that differ from the buffer
        QTest::addColumn<bool>("onlyImage");     // the image is 0000-01FF
        QTest::addColumn<bool>("verify");        // Verify from the function window instead
        QTest::newRow("device matches") << QList<int>{} << false << false;
        QTest::newRow("three differences") << QList<int>{0x10, 0x200, 0x3F0} << false << false;
        QTest::newRow("only the image") << QList<int>{0x10, 0x200, 0x3F0} << true << false;
        QTest::newRow("Verify Error") << QList<int>{0x10, 0x200} << false << true;
    }
    void deviceCompare() {
        QFETCH(QList<int>, changed);
        QFETCH(bool, onlyImage);
        QFETCH(bool, verify);
        WriteFile(dir->path() + "/varn.ini", onlyImage ? "[device]\nonlyImage=true\n" : "");
        QByteArray memory(8192, '\0');
        for (int i = 0; i < memory.size(); ++i)
            memory[i] = char(i * 5 + 1);
        QByteArray device = memory;
        for (int a : changed)
            device[a] = char(~device[a]);
        WriteFile(dir->path() + "/memory.bin", device);
        VirtualUnit unit(unitArgs() + QStringList{"--memory", dir->path() + "/memory.bin"});
        auto w = startWithUnit(unit);
        QVERIFY(w);
        messages->clear();
        std::copy(memory.begin(), memory.end(), state.Buffer.begin());
        state.markDefined(0, 0x200);
        const auto before = state.Buffer;
        // Below Function in the Device menu.
        const QList<QAction*> items = w->findChild<QMenu*>("Device")->actions();
        QCOMPARE(items.indexOf(w->Action("DeviceCompare")),
                 items.indexOf(w->Action("DeviceFunction")) + 1);

        if (!verify)
            w->Action("DeviceCompare")->trigger();
        int chosenAgain = -1;
        for (int pass = 0; verify && pass < 2; ++pass) {
            ModalAnswer answer("frmFunction", [&](QWidget* dialog) {
                auto* functions = dialog->findChild<QListWidget*>("listFunction");
                // The window opens on the function chosen last.
                chosenAgain = functions->currentRow();
                functions->setCurrentRow(FnVerify);
                WaitIdle(dialog);
                click(dialog, "cmdRun");
                WaitIdle(dialog);
                QCOMPARE(dialog->findChild<QLabel*>("lblMsg0")->text(),
                         QStringLiteral("Verify Error at 0010"));
                static_cast<QDialog*>(dialog)->reject();
            });
            w->DeviceFunction_Click();
        }
        QCOMPARE(chosenAgain, verify ? FnVerify : -1);

        QVERIFY(state.Buffer == before);
        auto* list = w->findChild<QListWidget*>("ranges");
        if (changed.isEmpty()) {
            QVERIFY(!list);
            QCOMPARE(messages->titles(), QStringList{"Compare"});
            QVERIFY((*messages)[0].text.startsWith("The device matches the buffer"));
            return;
        }
        QVERIFY(messages->isEmpty() && list);
        if (verify) {
            // The first wrong byte with both values: the buffer's and the device's.
            QCOMPARE(list->count(), 1);
            QCOMPARE(list->item(0)->text(), QStringLiteral("0010  1 byte   51/AE"));
            return;
        }
        QCOMPARE(list->count(), onlyImage ? 1 : 3);
        QVERIFY(w->findChild<QLabel*>("summary")->text().contains("buffer/device"));
        QVERIFY(list->item(list->count() - 1)->text().startsWith(onlyImage ? "0010" : "03F0"));
    }

    // Only the Image and Allow Partial Image are check items kept in varn.ini.
    void optionsCheckItems_data() {
        Columns<QString, QByteArray>("action", "kept");
        QTest::newRow("Only the Image") << "OptionsOnlyImage" << QByteArray("onlyImage=true");
        QTest::newRow("Allow Partial Image")
            << "OptionsAllowPartial" << QByteArray("allowPartial=true");
    }
    void optionsCheckItems() {
        auto [action, kept] = Row<QString, QByteArray>("action", "kept");
        {
            mdiMain w(state);
            QAction* item = w.Action(action);
            QVERIFY(item->isCheckable() && !item->isChecked());
            item->trigger();
        }
        const QByteArray ini = ReadFile(dir->path() + "/varn.ini");
        QVERIFY(ini.contains("[device]") && ini.contains(kept) && ini.count("=true") == 1);
        mdiMain again(state);
        QVERIFY(again.Action(action)->isChecked());
    }

    // A job saved from a load opens onto another start: image, device and
    // Only the Image; a job edited since changes nothing. Two loads merged
    // (a boot loader, then the application at 0010) make a job of the whole
    // buffer, which the desktop and every station (the jobs loader) take.
    void jobSaveAndOpen_data() {
        Columns<QString, QString, QByteArray>("edit", "refusal", "second");
        QTest::newRow("as saved") << ""
                                  << "" << QByteArray();
        QTest::newRow("two loads merged") << ""
                                          << "" << QByteArray::fromHex("5566");
        QTest::newRow("edited by hand") << "\"data\": \"ESIz"
                                        << "changed since it was made" << QByteArray();
    }
    void jobSaveAndOpen() {
        auto [edit, refusal, second] =
            Row<QString, QString, QByteArray>("edit", "refusal", "second");
        const QString job = dir->path() + "/j.varnjob";
        WriteFile(dir->path() + "/image.bin", QByteArray::fromHex("11223344"));
        WriteFile(dir->path() + "/app.bin", second);
        state.SelectedDevice = 2;
        // The station's own serial series, which a saved job does not carry.
        UserSettings ini(state);
        ini.setValue("serial/enabled", true);
        ini.setValue("serial/series", "station");
        QVERIFY(ini.sync());
        QByteArray saved;
        {
            mdiMain w(state);
            QStringList files{"/image.bin", "/app.bin"};
            w.cdia.showOpen = [&](QWidget*) { return dir->path() + files.takeFirst(); };
            w.cdia.showJob = [&](QWidget*, bool) { return job; };
            for (const QString at : {"0", "10"}) {
                ModalAnswer options("frmFileLoad", [&](QWidget* d) {
                    setText(d, "txtBuffer", at);
                    click(d, "cmdOk");
                });
                if (at == "0" || !second.isEmpty())
                    w.FileLoad_Click();
            }
            w.Action("OptionsOnlyImage")->trigger();
            w.Action("OptionsAllowPartial")->trigger();
            w.FileSaveJob_Click();
            saved = BufferBytes(state, 0, 0x20);
        }
        QCOMPARE(messages->titles(), QStringList{"Save Job"});
        const QString savedText = (*messages)[0].text;
        messages->clear();
        QByteArray text = ReadFile(job);
        const QString replaced = "\"data\": \"ESIa";
        QVERIFY(edit.isEmpty() || text.contains(edit.toLatin1()));
        if (!edit.isEmpty())
            WriteFile(job, text.replace(edit.toLatin1(), replaced.toLatin1()));
        AppState fresh;
        QVERIFY(Main(fresh, dir->path()));
        AppState station = fresh;
        mdiMain w(fresh);
        w.cdia.showJob = [&](QWidget*, bool) { return job; };
        w.Action("OptionsOnlyImage")->setChecked(false);
        w.Action("OptionsAllowPartial")->setChecked(false);
        w.FileOpenJob_Click();
        QCOMPARE(fresh.SelectedDevice, refusal.isEmpty() ? 2 : 1);
        QCOMPARE(w.PanelText(2), refusal.isEmpty() ? "Device: EPROM 64K" : "Device:");
        QCOMPARE(fresh.defined.count(), refusal.isEmpty() ? 4u + second.size() : 0u);
        QCOMPARE(w.Action("OptionsOnlyImage")->isChecked(), refusal.isEmpty());
        QCOMPARE(w.Action("OptionsAllowPartial")->isChecked(), refusal.isEmpty());
        if (refusal.isEmpty()) {
            QCOMPARE(BufferBytes(fresh, 0, 0x20).toHex(), saved.toHex());
            QCOMPARE(messages->titles(), QStringList{"Open Job"});
            ProductionJob read;
            QVERIFY(ReadJobFile(job, &read));
            QCOMPARE(read.serialSeries, QString());
            QVERIFY(OpenJob(read, dir->path(), station));
            QCOMPARE(BufferBytes(station, 0, 0x20).toHex(), saved.toHex());
            VERIFY_CONTAINS(savedText,
                            second.isEmpty() ? "Image image.bin" : "Image app-merged.srec");
        } else
            QVERIFY(messages->onlyCritical("Open Job", refusal));
    }

    // Twenty rounds on two units, each started by a mouse click on Start:
    // after every round Start, Close and Leave are back and Stop is off, as
    // the units are, whatever order their signals came in.
    void operatorRoundsByMouse() {
        const QString jobPath =
            writeStationJob("blank.varnjob", QByteArray(16, char(0xFF)),
                            [](ProductionJob& job) { job.functions = {FnBlank}; });
        QVERIFY(!jobPath.isEmpty());
        VirtualUnit second({"--link", dir->path() + "/com2", "--dev", dir->path() + "/varn.dev"});
        QVERIFY2(second.start(), qPrintable(second.error()));
        VirtualUnit first(unitArgs());
        auto w = startWithUnit(first);
        QVERIFY(w);
        openForShift(*w, jobPath, {{}, "Ann", "L1", {}, {}});
        int rounds = 0;
        ModalAnswer answer("frmOperator", [&](QWidget* d) {
            auto* dlg = static_cast<frmOperator*>(d);
            const auto button = [dlg](const char* name) {
                return dlg->findChild<QPushButton*>(QLatin1String(name));
            };
            const auto idle = [&] {
                return button("startButton")->isEnabled() && !button("stopButton")->isEnabled() &&
                       button("cmdClose")->isEnabled() && button("leaveButton")->isEnabled();
            };
            QTRY_VERIFY_WITH_TIMEOUT(idle(), 20000);
            for (int round = 1; round <= 20; ++round) {
                QTest::mouseClick(button("startButton"), Qt::LeftButton);
                const QString counts = QStringLiteral("%1 chips, %1 passed").arg(2 * round);
                QTRY_VERIFY_WITH_TIMEOUT(
                    idle() && dlg->findChild<QLabel*>("countsText")->text().startsWith(counts),
                    20000);
                rounds = round;
            }
            SetChoiceHandler([](const ShownMessage&) { return 0; }); // Leave
            QTest::mouseClick(button("leaveButton"), Qt::LeftButton);
        });
        w->DeviceProduction_Click();
        QVERIFY(answer.seen && answer.unexpected.isEmpty());
        QCOMPARE(rounds, 20);
        QVERIFY(!w->InOperatorMode());
    }

    // Operator mode: a job of two units (production/ports 1,2), the second
    // switched on only after the first start and its chip unable to take the
    // image. A start reaches a missing unit again; one start runs both, each
    // tile shows its own verdict, Stop ends a chip under way, every record
    // names the lot, work order and operator; settings, loading and editing
    // stay locked until Leave.
    void operatorMode() {
        const QString jobPath =
            writeStationJob("two.varnjob", QByteArray::fromHex("11223344"), [](ProductionJob& job) {
                job.functions = {FnProgram, FnVerify};
                job.serialSeries = "board";
                job.serialAddress = 0x10;
            });
        QVERIFY(!jobPath.isEmpty());
        SerialSettings serial{.enabled = true, .length = 2, .first = 100};
        serial.name = "board";
        QVERIFY(CreateSeriesIn(dir->path() + "/log.sqlite", serial));
        WriteFile(dir->path() + "/zeros.bin", QByteArray(8192, '\0'));
        VirtualUnit good(unitArgs());
        VirtualUnit bad({"--link", dir->path() + "/com2", "--dev", dir->path() + "/varn.dev",
                         "--memory", dir->path() + "/zeros.bin"});
        auto w = startWithUnit(good);
        QVERIFY(w);
        openForShift(*w, jobPath, {{}, "Ann", "L42", "WO7", {}});
        const QByteArray before = BufferBytes(state, 0, 4);
        auto typeIntoBuffer = [&] {
            QTest::keyClicks(w->BufferWindow()->findChild<QPlainTextEdit*>(), "99");
            return BufferBytes(state, 0, 4) != before;
        };
        QStringList tiles, enabled, missing, stopped;
        bool typed = true, stayed = false;
        QString title;
        QStringList asked;
        // The buffer window shows the job's serial field, not varn.ini's (none).
        auto* preview = w->findChild<QLabel*>("previewLine");
        QString before1st, after1st;
        ModalAnswer answer("frmOperator", [&](QWidget* d) {
            auto* dlg = static_cast<frmOperator*>(d);
            auto word = [dlg](const char* tile) {
                return dlg->findChild<QWidget*>(tile)->findChild<QLabel*>("state")->text();
            };
            auto run = [&] {
                click(dlg, "startButton");
                QTRY_VERIFY_WITH_TIMEOUT(!dlg->isRunning(), 20000);
            };
            QTRY_VERIFY_WITH_TIMEOUT(!dlg->isRunning(), 20000);
            // The log is read off the window thread: each number shows once read.
            QTRY_VERIFY(preview->text().endsWith("00 64"));
            before1st = preview->text();
            missing << word("tile2");
            run();
            QTRY_VERIFY(preview->text().endsWith("00 65"));
            after1st = preview->text();
            missing << word("tile1") << word("tile2");
            // The first unit is unplugged (its tile says so at once) and comes
            // back with a fresh chip; the second is switched on.
            good.stop();
            QTRY_COMPARE_WITH_TIMEOUT(word("tile1"), QString("NO UNIT"), 10000);
            QVERIFY2(good.start() && bad.start(), qPrintable(good.error() + bad.error()));
            run();
            for (const char* name : {"tile1", "tile2"})
                for (const char* label : {"port", "state", "reason", "serial"})
                    tiles << dlg->findChild<QWidget*>(name)->findChild<QLabel*>(label)->text();
            tiles << dlg->findChild<QLabel*>("countsText")->text();
            // Stop lands in both units' load sequence pauses.
            click(dlg, "startButton");
            stopped << word("tile2");
            QTest::qWait(300);
            // Closing the program now is refused, and says why; Leave waits.
            messages->clear();
            w->close();
            stayed = w->isVisible() && messages->size() == 1 &&
                     (*messages)[0].text.startsWith("A chip is being worked on") &&
                     !dlg->findChild<QPushButton*>("leaveButton")->isEnabled();
            click(dlg, "stopButton");
            QTRY_VERIFY_WITH_TIMEOUT(!dlg->isRunning(), 20000);
            stopped << word("tile1") << word("tile2");
            for (QAction* menu : w->menuBar()->actions())
                for (QAction* action : menu->menu()->actions())
                    if (action->isEnabled() && action->isVisible() && !action->isSeparator())
                        enabled << action->objectName();
            typed = typeIntoBuffer();
            title = w->windowTitle();
            // File > Exit asks as Leave does; Enter stays in both.
            SetChoiceHandler([&](const ShownMessage& m) {
                asked << m.text.section('?', 0, 0) + "? " + m.buttons.value(m.defaultChoice);
                return m.buttons.indexOf("Stay");
            });
            w->Action("FileExit")->trigger();
            stayed = stayed && w->isVisible() && w->InOperatorMode();
            SetChoiceHandler([&](const ShownMessage& m) {
                asked << m.text.section('?', 0, 0) + "? " + m.buttons.value(m.defaultChoice);
                return 0; // Leave
            });
            click(dlg, "leaveButton");
        });
        w->DeviceProduction_Click();
        QVERIFY(answer.seen && answer.unexpected.isEmpty());
        QCOMPARE(missing, QStringList({"NO UNIT", "PASS", "NO UNIT"}));
        QCOMPARE(tiles.mid(0, 2) + tiles.mid(4, 2), QStringList({"COM1", "PASS", "COM2", "FAIL"}));
        QCOMPARE(tiles[2], QString());
        VERIFY_CONTAINS(tiles[6], "Verify Error at 0000");
        QCOMPARE(tiles[8], QStringLiteral("3 chips, 2 passed, 1 failed, yield 66.7 %"));
        QCOMPARE(stopped, QStringList({"RUNNING", "STOPPED", "STOPPED"}));
        enabled.sort();
        QCOMPARE(enabled, QStringList({"DeviceProduction", "FileExit", "FileLeaveOperator",
                                       "HelpAbout", "HelpContents"}));
        QVERIFY(!typed);
        QVERIFY(stayed);
        QCOMPARE(asked, QStringList({"Exit the program? Stay", "Leave operator mode? Stay"}));
        QCOMPARE(title, QStringLiteral("VARN ~ Varnet (operator mode: job two.varnjob)"));
        // Left: everything is back.
        QVERIFY(!w->InOperatorMode());
        QVERIFY(w->Action("FileLoad")->isEnabled() && w->Action("OptionsSettings")->isEnabled());
        QVERIFY(!w->Action("FileLeaveOperator")->isVisible());
        QCOMPARE(w->windowTitle(), QStringLiteral("VARN ~ Varnet"));
        QVERIFY(typeIntoBuffer());
        QList<ChipRecord> records;
        QVERIFY(ProductionLog::open(dir->path() + "/log.sqlite", {}, nullptr)->records(&records));
        QStringList runs;
        QList<qint64> serials;
        QMap<qint64, QString> portOf;
        for (const ChipRecord& r : records) {
            portOf[r.serial] = r.port;
            QCOMPARE(r.lot + r.workOrder + r.operatorName, QStringLiteral("L42WO7Ann"));
            runs << r.port + (r.passed ? " passed" : " failed");
            serials << r.serial;
        }
        QCOMPARE(runs.count("COM1 passed"), 2);
        QCOMPARE(runs.count("COM1 failed"), 1);
        // The missing unit's refusal, its bad chip and its stopped one.
        QCOMPARE(runs.count("COM2 failed"), 3);
        QCOMPARE(records.size(), 6);
        // Each tile shows its own chip's number; no number went twice.
        QCOMPARE(portOf.value(tiles[3].mid(14).toLongLong()), QStringLiteral("COM1"));
        QCOMPARE(portOf.value(tiles[7].mid(14).toLongLong()), QStringLiteral("COM2"));
        serials.removeAll(-1);
        QCOMPARE(QSet<qint64>(serials.begin(), serials.end()).size(), serials.size());
        // The preview follows the numbers the chips took, round by round: 100,
        // then 101 and 102; the stopped chips, which got nothing, gave theirs
        // back.
        QTRY_VERIFY(preview->text().endsWith("00 67"));
        QCOMPARE(QStringList({before1st, after1st, preview->text()}),
                 QStringList({"Next chip: serial@0010 = 00 64", "Next chip: serial@0010 = 00 65",
                              "Next chip: serial@0010 = 00 67"}));
    }

    // The Production window of the program's own unit: the preview follows
    // each chip while the window is open.
    void chipPreviewDuringProduction() {
        SerialSettings serial;
        serial.name = "board-a";
        serial.first = 100;
        QVERIFY(CreateSeriesIn(dir->path() + "/varn-log.sqlite", serial));
        UserSettings ini(state);
        ini.setValue("log/enabled", true);
        ini.setValue("serial/enabled", true);
        ini.setValue("serial/series", "board-a");
        ini.setValue("serial/address", 0x10);
        QVERIFY(ini.sync());
        WriteFile(dir->path() + "/auto.cfg", "1\r\n3\r\n"); // Program
        VirtualUnit good(unitArgs());
        auto w = startWithUnit(good);
        QVERIFY(w);
        auto* preview = w->findChild<QLabel*>("previewLine");
        // The log is read off the window thread: each number shows once read.
        const QStringList expected{"Next chip: serial@0010 = 00 00 00 64",
                                   "Next chip: serial@0010 = 00 00 00 65",
                                   "Next chip: serial@0010 = 00 00 00 66"};
        QTRY_COMPARE(preview->text(), expected[0]);
        int chips = 0;
        ModalAnswer answer("frmProduction", [&](QWidget* d) {
            auto* dlg = static_cast<frmProduction*>(d);
            for (int chip = 1; chip <= 2; ++chip) {
                QTRY_VERIFY_WITH_TIMEOUT(!dlg->isRunning(), 20000);
                click(dlg, "startButton");
                QTRY_VERIFY_WITH_TIMEOUT(!dlg->isRunning(), 20000);
                QTRY_COMPARE(preview->text(), expected[chip]);
                chips = chip;
            }
            click(dlg, "cmdClose");
        });
        w->DeviceProduction_Click();
        QVERIFY(answer.seen && answer.unexpected.isEmpty());
        QCOMPARE(chips, 2);
    }

    void fileLoad_data() {
        QTest::addColumn<LoadCase>("testCase");
        const QByteArray hex = ":0400100011223344"
                               "42\r\n:00000001FF\r\n";
        // A good record, then one with a bad checksum: nothing may change.
        const QByteArray bad = ":04000000787878781C\r\n:0400100011223344"
                               "43\r\n:00000001FF\r\n";
        const QByteArray bin = QByteArray::fromHex("11223344");
        QTest::newRow("HEX at offset") << LoadCase("image.HEX", hex, "cmdOk", "1000", 0x1010, "");
        QTest::newRow("binary at offset") << LoadCase("image.bin", bin, "cmdOk", "20", 0x20, "");
        QTest::newRow("bad checksum")
            << LoadCase("bad.hex", bad, "cmdOk", "0", -1, "File Load Error");
        QTest::newRow("options cancelled") << LoadCase("image.hex", hex, "cmdCancel", "0", -1, "");
        QTest::newRow("file dialog cancelled") << LoadCase("image.hex", hex, "", "0", -1, "");
    }
    void fileLoad() {
        QFETCH(LoadCase, testCase);
        auto [fileName, content, answer, bufferOffset, at, errorTitle] = testCase;
        const QString path = dir->path() + "/" + fileName;
        WriteFile(path, content);
        mdiMain w(state);
        w.cdia.showOpen = [&](QWidget*) { return answer.isEmpty() ? QString() : path; };
        w.BufferEdit_Click();
        QPointer<frmBuffer> before = w.BufferWindow();
        auto expected = state.Buffer;
        for (int i = 0; at >= 0 && i < 4; ++i)
            expected[at + i] = quint8(0x11 * (i + 1));

        ModalAnswer options("frmFileLoad", [&](QWidget* dialog) {
            // A title bar to move it by.
            QVERIFY(dialog->windowFlags() & Qt::WindowTitleHint);
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Load"));
            setText(dialog, "txtBuffer", bufferOffset);
            click(dialog, qPrintable(answer));
        });
        w.FileLoad_Click();
        QCOMPARE(options.seen, !answer.isEmpty());
        QVERIFY(options.unexpected.isEmpty());
        QVERIFY(state.Buffer == expected);
        const bool loaded = at >= 0;
        QCOMPARE(w.PanelText(4), loaded ? "File: " + path : QStringLiteral("File:"));
        if (errorTitle.isEmpty())
            QVERIFY(messages->isEmpty());
        else
            QVERIFY(messages->onlyCritical(errorTitle, "bad.hex"));
        // The same window shows the new image, or what was there.
        QCOMPARE(w.BufferWindow(), before.data());
        QCOMPARE(before->View().CheckSumText(), [&] {
            ImageModel fresh(state);
            return frmBuffer(fresh).View().CheckSumText();
        }());
    }

    // What a load has to say beyond its status text: warnings first, then
    // the load's own message.
    void fileLoadWarnings_data() {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("boxes"); // W (warning) or C (critical), then a fragment
        const QByteArray srec = "S00600004844521B\r\nS10501001234B3\r\nS9030000FC\r\n";
        QTest::newRow("empty file")
            << "empty.hex" << QByteArray() << QStringList{"WNothing was loaded: "};
        QTest::newRow("nothing inside the device")
            << "far.hex" << HexRecord(0x2000, "\x01\x02") + ":00000001FF\r\n"
            << QStringList{"Wholds no data for it; its data lies at 2000-2001, outside the "
                           "device (0000-"};
        QTest::newRow("ELF as binary") << "fw.bin" << ReadFile(SourcePath("tests/data/elf/avr.elf"))
                                       << QStringList{"Wlooks like an ELF file"};
        QTest::newRow("S-record named .hex")
            << "image.hex" << srec
            << QStringList{"Wlooks like an S-Record file, but it is loaded as Intel Hex.", "C"};
    }
    void fileLoadWarnings() {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, content);
        QFETCH(QStringList, boxes);
        const QString path = dir->path() + "/" + fileName;
        WriteFile(path, content);
        mdiMain w(state);
        w.cdia.showOpen = [&](QWidget*) { return path; };
        ModalAnswer options("frmFileLoad", [&](QWidget* dialog) { click(dialog, "cmdOk"); });
        w.FileLoad_Click();
        QCOMPARE(messages->size(), boxes.size());
        for (int i = 0; i < boxes.size(); ++i) {
            QCOMPARE((*messages)[i].icon,
                     boxes[i][0] == 'W' ? MsgIcon::Warning : MsgIcon::Critical);
            VERIFY_CONTAINS((*messages)[i].text, boxes[i].mid(1));
        }
        // The status text names a file that loaded, even one that held nothing.
        const bool loaded = boxes.last()[0] == 'W';
        QCOMPARE(w.PanelText(4), loaded ? "File: " + path : QStringLiteral("File:"));
    }

    // The buffer window and the memory map show the next chip's fields as
    // varn.ini and the log give them (CRC from Python's binascii.crc_hqx);
    // reading the log again draws no number, and an edit changes the CRC.
    // The next chip's numbers come from a log that may be across the
    // network, asked off the window thread: this server hangs up on the log
    // only once the window's own timer has run, so a window that waited for
    // it would wait for the log's connect time-out instead.
    void chipPreviewReadsTheLogOffTheWindowThread() {
        HangingServer server;
        UserSettings ini(state);
        ini.setValue("log/enabled", true);
        ini.setValue("log/url", server.url());
        ini.setValue("serial/enabled", true);
        ini.setValue("serial/series", "board-a");
        QVERIFY(ini.sync());
        mdiMain w(state);
        w.show();
        QTRY_COMPARE(messages->size(), 1); // not identified
        w.BufferEdit_Click();
        auto* line = w.findChild<QLabel*>("previewLine");
        QTRY_VERIFY_WITH_TIMEOUT(line->toolTip().contains("Numbers not known"), 15000);
        QVERIFY2(line->toolTip().contains("closed the connection"), qPrintable(line->toolTip()));
        QVERIFY(server.ticks >= 5);
        w.close();
    }

    void chipPreviewOfTheSettings() {
        const QString log = dir->path() + "/varn-log.sqlite";
        SerialSettings serial;
        serial.name = "board-a";
        serial.first = 12345;
        QVERIFY(CreateSeriesIn(log, serial));
        QVERIFY(CreatePoolIn(log, NumberPool{"mac", 0x12340000A1, 0x12340000FF, 1}));
        UserSettings ini(state);
        ini.setValue("log/enabled", true);
        ini.setValue("serial/enabled", true);
        ini.setValue("serial/series", "board-a");
        ini.setValue("serial/address", 0x1FC0);
        ini.setValue("fields/list",
                     QStringList{"pool=mac,at=1FE8,length=6", "crc16=0-1FFD,at=1FFE"});
        QVERIFY(ini.sync());
        mdiMain w(state);
        w.show();
        QTRY_COMPARE(messages->size(), 1); // not identified
        const auto before = state.Buffer;
        w.BufferEdit_Click();
        auto* line = w.findChild<QLabel*>("previewLine");
        const QString next = "Next chip: serial@1FC0 = 00 00 30 39, pool mac@1FE8 = 00 12 34 00 00 "
                             "A1, crc16@1FFE = D3 13";
        QTRY_COMPARE(line->text(), next);
        w.ViewMemoryMap_Click();
        QCOMPARE(line->text(), next);
        QStringList pools;
        QVERIFY(PoolLines(log, &pools));
        VERIFY_CONTAINS(pools.join('\n'), "95 left");
        const MemoryMap& map = w.MemoryMapWindow()->Map();
        QTRY_COMPARE(map.CellShade(state, 0x1FC), MemoryMap::Shade::PerChip);
        QCOMPARE(map.CellShade(state, 0x1FD), MemoryMap::Shade::Blank);
        QVERIFY(state.Buffer == before);
        w.Image().SetByte(0x10, 0x00);
        QVERIFY2(line->text().endsWith("crc16@1FFE = 44 BD"), qPrintable(line->text()));
        w.close();
    }

    void compareWithFile_data() {
        QTest::addColumn<QList<int>>("changed"); // file bytes that differ from the buffer
        QTest::newRow("same image") << QList<int>{};
        QTest::newRow("three differences") << QList<int>{0x10, 0x200, 0x3F0};
    }
    void compareWithFile() {
        QFETCH(QList<int>, changed);
        QByteArray image(8192, '\0');
        for (int i = 0; i < image.size(); ++i)
            state.Buffer[i] = quint8(image[i] = char(i * 3));
        for (int a : changed)
            image[a] = char(~image[a]);
        WriteFile(dir->path() + "/image.bin", image);
        mdiMain w(state);
        w.show();
        QTRY_COMPARE(messages->size(), 1); // not identified
        messages->clear();
        w.cdia.showOpen = [&](QWidget*) { return dir->path() + "/image.bin"; };
        ModalAnswer options("frmFileLoad", [&](QWidget* dialog) { click(dialog, "cmdOk"); });
        const auto before = state.Buffer;
        // The map opened after the comparison still shows it.
        w.FileCompare_Click();
        w.ViewMemoryMap_Click();
        QVERIFY(options.seen && messages->isEmpty());
        QVERIFY(state.Buffer == before);
        auto* list = w.findChild<QListWidget*>("ranges");
        QVERIFY(list);
        QCOMPARE(list->count(), changed.size());
        QCOMPARE(w.findChild<QLabel*>("summary")->text().section('.', 0, 0),
                 changed.isEmpty() ? QStringLiteral("No differences")
                                   : QStringLiteral("3 bytes differ in 3 ranges"));
        if (changed.isEmpty())
            return;
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        list->setFocus();
        emit list->itemActivated(list->item(1));
        QVERIFY(w.BufferWindow());
        QCOMPARE(w.BufferWindow()->View().AddressText(), QStringLiteral("0200"));
        QCOMPARE(w.BufferWindow()->View().CaretAddress(), 0x200);
        // The list stands whole inside the main window, shows a dozen rows, and
        // keeps the focus after a range was chosen.
        auto* sub = w.findChild<QMdiSubWindow*>("frmDifferencesSubWindow");
        QVERIFY(w.MdiArea()->viewport()->rect().contains(sub->geometry()));
        QVERIFY(list->height() >= 10 * list->fontMetrics().height());
        QCOMPARE(w.MdiArea()->activeSubWindow(), sub);
        QCOMPARE(QApplication::focusWidget(), list);
        // The memory map shades the differing blocks; a click shows one.
        frmMemoryMap* map = w.MemoryMapWindow();
        QVERIFY(map);
        QCOMPARE(map->Map().CellShade(state, 0x200 / 16), MemoryMap::Shade::Differs);
        QCOMPARE(map->Map().CellShade(state, 0x210 / 16), MemoryMap::Shade::Other);
        QTest::mouseClick(map->Cells(), Qt::LeftButton, {}, map->CellRect(0x3F0 / 16).center());
        QCOMPARE(w.BufferWindow()->View().CaretAddress(), 0x3F0);
        // While a function runs, the block it is at; none once it is over.
        auto* host = w.findChild<SessionHost*>("unit");
        FunctionResult run;
        run.workingAt = 0x200;
        emit host->functionProgress(run, 50);
        QCOMPARE(map->Map().CellShade(state, 0x200 / 16), MemoryMap::Shade::Working);
        emit host->functionFinished(run);
        QCOMPARE(map->Map().CellShade(state, 0x200 / 16), MemoryMap::Shade::Differs);
        // A change of the buffer leaves the list out of date, and it says so.
        QVERIFY(!sub->windowTitle().contains("out of date"));
        w.Image().SetByte(0x20, 0x00);
        QVERIFY(sub->windowTitle().endsWith("(out of date)"));
        VERIFY_CONTAINS(w.findChild<QLabel*>("summary")->text(), "Out of date");
        QCOMPARE(map->Map().CellShade(state, 2), MemoryMap::Shade::Image);
        w.close();
    }

    // A 64 KiB device's map is taller than the window: its last row scrolls
    // into sight, the legend stays in sight, and a blank block stands out
    // from the background (WCAG's 3:1 for parts of a picture).
    void memoryMapOfABigDevice() {
        state.SelectedDevice = 2;
        mdiMain w(state);
        w.show();
        QTRY_COMPARE(messages->size(), 1); // not identified
        w.BufferEdit_Click();
        w.ViewMemoryMap_Click();
        frmMemoryMap* map = w.MemoryMapWindow();
        auto inSight = [](QWidget* part, const QRect& rect) {
            return part->isVisible() && (QRegion(rect) - part->visibleRegion()).isEmpty();
        };
        auto* legend = map->findChild<QWidget*>("legend");
        QVERIFY(inSight(legend, legend->rect()));
        const QRect last = map->CellRect(65536 / 16 - 1);
        QVERIFY(!inSight(map->Cells(), last));
        map->findChild<QScrollArea*>()->ensureVisible(last.center().x(), last.center().y());
        QVERIFY(inSight(map->Cells(), last));
        QVERIFY(inSight(legend, legend->rect()));
        auto luminance = [](QColor c) {
            double sum = 0;
            for (auto [v, weight] :
                 {std::pair{c.redF(), 0.2126}, {c.greenF(), 0.7152}, {c.blueF(), 0.0722}})
                sum += weight * (v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4));
            return sum + 0.05;
        };
        const QImage drawn = map->Cells()->grab().toImage();
        const double background = luminance(drawn.pixelColor(0, 0));
        double strongest = 1;
        const QRect blank = map->CellRect(0);
        for (int x = blank.left(); x <= blank.right(); ++x)
            for (int y = blank.top(); y <= blank.bottom(); ++y) {
                const double l = luminance(drawn.pixelColor(x, y));
                strongest = std::max(strongest, std::max(l, background) / std::min(l, background));
            }
        QCOMPARE(map->Map().CellShade(state, 0), MemoryMap::Shade::Blank);
        QVERIFY2(strongest >= 3, qPrintable(QString::number(strongest)));
        w.close();
    }

    // Unsaved edits: the title says so; Exit asks Save / Discard / Cancel, and
    // Save writes the file the buffer came from, in its format, with no dialog.
    void unsavedEditsOnExit_data() {
        QTest::addColumn<int>("answer");
        QTest::newRow("save") << 0;
        QTest::newRow("discard") << 1;
        QTest::newRow("cancel") << 2;
    }
    void unsavedEditsOnExit() {
        QFETCH(int, answer);
        state.DeviceTable[1].Size = 16;
        const QString path = dir->path() + "/image.hex";
        const QByteArray loaded = ":0400000011223344"
                                  "52\r\n:00000001FF\r\n";
        WriteFile(path, loaded);
        mdiMain w(state);
        w.cdia.showOpen = [&](QWidget*) { return path; };
        w.cdia.showSave = [&](QWidget*) { return QString(); };
        ModalAnswer options("frmFileLoad", [&](QWidget* dialog) { click(dialog, "cmdOk"); });
        w.FileLoad_Click();
        QCOMPARE(w.windowTitle(), QStringLiteral("VARN ~ Varnet"));
        w.Image().SetByte(1, 0x99);
        QCOMPARE(w.windowTitle(), QStringLiteral("VARN ~ Varnet (buffer not saved)"));
        w.show();
        QTRY_COMPARE(messages->size(), 1); // not identified
        QStringList asked;
        SetChoiceHandler([&](const ShownMessage& m) {
            asked = m.buttons;
            return answer;
        });
        w.FileExit_Click();
        QCOMPARE(asked, QStringList({"&Save", "&Discard", "Cancel"}));
        QCOMPARE(w.isVisible(), answer == 2);
        QByteArray saved("\x11\x99\x33\x44");
        saved.append(12, '\xFF');
        QCOMPARE(ReadFile(path), answer == 0 ? HexText(saved) : loaded);
        QCOMPARE(w.windowTitle().endsWith("(buffer not saved)"), answer != 0);
        SetChoiceHandler({});
        w.Image().Undo();
        w.close(); // back as loaded: nothing to ask
        QVERIFY(!w.isVisible());
    }

    // Find says in the status bar when it went on from the start, and when
    // there is no further match.
    void findNotes() {
        state.Buffer.fill(0);
        state.Buffer[0x10] = state.Buffer[0x30] = 0xAB;
        mdiMain w(state);
        QString asked;
        w.cdia.askText = [&](QWidget*, const QString&, const QString& label) {
            asked = label;
            return QString("AB");
        };
        const auto note = [&] { return w.findChild<QLabel*>("statusNote")->text(); };
        QList<QPair<int, QString>> seen;
        w.BufferFind_Click();
        seen << qMakePair(w.BufferWindow()->View().CaretAddress(), note());
        w.BufferFindNext_Click();
        seen << qMakePair(w.BufferWindow()->View().CaretAddress(), note());
        w.BufferFindNext_Click();
        seen << qMakePair(w.BufferWindow()->View().CaretAddress(), note());
        w.Image().SetByte(0x30, 0);
        w.BufferFindNext_Click();
        seen << qMakePair(w.BufferWindow()->View().CaretAddress(), note());
        const QList<QPair<int, QString>> expected{
            {0x10, ""},
            {0x30, ""},
            {0x10, "Find: went on from the start of the device."},
            {0x10, "Find: no further match."}};
        QCOMPARE(seen, expected);
        // Go To names the device's addresses.
        w.BufferGoTo_Click();
        QCOMPARE(asked, QStringLiteral("Address (hex, 0000-1FFF):"));
        QCOMPARE(w.BufferWindow()->View().CaretAddress(), 0xAB);
    }

    // Size and place come back at the next start, fitted to the screen (a
    // layout scaled up must not leave the status bar off it).
    void windowPlaceRemembered_data() {
        QTest::addColumn<QRect>("placed");
        QTest::newRow("fits") << QRect(40, 50, 500, 380);
        QTest::newRow("larger than the screen") << QRect(0, 0, 1500, 1200);
    }
    void windowPlaceRemembered() {
        QFETCH(QRect, placed);
        {
            mdiMain w(state);
            w.show();
            QTRY_COMPARE(messages->size(), 1); // not identified
            w.setGeometry(placed);
            w.close();
        }
        mdiMain again(state);
        const QRect screen = again.screen()->availableGeometry();
        QVERIFY(screen.contains(again.geometry()));
        if (screen.contains(placed))
            QCOMPARE(again.geometry(), placed);
    }

    // Copy gives the selection as hex text or a C array; a paste at the caret
    // is one undoable step, cut at the device's end.
    void copyAndPaste() {
        state.Buffer[0x1FFE] = 0x5A;
        mdiMain w(state);
        w.BufferEdit_Click();
        frmBuffer* buffer = w.BufferWindow();
        buffer->GoTo(0x1FFD);
        auto* text = buffer->findChild<QWidget*>("txtBuffer");
        QTest::keyClick(text, Qt::Key_Right, Qt::ShiftModifier);
        w.BufferCopy_Click();
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("FF 5A"));
        w.BufferCopyArray_Click();
        VERIFY_CONTAINS(QGuiApplication::clipboard()->text(), "image_1FFD[2] = {\n    0xFF, 0x5A,");
        QGuiApplication::clipboard()->setText("01 02 03 04");
        buffer->GoTo(0x1FFD);
        w.BufferPaste_Click();
        QCOMPARE(QList<int>({state.Buffer[0x1FFD], state.Buffer[0x1FFF], state.Buffer[0x2000]}),
                 QList<int>({1, 3, 0xFF}));
        QVERIFY(state.isDefined(0x1FFF) && !state.isDefined(0x2000));
        QCOMPARE(w.findChild<QLabel*>("statusNote")->text(),
                 QStringLiteral("Paste: 1 bytes past the device's end left out."));
        w.BufferUndo_Click();
        QCOMPARE(QList<int>({state.Buffer[0x1FFD], state.Buffer[0x1FFE], state.Buffer[0x1FFF]}),
                 QList<int>({0xFF, 0x5A, 0xFF}));
        QGuiApplication::clipboard()->setText("not hex");
        w.BufferPaste_Click();
        QCOMPARE(messages->titles(), QStringList{"Paste"});
    }

    // Every menu item has an access key; those that open a dialog end in "...".
    void menuAccessKeys() {
        mdiMain w(state);
        const QStringList dialogs{
            "FileLoad",        "FileSaveAs",           "FileCompare",      "FileOpenJob",
            "FileSaveJob",     "BufferFill",           "BufferGoTo",       "BufferFind",
            "DeviceSelect",    "DeviceFunction",       "DeviceProduction", "OptionsEditAuto",
            "OptionsSettings", "OptionsProductionLog", "HelpAbout",        "ViewProductionReport"};
        for (QMenu* menu : w.menuBar()->findChildren<QMenu*>()) {
            for (QAction* item : menu->actions()) {
                if (item->isSeparator() || item->objectName().startsWith("FileRecent"))
                    continue;
                VERIFY_CONTAINS(item->text(), "&");
                QCOMPARE(item->text().endsWith("..."), dialogs.contains(item->objectName()));
            }
        }
    }

    // The file loaded last changed on disk (to the same size, maybe within
    // the same second, or shorter): Yes loads exactly the new version, and
    // bytes only the old one had do not stay; No keeps the buffer, Cancel
    // stops the run; an unchanged file asks nothing. Edits or other files in
    // the buffer are named in the question and kept only with Keep.
    void changedFileOffersReload_data() {
        // choice: empty: the file stays as it was; bytes: at 0, 20 and 100 afterwards
        Columns<int, bool, QString, bool, QList<int>>("oldLength", "edited", "choice", "proceeds",
                                                      "bytes");
        QTest::newRow("unchanged") << 16 << false << "" << true << QList<int>{0x11, 0xFF, 0xFF};
        QTest::newRow("yes") << 16 << false << "&Yes" << true << QList<int>{0x22, 0xFF, 0xFF};
        QTest::newRow("no") << 16 << false << "&No" << true << QList<int>{0x11, 0xFF, 0xFF};
        QTest::newRow("cancel") << 16 << false << "Cancel" << false << QList<int>{0x11, 0xFF, 0xFF};
        QTest::newRow("shorter, yes")
            << 32 << false << "&Yes" << true << QList<int>{0x22, 0xFF, 0xFF};
        QTest::newRow("edited, yes")
            << 32 << true << "&Yes" << true << QList<int>{0x22, 0xFF, 0xFF};
        QTest::newRow("edited, keep")
            << 32 << true << "&Keep" << true << QList<int>{0x22, 0x11, 0x5A};
    }
    void changedFileOffersReload() {
        auto [oldLength, edited, choice, proceeds, bytes] =
            Row<int, bool, QString, bool, QList<int>>("oldLength", "edited", "choice", "proceeds",
                                                      "bytes");
        const QString path = dir->path() + "/image.bin";
        WriteFile(path, QByteArray(oldLength, char(0x11)));
        mdiMain w(state);
        w.cdia.showOpen = [&](QWidget*) { return path; };
        ModalAnswer options("frmFileLoad", [&](QWidget* dialog) { click(dialog, "cmdOk"); });
        w.FileLoad_Click();
        QCOMPARE(state.Buffer[0], quint8(0x11));
        if (edited) {
            state.Buffer[100] = 0x5A;
            state.markDefined(100, 101);
        }
        if (!choice.isEmpty())
            WriteFile(path, QByteArray(16, char(0x22)));
        QList<QStringList> offered;
        SetChoiceHandler([&](const ShownMessage& m) {
            offered << m.buttons;
            return int(m.buttons.indexOf(choice));
        });
        const bool result = w.offerReload();
        SetChoiceHandler({});
        QCOMPARE(offered.size(), choice.isEmpty() ? 0 : 1);
        QCOMPARE(offered.value(0).contains("&Keep"), edited);
        QCOMPARE(result, proceeds);
        QCOMPARE((QList<int>{state.Buffer[0], state.Buffer[20], state.Buffer[100]}), bytes);
        QCOMPARE(state.isDefined(20), bytes[1] != 0xFF);
    }

    // A folder cannot be written: the error, and nothing changes; then a file.
    void fileSave() {
        state.DeviceTable[1].Size = 32;
        for (int i = 0; i < 40; ++i)
            state.Buffer[i] = quint8(i);
        mdiMain w(state);
        for (const QString& path : {dir->path(), dir->path() + "/out.hex"}) {
            w.cdia.showSave = [&](QWidget*) { return path; };
            ModalAnswer options("frmFileLoad", [&](QWidget* dialog) {
                dialog->findChild<QRadioButton*>("Option1")->setChecked(true);
                click(dialog, "cmdOk");
            });
            w.FileSave_Click();
            QVERIFY(options.seen);
        }
        QCOMPARE(messages->titles(), QStringList{"File Save Error"});
        QCOMPARE(w.PanelText(4), "File: " + dir->path() + "/out.hex");
        QCOMPARE(ReadFile(dir->path() + "/out.hex"),
                 HexText(QByteArray(reinterpret_cast<const char*>(state.Buffer.data()), 32)));
    }

    // A dropped file loads through the options dialog, becomes the first
    // recent file of the next run, and the load is undone with its checksum;
    // Clear empties the buffer.
    void dropRecentAndUndo() {
        const QString path = dir->path() + "/image.hex";
        WriteFile(path, ":0400100011223344"
                        "42\r\n:00000001FF\r\n");
        auto w = std::make_unique<mdiMain>(state);
        w->BufferEdit_Click();
        const QString emptySum = w->BufferWindow()->View().CheckSumText();
        auto load = [&](const std::function<void()>& start) {
            ModalAnswer options("frmFileLoad", [](QWidget* d) { click(d, "cmdOk"); });
            start();
            QTRY_VERIFY(options.seen);
            QTRY_COMPARE(state.Buffer[0x13], quint8(0x44));
        };
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(path)});
        // A drop goes to the widget that accepted the drag's entry.
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton,
                              Qt::NoModifier);
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        load([&] {
            QCoreApplication::sendEvent(w.get(), &enter);
            QCoreApplication::sendEvent(w.get(), &drop);
        });
        QCOMPARE(w->PanelText(4), "File: " + path);
        const QString loadedSum = w->BufferWindow()->View().CheckSumText();
        QVERIFY(loadedSum != emptySum);
        w->Action("BufferUndo")->trigger();
        QVERIFY(allBytes(state, 0xFF));
        QCOMPARE(w->BufferWindow()->View().CheckSumText(), emptySum);
        w->Action("BufferRedo")->trigger();
        QCOMPARE(w->BufferWindow()->View().CheckSumText(), loadedSum);
        w->Action("BufferClear")->trigger();
        QVERIFY(allBytes(state, 0xFF) && w->BufferWindow());

        w.reset();
        state.Buffer.fill(0xFF);
        mdiMain again(state);
        QAction* first = again.Action("FileRecent1");
        QVERIFY(first && first->isVisible() && first->text().endsWith(path));
        QVERIFY(!again.Action("FileRecent2")->isVisible());
        load([&] { first->trigger(); });
    }

    void bufferFill_data() {
        QTest::addColumn<FillCase>("testCase");
        QTest::newRow("100 for 10 with 0") << FillCase(true, {"0", "100", "10"}, 0x100, 0x10, 0x00);
        QTest::newRow("fill opens the window")
            << FillCase(false, {"a", "FFF0", "10"}, 0xFFF0, 16, 0x0A);
        QTest::newRow("cancel, window closed") << FillCase(false, {}, 0, 0, 0);
    }
    void bufferFill() {
        QFETCH(FillCase, testCase);
        auto [windowOpen, boxes, from, count, value] = testCase;
        state.Buffer.fill(0x11);
        mdiMain w(state);
        if (windowOpen) {
            w.BufferEdit_Click();
            // The caret two rows down: Fill starts there.
            QTest::keyClick(w.BufferWindow()->findChild<QPlainTextEdit*>("txtBuffer"),
                            Qt::Key_Down);
            QTest::keyClick(w.BufferWindow()->findChild<QPlainTextEdit*>("txtBuffer"),
                            Qt::Key_Down);
        }
        QPointer<frmBuffer> before = w.BufferWindow();
        auto expected = state.Buffer;
        for (int i = from; i < from + count; ++i)
            expected[i] = quint8(value);

        QString offeredStart;
        ModalAnswer fill("frmBufferFill", [&](QWidget* dialog) {
            offeredStart = dialog->findChild<QLineEdit*>("txtStart")->text();
            if (boxes.isEmpty())
                return click(dialog, "cmdCancel");
            setText(dialog, "txtFillWith", boxes[0]);
            setText(dialog, "txtStart", boxes[1]);
            setText(dialog, "txtLength", boxes[2]);
            click(dialog, "cmdOk");
        });
        w.BufferFill_Click();
        QVERIFY(fill.seen && fill.unexpected.isEmpty());
        QCOMPARE(offeredStart, windowOpen ? "0020" : "0000");
        QVERIFY(messages->isEmpty());
        QVERIFY(state.Buffer == expected);
        const bool confirmed = !boxes.isEmpty();
        QCOMPARE(bool(w.BufferWindow()), windowOpen || confirmed);
        if (windowOpen) // redrawn in place, never replaced
            QCOMPARE(w.BufferWindow(), before.data());
        if (w.BufferWindow()) {
            // A window drawn afresh from the same buffer shows the same checksum
            // exactly when the open one was redrawn.
            ImageModel image(state);
            frmBuffer fresh(image);
            const auto sum = [](QWidget* b) {
                return b->findChild<QLabel*>("lblCheckSum")->text();
            };
            QCOMPARE(sum(w.BufferWindow()) == sum(&fresh), confirmed || count == 0);
        }
    }

    // A new device shows in the panels and closes the buffer window, whose
    // layout depends on the device size.
    void deviceSelection() {
        state.SelectedDevice = 2;
        mdiMain w(state);
        w.BufferEdit_Click();
        ModalAnswer select("frmSelectDevice", [&](QWidget* dialog) {
            dialog->findChild<QListWidget*>("listDevice")->setCurrentRow(3);
            click(dialog, "cmdOk");
        });
        w.DeviceSelect_Click();
        QVERIFY(select.seen && !w.BufferWindow());
        QCOMPARE(QStringList({w.PanelText(2), w.PanelText(3)}),
                 QStringList({"Device: EEPROM 2816", "Size: B00H"}));
    }

    void exitWritesSettings_data() {
        QTest::addColumn<bool>("writable");
        QTest::newRow("written") << true;
        QTest::newRow("write fails") << false;
    }
    void exitWritesSettings() {
        QFETCH(bool, writable);
        state.PortNumber = 3;
        state.SelectedDevice = 2;
        if (!writable) {
            // A folder that is a regular file cannot hold varn.cfg, whoever runs the test.
            state.AppDir = dir->path() + "/plain-file";
            WriteFile(state.AppDir, "x");
        }
        mdiMain w(state);
        w.show();
        QTRY_COMPARE(messages->size(), 1); // not identified: the first activation says so
        messages->clear();
        w.FileExit_Click();
        QVERIFY(!w.isVisible());
        if (writable) {
            QVERIFY(messages->isEmpty());
            QCOMPARE(ReadFile(dir->path() + "/varn.cfg"), QByteArray("3\r\n4\r\n2\r\n"));
        } else {
            QVERIFY(messages->onlyCritical("File Save Error", "varn.cfg"));
        }
        // Closing the window's frame does the same, once.
        w.close();
        QCOMPARE(messages->size(), writable ? 0 : 1);
    }

    void helpContents_data() {
        QTest::addColumn<bool>("fileThere");
        QTest::newRow("shown") << true;
        QTest::newRow("no help file") << false;
    }
    void helpContents() {
        QFETCH(bool, fileThere);
        const QString page = dir->path() + "/varn.html";
        if (fileThere)
            WriteFile(page, "<html></html>");
        mdiMain w(state);
        w.helpFile = page;
        QList<QUrl> opened;
        w.openUrl = [&](const QUrl& url) { return opened << url, true; };
        w.Action("HelpContents")->trigger();
        QCOMPARE(opened, fileThere ? QList<QUrl>{QUrl::fromLocalFile(page)} : QList<QUrl>{});
        QCOMPARE(messages->titles(), fileThere ? QStringList() : QStringList{"Help"});
        QVERIFY(fileThere || (*messages)[0].text.contains(page));
    }
};

QTEST_MAIN(tst_mdimain)
#include "tst_mdimain.moc"
