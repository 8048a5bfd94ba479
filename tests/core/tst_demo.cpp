#include "core/config.h"
#include "core/hextext.h"
#include "support/testsupport.h"

#include <QFile>
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

    // Data records of 16 bytes in address order with right checksums, CR LF
    // after each, and the end record last.
    void sampleImageIsWellFormed() {
        QFile file(test::SourcePath(QStringLiteral("demo/sample.hex")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QList<QByteArray> lines = file.readAll().split('\n');
        QVERIFY(lines.takeLast().isEmpty());
        QCOMPARE(lines.takeLast(), QByteArray(":00000001FF\r"));
        QVERIFY(lines.size() > 64 && lines.size() <= 512);
        for (int n = 0; n < lines.size(); ++n) {
            const QByteArray& line = lines[n];
            const QByteArray bytes = QByteArray::fromHex(line.mid(1, line.size() - 2));
            QVERIFY2(line.size() == 44 && line.endsWith('\r'), line.constData());
            quint8 sum = 0;
            for (char b : bytes)
                sum += quint8(b);
            QVERIFY2(sum == 0, line.constData());
            QCOMPARE(line.mid(1, 8), QByteArray("10") + HexWord(n * 16).toLatin1() + "00");
        }
        QVERIFY(lines[0].mid(9, 8) == QByteArray("VARN").toHex().toUpper());
    }
};

QTEST_GUILESS_MAIN(TestDemo)
#include "tst_demo.moc"
