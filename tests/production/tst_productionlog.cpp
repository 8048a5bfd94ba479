#include "core/appstate.h"
#include "production/csvexport.h"
#include "production/productionlog.h"
#include "support/rows.h"
#include "support/testsupport.h"
#include "tools/pgserver/pgserver.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdio>

using namespace varn;
using namespace varn::test;

namespace {

SerialSettings series(qint64 first, qint64 step, int length = 4,
                      SerialSettings::Encoding encoding = SerialSettings::Encoding::Binary) {
    SerialSettings s;
    s.enabled = true;
    s.first = first;
    s.step = step;
    s.length = length;
    s.encoding = encoding;
    return s;
}

ChipRecord sampleRecord(bool passed, qint64 serial = -1) {
    ChipRecord r;
    r.time = QDateTime(QDate(2026, 12, 6), QTime(10, 0, 0, 250), Qt::UTC);
    r.station = QStringLiteral("bench-1");
    r.port = QStringLiteral("/dev/ttyUSB0");
    r.unitName = QStringLiteral("ABCD");
    r.unitVersion = QStringLiteral("2.1");
    r.deviceType = QStringLiteral("27C512");
    r.deviceSize = 65536;
    r.imageFile = QStringLiteral("fw, \"rev B\".hex");
    r.imageCrc32 = 0xCBF43926;
    r.imageChecksum = 0x0FA3;
    r.functions = {QStringLiteral("Program"), QStringLiteral("Verify")};
    r.passed = passed;
    if (!passed) {
        r.failedStep = QStringLiteral("Verify");
        r.failure = ChipRecord::Failure::Mismatch;
        r.failureAddress = 0x1234;
        r.expectedByte = 0x5A;
        r.actualByte = 0xFF;
        r.failureDetail = QStringLiteral("Verify Error at 1234H");
    }
    r.serial = serial;
    r.serialSeries = serial >= 0 ? series(100, 1).series() : QString();
    r.durationMs = 812;
    r.programVersion = QStringLiteral("2.0");
    return r;
}

// Child mode: allocate count numbers one transaction each and print them.
int allocateChild(const QString& location, int count) {
    ProductionLog log;
    if (const Status s = log.open(location); !s) {
        std::fprintf(stderr, "%s\n", qPrintable(s.message));
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        qint64 number = -1;
        if (const Status s = log.allocateSerial(series(1000, 3), &number); !s) {
            std::fprintf(stderr, "%s\n", qPrintable(s.message));
            return 1;
        }
        std::printf("%lld\n", number);
    }
    return 0;
}

} // namespace

#define NEED_LOCATION(kind, where)                                                                 \
    const QString where = location(kind);                                                          \
    if (where.isEmpty())                                                                           \
        QSKIP(qPrintable(QStringLiteral("no PostgreSQL server for the test: ") + pgError));

class TestProductionLog : public QObject {
    Q_OBJECT

private:
    // Each case counts its own series, so the cases may share one database.
    QString location(const QString& kind) {
        if (kind == QLatin1String("postgresql"))
            return pgStarted ? pg.url() : QString();
        return dir.filePath(QStringLiteral("log%1.sqlite").arg(++sqliteCounter));
    }
    void addKinds() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("sqlite") << QStringLiteral("sqlite");
        QTest::newRow("postgresql") << QStringLiteral("postgresql");
    }

    QTemporaryDir dir;
    PgServer pg;
    bool pgStarted = false;
    QString pgError;
    int sqliteCounter = 0;

