#include "core/config.h"
#include "core/usersettings.h"
#include "files/frmfileload.h"
#include "link/openlink.h"
#include "production/productionlog.h"
#include "production/serialnumber.h"
#include "support/hangingserver.h"
#include "support/messagelog.h"
#include "support/rows.h"
#include "support/testsupport.h"
#include "ui/frmeditauto.h"
#include "ui/frmproductionlog.h"
#include "ui/frmreport.h"
#include "ui/frmselectdevice.h"
#include "ui/frmsettings.h"

#include <QBarSeries>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <optional>
#include <time.h>
#include <tuple>

using namespace varn;
using varn::test::Columns;
using varn::test::MessageLog;
using varn::test::Row;

namespace {

template <typename T> T* Child(QWidget& dlg, const QString& name) {
    T* w = dlg.findChild<T*>(name);
    if (!w)
        qFatal("no child %s", qPrintable(name));
    return w;
}
QPushButton* Button(QWidget& dlg, const char* name) {
    return Child<QPushButton>(dlg, name);
}

QStringList Texts(const QListWidget* list) {
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->item(i)->text();
    return texts;
}

void Retype(QLineEdit* box, const QString& text) {
    box->selectAll();
    QTest::keyClick(box, Qt::Key_Delete);
    QTest::keyClicks(box, text);
}

// Ends a dialog the way the user would: OK, Cancel or the window's close box.
void Leave(QDialog& dlg, const QString& how) {
    if (how == QLatin1String("close"))
        dlg.close();
    else
        QTest::mouseClick(Button(dlg, how == QLatin1String("ok") ? "cmdOk" : "cmdCancel"),
                          Qt::LeftButton);
}

} // namespace

// buffer: typed; null: the shown 0 is kept
using LoadCase = std::tuple<QString, FileFormat, QString, QString, qint64, qint64>;

// action: "ok", "cancel", "dbl<row>", "pick<row>"
using SelectCase = std::tuple<int, int, int, QString, int>;

// shown: element checked at open, -1 none; click: element clicked, -1 none
using SettingsCase = std::tuple<int, int, int, QString, int>;

// actions: ">Name", "<" (nothing selected), "<N", "<<"; codes: AutoList[1..AutoCount] afterwards
using AutoCase = std::tuple<QList<qint16>, QStringList, QString, QStringList, QList<qint16>>;

// shown: start of the test line, or of the message
using LogCase = std::tuple<QString, bool, QString, bool>;

class TestDialogs : public QObject {
    Q_OBJECT

    AppState state;
    std::unique_ptr<MessageLog> messages;
    std::optional<QTemporaryDir> dir; // the working folder

private slots:
    void init() {
        state = AppState();
        dir.emplace();
        state.AppDir = dir->path();
        messages = std::make_unique<MessageLog>();
    }
    void cleanup() { messages.reset(); }

    // ---- load options ----

    void fileLoadOptions_data() {
        QTest::addColumn<LoadCase>("testCase");
        const auto hex = FileFormat::IntelHex, bin = FileFormat::Binary, srec = FileFormat::SRecord;
        const auto elf = FileFormat::Elf;
        for (const auto& [name, format] : {std::pair{"image.HEX", hex},
                                           {"image.Ihx", hex},
                                           {"image.s28", srec},
                                           {"image.Srec", srec},
                                           {"image.AXF", elf},
                                           {"image.s1", bin}})
            QTest::newRow(name) << LoadCase(QStringLiteral("/data/%1").arg(name), format, QString(),
                                            QString(), 0ll, 0ll);
        QTest::newRow("upper half stays positive")
            << LoadCase("image.bin", bin, "8000", "ffff", 0x8000ll, 0xFFFFll);
    }
    void fileLoadOptions() {
        QFETCH(LoadCase, testCase);
        auto [path, format, buffer, file, bufferOffset, fileOffset] = testCase;
        frmFileLoad dlg(path);
        dlg.show();
        QCOMPARE(Child<QRadioButton>(dlg, "Option1")->isChecked(), format == FileFormat::IntelHex);
        QCOMPARE(Child<QRadioButton>(dlg, "Option2")->isChecked(), format == FileFormat::Binary);
        QCOMPARE(Child<QRadioButton>(dlg, "Option3")->isChecked(), format == FileFormat::SRecord);
        QCOMPARE(Child<QRadioButton>(dlg, "Option4")->isChecked(), format == FileFormat::Elf);
        QCOMPARE(Child<QLineEdit>(dlg, "txtBuffer")->text(), QStringLiteral("0"));
        QCOMPARE(Child<QLineEdit>(dlg, "txtFile")->text(), QStringLiteral("0"));
        if (!buffer.isNull()) {
            Retype(Child<QLineEdit>(dlg, "txtBuffer"), buffer);
            Retype(Child<QLineEdit>(dlg, "txtFile"), file);
        }
        Leave(dlg, QStringLiteral("ok"));
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QVERIFY(dlg.choice());
        QCOMPARE(dlg.choice()->format, format);
        QCOMPARE(dlg.choice()->bufferOffset, bufferOffset);
        QCOMPARE(dlg.choice()->fileOffset, fileOffset);
        QVERIFY(messages->isEmpty());
    }

