#include "core/bufferops.h"

#include <QtTest>
#include <memory>
#include <tuple>

using namespace varn;

using FillCase = std::tuple<qint64, qint64, bool>;

class tst_BufferOps : public QObject {
    Q_OBJECT

private slots:
    void fill_data() {
        QTest::addColumn<FillCase>("testCase");
        // The buffer's end: tst_frmbufferfill's rows. The dialog never passes negatives.
        QTest::newRow("100 for 10") << FillCase(qint64(0x100), qint64(0x10), true);
        QTest::newRow("length 0 at FFFF") << FillCase(qint64(0xFFFF), qint64(0), true);
        QTest::newRow("negative start") << FillCase(qint64(-1), qint64(2), false);
        QTest::newRow("negative length") << FillCase(qint64(5), qint64(-1), false);
    }
    void fill() {
        QFETCH(FillCase, testCase);
        auto [start, length, written] = testCase;
        auto state = std::make_unique<AppState>();
        const Status status = FillBuffer(*state, start, length, 0x5A);
        QCOMPARE(status.ok, written);
        QCOMPARE(status.message.isEmpty(), written);
        for (qint64 i = 0; i < BufferSize; ++i) {
            const bool inside = written && i >= start && i < start + length;
            if (state->Buffer[i] != (inside ? 0x5A : 0xFF) || state->isDefined(i) != inside)
                QFAIL(qPrintable(QStringLiteral("byte %1 is %2").arg(i).arg(state->Buffer[i])));
        }
        ClearBuffer(*state);
        QCOMPARE(state->defined.count(), size_t(0));
        QCOMPARE(std::count(state->Buffer.begin(), state->Buffer.end(), quint8(0xFF)), BufferSize);
    }

    // Equal fingerprints mean an unchanged buffer: a byte changed counts, and
    // so does a byte only marked defined; put back, the figure is the same.
    void fingerprint_data() {
        QTest::addColumn<int>("address");
        QTest::addColumn<bool>("markOnly");
        QTest::newRow("first byte") << 0 << false;
        QTest::newRow("mark at 9") << 9 << true;
        QTest::newRow("last byte's mark") << BufferSize - 1 << true;
    }
    void fingerprint() {
        QFETCH(int, address);
        QFETCH(bool, markOnly);
        auto state = std::make_unique<AppState>();
        const quint32 before = BufferFingerprint(*state);
        if (markOnly)
            state->markDefined(address, address + 1);
        else
            state->Buffer[address] ^= 0x01;
        QVERIFY(BufferFingerprint(*state) != before);
        if (markOnly)
            state->defined.reset(size_t(address));
        else
            state->Buffer[address] ^= 0x01;
        QCOMPARE(BufferFingerprint(*state), before);
    }
};

QTEST_GUILESS_MAIN(tst_BufferOps)
#include "tst_bufferops.moc"
