#include "core/placement.h"
#include "core/progresstime.h"

#include "support/rows.h"

#include <QtTest>

using namespace varn;
using namespace varn::test;

// Logic the windows use without a window: where they go, the name a save
// dialog stands for, and a run's time left.
class tst_WindowLogic : public QObject {
    Q_OBJECT

private slots:
    void placement_data() {
        Columns<QRect, QSize, QRect>("anchor", "wanted", "placed");
        // The area is 800 x 600 at the origin.
        QTest::newRow("below fits")
            << QRect(0, 0, 500, 300) << QSize(500, 260) << QRect(0, 300, 500, 260);
        QTest::newRow("below would hang out, right fits")
            << QRect(0, 0, 300, 400) << QSize(400, 260) << QRect(300, 0, 400, 260);
        QTest::newRow("neither: bottom right, over the anchor")
            << QRect(0, 0, 600, 400) << QSize(520, 300) << QRect(280, 300, 520, 300);
        QTest::newRow("larger than the area: shrunk to it")
            << QRect(0, 0, 600, 400) << QSize(900, 700) << QRect(0, 0, 800, 600);
    }
    void placement() {
        auto [anchor, wanted, placed] = Row<QRect, QSize, QRect>("anchor", "wanted", "placed");
        QCOMPARE(PlaceBeside(anchor, wanted, QRect(0, 0, 800, 600)), placed);
    }

    // A window scaled twice on a 1000-pixel screen, and one left off screen.
    void fitInside() {
        const QRect screen(0, 0, 1280, 1000);
        QCOMPARE(FitInside(QRect(100, 80, 1520, 1040), screen), QRect(0, 0, 1280, 1000));
        QCOMPARE(FitInside(QRect(1500, -40, 400, 300), screen), QRect(880, 0, 400, 300));
    }

    void pathForFilter_data() {
        Columns<QString, QString, QString>("typed", "filter", "path");
        QTest::newRow("hex filter adds .hex") << "/t/edited"
                                              << "Intel HEX (*.hex *.ihx)"
                                              << "/t/edited.hex";
        QTest::newRow("s-record") << "/t/a"
                                  << "S-record (*.s19 *.s28)"
                                  << "/t/a.s19";
        QTest::newRow("own extension stays") << "/t/a.bin"
                                             << "Intel HEX (*.hex *.ihx)"
                                             << "/t/a.bin";
        QTest::newRow("all files adds none") << "/t/a"
                                             << "All files (*)"
                                             << "/t/a";
    }
    void pathForFilter() {
        auto [typed, filter, path] = Row<QString, QString, QString>("typed", "filter", "path");
        QCOMPARE(PathForFilter(typed, filter), path);
    }

    // Time left from the rate so far, on a clock the test moves.
    void progressTime() {
        qint64 now = 5000;
        ProgressTime time([&] { return now; });
        time.Start(8192, true);
        QCOMPARE(time.LeftMs(), -1);
        QCOMPARE(time.Text(), QStringLiteral("0 of 8,192 bytes   0:00 elapsed   (Only the Image)"));
        now += 3000;
        time.Update(2048);
        QCOMPARE(time.LeftMs(), 9000);
        now += 1000; // a second without news: spent from what is left
        QCOMPARE(
            time.Text(),
            QStringLiteral("2,048 of 8,192 bytes   0:04 elapsed   0:08 left   (Only the Image)"));
        time.Start(100, false);
        now += 3'600'000 + 61'000;
        time.Update(50);
        QCOMPARE(time.Text(), QStringLiteral("50 of 100 bytes   1:01:01 elapsed   1:01:01 left"));
    }
};

QTEST_GUILESS_MAIN(tst_WindowLogic)
#include "tst_windowlogic.moc"
