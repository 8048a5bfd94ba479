#include "core/crc32.h"
#include "core/differences.h"

#include <QTest>
#include <memory>
#include <tuple>

using namespace varn;

// bad: addresses made to differ; only: empty: every byte compared
using CompareCase = std::tuple<QList<int>, QList<int>, QStringList, int>;

class TestDifferences : public QObject {
    Q_OBJECT

private slots:
    void crc32_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<quint32>("crc");
        // Check values as zlib's crc32() gives them.
        QTest::newRow("empty") << QByteArray() << 0u;
        QTest::newRow("check string") << QByteArray("123456789") << 0xCBF43926u;
        QTest::newRow("fox, past one 8-byte step")
            << QByteArray("The quick brown fox jumps over the lazy dog") << 0x414FA339u;
        QTest::newRow("1 KiB of FF") << QByteArray(1024, '\xFF') << 0xB83AFFF4u;
    }
    void crc32() {
        QFETCH(QByteArray, bytes);
        QFETCH(quint32, crc);
        const auto* data = reinterpret_cast<const quint8*>(bytes.constData());
        QCOMPARE(Crc32(data, size_t(bytes.size())), crc);
        const size_t half = size_t(bytes.size()) / 2;
        QCOMPARE(Crc32(data + half, size_t(bytes.size()) - half, Crc32(data, half)), crc);
    }

    void bufferCrcCoversDevice() {
        auto state = std::make_unique<AppState>();
        state->DeviceTable[1] = {QStringLiteral("T"), 1, 9};
        state->SelectedDevice = 1;
        std::copy_n("123456789", 9, state->Buffer.begin());
        QCOMPARE(BufferCrc32(*state), 0xCBF43926u);
    }

    void compare_data() {
        QTest::addColumn<CompareCase>("testCase");
        QTest::newRow("three planted")
            << CompareCase({0x10, 0x200, 0x3F0}, {}, {"0010", "0200", "03F0"}, 3);
        QList<int> run;
        for (int a = 0x100; a < 0x128; ++a)
            run << a;
        QTest::newRow("run of 40") << CompareCase(run, {}, {"0100-0127"}, 40);
        QTest::newRow("gap of 15 merges, 16 splits")
            << CompareCase({0x20, 0x2F, 0x3F}, {}, {"0020-002F", "003F"}, 3);
        QTest::newRow("only defined bytes")
            << CompareCase({0x10, 0x11, 0x200}, {0x11, 0x200}, {"0011", "0200"}, 2);
        QTest::newRow("none") << CompareCase({}, {}, {}, 0);
    }
    void compare() {
        QFETCH(CompareCase, testCase);
        auto [bad, only, ranges, count] = testCase;
        std::vector<quint8> buffer(0x400), device(0x400);
        for (int a = 0; a < 0x400; ++a)
            buffer[a] = device[a] = quint8(a * 7);
        for (int a : bad)
            device[a] = quint8(~buffer[a]);
        auto mask = std::make_unique<std::bitset<BufferSize>>();
        for (int a : only)
            mask->set(a);
        const DifferenceReport report = CompareImages(buffer.data(), device.data(), 0x400,
                                                      only.isEmpty() ? nullptr : mask.get());
        QCOMPARE(report.count, count);
        QStringList got;
        for (const DifferenceRange& r : report.ranges) {
            got << DifferenceLine(r).section(QLatin1Char(' '), 0, 0);
            QCOMPARE(r.buffer.size(), std::min(r.last - r.first + 1, DifferenceSampleBytes));
            QCOMPARE(quint8(r.buffer[0]), buffer[r.first]);
            QCOMPARE(quint8(r.other[0]), device[r.first]);
        }
        QCOMPARE(got, ranges);
    }

    void linesStopAtTheLimit() {
        std::vector<quint8> buffer(0x400, 0xFF), device(0x400, 0xFF);
        for (int a = 0; a < 0x400; a += 0x20)
            device[a] = 0;
        const QStringList lines =
            DifferenceLines(CompareImages(buffer.data(), device.data(), 0x400), 20);
        QCOMPARE(lines.size(), 22);
        QCOMPARE(lines[0], QStringLiteral("0000  1 byte   FF/00"));
        QCOMPARE(lines[20], QStringLiteral("... and 12 more ranges"));
        QCOMPARE(lines[21], QStringLiteral("32 bytes differ in 32 ranges."));
    }
};

QTEST_GUILESS_MAIN(TestDifferences)
#include "tst_differences.moc"
