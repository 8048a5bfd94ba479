#include "editor/bufferops.h"

#include <QtTest>
#include <memory>

using namespace varn;

class tst_BufferOps : public QObject {
    Q_OBJECT

private slots:
    void fill_data();
    void fill();
    void refusedRangeIsNamed();
    void clear();
    void checksum_data();
    void checksum();
};

void tst_BufferOps::fill_data() {
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<int>("value");
    QTest::addColumn<bool>("written");

    QTest::newRow("100 for 10 with 00") << qint64(0x100) << qint64(0x10) << 0x00 << true;
    QTest::newRow("index 0 only") << qint64(0) << qint64(1) << 0x5A << true;
    QTest::newRow("length 0") << qint64(0x20) << qint64(0) << 0x00 << true;
    QTest::newRow("length 0 at FFFF") << qint64(0xFFFF) << qint64(0) << 0x00 << true;
    QTest::newRow("up to the last index") << qint64(0xFFFF) << qint64(0x1172) << 0x11 << true;
    QTest::newRow("the last index alone") << qint64(70000) << qint64(1) << 0x22 << true;
    QTest::newRow("one past the last index") << qint64(0xFFFF) << qint64(0x1173) << 0x33 << false;
    QTest::newRow("FFFF for FFFF") << qint64(0xFFFF) << qint64(0xFFFF) << 0x44 << false;
    QTest::newRow("negative start") << qint64(-1) << qint64(2) << 0x55 << false;
    QTest::newRow("negative length") << qint64(5) << qint64(-1) << 0x66 << false;
}

void tst_BufferOps::fill() {
    QFETCH(qint64, start);
    QFETCH(qint64, length);
    QFETCH(int, value);
    QFETCH(bool, written);

    auto state = std::make_unique<AppState>();
    const Status status = FillBuffer(*state, start, length, static_cast<quint8>(value));
    QCOMPARE(status.ok, written);
    QCOMPARE(status.message.isEmpty(), written);
    for (qint64 i = 0; i < BufferSize; ++i) {
        const bool inside = written && i >= start && i < start + length;
        if (state->Buffer[i] != (inside ? value : 0xFF))
            QFAIL(qPrintable(QStringLiteral("byte %1 is %2").arg(i).arg(state->Buffer[i])));
    }
}

void tst_BufferOps::refusedRangeIsNamed() {
    AppState state;
    const Status status = FillBuffer(state, 0xFFFF, 0xFFFF, 0);
    QVERIFY(!status.ok);
    QVERIFY2(status.message.contains(QStringLiteral("FFFF..1FFFD")), qPrintable(status.message));
    QVERIFY2(status.message.contains(QStringLiteral("11170")), qPrintable(status.message));
}

void tst_BufferOps::clear() {
    AppState state;
    state.Buffer.fill(0x00);
    ClearBuffer(state);
    QCOMPARE(std::count(state.Buffer.begin(), state.Buffer.end(), quint8(0xFF)), BufferSize);
}

void tst_BufferOps::checksum_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("sum");
    QTest::newRow("1024 x FF") << 1024 << QByteArray() << 0xFC00;
    QTest::newRow("65536 x FF") << 65536 << QByteArray() << 0x0000;
    QTest::newRow("no device") << 0 << QByteArray("\x01\x02", 2) << 0;
    QTest::newRow("three bytes") << 3 << QByteArray("\x01\x02\x03", 3) << 6;
    QTest::newRow("bytes past the device left out") << 2 << QByteArray("\x10\x20\x30", 3) << 0x30;
}

void tst_BufferOps::checksum() {
    QFETCH(int, size);
    QFETCH(QByteArray, bytes);
    QFETCH(int, sum);
    AppState state;
    state.DeviceCount = 1;
    state.DeviceTable[1] = DeviceEntry{QStringLiteral("TEST"), 1, size};
    state.SelectedDevice = 1;
    for (int i = 0; i < bytes.size(); ++i)
        state.Buffer[i] = static_cast<quint8>(bytes.at(i));
    QCOMPARE(int(BufferChecksum(state)), sum);
}

QTEST_GUILESS_MAIN(tst_BufferOps)
#include "tst_bufferops.moc"
