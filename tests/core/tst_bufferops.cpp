#include "core/bufferops.h"

#include <QtTest>
#include <memory>

using namespace varn;

class tst_BufferOps : public QObject {
    Q_OBJECT

private slots:
    void fill_data();
    void fill();
    void clear();
};

void tst_BufferOps::fill_data() {
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<bool>("written");
    QTest::newRow("100 for 10") << qint64(0x100) << qint64(0x10) << true;
    QTest::newRow("length 0 at FFFF") << qint64(0xFFFF) << qint64(0) << true;
    QTest::newRow("up to the last index") << qint64(0xFFFF) << qint64(0x1172) << true;
    QTest::newRow("one past the last index") << qint64(0xFFFF) << qint64(0x1173) << false;
    QTest::newRow("negative start") << qint64(-1) << qint64(2) << false;
    QTest::newRow("negative length") << qint64(5) << qint64(-1) << false;
}

void tst_BufferOps::fill() {
    QFETCH(qint64, start);
    QFETCH(qint64, length);
    QFETCH(bool, written);
    auto state = std::make_unique<AppState>();
    const Status status = FillBuffer(*state, start, length, 0x5A);
    QCOMPARE(status.ok, written);
    QCOMPARE(status.message.isEmpty(), written);
    for (qint64 i = 0; i < BufferSize; ++i) {
        const bool inside = written && i >= start && i < start + length;
        if (state->Buffer[i] != (inside ? 0x5A : 0xFF) || state->isDefined(i) != inside)
            QFAIL(qPrintable(QStringLiteral("byte %1 is %2").arg(i).arg(state->Buffer[i])));
    }
    if (!written && start == 0xFFFF)
        QVERIFY2(status.message.contains(QStringLiteral("11170")), qPrintable(status.message));
}

void tst_BufferOps::clear() {
    AppState state;
    state.Buffer.fill(0x00);
    state.markDefined(0, BufferSize);
    ClearBuffer(state);
    QCOMPARE(state.Defined.count(), size_t(0));
    QCOMPARE(std::count(state.Buffer.begin(), state.Buffer.end(), quint8(0xFF)), BufferSize);
}

QTEST_GUILESS_MAIN(tst_BufferOps)
#include "tst_bufferops.moc"
