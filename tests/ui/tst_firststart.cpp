#include "core/appstate.h"
#include "core/firststart.h"
#include "ui/firststart.h"

#include "support/messagelog.h"
#include "support/testsupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>
#include <tuple>

using namespace varn;
using namespace varn::test;

namespace {

const QStringList ConfigNames = {"varn.cfg", "varn.dev", "auto.cfg"};

QByteArray demoFile(const QString& name) {
    return ReadFile(SourcePath("demo/" + name));
}

} // namespace

// files: what the start folder holds (name -> bytes); answer: the button
// chosen when the program asks (0 Create, 1 Open Folder, 2 Quit; -1: it must
// not ask); started: the main window opens; message: the start-up message
// that ends the program ("" for none)
using StartCase = std::tuple<QMap<QString, QByteArray>, int, bool, QString>;

class tst_firststart : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { SetChoiceHandler({}); }

    void firstStart_data() {
        QTest::addColumn<StartCase>("testCase");
        const QMap<QString, QByteArray> demo = {{"varn.cfg", demoFile("varn.cfg")},
                                                {"varn.dev", demoFile("varn.dev")},
                                                {"auto.cfg", demoFile("auto.cfg")}};
        QMap<QString, QByteArray> broken = demo;
        broken["varn.dev"] = "\"FLASH 1K\",1\r\n";
        QTest::newRow("empty: create") << StartCase({}, 0, true, "");
        QTest::newRow("empty: open a folder that holds them") << StartCase({}, 1, true, "");
        QTest::newRow("empty: quit") << StartCase({}, 2, false, "");
        QTest::newRow("one broken file") << StartCase(broken, -1, false, "varn.dev");
        QTest::newRow("only varn.cfg")
            << StartCase({{"varn.cfg", demo["varn.cfg"]}}, -1, false, "varn.dev");
        QTest::newRow("complete") << StartCase(demo, -1, true, "");
    }
    void firstStart() {
        QFETCH(StartCase, testCase);
        const auto& [files, answer, started, message] = testCase;
        QTemporaryDir start, other;
        for (const QTemporaryDir* dir : {&start, &other}) {
            // Port 1 leads nowhere, so that no real port is opened.
            QVERIFY(QFile::link(dir->path() + "/no-such-tty", dir->path() + "/com1"));
        }
        for (const QString& name : ConfigNames)
            QVERIFY(QFile::copy(SourcePath("demo/" + name), other.path() + "/" + name));
        for (auto it = files.begin(); it != files.end(); ++it)
            QVERIFY(WriteFile(start.path() + "/" + it.key(), it.value()));

        MessageLog messages;
        QStringList asked;
        SetChoiceHandler([&asked, choice = answer](const ShownMessage& m) {
            asked << m.text;
            return choice;
        });
        QStringList chooserStarts;
        const FolderChooser choose = [&](const QString& from) {
            chooserStarts << from;
            return other.path();
        };
        AppState state;
        QString workDir;
        const auto window =
            StartInFolder(state, start.path(), SourcePath("demo"), choose, &workDir);

        QCOMPARE(bool(window), started);
        QCOMPARE(asked.size(), answer < 0 ? 0 : 1);
        if (answer >= 0) {
            QVERIFY2(asked[0].contains(start.path()) && asked[0].contains(SourcePath("demo")),
                     qPrintable(asked[0]));
        }
        QCOMPARE(chooserStarts, answer == 1 ? QStringList{start.path()} : QStringList());
        QStringList ending;
        for (const ShownMessage& m : messages.shown) {
            if (m.title == "VARN" && m.icon == MsgIcon::Critical)
                ending << m.text;
        }
        QCOMPARE(ending.size(), message.isEmpty() ? 0 : 1);
        if (!message.isEmpty())
            QVERIFY2(ending[0].startsWith(message), qPrintable(ending[0]));

        // Created files are the defaults; a user's own are never touched.
        for (const QString& name : ConfigNames) {
            const QString path = start.path() + "/" + name;
            if (answer == 0)
                QCOMPARE(ReadFile(path), demoFile(name));
            else if (files.contains(name))
                QCOMPARE(ReadFile(path), files[name]);
            else
                QVERIFY2(!QFile::exists(path), qPrintable(name));
        }
        if (started) {
            QCOMPARE(workDir, answer == 1 ? other.path() : start.path());
            QCOMPARE(state.AppDir, workDir);
            QCOMPARE(state.DeviceCount, 10);
        }
    }

    // Creating never writes over a file of the user's, nor leaves half a set.
    void createRefusesAnyExistingFile() {
        QTemporaryDir dir;
        QVERIFY(WriteFile(dir.path() + "/auto.cfg", "mine"));
        QVERIFY(!CreateConfiguration(dir.path(), SourcePath("demo")));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"auto.cfg"});
        QCOMPARE(ReadFile(dir.path() + "/auto.cfg"), QByteArray("mine"));
    }
};

QTEST_MAIN(tst_firststart)
#include "tst_firststart.moc"
