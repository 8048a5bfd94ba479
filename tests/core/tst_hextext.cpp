#include "core/hextext.h"

#include <QTest>

using namespace varn;

class TestHexText : public QObject {
    Q_OBJECT

private slots:
    void hexByte_data() {
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0 << "00";
        QTest::newRow("10") << 10 << "0A";
        QTest::newRow("15") << 15 << "0F";
        QTest::newRow("16") << 16 << "10";
        QTest::newRow("171") << 171 << "AB";
        QTest::newRow("255") << 255 << "FF";
    }
    void hexByte() {
        QFETCH(int, value);
        QFETCH(QString, text);
        QCOMPARE(HexByte(value), text);
    }

    void hexWord_data() {
        QTest::addColumn<qint32>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0 << "0000";
        QTest::newRow("15") << 15 << "000F";
        QTest::newRow("16") << 16 << "0010";
        QTest::newRow("255") << 255 << "00FF";
        QTest::newRow("256") << 256 << "0100";
        QTest::newRow("4095") << 4095 << "0FFF";
        QTest::newRow("4096") << 4096 << "1000";
        QTest::newRow("43981") << 43981 << "ABCD";
        QTest::newRow("65535") << 65535 << "FFFF";
        QTest::newRow("65536") << 65536 << "10000";
        QTest::newRow("70000") << 70000 << "11170";
        QTest::newRow("largest") << 2147483647 << "7FFFFFFF";
        QTest::newRow("-1") << -1 << "FFFFFFFF";
        QTest::newRow("-65536") << -65536 << "FFFF0000";
    }
    void hexWord() {
        QFETCH(qint32, value);
        QFETCH(QString, text);
        QCOMPARE(HexWord(value), text);
    }

    void lenientHex_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("fits");
        QTest::addColumn<quint32>("value");
        QTest::newRow("FF") << "FF" << true << 0xFFu;
        QTest::newRow("lower case") << "a" << true << 0xAu;
        QTest::newRow("mixed case") << "aBc" << true << 0xABCu;
        QTest::newRow("1g") << "1g" << true << 1u;
        QTest::newRow("1G") << "1G" << true << 1u;
        QTest::newRow("G") << "G" << true << 0u;
        QTest::newRow("x5") << "x5" << true << 0u;
        QTest::newRow("empty") << "" << true << 0u;
        QTest::newRow("leading space stops") << " 5" << true << 0u;
        QTest::newRow("stops at space") << "12 34" << true << 0x12u;
        QTest::newRow("FFFFFFFF") << "FFFFFFFF" << true << 0xFFFFFFFFu;
        QTest::newRow("leading zeros") << "000000000001" << true << 1u;
        QTest::newRow("100000000") << "100000000" << false << 0u;
        QTest::newRow("overflow before a stop") << "123456789z" << false << 0u;
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
        QTest::newRow("0000") << "0000" << 0;
        QTest::newRow("1") << "1" << 1;
        QTest::newRow("100") << "100" << 0x100;
        QTest::newRow("lower case") << "ffff" << 0xFFFF;
        QTest::newRow("FFFF") << "FFFF" << 0xFFFF;
        QTest::newRow("8000 stays positive") << "8000" << 0x8000;
        QTest::newRow("empty") << "" << -1;
        QTest::newRow("five digits") << "10000" << -1;
        QTest::newRow("trailing letter") << "12G" << -1;
        QTest::newRow("space") << "1 2" << -1;
        QTest::newRow("sign") << "-1" << -1;
        QTest::newRow("prefix") << "&H10" << -1;
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
        QTest::addColumn<bool>("ok");
        QTest::addColumn<qint64>("value");
        QTest::addColumn<QString>("message");
        QTest::newRow("0") << "0" << true << qint64(0) << "";
        QTest::newRow("empty") << "" << true << qint64(0) << "";
        QTest::newRow("only spaces") << "   " << true << qint64(0) << "";
        QTest::newRow("800") << "800" << true << qint64(0x800) << "";
        QTest::newRow("surrounding spaces") << "  1000 " << true << qint64(0x1000) << "";
        QTest::newRow("lower case") << "abcd" << true << qint64(0xABCD) << "";
        QTest::newRow("7FFF") << "7FFF" << true << qint64(32767) << "";
        QTest::newRow("8000 unsigned") << "8000" << true << qint64(32768) << "";
        QTest::newRow("FFFF unsigned") << "FFFF" << true << qint64(65535) << "";
        QTest::newRow("10000") << "10000" << true << qint64(65536) << "";
        QTest::newRow("FFFFFFFF unsigned") << "FFFFFFFF" << true << qint64(0xFFFFFFFFll) << "";
        QTest::newRow("leading zeros") << "0000000001" << true << qint64(1) << "";
        QTest::newRow("100000000")
            << "100000000" << false << qint64(-7)
            << "100000000 does not fit in 32 bits; the largest offset is FFFFFFFF.";
        QTest::newRow("1g") << "1g" << false << qint64(-7) << "\"1g\" is not a hexadecimal number.";
        QTest::newRow("x5") << "x5" << false << qint64(-7) << "\"x5\" is not a hexadecimal number.";
        QTest::newRow("space inside")
            << " 12 34 " << false << qint64(-7) << "\"12 34\" is not a hexadecimal number.";
        QTest::newRow("prefix") << "&H10" << false << qint64(-7)
                                << "\"&H10\" is not a hexadecimal number.";
        QTest::newRow("minus") << "-1" << false << qint64(-7)
                               << "\"-1\" is not a hexadecimal number.";
        QTest::newRow("long with a letter") << "123456789ABCDEFZ" << false << qint64(-7)
                                            << "\"123456789ABCDEFZ\" is not a hexadecimal number.";
    }
    void typedOffset() {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QFETCH(qint64, value);
        QFETCH(QString, message);
        qint64 read = -7; // a failed reading leaves it as it was
        const Status status = ReadTypedOffset(text, read);
        QCOMPARE(status.ok, ok);
        QCOMPARE(status.message, message);
        QCOMPARE(read, value);
    }
};

QTEST_GUILESS_MAIN(TestHexText)
#include "tst_hextext.moc"
