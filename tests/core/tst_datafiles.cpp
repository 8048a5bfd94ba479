#include "core/datafiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <tuple>

using namespace varn;

using FindCase = std::tuple<bool, bool, QString>;

class tst_datafiles : public QObject {
    Q_OBJECT

private slots:
    // The help page beside the program (build tree) wins over the installed
    // one (PREFIX/share/varn); with neither, the message names the first.
    void findDataFile_data() {
        QTest::addColumn<FindCase>("testCase");
        QTest::newRow("build tree") << FindCase(true, true, "bin/varn.html");
        QTest::newRow("installed") << FindCase(false, true, "share/varn/varn.html");
        QTest::newRow("neither") << FindCase(false, false, "bin/varn.html");
    }
    void findDataFile() {
        QFETCH(FindCase, testCase);
        auto [beside, installed, found] = testCase;
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("bin") && QDir(dir.path()).mkpath("share/varn"));
        for (auto [wanted, path] :
             {std::pair{beside, "bin/varn.html"}, std::pair{installed, "share/varn/varn.html"}}) {
            QFile f(dir.filePath(path));
            QVERIFY(!wanted || f.open(QIODevice::WriteOnly));
        }
        QCOMPARE(FindDataFile(dir.filePath("bin"), "varn.html"), dir.filePath(found));
    }
};

QTEST_GUILESS_MAIN(tst_datafiles)
#include "tst_datafiles.moc"
