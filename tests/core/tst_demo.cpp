#include "core/config.h"
#include "support/testsupport.h"

#include <QSet>
#include <QTest>

using namespace varn;

// The demo folder ships with the program: it must start as it stands.
class TestDemo : public QObject {
    Q_OBJECT

private slots:
    void demoConfigurationStarts() {
        AppState state;
        const Status status = Main(state, test::SourcePath(QStringLiteral("demo")));
        QVERIFY2(status, qPrintable(status.message));
        QCOMPARE(state.DeviceCount, qint16(10));
        QVERIFY(state.SelectedDevice >= 1 && state.SelectedDevice <= state.DeviceCount);
        QSet<qint16> codes;
        for (int i = 1; i <= state.DeviceCount; ++i) {
            QVERIFY(state.DeviceTable[i].Size >= 1024);
            codes.insert(state.DeviceTable[i].Code);
        }
        QCOMPARE(codes.size(), int(state.DeviceCount));
        QVERIFY(state.AutoCount > 0);
        for (int i = 1; i <= state.AutoCount; ++i)
            QVERIFY(state.AutoList[i] >= FnRead && state.AutoList[i] <= FnLock);
    }
};

QTEST_GUILESS_MAIN(TestDemo)
#include "tst_demo.moc"
