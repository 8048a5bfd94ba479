#include "core/appstate.h"
#include "production/chippreview.h"
#include "production/csvexport.h"
#include "production/productionlog.h"
#include "production/runrecord.h"
#include "support/rows.h"
#include "support/testsupport.h"
#include "tools/pgserver/pgserver.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdio>

using namespace varn;
using namespace varn::test;

namespace {

SerialSettings series(const QString& name, qint64 first, qint64 step, int length = 4,
                      SerialSettings::Encoding encoding = SerialSettings::Encoding::Binary) {
    SerialSettings s;
    s.enabled = true;
    s.name = name;
    s.first = first;
    s.step = step;
    s.length = length;
    s.encoding = encoding;
    return s;
}

ChipRecord sampleRecord(bool passed, qint64 serial = -1, bool bytesSent = true) {
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
    r.serialSeries = serial >= 0 ? QStringLiteral("line") : QString();
    r.programBytesSent = bytesSent;
    r.durationMs = 812;
    r.programVersion = QStringLiteral("2.0");
    return r;
}

LogOpenOptions options(const QString& journal = {}) {
    LogOpenOptions o;
    o.create = true;
    o.journalPath = journal;
    o.useJournal = !journal.isEmpty();
    return o;
}

// Child modes: allocate count numbers one transaction each and print them;
// or open the log and end (what it prints on its own is the test).
int child(const QString& mode, const QString& location, int count) {
    Status status;
    const std::unique_ptr<ProductionLog> log = ProductionLog::open(location, options(), &status);
    const bool pool = mode == QLatin1String("--pool");
    for (int i = 0; log && (pool || mode == QLatin1String("--allocate")) && i < count; ++i) {
        qint64 number = -1;
        status = pool ? log->allocatePoolNumber(QStringLiteral("shared"), QString(), &number)
                      : log->allocateSerial(series("shared", 1000, 3), &number);
        if (!status)
            break;
        std::printf("%lld\n", number);
    }
    if (!status)
        std::fprintf(stderr, "%s\n", qPrintable(status.message));
    return status ? 0 : 1;
}

// The text after "what: " in a message, which must name the driver's reason.
QString reasonAfter(const QString& message, const QString& what) {
    const qsizetype at = message.indexOf(what + QStringLiteral(": "));
    return at < 0 ? QString() : message.mid(at + what.size() + 2).section(QLatin1Char('\n'), 0, 0);
}

} // namespace

#define NEED_LOCATION(kind, where)                                                                 \
    const QString where = location(kind);                                                          \
    if (where.isEmpty())                                                                           \
        QSKIP(qPrintable(QStringLiteral("no PostgreSQL server for the test: ") + pgError));

