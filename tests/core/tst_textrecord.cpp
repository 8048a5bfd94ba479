#include "core/textrecord.h"

#include <QTest>

using varn::TextRecordReader;
using varn::TextRecordWriter;
using Fault = TextRecordReader::Fault;

// Reads items as the letters of ops say ('T' text, 'I' integer) and returns
// them as texts; stops at the first fault.
static QStringList ReadAll(TextRecordReader& reader, const QString& ops) {
    QStringList values;
    for (const QChar op : ops) {
        if (op == QLatin1Char('T')) {
            QString text;
            if (!reader.readText(text))
                break;
            values << text;
        } else {
            qint64 number = 0;
            if (!reader.readInteger(number))
                break;
            values << QString::number(number);
        }
    }
    return values;
}

class TestTextRecord : public QObject {
    Q_OBJECT

private slots:
    void readsItems_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("ops");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("one per line, CR LF")
            << QByteArray("2\r\n12\r\n3\r\n") << "III" << QStringList{"2", "12", "3"};
        QTest::newRow("LF only") << QByteArray("2\n12\n3\n") << "III"
                                 << QStringList{"2", "12", "3"};
        QTest::newRow("no line end after the last value")
            << QByteArray("7\r\n8") << "II" << QStringList{"7", "8"};
        QTest::newRow("quoted name with commas")
            << QByteArray("\"EPROM 8K, low voltage, 2\",5,8192\r\n") << "TII"
            << QStringList{"EPROM 8K, low voltage, 2", "5", "8192"};
        QTest::newRow("spaces before items") << QByteArray("  \"FLASH 1K\",   1,  1024\r\n")
                                             << "TII" << QStringList{"FLASH 1K", "1", "1024"};
        QTest::newRow("trailing spaces after items")
            << QByteArray("\"FLASH 1K\"  , 1  ,1024   \r\n4 \r\n") << "TIII"
            << QStringList{"FLASH 1K", "1", "1024", "4"};
        QTest::newRow("one item per line, unquoted name")
            << QByteArray("FLASH 2K\r\n2\r\n2048\r\n") << "TII"
            << QStringList{"FLASH 2K", "2", "2048"};
        QTest::newRow("unquoted name ends at a comma")
            << QByteArray("FLASH, 2K\r\n") << "TT" << QStringList{"FLASH", "2K"};
        QTest::newRow("negative numbers")
            << QByteArray("-1\r\n-32768\r\n0\r\n") << "III" << QStringList{"-1", "-32768", "0"};
        QTest::newRow("blank lines between entries")
            << QByteArray("\"A\",1,1\r\n\r\n\r\n\"B\",2,2\r\n") << "TIITII"
            << QStringList{"A", "1", "1", "B", "2", "2"};
        QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBF"
                                                       "1\r\n\"\xC3\x84\"\r\n")
                                         << "IT" << QStringList{"1", QStringLiteral("\u00C4")};
        QTest::newRow("empty quoted text")
            << QByteArray("\"\",3,4\r\n") << "TII" << QStringList{"", "3", "4"};
        QTest::newRow("quote inside an unquoted text")
            << QByteArray("5\" disk,1\r\n") << "TI" << QStringList{"5\" disk", "1"};
        QTest::newRow("largest 64-bit values")
            << QByteArray("9223372036854775807\r\n-9223372036854775808\r\n") << "II"
            << QStringList{"9223372036854775807", "-9223372036854775808"};
    }
    void readsItems() {
        QFETCH(QByteArray, data);
        QFETCH(QString, ops);
        QFETCH(QStringList, expected);
        TextRecordReader reader(data);
        QCOMPARE(ReadAll(reader, ops), expected);
        QCOMPARE(reader.fault(), Fault::None);
        QVERIFY(reader.atEnd());
    }

    void reportsFaults_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("ops");
        QTest::addColumn<int>("readBeforeFault");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("message");

        QTest::newRow("past the end") << QByteArray("2\r\n12\r\n") << "III" << 2 << Fault::EndOfData
                                      << 3 << "value is missing, the file ends";
        QTest::newRow("empty data") << QByteArray() << "T" << 0 << Fault::EndOfData << 1
                                    << "value is missing, the file ends";
        QTest::newRow("only blank lines left")
            << QByteArray("1\n\n  \n") << "II" << 1 << Fault::EndOfData << 4
            << "value is missing, the file ends";
        QTest::newRow("letters for a number")
            << QByteArray("2\r\n12x\r\n") << "II" << 1 << Fault::NotANumber << 2
            << "value \"12x\" is not a number";
        QTest::newRow("plus sign") << QByteArray("+5\r\n") << "I" << 0 << Fault::NotANumber << 1
                                   << "value \"+5\" is not a number";
        QTest::newRow("lone minus") << QByteArray("-\r\n") << "I" << 0 << Fault::NotANumber << 1
                                    << "value \"-\" is not a number";
        QTest::newRow("empty item between commas")
            << QByteArray("\"A\",,8\r\n") << "TI" << 1 << Fault::NotANumber << 1
            << "value is empty instead of a number";
        QTest::newRow("too large for 64 bits")
            << QByteArray("9223372036854775808\r\n") << "I" << 0 << Fault::NumberTooLarge << 1
            << "value 9223372036854775808 is too large";
        QTest::newRow("quote not closed on its line")
            << QByteArray("1\r\n\"FLASH 1K,1,1024\r\n\"x\"\r\n") << "IT" << 1
            << Fault::NoClosingQuote << 2 << "value \"FLASH 1K,1,1024 has no closing quote";
        QTest::newRow("text after the closing quote")
            << QByteArray("\"FLASH\" 1K,1\r\n") << "T" << 0 << Fault::TextAfterQuote << 1
            << "value \"FLASH\" 1 has text after its closing quote";
    }
    void reportsFaults() {
        QFETCH(QByteArray, data);
        QFETCH(QString, ops);
        QFETCH(int, readBeforeFault);
        QFETCH(Fault, fault);
        QFETCH(int, line);
        QFETCH(QString, message);
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

    void writesIntegers_data() {
        QTest::addColumn<QList<qint64>>("values");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("settings") << QList<qint64>{3, 12, 1} << QByteArray("3\r\n12\r\n1\r\n");
        QTest::newRow("single zero") << QList<qint64>{0} << QByteArray("0\r\n");
        QTest::newRow("negatives") << QList<qint64>{-1, -32768} << QByteArray("-1\r\n-32768\r\n");
        QTest::newRow("32-bit") << QList<qint64>{65536, 2147483647}
                                << QByteArray("65536\r\n2147483647\r\n");
        QTest::newRow("nothing") << QList<qint64>{} << QByteArray();
    }
    void writesIntegers() {
        QFETCH(QList<qint64>, values);
        QFETCH(QByteArray, bytes);
        TextRecordWriter writer;
        for (qint64 v : values)
            writer.writeInteger(v);
        QCOMPARE(writer.data(), bytes);

        // What is written reads back unchanged.
        TextRecordReader reader(writer.data());
        for (qint64 v : values) {
            qint64 read = 0;
            QVERIFY(reader.readInteger(read));
            QCOMPARE(read, v);
        }
        QVERIFY(reader.atEnd());
    }
};

QTEST_GUILESS_MAIN(TestTextRecord)
#include "tst_textrecord.moc"
