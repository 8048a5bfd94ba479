#include "core/appstate.h"
#include "editor/bufferops.h"
#include "editor/frmbuffer.h"
#include "ui/frmabout.h"
#include "ui/mdimain.h"
#include "ui/messagebox.h"

#include "support/modalanswer.h"
#include "support/virtualunit.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QtTest>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

using namespace varn;
using varn::test::VirtualUnit;

namespace {

using test::ModalAnswer;

void click(QWidget* dialog, const char* button) {
    auto* b = dialog->findChild<QPushButton*>(QLatin1String(button));
    QVERIFY2(b, button);
    b->click();
}

void setText(QWidget* dialog, const char* box, const QString& text) {
    auto* edit = dialog->findChild<QLineEdit*>(QLatin1String(box));
    QVERIFY2(edit, box);
    edit->setText(text);
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

const QByteArray DeviceFile = "\"FLASH 8K\",1,8192\r\n"
                              "\"EPROM 64K\",2,65536\r\n"
                              "\"NONE\",3,0\r\n"
                              "\"EEPROM 2816\",4,2816\r\n";

// A start folder as the program finds it: settings, three device types, an
// empty auto sequence.
void writeConfig(const QString& dir, int port, int selected) {
    writeFile(dir + "/varn.cfg",
              QStringLiteral("%1\r\n4\r\n%2\r\n").arg(port).arg(selected).toLatin1());
    writeFile(dir + "/varn.dev", DeviceFile);
    writeFile(dir + "/auto.cfg", "0\r\n");
}

// The state a window sees after a start from writeConfig(dir, 1, 1).
void fillState(AppState& state, const QString& dir) {
    state.AppDir = dir;
    state.PortNumber = 1;
    state.DeviceCount = 4;
    state.SelectedDevice = 1;
    state.DeviceTable[1] = {QStringLiteral("FLASH 8K"), 1, 8192};
    state.DeviceTable[2] = {QStringLiteral("EPROM 64K"), 2, 65536};
    state.DeviceTable[3] = {QStringLiteral("NONE"), 3, 0};
    state.DeviceTable[4] = {QStringLiteral("EEPROM 2816"), 4, 2816};
}

// An Intel HEX data record with its checksum.
QByteArray hexRecord(int address, const QByteArray& data, int type = 0) {
    QByteArray bytes;
    bytes.append(char(data.size()));
    bytes.append(char(address >> 8));
    bytes.append(char(address & 0xFF));
    bytes.append(char(type));
    bytes.append(data);
    int sum = 0;
    for (char c : bytes)
        sum += quint8(c);
    bytes.append(char((256 - (sum & 0xFF)) & 0xFF));
    return ":" + bytes.toHex().toUpper() + "\r\n";
}

QStringList panelTexts(const mdiMain& w) {
    QStringList texts;
    for (int i = 1; i <= 5; ++i)
        texts << w.PanelText(i);
    return texts;
}

QByteArray frame(const char* hex) {
    return QByteArray::fromHex(hex);
}

} // namespace

class tst_mdimain : public QObject {
    Q_OBJECT

private:
    QList<ShownMessage> messages;
    QStringList messageTitles() const {
        QStringList titles;
        for (const auto& m : messages)
            titles << m.title;
        return titles;
    }
    // Starts a unit linked as com1 in dir and the program on it.
    std::unique_ptr<mdiMain> startWithUnit(AppState& state, VirtualUnit& unit, const QString& dir) {
        writeConfig(dir, 1, 1);
        if (!unit.start()) {
            qWarning("%s", qPrintable(unit.error()));
            return nullptr;
        }
        return StartUp(state, dir);
    }

private slots:
    void init() {
        messages.clear();
        SetMessageHandler([this](const ShownMessage& m) { messages << m; });
    }
    void cleanup() {
        SetMessageHandler({});
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (QWidget* w : QApplication::topLevelWidgets())
            QVERIFY2(!w->isVisible() || w->objectName().isEmpty(), qPrintable(w->objectName()));
    }