    // The offset's own messages are ReadTypedOffset's (tst_hextext).
    void fileLoadRefusesBadOffset() {
        const QString text = QStringLiteral("100000000"); // one digit too many
        frmFileLoad dlg(QStringLiteral("image.bin"));
        dlg.show();
        QLineEdit* edit = Child<QLineEdit>(dlg, "txtFile");
        Retype(edit, text);
        Leave(dlg, QStringLiteral("ok"));
        QVERIFY(dlg.isVisible());
        QCOMPARE(messages->titles(), QStringList{"File Load"});
        QCOMPARE((*messages)[0].icon, MsgIcon::Warning);
        QVERIFY2((*messages)[0].text.contains(text), qPrintable((*messages)[0].text));
        QVERIFY(!dlg.choice());
        // Mended, the same dialog goes through.
        Retype(edit, QStringLiteral("20"));
        Leave(dlg, QStringLiteral("ok"));
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.choice()->fileOffset, qint64(0x20));
    }

    // Saving offers three formats and, for the addressed two, only the image's bytes.
    void fileSaveOptions() {
        frmFileLoad dlg(QStringLiteral("image.hex"), nullptr, frmFileLoad::Purpose::Save);
        dlg.show();
        QVERIFY(!dlg.findChild<QRadioButton*>("Option4"));
        auto* definedOnly = Child<QCheckBox>(dlg, "definedOnly");
        definedOnly->setChecked(true);
        Child<QRadioButton>(dlg, "Option2")->setChecked(true); // binary: nothing to leave out
        QVERIFY(!definedOnly->isEnabled());
        Child<QRadioButton>(dlg, "Option3")->setChecked(true);
        Leave(dlg, QStringLiteral("ok"));
        QCOMPARE(dlg.choice()->format, FileFormat::SRecord);
        QVERIFY(dlg.choice()->definedOnly);
    }

    // ---- device selection ----

    void selectDevice_data() {
        QTest::addColumn<SelectCase>("testCase");

        QTest::newRow("OK keeps the current device") << SelectCase(3, 2, 1, "ok", 2);
        QTest::newRow("pick then OK") << SelectCase(3, 2, 1, "pick0", 1);
        QTest::newRow("double-click is OK") << SelectCase(3, 1, 0, "dbl2", 3);
        QTest::newRow("empty table, OK") << SelectCase(0, 0, -1, "ok", 0);
        QTest::newRow("selection beyond table") << SelectCase(3, 7, -1, "ok", 0);
        QTest::newRow("pick then Cancel") << SelectCase(3, 2, 1, "cancel", 2);
    }
    void selectDevice() {
        QFETCH(SelectCase, testCase);
        auto [count, selected, shownRow, action, result] = testCase;
        QStringList names;
        const QStringList sizes{"400", "800", "C00"};
        for (int i = 1; i <= count; ++i) {
            state.DeviceTable[i] = {QStringLiteral("Part %1, rev B").arg(i), qint16(i), 1024 * i};
            names << QStringLiteral("Part %1, rev B   (%2H)").arg(i).arg(sizes.value(i - 1));
        }
        state.DeviceCount = qint16(count);
        state.SelectedDevice = qint16(selected);

        frmSelectDevice dlg(state);
        dlg.setWindowModality(Qt::NonModal);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        auto* list = Child<QListWidget>(dlg, "listDevice");
        QCOMPARE(Texts(list), names);
        const QList<QListWidgetItem*> shown = list->selectedItems();
        QCOMPARE(shown.isEmpty() ? -1 : list->row(shown.first()), shownRow);

        if (action.startsWith(QLatin1String("dbl"))) {
            QListWidgetItem* item = list->item(action.mid(3).toInt());
            const QPoint at = list->visualItemRect(item).center();
            // An item view takes a double-click only on the item it saw pressed.
            QTest::mousePress(list->viewport(), Qt::LeftButton, {}, at);
            QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
        } else if (action.startsWith(QLatin1String("pick"))) {
            list->setCurrentRow(action.mid(4).toInt());
            Leave(dlg, QStringLiteral("ok"));
        } else {
            if (action == QLatin1String("cancel"))
                list->setCurrentRow(0);
            Leave(dlg, action);
        }
        QVERIFY(!dlg.isVisible());
        const bool accepted = action != QLatin1String("cancel");
        QCOMPARE(dlg.result(), int(accepted ? QDialog::Accepted : QDialog::Rejected));
        QCOMPARE(int(state.SelectedDevice), result);
    }

    // ---- settings ----

    void settings_data() {
        QTest::addColumn<SettingsCase>("testCase");

        QTest::newRow("COM3 shown, OK keeps it") << SettingsCase(3, 2, -1, "ok", 3);
        QTest::newRow("COM5 chosen") << SettingsCase(3, 2, 4, "ok", 5);
        QTest::newRow("port 0: none shown, OK gives 8") << SettingsCase(0, -1, -1, "ok", 8);
        QTest::newRow("port 9: none shown, OK gives 8") << SettingsCase(9, -1, -1, "ok", 8);
        QTest::newRow("Cancel keeps the port") << SettingsCase(3, 2, 5, "cancel", 3);
    }
    void settings() {
        QFETCH(SettingsCase, testCase);
        auto [port, shown, click, how, result] = testCase;
        state.PortNumber = qint16(port);
        frmSettings dlg(state);
        dlg.show();
        for (int i = 0; i < 8; ++i)
            QCOMPARE(Child<QRadioButton>(dlg, QStringLiteral("optComm%1").arg(i))->isChecked(),
                     i == shown);
        if (click >= 0)
            QTest::mouseClick(Child<QRadioButton>(dlg, QStringLiteral("optComm%1").arg(click)),
                              Qt::LeftButton);
        Leave(dlg, how);
        QVERIFY(!dlg.isVisible());
        QCOMPARE(int(state.PortNumber), result);
    }

    // A unit on the network: the URL goes to varn.ini and the desktop opens
    // it, varn.cfg keeps its number; a COM port chosen again wins.
    void settingsNetworkPort_data() {
        Columns<QString, QString, QString>("typed", "then", "opened");
        QTest::newRow("rfc2217") << "rfc2217://10.0.0.7:4001"
                                 << ""
                                 << "rfc2217://10.0.0.7:4001";
        QTest::newRow("COM5 chosen after typing") << "tcp://unit:4002"
                                                  << "optComm4"
                                                  << "5";
        QTest::newRow("not a network address") << "/dev/ttyUSB0"
                                               << ""
                                               << "";
    }
    void settingsNetworkPort() {
        auto [typed, then, opened] = Row<QString, QString, QString>("typed", "then", "opened");
        state.PortNumber = 3;
        frmSettings dlg(state);
        dlg.show();
        QTest::keyClicks(Child<QLineEdit>(dlg, "networkAddress"), typed);
        QVERIFY(Child<QRadioButton>(dlg, "useNetwork")->isChecked());
        Child<QSpinBox>(dlg, "latency")->setValue(25);
        if (!then.isEmpty())
            QTest::mouseClick(Child<QRadioButton>(dlg, then), Qt::LeftButton);
        Leave(dlg, QStringLiteral("ok"));
        if (opened.isEmpty()) {
            QVERIFY(dlg.isVisible()); // refused, with the reason
            QVERIFY(messages->onlyCritical("Settings", "rfc2217://HOST:PORT"));
            return;
        }
        QVERIFY(!dlg.isVisible());
        const UserSettings settings(state);
        QCOMPARE(DesktopPortAddress(settings, state.PortNumber), opened);
        QCOMPARE(ReadNetworkPortSettings(settings).latencyMs, 25);
        QCOMPARE(ReadNetworkPortSettings(settings).address, typed); // kept for next time
        QCOMPARE(int(state.PortNumber), then.isEmpty() ? 3 : 5);
    }

    // ---- auto sequence editor ----

    void editAuto_data() {
        QTest::addColumn<AutoCase>("testCase");
        using C = QList<qint16>;
        using S = QStringList;
        const C rpv{FnRead, FnProgram, FnVerify};
        const C five{FnErase, FnBlank, FnProgram, FnVerify, FnLock};
        QTest::newRow("stored kept") << AutoCase(rpv, {}, "ok", {"Read", "Program", "Verify"}, rpv);
        QTest::newRow("Program twice") << AutoCase({}, {">Program", ">Program"}, "ok",
                                                   {"Program", "Program"}, {FnProgram, FnProgram});
        QTest::newRow("< with nothing selected")
            << AutoCase(rpv, {"<"}, "ok", {"Read", "Program", "Verify"}, rpv);
        QTest::newRow("< removes the selected step") << AutoCase(
            rpv, {"<1", ">Blank"}, "ok", {"Read", "Verify", "Blank"}, {FnRead, FnVerify, FnBlank});
        QTest::newRow("steps moved up and down, not past the ends")
            << AutoCase(rpv, {"^0", "^2", "v0", "v2"}, "ok", {"Verify", "Read", "Program"},
                        {FnVerify, FnRead, FnProgram});
        QTest::newRow("<< then Cancel keeps stored steps")
            << AutoCase(five, {"<<"}, "cancel", {}, five);
        // Twenty steps fill the sequence; a removal makes room again.
        const C full(MaxAutoCount, FnBlank), nineteen(MaxAutoCount - 1, FnBlank);
        const S blanks(MaxAutoCount - 1, QStringLiteral("Blank"));
        QTest::newRow("twentieth step, no more") << AutoCase(
            nineteen, {">Lock", ">Lock"}, "ok", blanks + S{"Lock"}, nineteen + C{FnLock});
        QTest::newRow("room again after a removal")
            << AutoCase(full, {"<0", ">Lock"}, "ok", blanks + S{"Lock"}, nineteen + C{FnLock});
    }
    void editAuto() {
        QFETCH(AutoCase, testCase);
        auto [stored, actions, how, after, codes] = testCase;
        const QStringList names{"Read", "Erase", "Blank", "Program", "Verify", "Lock"};
        state.AutoCount = qint16(stored.size());
        QStringList shown;
        for (int i = 0; i < stored.size(); ++i)
            shown << names[state.AutoList[i + 1] = stored[i]];

        frmEditAuto dlg(state);
        dlg.show();
        auto* lstIn = Child<QListWidget>(dlg, "lstIn");
        auto* lstOut = Child<QListWidget>(dlg, "lstOut");
        QCOMPARE(Texts(lstIn), names.mid(1));
        QCOMPARE(Texts(lstOut), shown);
        for (auto* b :
             {"cmdMoveRight", "cmdMoveLeft", "cmdMoveLeftAll", "stepUpButton", "stepDownButton"})
            QVERIFY(!Button(dlg, b)->toolTip().isEmpty());
        for (const QString& a : actions) {
            if (a.startsWith(QLatin1Char('>'))) {
                lstIn->setCurrentItem(lstIn->findItems(a.mid(1), Qt::MatchExactly).value(0));
                QTest::mouseClick(Button(dlg, "cmdMoveRight"), Qt::LeftButton);
            } else if (a.startsWith(QLatin1Char('^')) || a.startsWith(QLatin1Char('v'))) {
                lstOut->setCurrentRow(a.mid(1).toInt());
                QTest::mouseClick(Button(dlg, a[0] == '^' ? "stepUpButton" : "stepDownButton"),
                                  Qt::LeftButton);
            } else if (a == QLatin1String("<<")) {
                QTest::mouseClick(Button(dlg, "cmdMoveLeftAll"), Qt::LeftButton);
            } else {
                if (a.size() > 1)
                    lstOut->setCurrentRow(a.mid(1).toInt());
                else
                    lstOut->clearSelection();
                QTest::mouseClick(Button(dlg, "cmdMoveLeft"), Qt::LeftButton);
            }
        }
        QCOMPARE(Texts(lstOut), after);
        QCOMPARE(Button(dlg, "cmdMoveLeftAll")->isEnabled(), !after.isEmpty());
        QCOMPARE(Button(dlg, "cmdMoveRight")->isEnabled(), after.size() < MaxAutoCount);

        Leave(dlg, how);
        QVERIFY(!dlg.isVisible());
        // OK writes auto.cfg; leaving any other way writes nothing.
        const bool written = QFile::exists(state.ConfigPath(QLatin1String(AutoFileName)));
        QCOMPARE(written, how == QLatin1String("ok"));
        AppState reread;
        reread.AppDir = dir->path();
        QVERIFY(!written || LoadAutoList(reread));
        for (const AppState* s : {&state, written ? &reread : &state}) {
            QCOMPARE(int(s->AutoCount), codes.size());
            for (int i = 0; i < codes.size(); ++i)
                QCOMPARE(s->AutoList[i + 1], codes[i]);
        }
        QVERIFY(messages->isEmpty());
    }

    // A write that fails says so; the steps stay as chosen.
    void editAutoWriteFailureKeepsValues() {
        state.AppDir = dir->filePath(QStringLiteral("missing"));
        state.AutoCount = 1;
        state.AutoList[1] = FnRead;
        frmEditAuto dlg(state);
        dlg.show();
        Child<QListWidget>(dlg, "lstIn")->setCurrentRow(2); // Program
        QTest::mouseClick(Button(dlg, "cmdMoveRight"), Qt::LeftButton);
        Leave(dlg, QStringLiteral("ok"));
        QVERIFY(!dlg.isVisible());
        QVERIFY(messages->onlyCritical("Edit Auto", AutoFileName));
        QCOMPARE(int(state.AutoCount), 2);
        QCOMPARE(state.AutoList[2], qint16(FnProgram));
    }

    // ---- message boxes ----

    void messageBoxOnItsOwner_data() {
        QTest::addColumn<bool>("ownerShown"); // else: centred on the screen
        QTest::newRow("identification over the main window") << true;
        QTest::newRow("before any window is shown") << false;
    }

    void messageBoxOnItsOwner() {
        QFETCH(bool, ownerShown);
        SetMessageHandler({});
        QWidget owner;
        owner.setGeometry(40, 30, 760, 520);
        if (ownerShown) {
            owner.show();
            QVERIFY(QTest::qWaitForWindowExposed(&owner));
        }
        QRect box;
        QTimer::singleShot(50, this, [&] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                box = modal->frameGeometry();
                modal->close();
            }
        });
        ShowMessage(&owner, "VARN", "Device: ABCD\r\nVersion 2.1", MsgIcon::None);
        const QRect around =
            ownerShown ? owner.frameGeometry() : owner.screen()->availableGeometry();
        QVERIFY((box.center() - around.center()).manhattanLength() <= 2);
        // Room for the title beside a title bar's icon and buttons.
        QVERIFY(box.width() >= QFontMetrics(owner.font()).horizontalAdvance("VARN") + 120);
    }

    // ---- production log ----

    void productionLog_data() {
        QTest::addColumn<LogCase>("testCase");
        QTest::newRow("sqlite with serial") << LogCase("log.sqlite", true, "Connected: ", true);
        QTest::newRow("password in the URL")
            << LogCase("postgresql://u:pw@h/d", false, "Production log postgresql://u", false);
        QTest::newRow("serial without the log") << LogCase("", true, "Connected: ", false);
    }
    void productionLog() {
        QFETCH(LogCase, testCase);
        auto [location, serial, shown, saved] = testCase;
        // The table shows local time with its zone: here 5:30 east of UTC.
        qputenv("TZ", "XST-05:30");
        tzset();
        const auto zone = qScopeGuard([] {
            qunsetenv("TZ");
            tzset();
        });
        frmProductionLog dlg(state);
        const bool logOn = !location.isEmpty();
        Child<QCheckBox>(dlg, "logEnabled")->setChecked(logOn);
        const bool url = location.isEmpty() || location.contains(QLatin1Char(':'));
        const QString path = url ? location : dir->filePath(location);
        Child<QLineEdit>(dlg, "fileOrUrl")->setText(path);
        Child<QLineEdit>(dlg, "station")->setText(QStringLiteral("line-2"));
        // A new series (which starts the log file), chosen for the run.
        Child<QLineEdit>(dlg, "seriesName")->setText(QStringLiteral("board-a"));
        Child<QSpinBox>(dlg, "seriesLength")->setValue(3);
        Child<QComboBox>(dlg, "encoding")->setCurrentIndex(2);
        Child<QLineEdit>(dlg, "first")->setText(QStringLiteral("500"));
        QTest::mouseClick(Button(dlg, "createSeriesButton"), Qt::LeftButton);
        // The log is asked off the window thread: its answer follows.
        QTRY_VERIFY(Child<QLabel>(dlg, "seriesResult")->text() != QStringLiteral("Creating ..."));
        Child<QCheckBox>(dlg, "serialEnabled")->setChecked(serial);
        Child<QLineEdit>(dlg, "serialAddress")->setText(QStringLiteral("7FF0"));
        if (!url) { // a chip whose run never ended
            ChipRecord cut;
            cut.time = QDateTime(QDate(2026, 1, 15), QTime(12, 0), Qt::UTC);
            const auto log = ProductionLog::open(path, {}, nullptr);
            QVERIFY(log && log->openRecord(cut));
        }
        QTest::mouseClick(Button(dlg, "testButton"), Qt::LeftButton);
        QTRY_VERIFY(Child<QLabel>(dlg, "testResult")->text() != QStringLiteral("Connecting ..."));
        if (!url)
            QTRY_VERIFY(Child<QTableWidget>(dlg, "recordTable")->rowCount() > 0);
        QVERIFY2(Child<QLabel>(dlg, "testResult")->text().startsWith(shown),
                 qPrintable(Child<QLabel>(dlg, "testResult")->text()));
        QVERIFY(!Child<QLabel>(dlg, "testResult")->text().contains(QLatin1String("pw")));
        QVERIFY(!Child<QLabel>(dlg, "seriesResult")->text().contains(QLatin1String("pw")));
        if (!url)
            QCOMPARE(Child<QTableWidget>(dlg, "recordTable")->item(0, 1)->text() + " " +
                         Child<QTableWidget>(dlg, "recordTable")->item(0, 0)->text(),
                     "INTERRUPTED 2026-01-15 17:30:00 XST");
        dlg.okClicked();
        QCOMPARE(dlg.result() == QDialog::Accepted, saved);
        QCOMPARE(messages->isEmpty(), saved);
        const UserSettings settings(state);
        QCOMPARE(settings.value(QStringLiteral("log/enabled")).toBool(), saved);
        if (!saved)
            return;
        QCOMPARE(LineFields::load(settings).stationName(), QStringLiteral("line-2"));
        const SerialSettings read = SerialSettings::load(settings);
        QVERIFY(read.enabled && read.address == 0x7FF0 && read.length == 3 && read.first == 500);
        QCOMPARE(read.name + EncodingName(read.encoding), QStringLiteral("board-aascii"));
    }

    // A log file that is not there is started only when the user agrees,
    // and the window closes once it is (made off the window thread).
    void newLogFileOnOk_data() {
        QTest::addColumn<int>("choice"); // 0: Start a New Log, 1: Cancel
        QTest::newRow("started") << 0;
        QTest::newRow("declined") << 1;
    }
    void newLogFileOnOk() {
        QFETCH(int, choice);
        QStringList asked;
        SetChoiceHandler([&asked, choice](const ShownMessage& m) {
            asked << m.text;
            return choice;
        });
        const auto answered = qScopeGuard([] { SetChoiceHandler({}); });
        const QString path = dir->filePath("new-log.sqlite");
        frmProductionLog dlg(state);
        Child<QCheckBox>(dlg, "logEnabled")->setChecked(true);
        Child<QLineEdit>(dlg, "fileOrUrl")->setText(path);
        dlg.okClicked();
        QCOMPARE(asked, QStringList{path + " does not exist. Start a new production log there?"});
        if (choice != 0) {
            QVERIFY(dlg.result() != QDialog::Accepted && !QFileInfo::exists(path));
            return;
        }
        QTRY_COMPARE(dlg.result(), int(QDialog::Accepted));
        QVERIFY(ProductionLog::open(path, {}, nullptr));
        QCOMPARE(UserSettings(state).value(QStringLiteral("log/url")).toString(), path);
    }

    // A log across the network is asked off the window thread: the server
    // hangs up only once the window's own timer has run.
    void logDialogsAskOffTheWindowThread_data() {
        QTest::addColumn<bool>("report");
        QTest::newRow("View > Production Report") << true;
        QTest::newRow("Options > Production Log: Test") << false;
    }
    void logDialogsAskOffTheWindowThread() {
        QFETCH(bool, report);
        varn::test::HangingServer server;
        QString shown;
        if (report) {
            frmReport dlg(server.url());
            QTRY_COMPARE_WITH_TIMEOUT(Child<QLabel>(dlg, "yieldHeadline")->text(),
                                      QStringLiteral("No report"), 15000);
            shown = Child<QPlainTextEdit>(dlg, "figures")->toPlainText();
        } else {
            frmProductionLog dlg(state);
            Child<QLineEdit>(dlg, "fileOrUrl")->setText(server.url());
            QTest::mouseClick(Button(dlg, "testButton"), Qt::LeftButton);
            auto* line = Child<QLabel>(dlg, "testResult");
            QTRY_VERIFY_WITH_TIMEOUT(line->text() != QStringLiteral("Connecting ..."), 15000);
            shown = line->text();
        }
        QVERIFY2(shown.contains("closed the connection"), qPrintable(shown));
    }

    // The report window: the figures and both charts from a seeded log,
    // narrowed by lot; saved as PDF and PNG; a log that is not there.
    void productionReport() {
        const QString path = dir->filePath("log.sqlite");
        const QDateTime t0(QDate(2026, 12, 6), QTime(10, 5), Qt::UTC);
        {
            Status opened;
            auto log = ProductionLog::open(path, LogOpenOptions{true, {}, false}, &opened);
            QVERIFY2(log, qPrintable(opened.message));
            // Lot A: 10:xx two passed and a mismatch, 11:xx a line fault;
            // lot B: one passed.
            const struct {
                int minutes;
                const char* lot;
                ChipRecord::Failure failure;
            } rows[] = {{0, "A", ChipRecord::Failure::None},
                        {10, "A", ChipRecord::Failure::None},
                        {20, "A", ChipRecord::Failure::Mismatch},
                        {60, "A", ChipRecord::Failure::Communication},
                        {70, "B", ChipRecord::Failure::None}};
            for (const auto& row : rows) {
                ChipRecord r;
                r.time = t0.addSecs(60 * row.minutes);
                r.closedAt = r.time.addSecs(30);
                r.lot = QString::fromLatin1(row.lot);
                r.port = QStringLiteral("/dev/ttyUSB0");
                r.functions = {QStringLiteral("Program"), QStringLiteral("Verify")};
                r.programBytesSent = true;
                r.passed = row.failure == ChipRecord::Failure::None;
                r.failure = row.failure;
                r.failedStep = r.passed ? QString() : QStringLiteral("Verify");
                QVERIFY(log->writeRecord(r));
            }
        }
        frmReport dlg(path);
        const auto yield = [&] { return Child<QLabel>(dlg, "yieldHeadline")->text(); };
        // The log is read off the window thread: the figures follow.
        QTRY_COMPARE(yield(), QStringLiteral("Yield 60.0 % of 5 chips"));
        Child<QLineEdit>(dlg, "lot")->setText("A");
        QTest::mouseClick(Child<QPushButton>(dlg, "refreshButton"), Qt::LeftButton);
        QTRY_COMPARE(yield(), QStringLiteral("Yield 50.0 % of 4 chips"));
        VERIFY_CONTAINS(Child<QPlainTextEdit>(dlg, "figures")->toPlainText(),
                        "Chips:             4 (2 passed, 2 failed, 0 interrupted)");
        // Yield by hour: 66.7 % at 10:00, 0 % at 11:00 (local time on the axis).
        const auto* line = qobject_cast<QLineSeries*>(
            Child<QChartView>(dlg, "yieldChart")->chart()->series().value(0));
        QVERIFY(line);
        QCOMPARE(line->count(), 2);
        QCOMPARE(qint64(line->at(0).x()), t0.addSecs(-300).toMSecsSinceEpoch());
        QCOMPARE(qRound(line->at(0).y() * 10), 667);
        QCOMPARE(line->at(1).y(), 0.0);
        // Failures by kind, as the log counts them.
        const auto* bars = qobject_cast<QBarSeries*>(
            Child<QChartView>(dlg, "failuresChart")->chart()->series().value(0));
        QVERIFY(bars && bars->count() == 1);
        QCOMPARE(bars->barSets()[0]->count(), 2);
        QCOMPARE(bars->barSets()[0]->sum(), 2.0);

        // Saved for paper: A4 pages, the PNG's one under the other at 150 dpi
        // on white, the PDF's with the title, the filters and the figures as
        // text, and neither with the window's buttons.
        for (const QString name : {"report.pdf", "report.png"}) {
            dlg.askSavePath = [&](QWidget*) { return dir->filePath(name); };
            QTest::mouseClick(Child<QPushButton>(dlg, "saveButton"), Qt::LeftButton);
        }
        QVERIFY(varn::test::ReadFile(dir->filePath("report.pdf")).startsWith("%PDF-"));
        const QImage png(dir->filePath("report.png"), "PNG");
        const QSize a4(1240, 1754);
        QVERIFY2(png.width() == a4.width() && png.height() % a4.height() == 0,
                 qPrintable(QStringLiteral("%1x%2").arg(png.width()).arg(png.height())));
        QCOMPARE(png.pixel(5, 5), qRgb(255, 255, 255));
        if (const QString pdftotext = QStandardPaths::findExecutable("pdftotext");
            !pdftotext.isEmpty()) {
            QProcess reader;
            reader.start(pdftotext, {"-layout", dir->filePath("report.pdf"), "-"});
            QVERIFY(reader.waitForFinished(30000));
            const QString text = QString::fromUtf8(reader.readAllStandardOutput());
            for (const char* part : {"Production Report", "Lot: A", "Period: Every record",
                                     "Yield 50.0 % of 4 chips", "4 (2 passed, 2 failed"})
                VERIFY_CONTAINS(text, QString::fromLatin1(part));
            QVERIFY(!text.contains("Refresh") && !text.contains("Close"));
            QCOMPARE(text.count(QLatin1Char('\f')), png.height() / a4.height());
        }
        dlg.askSavePath = [&](QWidget*) { return dir->filePath("no-folder/report.png"); };
        QTest::mouseClick(Child<QPushButton>(dlg, "saveButton"), Qt::LeftButton);
        QCOMPARE(messages->titles(), QStringList{"Save Report"});

        frmReport missing(dir->filePath("none.sqlite"));
        QTRY_COMPARE(Child<QLabel>(missing, "yieldHeadline")->text(), QStringLiteral("No report"));
        QVERIFY(!Child<QPlainTextEdit>(missing, "figures")->toPlainText().isEmpty());
        QVERIFY(!QFile::exists(dir->filePath("none.sqlite")));
    }
};

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