#define OPEN_LOG(log, where, opts)                                                                 \
    Status log##Status;                                                                            \
    const std::unique_ptr<ProductionLog> log = ProductionLog::open(where, opts, &log##Status);     \
    QVERIFY2(log, qPrintable(log##Status.message));

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
    // A connection of its own, beside the log's, to look at or spoil the tables.
    QSqlDatabase raw(const QString& where) {
        QSqlDatabase db;
        if (where.startsWith(QLatin1String("postgresql"))) {
            db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("raw"));
            db.setHostName(QStringLiteral("127.0.0.1"));
            db.setPort(pg.port());
            db.setUserName(QStringLiteral("postgres"));
            db.setDatabaseName(where.section(QLatin1Char('/'), -1));
        } else {
            db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("raw"));
            db.setDatabaseName(where);
        }
        db.open();
        return db;
    }
    void dropRaw() {
        QSqlDatabase::database(QStringLiteral("raw"), false).close();
        QSqlDatabase::removeDatabase(QStringLiteral("raw"));
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

    // Each field's bytes against values computed apart from this program, with
    // Python 3: CRCs as binascii.crc_hqx(data, 0xFFFF) (CRC-16/CCITT-FALSE) and
    // zlib.crc32(data), data = bytes((i * 7 + 3) & 0xFF for i in range(0x40)),
    // the buffer's 0..3F here; Unix seconds as calendar.timegm(...).
    void testChipFieldBytes_data() {
        Columns<QString, qint64, QString, QString>("fields", "number", "time", "bytes at 80");
        const QString local = QStringLiteral("2026-12-07T21:05:09");
        QTest::newRow("pool msb") << "pool=mac,at=80,length=6" << 0x12340000A1LL << local
                                  << "0012340000A1";
        QTest::newRow("pool lsb") << "pool=mac,at=80,length=6,order=lsb" << 0x12340000A1LL << local
                                  << "A10000341200";
        QTest::newRow("pool bcd") << "pool=m,at=80,length=3,encoding=bcd" << 123456LL << local
                                  << "123456";
        QTest::newRow("pool too large") << "pool=m,at=80,length=2" << 0x10000LL << local << "";
        QTest::newRow("crc16") << "crc16=0-3F,at=80" << 0LL << local << "8064";
        QTest::newRow("crc32 lsb") << "crc32=0-3F,at=80,order=lsb" << 0LL << local << "F0ECD9CB";
        // Listed first, computed last: the CRC covers the pool number at 40.
        QTest::newRow("crc after the fields")
            << "crc32=0-45,at=80;pool=mac,at=40,length=6" << 0x12340000A1LL << local << "4B6A25BC";
        // Listed first, computed after the CRC-16 at 44 it covers.
        QTest::newRow("crc32 over a later crc16")
            << "crc32=0-45,at=80;crc16=0-3F,at=44" << 0LL << local << "B0B37E80";
        QTest::newRow("date bcd") << "time=yyMMdd,at=80,encoding=bcd" << 0LL << local << "261207";
        QTest::newRow("date text")
            << "time=yyyy-MM-dd hh:mm,at=80" << 0LL << local
            << QString::fromLatin1(QByteArray("2026-12-07 21:05").toHex().toUpper());
        QTest::newRow("unix seconds") << "time=unix,at=80" << 0LL << local + "Z"
                                      << "6B171F85";
        QTest::newRow("text padded")
            << "text=REV-B,at=80,length=8" << 0LL << local << "5245562D42000000";
        QTest::newRow("lot") << "lot,at=80,length=5" << 0LL << local << "4C34320000";
        QTest::newRow("lot too long") << "lot,at=80,length=2" << 0LL << local << "";
    }
    void testChipFieldBytes() {
        const auto [specs, number, time, expected] =
            Row<QString, qint64, QString, QString>("fields", "number", "time", "bytes at 80");
        QList<ChipField> fields;
        QVERIFY(FieldsFromText(specs.split(';'), &fields));
        // The text form reads back as the same field.
        QList<ChipField> again;
        QVERIFY(FieldsFromText(FieldsToText(fields), &again));
        QCOMPARE(FieldsToText(again), FieldsToText(fields));
        AppState chip;
        chip.DeviceTable[1] = {QStringLiteral("T"), 2, 0x100};
        chip.DeviceCount = chip.SelectedDevice = 1;
        for (int i = 0; i < 0x40; ++i)
            chip.Buffer[size_t(i)] = quint8(i * 7 + 3);
        const ChipFieldValues values{
            {number}, QDateTime::fromString(time, Qt::ISODate), QStringLiteral("L42")};
        QString noted;
        const Status written = WriteChipFields(chip, fields, values, &noted);
        QCOMPARE(written.ok, !expected.isEmpty());
        if (expected.isEmpty())
            return;
        const QByteArray bytes(reinterpret_cast<const char*>(chip.Buffer.data()) + 0x80,
                               expected.size() / 2);
        QCOMPARE(bytes.toHex().toUpper(), expected.toLatin1());
        QVERIFY(chip.isDefined(0x80) && chip.isDefined(0x80 + bytes.size() - 1) &&
                !chip.isDefined(0x80 + bytes.size()));
        VERIFY_CONTAINS(noted, "@0080=" + expected);
    }

    // Fields refused before anything is sent: past the device, over each
    // other or the serial number, over the image unless allowed.
    void testChipFieldsProblem_data() {
        Columns<QString, QString>("fields", "problem");
        QTest::newRow("fits") << "text=ABCD,at=80;crc16=0-FD,at=FE"
                              << "";
        QTest::newRow("past the device") << "crc16=0-F0,at=FF"
                                         << "outside the device";
        QTest::newRow("range past the device") << "crc32=90-100,at=80"
                                               << "outside the device";
        QTest::newRow("over each other") << "text=AB,at=80;pool=mac,at=81"
                                         << "overlap";
        QTest::newRow("next to the serial number") << "text=ABCD,at=8C"
                                                   << "";
        QTest::newRow("over the serial number") << "text=ABCDE,at=8C"
                                                << "overlap";
        QTest::newRow("next to the image") << "text=AB,at=40"
                                           << "";
        QTest::newRow("over the image") << "text=AB,at=3F"
                                        << "covers bytes of the image";
        QTest::newRow("over the image, allowed") << "text=AB,at=3F,overwrite"
                                                 << "";
        // Each CRC covers the other: whichever goes last leaves the other wrong.
        QTest::newRow("crcs over each other")
            << "crc32=0-5F,at=60;crc16=60-7F,at=50"
            << "The crc32 field at 0060 (over 0000-005F) covers the crc16 field at 0050 (over "
               "0060-007F), which covers it in turn";
        // The first CRC only leads into the ring: the message names the ring.
        QTest::newRow("crcs in a ring")
            << "crc32=50-51,at=40;crc16=54-55,at=50;crc16=58-59,at=54;crc16=50-51,at=58"
            << "The crc16 field at 0050 (over 0054-0055) covers the crc16 field at 0054 (over "
               "0058-0059), which depends on it through the crc16 field at 0058 (over 0050-0051)";
    }
    void testChipFieldsProblem() {
        const auto [specs, problem] = Row<QString, QString>("fields", "problem");
        QList<ChipField> fields;
        for (const QString& line : specs.split(';'))
            QVERIFY(FieldFromText(line, &fields.emplace_back()));
        AppState image;
        image.DeviceTable[1] = {QStringLiteral("T"), 2, 0x100};
        image.DeviceCount = image.SelectedDevice = 1;
        image.markDefined(0, 0x40);
        SerialSettings serial = series(QStringLiteral("s"), 1, 1);
        serial.address = 0x90;
        const QString why = ChipFieldsProblem(&serial, false, fields, image);
        QCOMPARE(why.isEmpty(), problem.isEmpty());
        VERIFY_CONTAINS(why, problem);
    }

    void testParseLocation_data() {
        // fields: postgres|user|host|port|database|parameters or the path
        Columns<QString, bool, QString>("text", "ok", "fields");

        QTest::newRow("file") << "logs/varn-log.sqlite" << true << "logs/varn-log.sqlite";
        QTest::newRow("url") << "postgresql://line@db.local:5433/production" << true
                             << "pg|line|db.local|5433|production|";
        QTest::newRow("short scheme, no port") << "postgres://u@h/d" << true << "pg|u|h|-1|d|";
        QTest::newRow("socket folder") << "postgresql://postgres@%2Frun%2Fpg/postgres" << true
                                       << "pg|postgres|/run/pg|-1|postgres|";
        QTest::newRow("parameters") << "postgresql://u@h/d?sslmode=require&application_name=a%20b"
                                    << true << "pg|u|h|-1|d|sslmode=require,application_name=a b";
        QTest::newRow("password refused") << "postgresql://u:secret@h/d" << false << "";
        QTest::newRow("password parameter refused")
            << "postgresql://u@h/d?sslmode=disable&password=secret" << false << "";
        QTest::newRow("password in a bad URL") << "postgresql://u:secret@h:x/d" << false << "";
        QTest::newRow("bad port") << "postgresql://u@h:99999/d" << false << "";
    }

    void testParseLocation() {
        auto [text, ok, fields] = Row<QString, bool, QString>("text", "ok", "fields");
        LogLocation location;
        const Status status = ParseLogLocation(text, &location);
        QCOMPARE(status.ok, ok);
        if (!ok) {
            QVERIFY2(!status.message.contains("secret"), qPrintable(status.message));
            return;
        }
        QStringList parameters;
        for (const auto& [key, value] : location.parameters)
            parameters.append(key + '=' + value);
        const QString got = location.postgres ? QStringLiteral("pg|%1|%2|%3|%4|%5")
                                                    .arg(location.user, location.host)
                                                    .arg(location.port)
                                                    .arg(location.database, parameters.join(','))
                                              : location.path;
        QCOMPARE(got, fields);
    }

    // Records read back as written, by time range (times of day count), with
    // an id; bytes in hexadecimal; a record never closed reads "interrupted".
    void testRecordsAndExport() {
        const QString path = location(QStringLiteral("sqlite"));
        ChipRecord early = sampleRecord(true, 100);
        early.time = early.time.addSecs(-3600);
        ChipRecord failed = sampleRecord(false, 101);
        ChipRecord cut = sampleRecord(true, 102);
        cut.time = cut.time.addSecs(3600);
        {
            OPEN_LOG(log, path, options());
            QVERIFY(log->writeRecord(early));
            QVERIFY(log->writeRecord(failed));
            QVERIFY(log->openRecord(cut)); // and the station loses power
            QVERIFY(early.id > 0 && failed.id > early.id && cut.id > failed.id);
        }
        // A second program run finds the same records.
        LogOpenOptions existing;
        existing.useJournal = false;
        OPEN_LOG(log, path, existing);
        QList<ChipRecord> all;
        QVERIFY(log->records(&all));
        QCOMPARE(all.size(), 3);
        QCOMPARE(all[1].toText(), failed.toText());
        QCOMPARE(all[1].time, failed.time);
        QCOMPARE(all[0].toText(), early.toText());
        QVERIFY(all[2].interrupted());

        QList<ChipRecord> range;
        QVERIFY(log->records(&range, failed.time.addSecs(-60), failed.time.addSecs(60)));
        QCOMPARE(range.size(), 1);
        QCOMPARE(range[0].serial, qint64(101));
        QVERIFY(log->records(&range, {}, failed.time));
        QCOMPARE(range.size(), 1);
        QCOMPARE(range[0].serial, qint64(100));
        QVERIFY(log->lastRecords(2, &range));
        QCOMPARE(range.size(), 2);
        QCOMPARE(range[0].resultText(), QStringLiteral("interrupted"));

        const QList<QByteArray> lines = RecordsToCsv(all).split('\n');
        // A header, three records, nothing after the last CR LF.
        QCOMPARE(lines.size(), 5);
        QVERIFY(lines[0].startsWith("id,recorded_at,station,port,"));
        VERIFY_CONTAINS(
            QString::fromUtf8(lines[2]),
            QString::number(failed.id) +
                ",2026-12-06T10:00:00.250Z,bench-1,/dev/ttyUSB0,ABCD,2.1,27C512,65536,\"fw, "
                "\"\"rev B\"\".hex\",CBF43926,0FA3,\"Program,Verify\",fail,Verify,mismatch,1234,5A,"
                "FF,");
        VERIFY_CONTAINS(QString::fromUtf8(lines[1]), ",pass,,,,,,,100,");
        VERIFY_CONTAINS(QString::fromUtf8(lines[3]), ",interrupted,");
    }

    // The export reads the log's rows without building records: every row,
    // as the log writes it or as a hand or an older program left it, must
    // give the line its record gives.
    void exportLinesAsTheRecordsGive_data() {
        Columns<QString>("change");
        for (const char* change :
             {"",
              "station = 'Prüfplatz \"1\", Halle'",
              "recorded_at = '2026-12-06T11:00:00.250+01:00'",
              "recorded_at = '2026-02-30T10:00:00.000Z'",
              "closed_at = ''",
              "image_crc32 = 'cbf43926'",
              "image_checksum = 'FA3'",
              "functions = ',Program,,Verify,'",
              "functions = ',Program'",
              "recorded_at = '2026-12-06T24:00:00.000Z'",
              "device_size = '64k'",
              "duration_ms = 1.5",
              "failure_address = -5",
              "expected_byte = 4294967296",
              "program_bytes_sent = 2",
              "duration_ms = NULL, retries = NULL, program_bytes_sent = NULL, serial_length = NULL",
              "failure_kind = 'smoke', result = 'PASS'",
              "station = X'00FF'",
              "station = CAST(X'C328' AS TEXT)",
              "serial_number = -id, serial_address = 0"})
            QTest::newRow(*change ? change : "as written") << QString::fromUtf8(change);
    }
    void exportLinesAsTheRecordsGive() {
        auto [change] = Row<QString>("change");
        const QString path = location(QStringLiteral("sqlite"));
        {
            OPEN_LOG(log, path, options());
            ChipRecord passed = sampleRecord(true, 7), failed = sampleRecord(false, 8),
                       cut = sampleRecord(true, 9);
            passed.serialAddress = 0x1F0;
            passed.serialLength = 4;
            QVERIFY(log->writeRecord(passed) && log->writeRecord(failed) && log->openRecord(cut));
        }
        if (!change.isEmpty()) {
            QSqlQuery spoil(raw(path));
            QVERIFY2(spoil.exec(QStringLiteral("UPDATE chip_records SET ") + change),
                     qPrintable(spoil.lastError().text()));
        }
        dropRaw();
        OPEN_LOG(log, path, LogOpenOptions{});
        QList<ChipRecord> all;
        QVERIFY(log->records(&all));
        QByteArray csv = CsvHeaderLine();
        int lines = 0;
        QVERIFY(log->csvLines({}, {}, csv, [&] { return ++lines, Status::Ok(); }));
        QCOMPARE(lines, 3);
        QCOMPARE(QString::fromUtf8(csv), QString::fromUtf8(RecordsToCsv(all)));
    }

    void testOpenRefused_data() {
        Columns<QString, QString>("file", "message");
        QTest::newRow("folder missing") << "missing/log.sqlite"
                                        << "the folder does not exist";
        QTest::newRow("mistyped name") << "Log.sqlite"
                                       << "no such file";
        QTest::newRow("not a database") << "junk"
                                        << "cannot be read as a log";
        QTest::newRow("damaged") << "damaged"
                                 << "damaged (PRAGMA quick_check";
        QTest::newRow("newer program") << "newer"
                                       << "newer program";
    }
    void testOpenRefused() {
        auto [file, message] = Row<QString, QString>("file", "message");
        const QString path = location(QStringLiteral("sqlite"));
        {
            OPEN_LOG(log, path, options());
            for (int i = 0; i < 200; ++i) {
                ChipRecord r = sampleRecord(true, i);
                QVERIFY(log->writeRecord(r));
            }
        }
        QFile spoiled(path);
        if (file == QLatin1String("junk")) {
            QVERIFY(WriteFile(path, QByteArray(4096, 'x')));
        } else if (file == QLatin1String("damaged")) {
            // The last page's b-tree header: the schema still reads.
            QVERIFY(spoiled.open(QIODevice::ReadWrite));
            QVERIFY(spoiled.seek(spoiled.size() - 4096));
            spoiled.write(QByteArray(16, '\x7f'));
            spoiled.close();
        } else if (file == QLatin1String("newer")) {
            QVERIFY(QSqlQuery(raw(path)).exec("UPDATE varn_log_schema SET version = 99"));
            dropRaw();
        }
        const QString opened = file.endsWith(QLatin1String(".sqlite")) ? dir.filePath(file) : path;
        Status status;
        QVERIFY(!ProductionLog::open(opened, LogOpenOptions{}, &status));
        VERIFY_CONTAINS(status.message, message);
        QVERIFY(status.message.startsWith(QStringLiteral("Production log ") + opened));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("Log.sqlite"))));
    }

    // Named series; a number whose chip received program bytes is spent, one
    // whose chip received none goes to the next chip; the end of the series.
    void testSerialNumbers_data() { addKinds(); }
    void testSerialNumbers() {
        QFETCH(QString, kind);
        NEED_LOCATION(kind, where);
        OPEN_LOG(log, where, options());
        // One number for the next chip: -2 when refused. What the Production
        // window shows first (peekSerial) must be that number, or -3.
        const auto next = [&log](const SerialSettings& s) -> qint64 {
            qint64 shown = -1, n = -1;
            const bool peeked = log->peekSerial(s, &shown).ok,
                       given = log->allocateSerial(s, &n).ok;
            if (peeked != given || (given && shown != n))
                return -3;
            return given ? n : -2;
        };
        const QString name = QStringLiteral("board-") + kind;
        SerialSettings s = series(name, 97, 2, 3, SerialSettings::Encoding::AsciiDecimal);
        s.limit = 101;
        QCOMPARE(next(s), -2); // not created yet
        QVERIFY(log->createSeries(s));
        VERIFY_CONTAINS(log->createSeries(s).message, "already");
        SerialSettings run;
        run.name = name;
        QVERIFY(log->loadSeries(run));
        QVERIFY(run.sameSeries(s));
        SerialSettings wrong = s;
        wrong.encoding = SerialSettings::Encoding::PackedBcd;
        qint64 number = -1;
        VERIFY_CONTAINS(log->allocateSerial(wrong, &number).message, "3-byte ascii msb");

        QCOMPARE(next(s), 97);
        // Programmed, then a lost reply: the number stays with that chip.
        ChipRecord spent = sampleRecord(false, 97);
        spent.serialSeries = name;
        QVERIFY(log->openRecord(spent));
        QVERIFY(log->closeRecord(spent));
        QCOMPARE(next(s), 99);
        // Refused before any program byte: the next chip gets it.
        ChipRecord unspent = sampleRecord(false, 99, false);
        unspent.serialSeries = name;
        QVERIFY(log->openRecord(unspent));
        QVERIFY(log->closeRecord(unspent));
        QCOMPARE(next(s), 99);
        QCOMPARE(next(s), 101);
        QCOMPARE(next(s), -2); // beyond the series' maximum
        QVERIFY(log->createSeries(series(name + "-b", 5, 10)));
        QCOMPARE(next(series(name + "-b", 5, 10)), 5); // another series counts on its own
        QList<SerialSettings> all;
        QVERIFY(log->seriesList(&all));
        QVERIFY(all.size() >= 2);
    }

    // The database itself keeps a number in one chip: among records whose
    // chip received program bytes, and records still open.
    void testSpentNumberUnique_data() { addKinds(); }
    void testSpentNumberUnique() {
        QFETCH(QString, kind);
        NEED_LOCATION(kind, where);
        OPEN_LOG(log, where, options());
        const qint64 n = 7000 + sqliteCounter;
        // Opened before the first byte: no program byte yet, the number held.
        ChipRecord first = sampleRecord(true, n, false), second = sampleRecord(true, n, false);
        ChipRecord refused = sampleRecord(false, n, false);
        QVERIFY(log->openRecord(first));
        VERIFY_CONTAINS(log->openRecord(second).message, "cannot open the record: ");
        first.programBytesSent = true;
        QVERIFY(log->closeRecord(first));
        QVERIFY(log->writeRecord(refused)); // no byte: holds nothing
        ChipRecord again = sampleRecord(false, n);
        const Status status = log->writeRecord(again);
        QVERIFY(!status);
        QVERIFY2(!reasonAfter(status.message, "cannot write the record").isEmpty(),
                 qPrintable(status.message));
    }

    // An open record marked as its chip runs reads, cut off there, what
    // reached the chip; its end replaces the marks, and a late mark never
    // changes a closed record.
    void testMarkOpenRecord_data() { addKinds(); }
    void testMarkOpenRecord() {
        QFETCH(QString, kind);
        NEED_LOCATION(kind, where);
        OPEN_LOG(log, where, options());
        ChipRecord record = sampleRecord(true, -1, false);
        record.functions.clear();
        record.durationMs = 0;
        QVERIFY(log->openRecord(record));
        ChipRecord marked = record;
        marked.programBytesSent = true;
        marked.functions = {QStringLiteral("Erase"), QStringLiteral("Program")};
        marked.failureAddress = 0x960;
        marked.durationMs = 1500;
        QVERIFY(log->markRecord(marked));
        QCOMPARE(marked.id, record.id);
        const auto stored = [&]() {
            QList<ChipRecord> all;
            log->records(&all);
            for (const ChipRecord& r : all)
                if (r.uid == record.uid)
                    return r;
            return ChipRecord();
        };
        const ChipRecord cut = stored();
        QVERIFY(cut.interrupted());
        QVERIFY(cut.programBytesSent);
        QCOMPARE(cut.functions, marked.functions);
        QCOMPARE(cut.failureAddress, 0x960);
        QCOMPARE(cut.durationMs, 1500);
        record.programBytesSent = true;
        record.functions = {QStringLiteral("Erase"), QStringLiteral("Program"),
                            QStringLiteral("Verify")};
        QVERIFY(log->closeRecord(record));
        QVERIFY(log->markRecord(marked));
        const ChipRecord closed = stored();
        QCOMPARE(closed.resultText(), QStringLiteral("pass"));
        QCOMPARE(closed.functions, record.functions);
        QCOMPARE(closed.failureAddress, -1);
    }

    // The driver's reason follows every "cannot ...:".
    // Hand-counted figures of a lot: 2 passed, a Verify mismatch twice at
    // 1234, a blank check, a line fault, an interrupted chip, a refusal and a
    // record of another lot.
    void testReport_data() { addKinds(); }
    void testReport() {
        QFETCH(QString, kind);
        NEED_LOCATION(kind, where);
        OPEN_LOG(log, where, options());
        const QString lot = QStringLiteral("report-") + QString::number(++sqliteCounter);
        const QDateTime t0(QDate(2026, 12, 6), QTime(10, 0), Qt::UTC);
        // step, kind, address, station ("" passed; "refused" touched nothing; "open" never closed)
        const QList<QStringList> rows{{"", "", "", "s1"},
                                      {"", "", "", "s1"},
                                      {"Verify", "mismatch", "1234", "s1"},
                                      {"Blank", "mismatch", "10", "s2"},
                                      {"Program", "communication", "", "s2"},
                                      {"Verify", "mismatch", "1234", "s2"},
                                      {"Verify", "open", "", "s2"},
                                      {"Job", "refused", "", "s1"}};
        for (int i = 0; i <= rows.size(); ++i) {
            const QStringList row = i < rows.size() ? rows[i] : QStringList{"", "", "", "s1"};
            ChipRecord r = sampleRecord(row[0].isEmpty());
            r.lot = i < rows.size() ? lot : QStringLiteral("other");
            r.station = row[3];
            r.time = t0.addSecs(600 * i);
            r.closedAt = r.time.addSecs(60);
            r.failedStep = row[0];
            r.failure = ParseFailure(row[1]);
            r.failureAddress = row[2].isEmpty() ? -1 : row[2].toLongLong(nullptr, 16);
            QVERIFY(row[1] == QLatin1String("open") ? log->openRecord(r) : log->writeRecord(r));
        }
        ProductionReport report;
        QVERIFY(log->report(ReportFilter{{}, {}, lot, {}, {}, {}}, &report));
        // 7 chips from 10:00 to the interrupted one's start at 11:00: 7 an hour.
        QCOMPARE(
            QString::fromLatin1(ReportCsv(report)),
            QStringLiteral("figure,key,value\r\nrecords,,8\r\nchips,,7\r\npassed,,2\r\n"
                           "failed,,4\r\ninterrupted,,1\r\nrefused,,1\r\n"
                           "first_pass_yield_percent,,28.57\r\nchips_per_hour,,7.0\r\n"
                           "first,,2026-12-06T10:00:00.000Z\r\nlast,,2026-12-06T11:00:00.000Z\r\n"
                           "failures_by_kind,mismatch,2\r\nfailures_by_kind,blank,1\r\n"
                           "failures_by_kind,line,1\r\nfailures_by_step,Verify,2\r\n"
                           "failures_by_step,Blank,1\r\nfailures_by_step,Program,1\r\n"
                           "failures_by_address,1234,2\r\nfailures_by_address,0010,1\r\n"
                           "chips_by_hour,2026-12-06T10,6\r\nchips_by_hour,2026-12-06T11,1\r\n"
                           "passed_by_hour,2026-12-06T10,2\r\npassed_by_hour,2026-12-06T11,0\r\n"));
        // Narrowed by station, and by time (from inclusive, to exclusive).
        for (const auto& [filter, chips, passed] :
             {std::tuple{ReportFilter{{}, {}, lot, "s2", {}, {}}, 4, 0},
              std::tuple{ReportFilter{t0.addSecs(600), t0.addSecs(1800), lot, {}, {}, {}}, 2, 1}}) {
            QVERIFY(log->report(filter, &report));
            QCOMPARE(report.chips, qint64(chips));
            QCOMPARE(report.passed, qint64(passed));
        }
    }

    void testFailureReasons_data() {
        Columns<QString, QString>("table", "what");
        QTest::newRow("record") << "chip_records"
                                << "cannot write the record";
        QTest::newRow("serial number") << "serial_series"
                                       << "cannot allocate a serial number";
    }
    void testFailureReasons() {
        auto [table, what] = Row<QString, QString>("table", "what");
        const QString path = location(QStringLiteral("sqlite"));
        OPEN_LOG(log, path, options());
        QVERIFY(log->createSeries(series("full", 1, 1)));
        QVERIFY(QSqlQuery(raw(path)).exec(
            QStringLiteral("CREATE TRIGGER full BEFORE %1 ON %2 BEGIN SELECT "
                           "RAISE(ABORT, 'database or disk is full'); END")
                .arg(table == "chip_records" ? "INSERT" : "UPDATE", table)));
        dropRaw();
        qint64 number = -1;
        ChipRecord record = sampleRecord(true);
        const Status status = table == QLatin1String("chip_records")
                                  ? log->writeRecord(record)
                                  : log->allocateSerial(series("full", 1, 1), &number);
        QVERIFY(!status);
        QCOMPARE(reasonAfter(status.message, what), QStringLiteral("database or disk is full"));
    }

    // A log of the first version opens, keeps every record, and counts on.
    void testUpgradeFromVersion1() {
        const QString path = location(QStringLiteral("sqlite"));
        {
            QSqlDatabase db = raw(path);
            QSqlQuery q(db);
            QString columns = QStringLiteral("id INTEGER PRIMARY KEY");
            QStringList names;
            for (const RecordColumn& c : RecordColumns()) {
                if (c.since == 1) {
                    columns += QStringLiteral(", %1 %2").arg(c.name, c.sqlType);
                    names.append(c.name);
                }
            }
            QVERIFY(q.exec("CREATE TABLE varn_log_schema (version INTEGER NOT NULL)"));
            QVERIFY(q.exec("INSERT INTO varn_log_schema VALUES (1)"));
            QVERIFY(q.exec("CREATE TABLE chip_records (" + columns + ")"));
            QVERIFY(q.exec("CREATE TABLE serial_counters (series TEXT PRIMARY KEY, next_number "
                           "BIGINT NOT NULL)"));
            QVERIFY(q.exec("CREATE TABLE serial_returned (series TEXT NOT NULL, number BIGINT NOT "
                           "NULL, PRIMARY KEY (series, number))"));
            QVERIFY(q.exec("INSERT INTO serial_counters VALUES ('100+1', 102)"));
            QVERIFY(q.exec("INSERT INTO serial_returned VALUES ('100+1', 101)"));
            for (const ChipRecord& r : {sampleRecord(true, 100), sampleRecord(false, 101)}) {
                QVERIFY(q.prepare(
                    QStringLiteral("INSERT INTO chip_records (%1) VALUES (%2)")
                        .arg(names.join(','), QString("?,").repeated(names.size()).chopped(1))));
                for (const RecordColumn& c : RecordColumns())
                    if (c.since == 1)
                        q.addBindValue(c.get(r));
                QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
            }
        }
        dropRaw();
        OPEN_LOG(log, path, LogOpenOptions{});
        QList<ChipRecord> records;
        QVERIFY(log->records(&records));
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[0].id, 1);
        QCOMPARE(records[1].resultText() + records[1].failedStep, QStringLiteral("failVerify"));
        QCOMPARE(records[1].serial, 101);
        QVERIFY(!records[0].interrupted());
        // Version 1 gave failed chips' numbers back, programmed or not: dropped.
        SerialSettings old = series(QString(), 100, 1);
        qint64 number = -1;
        QVERIFY(log->allocateSerial(old, &number));
        QCOMPARE(number, 102);
    }

    // The database away: records wait in the local journal, and reach the log
    // at the next open and with sync, once each.
    void testJournal() {
        NEED_LOCATION(QStringLiteral("postgresql"), where);
        const QString journal = dir.filePath(QStringLiteral("journal.sqlite"));
        OPEN_LOG(log, where, options(journal));
        ChipRecord opened = sampleRecord(true, 9001), away = sampleRecord(false, 9002, false);
        opened.serialSeries = away.serialSeries = QStringLiteral("journal");
        QVERIFY(log->createSeries(series("journal", 9001, 1)));
        ChipRecord cut = sampleRecord(true, -1, false);
        cut.serialSeries = QStringLiteral("journal");
        QVERIFY(log->openRecord(opened));
        QVERIFY(log->openRecord(cut));
        pg.stop();
        // A mark of a chip still running waits in the journal like its record.
        cut.programBytesSent = true;
        cut.failureAddress = 0x480;
        VERIFY_CONTAINS(log->markRecord(cut).message, "kept in the local journal " + journal);
        for (ChipRecord* r : {&opened, &away}) {
            const Status kept = r == &opened ? log->closeRecord(*r) : log->writeRecord(*r);
            QVERIFY2(kept, qPrintable(kept.message));
            VERIFY_CONTAINS(kept.message, "kept in the local journal " + journal);
            QVERIFY2(reasonAfter(kept.message, "cannot write the record").size() > 3,
                     qPrintable(kept.message));
        }
        QVERIFY(away.id < 0);
        qint64 number = -1;
        const Status refused = log->allocateSerial(series("journal", 9001, 1), &number);
        QVERIFY(!refused);
        QVERIFY2(reasonAfter(refused.message, "cannot allocate a serial number").size() > 3,
                 qPrintable(refused.message));
        QVERIFY(pg.resume());
        OPEN_LOG(next, where, options(journal));
        VERIFY_CONTAINS(nextStatus.message, "3 record(s) from the local journal");
        int sent = -1;
        QVERIFY(log->sync(&sent));
        QCOMPARE(sent, 0);
        QList<ChipRecord> records;
        QVERIFY(next->records(&records));
        QList<ChipRecord> mine;
        for (const ChipRecord& r : records)
            if (r.serialSeries == QLatin1String("journal"))
                mine.append(r);
        QCOMPARE(mine.size(), 3);
        QCOMPARE(mine[0].resultText() + mine[1].resultText() + mine[2].resultText(),
                 QStringLiteral("passinterruptedfail"));
        QVERIFY(mine[1].programBytesSent);
        QCOMPARE(mine[1].failureAddress, 0x480);
        QCOMPARE(mine[0].id, opened.id);
        // The unspent number went back when its record arrived.
        QVERIFY(next->allocateSerial(series("journal", 9001, 1), &number));
        QCOMPARE(number, 9002);
    }

    // What the PostgreSQL driver is told, and what it says.
    void testPostgresConnection_data() {
        Columns<QString, QString>("parameters", "expected");
        QTest::newRow("parameter passed") << "?application_name=varn-station-7"
                                          << "varn-station-7";
        QTest::newRow("sslmode passed") << "?sslmode=require"
                                        << "SSL";
        QTest::newRow("no notice on standard error") << ""
                                                     << "";
    }
    void testPostgresConnection() {
        NEED_LOCATION(QStringLiteral("postgresql"), where);
        auto [parameters, expected] = Row<QString, QString>("parameters", "expected");
        if (parameters.isEmpty()) {
            // The second open finds the tables: the server has a notice to give.
            for (int i = 0; i < 2; ++i) {
                QProcess p;
                p.start(QCoreApplication::applicationFilePath(), {"--open", where, "0"});
                QVERIFY(p.waitForFinished(30000));
                QCOMPARE(p.exitCode(), 0);
                QCOMPARE(p.readAllStandardError(), QByteArray());
            }
            return;
        }
        Status status;
        const std::unique_ptr<ProductionLog> log =
            ProductionLog::open(where + parameters, options(), &status);
        if (!log) {
            VERIFY_CONTAINS(status.message, expected);
            return;
        }
        QSqlQuery q(raw(where));
        QVERIFY(q.exec("SELECT count(*) FROM pg_stat_activity WHERE application_name = '" +
                       expected + "'") &&
                q.next());
        QCOMPARE(q.value(0).toInt(), 1);
        dropRaw();
    }

    void testStation_data() {
        Columns<QString, QString>("set", "recorded");
        QTest::newRow("host name by default") << "" << QSysInfo::machineHostName();
        QTest::newRow("set") << "line-2 station 3"
                             << "line-2 station 3";
    }
    void testStation() {
        auto [set, recorded] = Row<QString, QString>("set", "recorded");
        auto state = std::make_unique<AppState>();
        RunContext context;
        context.fields.station = set;
        context.fields.lot = QStringLiteral("L-17");
        const ChipRecord r = StartRecord(*state, context);
        QCOMPARE(r.station, recorded);
        QCOMPARE(r.lot, QStringLiteral("L-17"));
    }

    // Two stations drawing from one serial series or one number pool.
    void testConcurrentAllocation_data() {
        Columns<QString, QString>("kind", "mode");
        for (const char* kind : {"sqlite", "postgresql"})
            for (const char* mode : {"--allocate", "--pool"})
                QTest::addRow("%s %s", kind, mode) << kind << mode;
    }
    void testConcurrentAllocation() {
        QFETCH(QString, kind);
        QFETCH(QString, mode);
        NEED_LOCATION(kind, where);
        const int perProcess = 40;
        {
            OPEN_LOG(log, where, options());
            QVERIFY(mode == "--pool" ? log->createPool({"shared", 1000, 1000 + 3 * 79, 3})
                                     : log->createSeries(series("shared", 1000, 3)));
            // Used up after the two stations' numbers: one more is refused.
            qint64 past = -1;
            if (mode == "--pool") {
                QVERIFY(log->createPool({"small", 7, 8, 1}) &&
                        log->allocatePoolNumber("small", {}, &past) &&
                        log->allocatePoolNumber("small", {}, &past) && past == 8);
                VERIFY_CONTAINS(log->allocatePoolNumber("small", {}, &past).message, "used up");
            }
        }
        QProcess a, b;
        for (QProcess* p : {&a, &b})
            p->start(QCoreApplication::applicationFilePath(),
                     {mode, where, QString::number(perProcess)});
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
    // The next chip's fields as the code that programs chips writes them,
    // on a copy: 2 KiB device, image bytes 00..3F; CRCs from Python's
    // binascii.crc_hqx(data, 0xFFFF) over the chip as it would be.
    void previewOfTheNextChip_data() {
        Columns<QStringList, qint64, QString>("fields", "serial", "line");
        const QStringList fields{"text=REV-B,at=7E0,length=8", "crc16=0-7FD,at=7FE"};
        QTest::newRow("serial inside the crc")
            << fields << qint64(12345)
            << "Next chip: serial@07F0 = 00 00 30 39, text@07E0 = 52 45 56 2D 42 00 00 00, "
               "crc16@07FE = 50 E4";
        QTest::newRow("serial not known") << fields << qint64(-1)
                                          << "Next chip: serial@07F0 = ?? ?? ?? ??, text@07E0 = 52 "
                                             "45 56 2D 42 00 00 00, crc16@07FE = ?? ??";
        QTest::newRow("past the device")
            << QStringList{"text=REV-B,at=7FC,length=8"} << qint64(1)
            << "Next chip refused: text field: 07FC..0803 lies outside the device";
        QTest::newRow("overlap") << QStringList{"text=REV,at=7EE,length=4"} << qint64(1)
                                 << "Next chip refused: The serial number field 07F0..07F3 and "
                                    "the text field 07EE..07F1 overlap.";
    }
    void previewOfTheNextChip() {
        const auto [lines, serial, line] =
            Row<QStringList, qint64, QString>("fields", "serial", "line");
        AppState image;
        image.DeviceCount = 1;
        image.DeviceTable[1] = DeviceEntry{QStringLiteral("TEST"), 1, 2048};
        image.SelectedDevice = 1;
        for (int i = 0; i < 0x40; ++i)
            image.Buffer[i] = quint8(i);
        image.markDefined(0, 0x40);
        const AppState before = image;
        ChipPreviewSource source;
        source.serial = series("s", 1, 1);
        source.serial->address = 0x7F0;
        if (serial >= 0)
            source.nextSerial = serial;
        QVERIFY(FieldsFromText(lines, &source.fields));
        const ChipPreview preview = PreviewChip(image, source);
        QCOMPARE(preview.line(), line);
        QVERIFY(image.Buffer == before.Buffer && image.defined == before.defined);
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 4 && QByteArray(argv[1]).startsWith("--"))
        return child(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]),
                     QByteArray(argv[3]).toInt());
    TestProductionLog test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_productionlog.moc"