    void startupFaultEndsBeforeWindow() {
        QTemporaryDir dir;
        AppState state;
        auto w = StartUp(state, dir.path());
        QVERIFY(!w);
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].title, QStringLiteral("VARN"));
        QCOMPARE(messages[0].icon, MsgIcon::Critical);
        QVERIFY2(messages[0].text.contains("varn.cfg"), qPrintable(messages[0].text));
        for (QWidget* top : QApplication::topLevelWidgets())
            QVERIFY(!qobject_cast<mdiMain*>(top));
    }

    void startupPortFails() {
        QTemporaryDir dir;
        writeConfig(dir.path(), 1, 1);
        QVERIFY(QFile::link(dir.path() + "/no-such-tty", dir.path() + "/com1"));
        AppState state;
        auto w = StartUp(state, dir.path());
        QVERIFY(w);
        QTRY_COMPARE(messages.size(), 2);
        QCOMPARE(messages[0].title, QStringLiteral("Communication Port Error"));
        QCOMPARE(messages[0].icon, MsgIcon::Critical);
        QVERIFY2(messages[0].text.startsWith("COM1, "), qPrintable(messages[0].text));
        QCOMPARE(messages[1].title, QStringLiteral("Device Error"));
        QCOMPARE(messages[1].text, QStringLiteral("Communication Error!"));
        QCOMPARE(messages[1].icon, MsgIcon::Critical);
        QCOMPARE(panelTexts(*w), QStringList({"FAIL", "Device:", "Size:", "File:", ""}));
        QVERIFY(!w->BufferWindow());
        QVERIFY(!state.UnitIdentified);
        QTRY_VERIFY(!w->findChild<frmAbout*>());
        // The buffer is emptied by the load step whatever the port does.
        QVERIFY(std::all_of(state.Buffer.begin(), state.Buffer.end(),
                            [](quint8 b) { return b == 0xFF; }));

        // Run/Reset still follow the user, but nothing can be sent.
        messages.clear();
        w->Action("DeviceReset")->trigger();
        QCOMPARE(w->PanelText(5), QStringLiteral("RESET"));
        QVERIFY(w->Action("DeviceReset")->isChecked());
        QVERIFY(!w->Action("DeviceRun")->isChecked());
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].title, QStringLiteral("Communication Port Error"));
        QVERIFY(!messages[0].text.isEmpty());
        w->Action("DeviceReset")->trigger();
        QCOMPARE(messages.size(), 1);
        QVERIFY(w->Action("DeviceReset")->isChecked());
    }

    void startupSilentUnit() {
        int master = -1, slave = -1;
        char name[256] = {};
        QCOMPARE(openpty(&master, &slave, name, nullptr, nullptr), 0);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        QTemporaryDir dir;
        writeConfig(dir.path(), 1, 2);
        QVERIFY(QFile::link(QString::fromLocal8Bit(name), dir.path() + "/com1"));
        AppState state;
        auto w = StartUp(state, dir.path());
        QVERIFY(w);
        QTRY_COMPARE(messages.size(), 1);
        QCOMPARE(messages[0].title, QStringLiteral("Device Error"));
        QCOMPARE(messages[0].text, QStringLiteral("Communication Error!"));
        QCOMPARE(panelTexts(*w),
                 QStringList({"COM1", "Device: EPROM 64K", "Size: 10000H", "File:", "RUN"}));
        QVERIFY(!w->BufferWindow());
        QVERIFY(w->Action("DeviceRun")->isChecked());
        char wire[16];
        const ssize_t n = ::read(master, wire, sizeof wire);
        QCOMPARE(QByteArray(wire, int(qMax<ssize_t>(n, 0))), frame("0154"));
        w.reset();
        ::close(slave);
        ::close(master);
    }

    void startupWithUnit() {
        QTemporaryDir dir;
        VirtualUnit unit({"--link", dir.path() + "/com1", "--dev", dir.path() + "/varn.dev"});
        AppState state;
        auto w = startWithUnit(state, unit, dir.path());
        QVERIFY(w);
        QTRY_VERIFY(!messages.isEmpty());
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].title, QStringLiteral("VARN"));
        QCOMPARE(messages[0].text, QStringLiteral("Device: VARN\r\nVersion 2.0"));
        QCOMPARE(messages[0].icon, MsgIcon::None);
        QCOMPARE(panelTexts(*w),
                 QStringList({"COM1", "Device: FLASH 8K", "Size: 2000H", "File:", "RUN"}));
        QVERIFY(state.UnitIdentified);
        frmBuffer* buffer = w->BufferWindow();
        QVERIFY(buffer);
        QCOMPARE(buffer->windowTitle(), QStringLiteral("Buffer"));
        QCOMPARE(w->MdiArea()->subWindowList().size(), 1);
        QCOMPARE(w->MdiArea()->subWindowList().first()->pos(), QPoint(0, 0));
        // F6 and F5 reach the Device menu from inside the buffer window.
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        auto* text = buffer->findChild<QWidget*>("txtBuffer");
        QVERIFY(text);
        text->setFocus();
        QTest::keyClick(text, Qt::Key_F6);
        QCOMPARE(w->PanelText(5), QStringLiteral("RESET"));
        QTest::keyClick(text, Qt::Key_F5);
        QCOMPARE(w->PanelText(5), QStringLiteral("RUN"));
        QVERIFY(unit.waitForFrames(3));
        QCOMPARE(unit.frames(), QList<QByteArray>({frame("0154"), frame("012D"), frame("012B")}));

        // Showing the window again does not repeat the report.
        w->hide();
        w->show();
        w->MDIForm_Activate();
        QCoreApplication::processEvents();
        QCOMPARE(messages.size(), 1);
    }

    void runAndReset_data() {
        QTest::addColumn<QString>("keys"); // R = Run (F5), S = Reset (F6)
        QTest::addColumn<QList<QByteArray>>("sent");
        QTest::addColumn<QStringList>("panel5");

        QTest::newRow("run while running")
            << "RR" << QList<QByteArray>() << QStringList{"RUN", "RUN"};
        QTest::newRow("reset twice")
            << "SS" << QList<QByteArray>{frame("012D")} << QStringList{"RESET", "RESET"};
        QTest::newRow("reset, run, reset")
            << "SRS" << QList<QByteArray>{frame("012D"), frame("012B"), frame("012D")}
            << QStringList{"RESET", "RUN", "RESET"};
    }
    void runAndReset() {
        QFETCH(QString, keys);
        QFETCH(QList<QByteArray>, sent);
        QFETCH(QStringList, panel5);
        QTemporaryDir dir;
        VirtualUnit unit({"--link", dir.path() + "/com1", "--dev", dir.path() + "/varn.dev"});
        AppState state;
        auto w = startWithUnit(state, unit, dir.path());
        QVERIFY(w);
        QTRY_VERIFY(!messages.isEmpty());
        messages.clear();
        QStringList shown;
        for (QChar key : keys) {
            w->Action(key == 'R' ? "DeviceRun" : "DeviceReset")->trigger();
            shown << w->PanelText(5);
            QCOMPARE(w->Action("DeviceRun")->isChecked(), shown.last() == "RUN");
            QCOMPARE(w->Action("DeviceReset")->isChecked(), shown.last() == "RESET");
        }
        QCOMPARE(shown, panel5);
        QVERIFY(messages.isEmpty());
        // The opposite command always goes out; once it has arrived,
        // everything sent before it has too.
        const bool inReset = shown.last() == "RESET";
        w->Action(inReset ? "DeviceRun" : "DeviceReset")->trigger();
        QList<QByteArray> expected = {frame("0154")};
        expected += sent;
        expected << frame(inReset ? "012B" : "012D");
        QVERIFY(unit.waitForFrames(expected.size()));
        QCOMPARE(unit.frames(), expected);
    }

    void connectionLostIsReportedOnce() {
        QTemporaryDir dir;
        VirtualUnit unit({"--link", dir.path() + "/com1", "--dev", dir.path() + "/varn.dev"});
        AppState state;
        auto w = startWithUnit(state, unit, dir.path());
        QVERIFY(w);
        QTRY_VERIFY(!messages.isEmpty());
        messages.clear();
        unit.stop();
        QTRY_COMPARE(w->PanelText(1), QStringLiteral("FAIL"));
        QTRY_COMPARE(messages.size(), 1);
        QCOMPARE(messages[0].title, QStringLiteral("Communication Port Error"));
        QCOMPARE(messages[0].icon, MsgIcon::Critical);
        QTest::qWait(100);
        QCOMPARE(messages.size(), 1);
    }

    void functionWindowReadReloadsBuffer() {
        QTemporaryDir dir;
        QByteArray memory(8192, '\0');
        for (int i = 0; i < memory.size(); ++i)
            memory[i] = char((i * 7 + (i >> 8)) & 0xFF);
        const QString memoryFile = dir.path() + "/memory.bin";
        writeFile(memoryFile, memory);
        VirtualUnit unit({"--link", dir.path() + "/com1", "--dev", dir.path() + "/varn.dev",
                          "--memory", memoryFile});
        AppState state;
        auto w = startWithUnit(state, unit, dir.path());
        QVERIFY(w);
        QTRY_VERIFY(!messages.isEmpty());
        QPointer<frmBuffer> before = w->BufferWindow();
        QVERIFY(before);

        // While the load exchange runs, no command may start.
        bool sawLocked = false;
        QTimer probe;
        connect(&probe, &QTimer::timeout, [&] {
            if (w->findChild<QDialog*>("frmFunction") &&
                !w->Action("DeviceFunction")->isEnabled() && !w->Action("DeviceRun")->isEnabled())
                sawLocked = true;
        });
        probe.start(20);
        ModalAnswer answer("frmFunction", [](QWidget* dialog) {
            dialog->findChild<QListWidget*>("listFunction")->setCurrentRow(0);
            click(dialog, "cmdRun");
        });
        w->DeviceFunction_Click();
        probe.stop();
        QVERIFY(answer.seen);
        QVERIFY(answer.unexpected.isEmpty());
        QVERIFY(sawLocked);
        QVERIFY(w->Action("DeviceFunction")->isEnabled());
        QCOMPARE(w->PanelText(5), QStringLiteral("RESET"));
        QVERIFY(w->Action("DeviceReset")->isChecked());
        QVERIFY(!w->Action("DeviceRun")->isChecked());
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(state.Buffer.data()), 8192), memory);
        QTRY_VERIFY(before.isNull());
        QVERIFY(w->BufferWindow());
        const QList<QByteArray> frames = unit.frames();
        QVERIFY(frames.size() > 6);
        QCOMPARE(frames.mid(0, 6),
                 QList<QByteArray>({frame("0154"), frame("012B"), frame("012D"), frame("0161"),
                                    frame("0150"), frame("0150")}));
    }

    void fileLoad_data() {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("answer");       // "" = file dialog cancelled
        QTest::addColumn<QString>("bufferOffset"); // typed into the options dialog
        QTest::addColumn<int>("at");               // where the data should land
        QTest::addColumn<QByteArray>("data");      // empty: nothing may change
        QTest::addColumn<QString>("errorTitle");

        const QByteArray data = QByteArray::fromHex("11223344");
        const QByteArray hex = hexRecord(0x10, data) + ":00000001FF\r\n";
        QByteArray badHex = hexRecord(0x10, data);
        badHex[badHex.size() - 3] = badHex[badHex.size() - 3] == '0' ? '1' : '0';
        badHex = hexRecord(0, QByteArray(4, 'x')) + badHex + ":00000001FF\r\n";

        QTest::newRow("intel hex") << "image.hex" << hex << "cmdOk"
                                   << "0" << 0x10 << data << "";
        QTest::newRow("intel hex at buffer offset") << "image.HEX" << hex << "cmdOk"
                                                    << "1000" << 0x1010 << data << "";
        QTest::newRow("binary at buffer offset") << "image.bin" << data << "cmdOk"
                                                 << "20" << 0x20 << data << "";
        QTest::newRow("bad checksum") << "bad.hex" << badHex << "cmdOk"
                                      << "0" << 0 << QByteArray() << "File Load Error";
        QTest::newRow("options cancelled") << "image.hex" << hex << "cmdCancel"
                                           << "0" << 0 << QByteArray() << "";
        QTest::newRow("file dialog cancelled") << "image.hex" << hex << ""
                                               << "0" << 0 << QByteArray() << "";
    }
    void fileLoad() {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, content);
        QFETCH(QString, answer);
        QFETCH(QString, bufferOffset);
        QFETCH(int, at);
        QFETCH(QByteArray, data);
        QFETCH(QString, errorTitle);

        QTemporaryDir dir;
        const QString path = dir.path() + "/" + fileName;
        writeFile(path, content);
        AppState state;
        fillState(state, dir.path());
        mdiMain w(state);
        w.cdia.ShowOpen = [&](QWidget*) { return answer.isEmpty() ? QString() : path; };
        w.BufferEdit_Click();
        QPointer<frmBuffer> before = w.BufferWindow();
        const auto original = state.Buffer;

        ModalAnswer options("frmFileLoad", [&](QWidget* dialog) {
            setText(dialog, "txtBuffer", bufferOffset);
            click(dialog, qPrintable(answer));
        });
        w.FileLoad_Click();
        QCOMPARE(options.seen, !answer.isEmpty());
        QVERIFY(options.unexpected.isEmpty());

        auto expected = original;
        for (int i = 0; i < data.size(); ++i)
            expected[at + i] = quint8(data[i]);
        QVERIFY(state.Buffer == expected);

        const bool loaded = !data.isEmpty();
        QCOMPARE(w.PanelText(4), loaded ? "File: " + path : QStringLiteral("File:"));
        if (errorTitle.isEmpty()) {
            QVERIFY(messages.isEmpty());
        } else {
            QCOMPARE(messages.size(), 1);
            QCOMPARE(messages[0].title, errorTitle);
            QCOMPARE(messages[0].icon, MsgIcon::Critical);
            QVERIFY2(messages[0].text.contains("bad.hex"), qPrintable(messages[0].text));
        }
        // A load shows the buffer anew; anything else leaves the window be.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(before.isNull(), loaded);
        QVERIFY(w.BufferWindow());
    }

    void fileSave_data() {
        QTest::addColumn<bool>("hex");
        QTest::addColumn<bool>("pathIsFolder");
        QTest::newRow("binary") << false << false;
        QTest::newRow("intel hex") << true << false;
        QTest::newRow("unwritable") << false << true;
    }
    void fileSave() {
        QFETCH(bool, hex);
        QFETCH(bool, pathIsFolder);
        QTemporaryDir dir;
        AppState state;
        fillState(state, dir.path());
        state.DeviceTable[1].Size = 32;
        for (int i = 0; i < 40; ++i)
            state.Buffer[i] = quint8(i);
        const QString path =
            pathIsFolder ? dir.path() : dir.path() + (hex ? "/out.hex" : "/out.bin");
        mdiMain w(state);
        w.cdia.ShowSave = [&](QWidget*) { return path; };
        ModalAnswer options("frmFileLoad", [&](QWidget* dialog) {
            dialog->findChild<QRadioButton*>(hex ? "Option1" : "Option2")->setChecked(true);
            click(dialog, "cmdOk");
        });
        w.FileSave_Click();
        QVERIFY(options.seen);
        if (pathIsFolder) {
            QCOMPARE(messageTitles(), QStringList{"File Save Error"});
            QCOMPARE(w.PanelText(4), QStringLiteral("File:"));
            return;
        }
        QVERIFY(messages.isEmpty());
        QCOMPARE(w.PanelText(4), "File: " + path);
        const QByteArray written = readFile(path);
        if (hex) {
            QCOMPARE(written,
                     hexRecord(0, QByteArray::fromHex("000102030405060708090A0B0C0D0E0F")) +
                         hexRecord(0x10, QByteArray::fromHex("101112131415161718191A1B1C1D1E1F")) +
                         ":00000001FF\r\n");
        } else {
            QCOMPARE(written, QByteArray(reinterpret_cast<const char*>(state.Buffer.data()), 32));
        }
    }

    void clearAndEditReopenTheBufferWindow_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("cleared");
        QTest::newRow("clear") << "BufferClear" << true;
        QTest::newRow("edit") << "BufferEdit" << false;
    }
    void clearAndEditReopenTheBufferWindow() {
        QFETCH(QString, command);
        QFETCH(bool, cleared);
        QTemporaryDir dir;
        AppState state;
        fillState(state, dir.path());
        state.Buffer.fill(0x5A);
        mdiMain w(state);
        w.BufferEdit_Click();
        QPointer<frmBuffer> before = w.BufferWindow();
        QVERIFY(before);
        w.Action(command)->trigger();
        const quint8 expected = cleared ? 0xFF : 0x5A;
        QVERIFY(std::all_of(state.Buffer.begin(), state.Buffer.end(),
                            [&](quint8 b) { return b == expected; }));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(before.isNull());
        QVERIFY(w.BufferWindow());
        QCOMPARE(w.MdiArea()->subWindowList().size(), 1);
        // Clear opens the window even when it was closed.
        w.MdiArea()->closeAllSubWindows();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!w.BufferWindow());
        w.Action(command)->trigger();
        QVERIFY(w.BufferWindow());
    }

    void bufferFill_data() {
        QTest::addColumn<bool>("windowOpen");
        QTest::addColumn<QString>("fillWith"); // texts typed, then "OK"; null: Cancel
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("length");
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("value");

        QTest::newRow("defaults") << true << "FF"
                                  << "0000"
                                  << "1" << 0 << 1 << 0xFF;
        QTest::newRow("100 for 10 with 0") << true << "0"
                                           << "100"
                                           << "10" << 0x100 << 0x10 << 0x00;
        QTest::newRow("length 0 opens the window") << false << "AB"
                                                   << "10"
                                                   << "0" << 0 << 0 << 0;
        QTest::newRow("fill opens the window") << false << "a"
                                               << "FFF0"
                                               << "10" << 0xFFF0 << 16 << 0x0A;
        QTest::newRow("cancel") << true << QString() << ""
                                << "" << 0 << 0 << 0;
        QTest::newRow("cancel, window closed") << false << QString() << ""
                                               << "" << 0 << 0 << 0;
    }
    void bufferFill() {
        QFETCH(bool, windowOpen);
        QFETCH(QString, fillWith);
        QFETCH(QString, start);
        QFETCH(QString, length);
        QFETCH(int, from);
        QFETCH(int, count);
        QFETCH(int, value);
        QTemporaryDir dir;
        AppState state;
        fillState(state, dir.path());
        state.Buffer.fill(0x11);
        mdiMain w(state);
        if (windowOpen)
            w.BufferEdit_Click();
        QPointer<frmBuffer> before = w.BufferWindow();
        const auto original = state.Buffer;

        ModalAnswer fill("frmBufferFill", [&](QWidget* dialog) {
            if (fillWith.isNull()) {
                click(dialog, "cmdCancel");
                return;
            }
            setText(dialog, "txtFillWith", fillWith);
            setText(dialog, "txtStart", start);
            setText(dialog, "txtLength", length);
            click(dialog, "cmdOk");
        });
        w.BufferFill_Click();
        QVERIFY(fill.seen);
        QVERIFY(fill.unexpected.isEmpty());
        QVERIFY(messages.isEmpty());

        auto expected = original;
        for (int i = from; i < from + count; ++i)
            expected[i] = quint8(value);
        QVERIFY(state.Buffer == expected);

        const bool confirmed = !fillWith.isNull();
        QCOMPARE(bool(w.BufferWindow()), windowOpen || confirmed);
        if (windowOpen) // redrawn in place, never replaced
            QCOMPARE(w.BufferWindow(), before.data());
        if (w.BufferWindow()) {
            // A window drawn afresh from the same buffer shows the same checksum
            // exactly when the open one was redrawn.
            frmBuffer fresh(state);
            const auto sum = [](QWidget* b) {
                return b->findChild<QLabel*>("lblCheckSum")->text();
            };
            QCOMPARE(sum(w.BufferWindow()) == sum(&fresh), confirmed || count == 0);
        }
    }

    void deviceSelection_data() {
        QTest::addColumn<int>("row"); // -1: Cancel
        QTest::addColumn<QString>("panel2");
        QTest::addColumn<QString>("panel3");
        QTest::newRow("8 KiB") << 0 << "Device: FLASH 8K"
                               << "Size: 2000H";
        QTest::newRow("64 KiB") << 1 << "Device: EPROM 64K"
                                << "Size: 10000H";
        QTest::newRow("size 0") << 2 << "Device: NONE"
                                << "Size: 0H";
        QTest::newRow("hex letters") << 3 << "Device: EEPROM 2816"
                                     << "Size: B00H";
        QTest::newRow("cancel") << -1 << "Device: EPROM 64K"
                                << "Size: 10000H";
    }
    void deviceSelection() {
        QFETCH(int, row);
        QFETCH(QString, panel2);
        QFETCH(QString, panel3);
        QTemporaryDir dir;
        AppState state;
        fillState(state, dir.path());
        state.SelectedDevice = 2;
        mdiMain w(state);
        w.UpdateDevicePanels();
        w.BufferEdit_Click();
        ModalAnswer select("frmSelectDevice", [&](QWidget* dialog) {
            if (row < 0) {
                click(dialog, "cmdCancel");
                return;
            }
            dialog->findChild<QListWidget*>("listDevice")->setCurrentRow(row);
            click(dialog, "cmdOk");
        });
        w.DeviceSelect_Click();
        QVERIFY(select.seen);
        QCOMPARE(w.PanelText(2), panel2);
        QCOMPARE(w.PanelText(3), panel3);
        QCOMPARE(state.SelectedDevice, qint16(row < 0 ? 2 : row + 1));
        // A new selection closes the buffer window; Cancel leaves it open.
        QCOMPARE(bool(w.BufferWindow()), row < 0);
    }

    void exitWritesSettings_data() {
        QTest::addColumn<bool>("writable");
        QTest::newRow("written") << true;
        QTest::newRow("write fails") << false;
    }
    void exitWritesSettings() {
        QFETCH(bool, writable);
        QTemporaryDir dir;
        AppState state;
        fillState(state, dir.path());
        state.PortNumber = 3;
        state.SelectedDevice = 2;
        if (!writable) {
            // A folder that is a regular file cannot hold varn.cfg, whoever runs the test.
            state.AppDir = dir.path() + "/plain-file";
            writeFile(state.AppDir, "x");
        }
        mdiMain w(state);
        w.show();
        QTRY_COMPARE(messages.size(), 1); // not identified: the first activation says so
        messages.clear();
        w.FileExit_Click();
        QVERIFY(!w.isVisible());
        if (writable) {
            QVERIFY(messages.isEmpty());
            QCOMPARE(readFile(dir.path() + "/varn.cfg"), QByteArray("3\r\n4\r\n2\r\n"));
        } else {
            QCOMPARE(messageTitles(), QStringList{"File Save Error"});
            QCOMPARE(messages[0].icon, MsgIcon::Critical);
            QVERIFY2(messages[0].text.contains("varn.cfg"), qPrintable(messages[0].text));
        }
        // Closing the window's frame does the same, once.
        w.close();
        QCOMPARE(messages.size(), writable ? 0 : 1);
    }

    void helpContents_data() {
        QTest::addColumn<bool>("fileThere");
        QTest::addColumn<bool>("viewerOpens");
        QTest::newRow("shown") << true << true;
        QTest::newRow("no viewer") << true << false;
        QTest::newRow("no help file") << false << true;
    }
    void helpContents() {
        QFETCH(bool, fileThere);
        QFETCH(bool, viewerOpens);
        QTemporaryDir dir;
        AppState state;
        fillState(state, dir.path());
        const QString page = dir.path() + "/varn.html";
        if (fileThere)
            writeFile(page, "<html></html>");
        mdiMain w(state);
        w.HelpFile = page;
        QList<QUrl> opened;
        w.OpenUrl = [&](const QUrl& url) {
            opened << url;
            return viewerOpens;
        };
        w.Action("HelpContents")->trigger();
        QCOMPARE(opened, fileThere ? QList<QUrl>{QUrl::fromLocalFile(page)} : QList<QUrl>{});
        if (fileThere && viewerOpens) {
            QVERIFY(messages.isEmpty());
        } else {
            QCOMPARE(messageTitles(), QStringList{"Help"});
            QVERIFY2(messages[0].text.contains(page), qPrintable(messages[0].text));
        }
    }

    void aboutBox() {
        frmAbout splash(nullptr, true);
        splash.show();
        QVERIFY(!splash.findChild<QPushButton*>("cmdOk")->isVisible());
        QCOMPARE(splash.windowTitle(), QString());

        QTemporaryDir dir;
        AppState state;
        fillState(state, dir.path());
        mdiMain w(state);
        QStringList labels;
        bool okVisible = false;
        ModalAnswer about("frmAbout", [&](QWidget* dialog) {
            for (const char* name : {"Label1", "Label2", "Label6"})
                labels << dialog->findChild<QLabel*>(name)->text();
            auto* ok = dialog->findChild<QPushButton*>("cmdOk");
            okVisible = ok->isVisible() && ok->isDefault();
            // Esc and Enter both close it.
            QTest::keyClick(dialog, Qt::Key_Escape);
        });
        w.HelpAbout_Click();
        QVERIFY(about.seen);
        QVERIFY(okVisible);
        QCOMPARE(labels, QStringList({"Varnet", "VARN", "Version 2.0, 15/06/05"}));
    }
};

QTEST_MAIN(tst_mdimain)
#include "tst_mdimain.moc"
