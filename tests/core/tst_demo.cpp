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
        bool commaName = false;
        for (int i = 1; i <= state.DeviceCount; ++i) {
            const DeviceEntry& entry = state.DeviceTable[i];
            QVERIFY(!entry.Name.isEmpty());
            QVERIFY(entry.Code >= 1);
            QVERIFY(entry.Size >= 1024 && entry.Size <= MaxDeviceSize);
            codes.insert(entry.Code);
            commaName = commaName || entry.Name.contains(QLatin1Char(','));
        }
        QCOMPARE(codes.size(), int(state.DeviceCount));
        QVERIFY(commaName);
        QVERIFY(state.AutoCount > 0);
        for (int i = 1; i <= state.AutoCount; ++i)
            QVERIFY(state.AutoList[i] >= FnRead && state.AutoList[i] <= FnLock);
    }

    // Every record is a well-formed data record in address order, checksums
    // right, CR LF after each, and the file closes with the end record.
    void sampleImageIsWellFormed() {
        QFile file(test::SourcePath(QStringLiteral("demo/sample.hex")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray all = file.readAll();
        QVERIFY(all.endsWith(":00000001FF\r\n"));
        QList<QByteArray> lines = all.split('\n');
        QVERIFY(lines.takeLast().isEmpty());
        QVERIFY(lines.size() > 64);
        qint32 next = 0;
        QByteArray image;
        for (int n = 0; n < lines.size(); ++n) {
            const QByteArray& line = lines[n];
            QVERIFY2(line.startsWith(':') && line.endsWith('\r'), line.constData());
            const QByteArray bytes = QByteArray::fromHex(line.mid(1, line.size() - 2));
            QCOMPARE(bytes.size() * 2, line.size() - 2);
            quint8 sum = 0;
            for (char b : bytes)
                sum += quint8(b);
            QVERIFY2(sum == 0, line.constData());
            const int count = quint8(bytes[0]);
            QCOMPARE(bytes.size(), count + 5);
            if (n == lines.size() - 1)
                break;
            QCOMPARE(int(bytes[3]), 0);
            QCOMPARE(count, 16);
            const qint32 address = quint8(bytes[1]) * 256 + quint8(bytes[2]);
            QCOMPARE(HexWord(address), HexWord(next));
            image += bytes.mid(4, count);
            next += count;
        }
        QVERIFY(image.startsWith("VARN"));
        QVERIFY(image.size() <= 8192);
    }
};

QTEST_GUILESS_MAIN(TestDemo)
#include "tst_demo.moc"
