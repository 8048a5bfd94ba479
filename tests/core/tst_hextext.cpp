#include "core/hextext.h"

#include <QTest>

using namespace varn;

class TestHexText : public QObject {
    Q_OBJECT

private slots:
    void hexByteAndWord_data() {
        QTest::addColumn<bool>("word");
        QTest::addColumn<qint32>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("byte 15") << false << 15 << "0F";
        QTest::newRow("byte 255") << false << 255 << "FF";
        QTest::newRow("word 4095") << true << 4095 << "0FFF";
        QTest::newRow("word 65535") << true << 65535 << "FFFF";
        QTest::newRow("word 65536") << true << 65536 << "10000";
        QTest::newRow("word -1") << true << -1 << "FFFFFFFF";
    }
    void hexByteAndWord() {
        QFETCH(bool, word);
        QFETCH(qint32, value);
        QFETCH(QString, text);
        QCOMPARE(word ? HexWord(value) : HexByte(value), text);
    }

    void lenientHex_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("fits");
        QTest::addColumn<quint32>("value");
        QTest::newRow("1g") << "1g" << true << 1u;
        QTest::newRow("x5") << "x5" << true << 0u;
        QTest::newRow("empty") << "" << true << 0u;
        QTest::newRow("FFFFFFFF") << "FFFFFFFF" << true << 0xFFFFFFFFu;
        QTest::newRow("100000000") << "100000000" << false << 0u;
    }
    void lenientHex() {
        QFETCH(QString, text);
        QFETCH(bool, fits);
        QFETCH(quint32, value);
        const std::optional<quint32> read = LenientHex(text);
        QCOMPARE(read.has_value(), fits);
        if (fits)
            QCOMPARE(*read, value);
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
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("value"); // -7: refused, left as it was
        QTest::addColumn<QString>("message");
        QTest::newRow("empty") << "" << qint64(0) << "";
        QTest::newRow("8000 unsigned") << "8000" << qint64(32768) << "";
        QTest::newRow("FFFFFFFF unsigned") << "FFFFFFFF" << qint64(0xFFFFFFFFll) << "";
        QTest::newRow("leading zeros") << "0000000001" << qint64(1) << "";
        QTest::newRow("100000000")
            << "100000000" << qint64(-7)
            << "100000000 does not fit in 32 bits; the largest offset is FFFFFFFF.";
        QTest::newRow("1g") << "1g" << qint64(-7) << "\"1g\" is not a hexadecimal number.";
        QTest::newRow("space inside")
            << " 12 34 " << qint64(-7) << "\"12 34\" is not a hexadecimal number.";
    }
    void typedOffset() {
        QFETCH(QString, text);
        QFETCH(qint64, value);
        QFETCH(QString, message);
        qint64 read = -7;
        const Status status = ReadTypedOffset(text, read);
        QCOMPARE(status.ok, message.isEmpty());
        QCOMPARE(status.message, message);
        QCOMPARE(read, value);
    }
};

QTEST_GUILESS_MAIN(TestHexText)
#include "tst_hextext.moc"
