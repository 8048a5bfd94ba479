// The job file: every field survives writing and reading, a field out of its
// range is named rather than taken, and a job edited by hand is refused.

#include "jobs/productionjob.h"
#include "support/rows.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using namespace varn;

namespace {

ProductionJob fullJob() {
    ProductionJob job;
    job.imageName = QStringLiteral("board.s19");
    job.imageBytes = QByteArray("S1130000\xff\x00 bytes", 16);
    job.imageSha256 = Sha256Hex(job.imageBytes);
    job.load = {FileFormat::SRecord, 0x100, 0x20, 0x8000000};
    job.expectedCrc32 = 0x80000001u;
    job.deviceName = QStringLiteral("Big, 8K");
    job.deviceCode = 159;
    job.deviceSize = 8192;
    job.functions = {FnAuto};
    job.autoSteps = {FnErase, FnBlank, FnProgram, FnVerify, FnLock};
    job.onlyImage = job.skipBlank = job.allowPartial = job.serialOverwrite = true;
    job.timeoutMs = 60000;
    job.retries = 10;
    job.serialSeries = QStringLiteral("line-a");
    job.serialAddress = 0x1FF0;
    job.units = 8;
    job.stopAfterFailures = 3;
    FieldsFromText({"pool=mac,at=1F00,length=6", "crc16=0-1EFF,at=1FFE"}, &job.fields);
    return job;
}

} // namespace

class TestProductionJob : public QObject {
    Q_OBJECT
private slots:
    void everyFieldReadsBack() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("j.varnjob"));
        ProductionJob in = fullJob(), out;
        QVERIFY(WriteJobFile(path, in));
        QVERIFY(ReadJobFile(path, &out));
        QCOMPARE(JobToJson(out), JobToJson(in));
        QCOMPARE(out.imageBytes, in.imageBytes);
        QCOMPARE(out.load.relocate, in.load.relocate);
        QCOMPARE(out.autoSteps, in.autoSteps);
        QCOMPARE(out.serialAddress, in.serialAddress);
        QCOMPARE(FieldsToText(out.fields).size(), 2);
        // Without fields a job stays at version 1, which earlier programs read.
        in.fields.clear();
        QCOMPARE(QJsonDocument::fromJson(JobToJson(in))["version"].toInt(), 1);
        in.imageBytes.clear();
        in.imagePath = QStringLiteral("../images/board.s19");
        QVERIFY(JobFromJson(JobToJson(in), &out));
        QCOMPARE(out.imagePath, in.imagePath);
        QVERIFY(!out.embedded());
    }

    void faultyFieldNamed_data() {
        test::Columns<QString, QJsonValue, QString>("field", "value", "message");
        QTest::newRow("newer") << "version" << QJsonValue(3) << "reads version 1 to 2";
        QTest::newRow("field") << "fields" << QJsonValue(QJsonArray{"crc16=0-1F,at=10"})
                               << "fields: field \"crc16=0-1F,at=10\": crc16 field: the range";
        QTest::newRow("crcs over each other")
            << "fields" << QJsonValue(QJsonArray{"crc16=10-1F,at=0", "crc16=0-F,at=10"})
            << "fields: The crc16 field at 0000 (over 0010-001F) covers the crc16 field at 0010";
        QTest::newRow("time-out 0") << "timeoutMs" << QJsonValue(0) << "timeoutMs: a whole";
        QTest::newRow("units 65") << "units" << QJsonValue(65)
                                  << "units: a whole number from 1 to 64";
        QTest::newRow("fraction") << "retries" << QJsonValue(1.5) << "retries: a whole";
        QTest::newRow("auto and more")
            << "functions" << QJsonValue(QJsonArray{"auto", "erase"}) << "\"auto\" alone";
        QTest::newRow("unknown function")
            << "functions" << QJsonValue(QJsonArray{"burn"}) << "\"burn\" is not a device function";
        QTest::newRow("read as step")
            << "autoSteps" << QJsonValue(QJsonArray{"compare"}) << "not a step of Auto";
        QTest::newRow("serial address")
            << "serial" << QJsonValue(QJsonObject{{"series", "s"}}) << "serial.address";
    }
    void faultyFieldNamed() {
        auto [field, value, message] =
            test::Row<QString, QJsonValue, QString>("field", "value", "message");
        QJsonObject root = QJsonDocument::fromJson(JobToJson(fullJob())).object();
        root[field] = value;
        root["digest"] = JobDigest(root); // as if made so: the field's own check answers
        ProductionJob job;
        const Status read = JobFromJson(QJsonDocument(root).toJson(), &job);
        QVERIFY(!read);
        VERIFY_CONTAINS(read.message, message);
    }

    // Every field is under the digest: one edited by hand refuses the job,
    // whatever the field; a job laid out anew still reads.
    void editedJobRefused_data() {
        test::Columns<QString, QJsonValue, QString>("field", "value", "message");
        const QString changed = "the job was changed since it was made";
        QTest::newRow("as made, laid out anew") << "" << QJsonValue() << "";
        QTest::newRow("serial address") << "serial.address" << QJsonValue("1FF4") << changed;
        QTest::newRow("time-out") << "timeoutMs" << QJsonValue(2000) << changed;
        QTest::newRow("image name") << "image.name" << QJsonValue("other.s19") << changed;
        QTest::newRow("hook added") << "beforeChip" << QJsonValue("exit 0") << changed;
        QTest::newRow("field list")
            << "fields" << QJsonValue(QJsonArray{"pool=mac,at=1F00,length=6"}) << changed;
        QTest::newRow("stop rule") << "stopAfterFailures" << QJsonValue(0) << changed;
        QTest::newRow("device size") << "device.size" << QJsonValue(4096) << changed;
        QTest::newRow("made before digests")
            << "digest" << QJsonValue(QJsonValue::Undefined) << "carries no digest";
    }
    void editedJobRefused() {
        auto [field, value, message] =
            test::Row<QString, QJsonValue, QString>("field", "value", "message");
        QJsonObject root = QJsonDocument::fromJson(JobToJson(fullJob())).object();
        const QStringList path = field.split('.');
        if (path.size() == 2) {
            QJsonObject part = root[path[0]].toObject();
            part[path[1]] = value;
            root[path[0]] = part;
        } else if (value.isUndefined()) {
            root.remove(field);
        } else if (!field.isEmpty()) {
            root[field] = value;
        }
        ProductionJob job;
        const Status read = JobFromJson(QJsonDocument(root).toJson(QJsonDocument::Compact), &job);
        QCOMPARE(bool(read), message.isEmpty());
        if (!message.isEmpty())
            VERIFY_CONTAINS(read.message, message);
    }
};

QTEST_GUILESS_MAIN(TestProductionJob)
#include "tst_productionjob.moc"
