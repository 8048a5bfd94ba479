#include "core/hextext.h"

#include <QTest>
#include <tuple>

using namespace varn;

// value: -7: refused, left as it was
using OffsetCase = std::tuple<QString, qint64, QString>;

using HexCase = std::tuple<bool, qint32, QString>;

class TestHexText : public QObject {
    Q_OBJECT

private slots:
    void hexByteAndWord_data() {
        QTest::addColumn<HexCase>("testCase");
        QTest::newRow("byte 15") << HexCase(false, 15, "0F");
        QTest::newRow("byte 255") << HexCase(false, 255, "FF");
        QTest::newRow("word 4095") << HexCase(true, 4095, "0FFF");
        QTest::newRow("word 65535") << HexCase(true, 65535, "FFFF");
        QTest::newRow("word 65536") << HexCase(true, 65536, "10000");
        QTest::newRow("word -1") << HexCase(true, -1, "FFFFFFFF");
    }
    void hexByteAndWord() {
        QFETCH(HexCase, testCase);
        auto [word, value, text] = testCase;
        QCOMPARE(word ? HexWord(value) : HexByte(value), text);
    }

    void strictHex_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value"); // -1: refused
        QTest::newRow("lower case") << "ffff" << 0xFFFF;
        QTest::newRow("8000 stays positive") << "8000" << 0x8000;
        QTest::newRow("five digits") << "10000" << -1;
        QTest::newRow("trailing letter") << "12G" << -1;
    }
    void strictHex() {
        QFETCH(QString, text);
        QFETCH(int, value);
        const std::optional<qint32> read = StrictHex(text);
        QCOMPARE(read.has_value(), value >= 0);
        if (value >= 0)
            QCOMPARE(*read, value);
    }

    void typedOffset_data() {
        QTest::addColumn<OffsetCase>("testCase");
        QTest::newRow("empty") << OffsetCase("", qint64(0), "");
        QTest::newRow("8000 unsigned") << OffsetCase("8000", qint64(32768), "");
        QTest::newRow("FFFFFFFF unsigned") << OffsetCase("FFFFFFFF", qint64(0xFFFFFFFFll), "");
        QTest::newRow("leading zeros") << OffsetCase("0000000001", qint64(1), "");
        QTest::newRow("100000000")
            << OffsetCase("100000000", qint64(-7),
                          "100000000 does not fit in 32 bits; the largest offset is FFFFFFFF.");
        QTest::newRow("1g") << OffsetCase("1g", qint64(-7), "\"1g\" is not a hexadecimal number.");
        QTest::newRow("space inside")
            << OffsetCase(" 12 34 ", qint64(-7), "\"12 34\" is not a hexadecimal number.");
    }
    void typedOffset() {
        QFETCH(OffsetCase, testCase);
        auto [text, value, message] = testCase;
        qint64 read = -7;
        const Status status = ReadTypedOffset(text, read);
        QCOMPARE(status.ok, message.isEmpty());
        QCOMPARE(status.message, message);
        QCOMPARE(read, value);
    }
};

QTEST_GUILESS_MAIN(TestHexText)
#include "tst_hextext.moc"
