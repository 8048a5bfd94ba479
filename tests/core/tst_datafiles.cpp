#include "core/datafiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace varn;

class tst_datafiles : public QObject {
    Q_OBJECT

private slots:
    // The help page beside the program (build tree) wins over the installed
    // one (PREFIX/share/varn); with neither, the message names the first.
    void findDataFile_data() {
        QTest::addColumn<bool>("beside");
        QTest::addColumn<bool>("installed");
        QTest::addColumn<QString>("found");
        QTest::newRow("build tree") << true << true << "bin/varn.html";
        QTest::newRow("installed") << false << true << "share/varn/varn.html";
        QTest::newRow("neither") << false << false << "bin/varn.html";
    }
    void findDataFile() {
        QFETCH(bool, beside);
        QFETCH(bool, installed);
        QFETCH(QString, found);
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
