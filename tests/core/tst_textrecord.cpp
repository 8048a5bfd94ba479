#include "core/textrecord.h"

#include <QTest>
#include <tuple>

using varn::TextRecordReader;
using Fault = TextRecordReader::Fault;

// Reads items as the letters of ops say ('T' text, 'I' integer) and returns
// them as texts; stops at the first fault.
static QStringList ReadAll(TextRecordReader& reader, const QString& ops) {
    QStringList values;
    for (const QChar op : ops) {
        QString text;
        qint64 number = 0;
        if (op == QLatin1Char('T') ? !reader.readText(text) : !reader.readInteger(number))
            break;
        values << (op == QLatin1Char('T') ? text : QString::number(number));
    }
    return values;
}

using FaultCase = std::tuple<QByteArray, QString, int, Fault, int, QString>;

using ItemsCase = std::tuple<QByteArray, QString, QStringList>;

class TestTextRecord : public QObject {
    Q_OBJECT

private slots:
    void readsItems_data() {
        QTest::addColumn<ItemsCase>("testCase");

        QTest::newRow("LF only, negatives")
            << ItemsCase("2\n-32768\n3\n", "III", {"2", "-32768", "3"});
        QTest::newRow("no line end after the last value") << ItemsCase("7\r\n8", "II", {"7", "8"});
        QTest::newRow("quoted name with commas")
            << ItemsCase("\"EPROM 8K, low voltage, 2\",5,8192\r\n", "TII",
                         {"EPROM 8K, low voltage, 2", "5", "8192"});
        QTest::newRow("spaces around items") << ItemsCase(
            "  \"FLASH 1K\"  ,   1  ,1024   \r\n4 \r\n", "TIII", {"FLASH 1K", "1", "1024", "4"});
        QTest::newRow("unquoted name ends at a comma")
            << ItemsCase("FLASH, 2K\r\n", "TT", {"FLASH", "2K"});
        QTest::newRow("blank lines between entries") << ItemsCase(
            "\"A\",1,1\r\n\r\n\r\n\"B\",2,2\r\n", "TIITII", {"A", "1", "1", "B", "2", "2"});
        QTest::newRow("byte order mark") << ItemsCase(QByteArray("\xEF\xBB\xBF"
                                                                 "1\r\n\"\xC3\x84\"\r\n"),
                                                      "IT", {"1", QStringLiteral("\u00C4")});
        QTest::newRow("largest 64-bit values")
            << ItemsCase("9223372036854775807\r\n-9223372036854775808\r\n", "II",
                         {"9223372036854775807", "-9223372036854775808"});
    }
    void readsItems() {
        QFETCH(ItemsCase, testCase);
        auto [data, ops, expected] = testCase;
        TextRecordReader reader(data);
        QCOMPARE(ReadAll(reader, ops), expected);
        QCOMPARE(reader.fault(), Fault::None);
        QVERIFY(reader.atEnd());
    }

    void reportsFaults_data() {
        QTest::addColumn<FaultCase>("testCase");

        QTest::newRow("only blank lines left") << FaultCase("1\n\n  \n", "II", 1, Fault::EndOfData,
                                                            4, "value is missing, the file ends");
        QTest::newRow("letters for a number") << FaultCase(
            "2\r\n12x\r\n", "II", 1, Fault::NotANumber, 2, "value \"12x\" is not a number");
        QTest::newRow("empty item between commas") << FaultCase(
            "\"A\",,8\r\n", "TI", 1, Fault::NotANumber, 1, "value is empty instead of a number");
        QTest::newRow("too large for 64 bits")
            << FaultCase("9223372036854775808\r\n", "I", 0, Fault::NumberTooLarge, 1,
                         "value 9223372036854775808 is too large");
        QTest::newRow("quote not closed on its line")
            << FaultCase("1\r\n\"FLASH 1K,1,1024\r\n\"x\"\r\n", "IT", 1, Fault::NoClosingQuote, 2,
                         "value \"FLASH 1K,1,1024 has no closing quote");
        QTest::newRow("text after the closing quote")
            << FaultCase("\"FLASH\" 1K,1\r\n", "T", 0, Fault::TextAfterQuote, 1,
                         "value \"FLASH\" 1 has text after its closing quote");
    }
    void reportsFaults() {
        QFETCH(FaultCase, testCase);
        auto [data, ops, readBeforeFault, fault, line, message] = testCase;
        TextRecordReader reader(data);
        QCOMPARE(ReadAll(reader, ops).size(), readBeforeFault);
        QCOMPARE(reader.fault(), fault);
        QCOMPARE(reader.line(), line);
        QCOMPARE(reader.faultMessage(QStringLiteral("value")), message);
    }

    void failedReadLeavesValueAlone() {
        TextRecordReader reader("abc\r\n");
        qint64 number = 42;
        QVERIFY(!reader.readInteger(number));
        QCOMPARE(number, qint64(42));
    }
};

QTEST_GUILESS_MAIN(TestTextRecord)
#include "tst_textrecord.moc"