private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        pgStarted = pg.start();
        pgError = pg.error();
    }

    void testEncodeSerial_data() {
        // format: encoding and byte order; bytes: empty: does not fit
        Columns<qint64, int, QString, QByteArray>("number", "length", "format", "bytes");
        const auto hex = [](const char* digits) { return QByteArray::fromHex(digits); };
        QTest::newRow("binary lsb") << qint64(0x12345678) << 4 << "binary lsb" << hex("78563412");
        QTest::newRow("binary 1 byte max") << qint64(255) << 1 << "binary msb" << hex("ff");
        QTest::newRow("binary too large") << qint64(256) << 1 << "binary msb" << QByteArray();
        QTest::newRow("binary 8 bytes")
            << qint64(0x0102030405060708) << 8 << "binary lsb" << hex("0807060504030201");
        QTest::newRow("bcd msb") << qint64(1234567) << 4 << "bcd msb" << hex("01234567");
        QTest::newRow("bcd max") << qint64(9999) << 2 << "bcd msb" << hex("9999");
        QTest::newRow("bcd too large") << qint64(10000) << 2 << "bcd msb" << QByteArray();
        QTest::newRow("ascii padded") << qint64(42) << 5 << "ascii msb" << QByteArray("00042");
        QTest::newRow("ascii lsb") << qint64(123) << 3 << "ascii lsb" << QByteArray("321");
    }

    void testEncodeSerial() {
        auto [number, length, format, bytes] =
            Row<qint64, int, QString, QByteArray>("number", "length", "format", "bytes");
        SerialSettings s;
        s.length = length;
        s.address = 0x10;
        QVERIFY(ParseEncoding(format.section(' ', 0, 0), &s.encoding));
        QVERIFY(ParseOrder(format.section(' ', 1), &s.order));
        auto state = std::make_unique<AppState>();
        QCOMPARE(WriteSerial(*state, s, number).ok, !bytes.isEmpty());
        const QByteArray expected = bytes.isEmpty() ? QByteArray(length, '\xFF') : bytes;
        QCOMPARE(BufferBytes(*state, 0x0F, length + 2), '\xFF' + expected + '\xFF');
    }

    void testParseLocation_data() {
        // fields: postgres|user|host|port|database or the path
        Columns<QString, bool, QString>("text", "ok", "fields");

        QTest::newRow("file") << "logs/varn-log.sqlite" << true << "logs/varn-log.sqlite";
        QTest::newRow("url") << "postgresql://line@db.local:5433/production" << true
                             << "pg|line|db.local|5433|production";
        QTest::newRow("short scheme, no port") << "postgres://u@h/d" << true << "pg|u|h|-1|d";
        QTest::newRow("socket folder") << "postgresql://postgres@%2Frun%2Fpg/postgres" << true
                                       << "pg|postgres|/run/pg|-1|postgres";
        QTest::newRow("password refused") << "postgresql://u:secret@h/d" << false << "";
        QTest::newRow("bad port") << "postgresql://u@h:99999/d" << false << "";
    }

    void testParseLocation() {
        auto [text, ok, fields] = Row<QString, bool, QString>("text", "ok", "fields");
        LogLocation location;
        const Status status = ParseLogLocation(text, &location);
        QCOMPARE(status.ok, ok);
        if (!ok) {
            QVERIFY(!status.message.contains("secret"));
            return;
        }
        const QString got = location.postgres ? QStringLiteral("pg|%1|%2|%3|%4")
                                                    .arg(location.user, location.host)
                                                    .arg(location.port)
                                                    .arg(location.database)
                                              : location.path;
        QCOMPARE(got, fields);
    }

    void testRecordsAndExport() {
        const QString path = location(QStringLiteral("sqlite"));
        ChipRecord early = sampleRecord(true, 100);
        early.time = early.time.addSecs(-3600);
        const ChipRecord failed = sampleRecord(false, 101);
        {
            ProductionLog log;
            QVERIFY2(log.open(path), "open");
            QVERIFY(log.writeRecord(early));
            QVERIFY(log.writeRecord(failed));
        }
        // A second program run finds the same records.
        ProductionLog log;
        QVERIFY(log.open(path));
        QList<ChipRecord> all;
        QVERIFY(log.records(&all));
        QCOMPARE(all.size(), 2);
        QCOMPARE(all[1].toText(), failed.toText());
        QCOMPARE(all[1].time, failed.time);
        QCOMPARE(all[0].toText(), early.toText());

        QList<ChipRecord> range;
        QVERIFY(log.records(&range, failed.time.addSecs(-60), failed.time.addSecs(60)));
        QCOMPARE(range.size(), 1);
        QCOMPARE(range[0].serial, qint64(101));
        QVERIFY(log.records(&range, {}, failed.time));
        QCOMPARE(range.size(), 1);
        QCOMPARE(range[0].serial, qint64(100));
        QVERIFY(log.lastRecords(1, &range));
        QCOMPARE(range.size(), 1);
        QCOMPARE(range[0].passed, false);

        const QList<QByteArray> lines = RecordsToCsv(all).split('\n');
        // A header, two records, nothing after the last CR LF.
        QCOMPARE(lines.size(), 4);
        QVERIFY(lines[0].startsWith("recorded_at,station,port,"));
        QVERIFY(lines[2].startsWith(
            "2026-12-06T10:00:00.250Z,bench-1,/dev/ttyUSB0,ABCD,2.1,27C512,65536,\"fw, \"\"rev "
            "B\"\".hex\",CBF43926,0FA3,\"Program,Verify\",fail,Verify,mismatch,4660,90,255,"));
        QVERIFY(lines[1].contains(",pass,,,,,,,100,"));
    }

    void testOpenRefused() {
        ProductionLog log;
        QVERIFY(!log.open(dir.filePath("missing/log.sqlite")));
        QVERIFY(WriteFile(dir.filePath("junk.sqlite"), QByteArray(4096, 'x')));
        QVERIFY(!log.open(dir.filePath("junk.sqlite")));

        // A log written by a newer program is left alone.
        const QString newer = location(QStringLiteral("sqlite"));
        QVERIFY(log.open(newer));
        log.close();
        {
            auto db = QSqlDatabase::addDatabase("QSQLITE", "raw");
            db.setDatabaseName(newer);
            QVERIFY(db.open());
            QVERIFY(QSqlQuery(db).exec("UPDATE varn_log_schema SET version = 99"));
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("raw"));
        const Status status = log.open(newer);
        QVERIFY(!status);
        VERIFY_CONTAINS(status.message, "newer program");
    }

    void testSerialAllocation_data() { addKinds(); }
    void testSerialAllocation() {
        QFETCH(QString, kind);
        NEED_LOCATION(kind, where);
        ProductionLog log;
        QVERIFY2(log.open(where).ok, qPrintable(log.open(where).message));

        // One number for the next chip: -2 when refused. What the Production
        // window shows first (peekSerial) must be that number, or -3.
        const auto next = [&log](const SerialSettings& s) -> qint64 {
            qint64 shown = -1, n = -1;
            const bool peeked = log.peekSerial(s, &shown).ok, given = log.allocateSerial(s, &n).ok;
            if (peeked != given || (given && shown != n))
                return -3;
            return given ? n : -2;
        };
        const SerialSettings s = series(97, 2, 2, SerialSettings::Encoding::AsciiDecimal);
        QCOMPARE(next(s), 97);
        QCOMPARE(next(s), 99);
        // The chip with 99 failed: 99 goes to the next chip, then the series is used up.
        ChipRecord failed = sampleRecord(false);
        failed.serial = 99;
        failed.serialSeries = s.series();
        QVERIFY(log.writeRecord(failed));
        QCOMPARE(next(s), 99);
        QCOMPARE(next(s), -2);
        QCOMPARE(next(series(5, 10)), 5); // another series counts on its own
    }

    void testConcurrentAllocation_data() { addKinds(); }
    void testConcurrentAllocation() {
        QFETCH(QString, kind);
        NEED_LOCATION(kind, where);
        const int perProcess = 40;
        QProcess a, b;
        for (QProcess* p : {&a, &b})
            p->start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--allocate"), where, QString::number(perProcess)});
        QSet<qint64> numbers;
        for (QProcess* p : {&a, &b}) {
            QVERIFY(p->waitForFinished(60000));
            QVERIFY2(p->exitCode() == 0, p->readAllStandardError().constData());
            for (const QByteArray& line : p->readAllStandardOutput().split('\n'))
                if (!line.isEmpty())
                    numbers.insert(line.toLongLong());
        }
        // No number twice, none skipped.
        QCOMPARE(numbers.size(), 2 * perProcess);
        for (int i = 0; i < 2 * perProcess; ++i)
            QVERIFY(numbers.contains(1000 + 3 * i));
    }
};

int main(int argc, char** argv) {
    if (argc == 4 && QByteArray(argv[1]) == "--allocate") {
        QCoreApplication app(argc, argv);
        return allocateChild(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt());
    }
    QCoreApplication app(argc, argv);
    TestProductionLog test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_productionlog.moc"
