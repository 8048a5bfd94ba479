// The programming session against the scripted unit and a real SQLite log:
// what each chip receives on the wire, which serial number it holds, what
// its record says, and what the counts make of it. Every front-end runs its
// chips through this, so none of them repeats these cases.
#include "core/crc32.h"
#include "core/hextext.h"
#include "core/usersettings.h"
#include "jobs/productionjob.h"
#include "production/productionlog.h"
#include "session/openlink.h"
#include "session/operatorboard.h"
#include "session/programmingsession.h"
#include "session/runplan.h"
#include "session/sessionhost.h"
#include "session/unitgroup.h"
#include "support/borrowedtransport.h"
#include "support/rows.h"
#include "support/virtualunit.h"
#include "tools/scriptedunit/scriptedtransport.h"

#include <QElapsedTimer>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>
#include <QtTest>

using namespace varn;
using namespace varn::test;

namespace {

constexpr qint32 DeviceBytes = 1024;
constexpr qint64 SerialAt = 0x300; // outside the image's blocks

struct Events : SessionObserver {
    void functionStarted(const FunctionResult& run) override {
        if (onStart)
            onStart(run);
    }
    void functionProgress(const FunctionResult& run, int percent) override {
        if (onProgress)
            onProgress(run, percent);
    }
    void functionFinished(const FunctionResult&) override {}
    void refused(const QString&) override {}
    void chipFinished(const ChipReport&) override { ++finished; }
    int finished = 0;
    std::function<void(const FunctionResult&)> onStart;
    std::function<void(const FunctionResult&, int)> onProgress;
};

struct Rig {
    Rig() {
        image.DeviceTable[1] = {QStringLiteral("Test"), 2, DeviceBytes};
        image.DeviceCount = 1;
        image.SelectedDevice = 1;
        image.AutoCount = 3;
        image.AutoList[1] = FnErase;
        image.AutoList[2] = FnProgram;
        image.AutoList[3] = FnVerify;
        // The image: 0x40 bytes at 0x100.
        for (int i = 0; i < 0x40; ++i)
            image.Buffer[size_t(0x100 + i)] = quint8(i * 5 + 1);
        image.markDefined(0x100, 0x140);

        settings.logLocation = dir.filePath(QStringLiteral("log.sqlite"));
        settings.createLog = true;
        settings.serial.enabled = true;
        settings.serial.name = QStringLiteral("board");
        settings.serial.address = SerialAt;
        settings.serial.length = 4;
        Status created;
        auto log =
            ProductionLog::open(*settings.logLocation, LogOpenOptions{true, {}, false}, &created);
        if (!log || !log->createSeries(settings.serial))
            qFatal("no log");
        session.setSettings(settings);
    }
    // The 16 data bytes of the program frame for block `address`, or empty.
    QByteArray programmed(qint64 address) const {
        for (const QByteArray& f : unit.sent)
            if (f.size() == 21 && f[0] == 0x14 && quint8(f[1]) * 256 + quint8(f[2]) == address)
                return f.mid(5);
        return {};
    }
    QList<ChipRecord> records() {
        Status opened;
        auto log = ProductionLog::open(*settings.logLocation, LogOpenOptions{}, &opened);
        QList<ChipRecord> out;
        if (!log || !log->records(&out))
            qFatal("cannot read the log");
        return out;
    }

    QTemporaryDir dir;
    AppState image;
    ScriptedTransport unit;
    Events events;
    SessionSettings settings;
    ProgrammingSession session{image, events, BorrowedTransport::Factory(unit)};
};

// One 8 KiB device, selected.
AppState EightK() {
    AppState setup;
    setup.DeviceTable[1] = {QStringLiteral("Eight K"), 3, 8192};
    setup.DeviceCount = 1;
    setup.SelectedDevice = 1;
    return setup;
}

// A session host's link to the virtual unit at path.
ProgrammingSession::TransportFactory LinkTo(const QString& path) {
    return [path](const AppState& s, Status* status) {
        return OpenUnitLink(path, s.AppDir, {}, status);
    };
}

QByteArray Serial(quint32 n) {
    QByteArray bytes(4, '\0');
    qToBigEndian(n, bytes.data());
    return bytes;
}

// A job whose every run field differs from a new job's.
ProductionJob RunJob() {
    ProductionJob job;
    job.imageName = QStringLiteral("board.hex");
    job.imageBytes = QByteArrayLiteral(":00000001FF\n");
    job.imageSha256 = Sha256Hex(job.imageBytes);
    job.load = {FileFormat::IntelHex, 0, 0};
    job.deviceName = QStringLiteral("Test");
    job.deviceCode = 2;
    job.deviceSize = DeviceBytes;
    job.functions = {FnAuto};
    job.autoSteps = {FnErase, FnProgram, FnVerify};
    job.units = 2;
    job.onlyImage = job.skipBlank = job.allowPartial = job.serialOverwrite = true;
    job.timeoutMs = 2500;
    job.retries = 3;
    job.expectedCrc32 = 0x1234ABCD;
    job.stopAfterFailures = 3;
    job.serialSeries = QStringLiteral("line-a");
    job.serialAddress = 0x3F0;
    FieldsFromText({QStringLiteral("text=AB,at=3E0")}, &job.fields);
    return job;
}

// A session's run fields as one line, so that a row names the one it expects.
QString RunFields(const SessionSettings& s) {
    const QString serial = s.serial.enabled ? QStringLiteral("%1@%2/%3")
                                                  .arg(s.serial.name)
                                                  .arg(s.serial.address, 0, 16)
                                                  .arg(s.serialOverwrite)
                                            : QStringLiteral("none");
    return QStringLiteral("onlyImage=%1 skipBlank=%2 allowPartial=%3 timeout=%4 retries=%5 "
                          "crc=%6 stop=%7 serial=%8 fields=%9 image=%10 ")
        .arg(s.functions.onlyImage)
        .arg(s.functions.skipBlankBlocks)
        .arg(s.functions.allowPartial)
        .arg(s.functions.replies.timeoutMs)
        .arg(s.functions.replies.retries)
        .arg(s.expectCrc32 ? QString::number(*s.expectCrc32, 16) : QStringLiteral("none"))
        .arg(s.stopAfterFailures)
        .arg(serial, FieldsToText(s.fields).join(';'), s.context.imageFile);
}

struct JobChange {
    const char* name;
    void (*change)(ProductionJob&);
    const char* reaches; // in RunFields
};
const JobChange JobChanges[] = {
    {"only the image", [](ProductionJob& j) { j.onlyImage = false; }, "onlyImage=0 "},
    {"skip blank", [](ProductionJob& j) { j.skipBlank = false; }, "skipBlank=0 "},
    {"allow partial", [](ProductionJob& j) { j.allowPartial = false; }, "allowPartial=0 "},
    {"time-out", [](ProductionJob& j) { j.timeoutMs = 800; }, "timeout=800 "},
    {"retries", [](ProductionJob& j) { j.retries = 5; }, "retries=5 "},
    {"expected CRC-32", [](ProductionJob& j) { j.expectedCrc32 = 0xCAFE; }, "crc=cafe "},
    {"stop rule", [](ProductionJob& j) { j.stopAfterFailures = 7; }, "stop=7 "},
    {"serial address", [](ProductionJob& j) { j.serialAddress = 0x3C0; }, "serial=line-a@3c0/1 "},
    {"serial overwrite", [](ProductionJob& j) { j.serialOverwrite = false; }, "@3f0/0 "},
    // The station's varn.ini names a series: a job without one still gives none.
    {"no serial series",
     [](ProductionJob& j) {
         j.serialSeries.clear();
         j.serialAddress = -1;
         j.serialOverwrite = false;
     },
     "serial=none "},
    {"per-chip fields",
     [](ProductionJob& j) { FieldsFromText({QStringLiteral("crc16=0-1FD,at=3FE")}, &j.fields); },
     "fields=crc16=0000-01FD,at=03FE"},
    {"image name", [](ProductionJob& j) { j.imageName = QStringLiteral("other.hex"); },
     "image=other.hex "},
};

} // namespace

class TestProgrammingSession : public QObject {
    Q_OBJECT

private slots:
    // The serial number goes into that chip's bytes only: the caller's image
    // never holds it, each record's image CRC-32 is the image's own, and the
    // CRC of what went out includes the number.
    void serialNumberInTheChipOnly() {
        Rig rig;
        const AppState before = rig.image;
        for (int chip = 1; chip <= 2; ++chip) {
            const ChipReport report = rig.session.runChip(FnAuto, rig.image);
            QVERIFY2(report.passed(), qPrintable(report.reason));
            QCOMPARE(report.serial, qint64(chip));
            QCOMPARE(rig.unit.memory.mid(SerialAt, 4), Serial(quint32(chip)));
        }
        QVERIFY(rig.image.Buffer == before.Buffer && rig.image.defined == before.defined);
        const QList<ChipRecord> records = rig.records();
        QCOMPARE(records.size(), 2);
        AppState second = rig.image;
        const QByteArray two = Serial(2);
        std::copy(two.begin(), two.end(), second.Buffer.begin() + SerialAt);
        for (const ChipRecord& r : records) {
            QCOMPARE(r.imageCrc32, BufferCrc32(rig.image));
            QVERIFY(r.programBytesSent);
            QCOMPARE(r.serialAddress, SerialAt);
        }
        QCOMPARE(records[1].programmedCrc32, BufferCrc32(second));
    }

    // Chips of one image the front-end shares: each starts from the image
    // again, neither with the last chip's own bytes (a chip without a serial
    // number gets the image's bytes there) nor with what a Read stored.
    void sharedImageChips() {
        Rig rig;
        rig.image.AutoCount = 1;
        rig.image.AutoList[1] = FnProgram;
        const auto shared = std::make_shared<const AppState>(rig.image);
        rig.session.setConfiguration(shared);
        QVERIFY(rig.session.runChip(FnAuto, shared).passed());
        QCOMPARE(rig.programmed(SerialAt).left(4), Serial(1));

        rig.settings.serial.enabled = false;
        rig.session.setSettings(rig.settings);
        rig.unit.sent.clear();
        QVERIFY(rig.session.runChip(FnAuto, shared).passed());
        QCOMPARE(rig.programmed(SerialAt), QByteArray(16, '\xFF'));

        rig.unit.memory.fill('\0');
        QVERIFY(rig.session.runChip(FnRead, shared).passed());
        rig.unit.memory.fill('\xFF');
        rig.unit.sent.clear();
        rig.session.setConfiguration(shared);
        QVERIFY(rig.session.runChip(FnAuto, shared).passed());
        QCOMPARE(rig.programmed(0x100),
                 QByteArray(reinterpret_cast<const char*>(shared->Buffer.data()) + 0x100, 16));
    }

    // With Only the Image, the serial field's block is programmed and
    // verified like the image's own blocks.
    void onlyImageProgramsTheSerialField() {
        Rig rig;
        rig.settings.functions.onlyImage = true;
        rig.session.setSettings(rig.settings);
        QVERIFY(rig.session.runChip(FnAuto, rig.image).passed());
        QCOMPARE(rig.programmed(SerialAt), Serial(1) + QByteArray(12, '\xFF'));
        QVERIFY(rig.programmed(0x100) != QByteArray());
        QCOMPARE(rig.programmed(0x200), QByteArray()); // neither image nor field
        QCOMPARE(rig.unit.memory.mid(SerialAt, 4), Serial(1));
        // Verify asks for the field's block too (one byte is judged per request).
        QVERIFY(rig.unit.sent.contains(QByteArray::fromHex("0403000001")));
        QVERIFY(!rig.unit.sent.contains(QByteArray::fromHex("0402000001")));
    }

    // The chip's own fields, with Only the Image: in the unit's memory after
    // Verify, in the record; with data = bytes((i * 5 + 1) & 0xFF for i in
    // range(0x40)) + MAC.to_bytes(6, 'big'), the CRC-16 is Python 3's
    // binascii.crc_hqx(data, 0xFFFF) and the CRC-32, listed before the CRC-16
    // it covers, zlib.crc32(data + CRC-16) as struct.pack('<I', crc) lays it
    // out (order=lsb). A used-up pool refuses the next chip before any block
    // is sent.
    void chipFieldsOnTheWireAndInTheRecord() {
        Rig rig;
        {
            Status opened;
            auto log = ProductionLog::open(*rig.settings.logLocation, {}, &opened);
            QVERIFY(log && log->createPool({QStringLiteral("mac"), 0x12340000A1, 0x12340000A2, 1}));
        }
        QVERIFY(FieldsFromText({"pool=mac,at=140,length=6", "crc32=100-147,at=148,order=lsb",
                                "time=yyMMdd,at=150,encoding=bcd", "lot,at=160,length=4",
                                "crc16=100-145,at=146"},
                               &rig.settings.fields));
        rig.settings.functions.onlyImage = true;
        rig.settings.context.fields.lot = QStringLiteral("L42");
        rig.session.setSettings(rig.settings);
        const QStringList macs{"0012340000A1", "0012340000A2"},
            crcs{"8A6DE01CF50D", "BA0EA8A44E04"};
        for (int chip = 0; chip < 2; ++chip) {
            const ChipReport report = rig.session.runChip(FnAuto, rig.image);
            QVERIFY2(report.passed(), qPrintable(report.reason));
            QCOMPARE(rig.unit.memory.mid(0x140, 6).toHex().toUpper(), macs[chip].toLatin1());
            QCOMPARE(rig.unit.memory.mid(0x146, 6).toHex().toUpper(), crcs[chip].toLatin1());
            QCOMPARE(rig.unit.memory.mid(0x160, 4), QByteArray("L42\0", 4));
            QCOMPARE(rig.unit.memory.mid(SerialAt, 4), Serial(quint32(chip + 1)));
        }
        const int programFrames = int(rig.unit.sent.size());
        const ChipReport third = rig.session.runChip(FnAuto, rig.image);
        QCOMPARE(third.verdict, ChipReport::Verdict::None);
        QCOMPARE(third.stage, ChipReport::Stage::Serial);
        VERIFY_CONTAINS(third.reason, "used up");
        // The unit was identified for it: only the chip was spared.
        VERIFY_CONTAINS(third.reason, "\nNo block was sent to the chip.");
        QCOMPARE(rig.unit.sent.size(), programFrames);
        const QList<ChipRecord> records = rig.records();
        QCOMPARE(records.size(), 3);
        for (int chip = 0; chip < 2; ++chip) {
            VERIFY_CONTAINS(records[chip].chipFields, "pool:mac@0140=" + macs[chip]);
            VERIFY_CONTAINS(records[chip].chipFields, "crc32@0148=" + crcs[chip].mid(4));
            VERIFY_CONTAINS(records[chip].chipFields, "crc16@0146=" + crcs[chip].left(4));
            const QString date =
                records[chip].time.toLocalTime().toString(QStringLiteral("yyMMdd"));
            VERIFY_CONTAINS(records[chip].chipFields, "time@0150=" + date);
        }
        QCOMPARE(records[2].failedStep, QStringLiteral("Per-chip fields"));
        QVERIFY(!records[2].programBytesSent);
        // Its serial number went back: the next chip gets it.
        QCOMPARE(rig.session.nextSerial(), qint64(3));
    }

    // A number is spent once a block carrying it has gone out; only a chip
    // that received no program byte gives its number to the next one.
    void spentNumbers_data() {
        // fault: the reply-bearing request after the blank check's 64 that
        // gets no answer (0: none; program blocks come first, then verify's);
        // notBlank: the first chip is not blank, so Auto stops before Program.
        Columns<int, bool, bool, qint64>("fault", "notBlank", "spent", "nextSerial");
        QTest::newRow("verify reply lost after program") << 64 + 3 << false << true << qint64(2);
        QTest::newRow("first program block unanswered") << 1 << false << true << qint64(2);
        QTest::newRow("blank check fails before program") << 0 << true << false << qint64(1);
    }
    void spentNumbers() {
        const auto [fault, notBlank, spent, nextSerial] =
            Row<int, bool, bool, qint64>("fault", "notBlank", "spent", "nextSerial");
        Rig rig;
        rig.image.AutoCount = 3;
        rig.image.AutoList[1] = FnBlank;
        rig.image.AutoList[2] = FnProgram;
        rig.image.AutoList[3] = FnVerify;
        if (notBlank)
            rig.unit.memory[5] = 0;
        if (fault) {
            rig.settings.functions.replies.retries = 0;
            rig.session.setSettings(rig.settings);
            // Request 1 is the identification.
            rig.unit.dropReply(1 + 64 + fault);
        }
        const ChipReport first = rig.session.runChip(FnAuto, rig.image);
        QCOMPARE(first.verdict, ChipReport::Verdict::Fail);
        QCOMPARE(first.serial, qint64(1));
        QCOMPARE(first.record.programBytesSent, spent);
        rig.unit.memory.fill('\xFF');
        const ChipReport second = rig.session.runChip(FnAuto, rig.image);
        QVERIFY2(second.passed(), qPrintable(second.reason));
        QCOMPARE(second.serial, nextSerial);
        const QList<ChipRecord> records = rig.records();
        QCOMPARE(records.size(), 2);
        QCOMPARE(records[0].serial, qint64(1));
    }

    // A chip that lost a reply leaves the unit in doubt: where the front-end
    // asks for it (varn-cli, operator mode), the next chip identifies the
    // unit afresh; a window whose user reconnects does not.
    void faultedChipIdentifiesAfresh_data() {
        Columns<bool, int>("reconnect", "identifications");
        QTest::newRow("left to the user") << false << 1;
        QTest::newRow("identified again") << true << 2;
    }
    void faultedChipIdentifiesAfresh() {
        const auto [reconnect, identifications] = Row<bool, int>("reconnect", "identifications");
        Rig rig;
        rig.settings.functions.replies.retries = 0;
        rig.settings.reconnectAfterFault = reconnect;
        rig.session.setSettings(rig.settings);
        rig.unit.dropReply(2); // the first program block's
        QCOMPARE(rig.session.runChip(FnAuto, rig.image).result.outcome,
                 Outcome::CommunicationFailure);
        QVERIFY(rig.session.runChip(FnAuto, rig.image).passed());
        QVERIFY(rig.session.runChip(FnAuto, rig.image).passed());
        QCOMPARE(rig.unit.sent.count(rig.unit.sent.front()), identifications);
    }

    // A stop while Erase runs (a command that no block boundary ends) ends
    // the chip before Program: no block goes out, and the record says the
    // chip was stopped, not that it passed.
    void stopBetweenFunctions_data() {
        Columns<QList<int>>("functions");
        QTest::newRow("auto.cfg") << QList<int>{FnAuto};
        QTest::newRow("named together") << QList<int>{FnErase, FnProgram, FnVerify};
    }
    void stopBetweenFunctions() {
        const auto [functions] = Row<QList<int>>("functions");
        Rig rig;
        rig.events.onStart = [&](const FunctionResult& run) {
            if (run.function == FnErase)
                rig.session.stop();
        };
        const ChipReport report = rig.session.runChip(functions, rig.image);
        QCOMPARE(report.verdict, ChipReport::Verdict::Stopped);
        QVERIFY(rig.programmed(0x100).isEmpty());
        const QList<ChipRecord> records = rig.records();
        QCOMPARE(records.size(), 1);
        QVERIFY(!records[0].passed);
        QCOMPARE(records[0].failure, ChipRecord::Failure::Stopped);
    }

    // The record exists, open, before the first byte reaches the unit; a
    // stopped chip's record says so and where. A stop that comes before the
    // next chip began sends nothing, yet finishes that chip too: front-ends
    // wait for every chip they started.
    void recordOpenBeforeFirstByteAndStopped() {
        Rig rig;
        int openWhenStarted = -1;
        qint64 serialWhenStarted = -1;
        rig.events.onStart = [&](const FunctionResult& run) {
            if (run.autoStep != 0)
                return;
            int open = 0;
            for (const ChipRecord& r : rig.records()) {
                open += r.interrupted() ? 1 : 0;
                serialWhenStarted = r.serial;
            }
            openWhenStarted = open;
        };
        // Halfway, the record reads what a kill -9 there would leave: marked
        // once a second, it says the chip got program bytes, and how far.
        bool waited = false;
        ChipRecord cut;
        rig.events.onProgress = [&](const FunctionResult& run, int percent) {
            if (run.function != FnProgram)
                return;
            if (percent >= 25 && !std::exchange(waited, true))
                QTest::qSleep(1100);
            if (percent >= 50 && !rig.session.stopRequested()) {
                cut = rig.records().value(0);
                rig.session.stop();
            }
        };
        const ChipReport report = rig.session.runChip(FnAuto, rig.image);
        QVERIFY(cut.interrupted());
        QVERIFY(cut.programBytesSent);
        QCOMPARE(cut.functions, QStringList({"Erase", "Program"}));
        QCOMPARE(cut.failureAddress, qint64(17 * 16)); // the first progress past the second
        QVERIFY2(cut.durationMs >= 1100, qPrintable(QString::number(cut.durationMs)));
        QCOMPARE(openWhenStarted, 1);
        QCOMPARE(serialWhenStarted, qint64(1)); // an interrupted chip's record names its number
        QCOMPARE(report.verdict, ChipReport::Verdict::Stopped);
        const QList<ChipRecord> records = rig.records();
        QCOMPARE(records.size(), 1);
        QVERIFY(!records[0].interrupted());
        QCOMPARE(records[0].failure, ChipRecord::Failure::Stopped);
        QCOMPARE(records[0].failureAddress, qint64(32 * 16));
        // A stopped chip counts, but not as a failure in a row.
        QCOMPARE(rig.session.counts().chips, 1);
        QCOMPARE(rig.session.counts().failuresInRow, 0);
        const qsizetype sent = rig.unit.sent.size();
        rig.session.stop();
        const ChipReport early = rig.session.runChip(FnAuto, rig.image);
        QCOMPARE(early.verdict, ChipReport::Verdict::None);
        QCOMPARE(rig.events.finished, 2);
        QCOMPARE(rig.unit.sent.size(), sent);
    }

    // Checks before anything is sent: nothing reaches the unit, the refusal
    // is recorded, and the round does not count towards the yield.
    void refusedBeforeAnythingIsSent_data() {
        // outside: an image byte past the device (-1: none)
        Columns<qint64, bool, quint32, qint64, int, QString>("serialAt", "overwrite", "expectCrc",
                                                             "outside", "function", "says");
        QTest::newRow("field over image bytes")
            << qint64(0x13E) << false << 0u << qint64(-1) << int(FnAuto) << "covers";
        QTest::newRow("field past the device")
            << qint64(DeviceBytes - 2) << false << 0u << qint64(-1) << int(FnAuto) << "";
        QTest::newRow("wrong image")
            << SerialAt << false << 1u << qint64(-1) << int(FnAuto) << "expected 00000001";
        QTest::newRow("image past the device, Auto programs")
            << SerialAt << false << 0u << qint64(0x10000) << int(FnAuto)
            << "The image holds 1 byte outside the device (10000), which is 1,024 bytes long: the "
               "chip cannot";
        QTest::newRow("image past the device, CRC-32 check")
            << SerialAt << false << 1u << qint64(0x400) << int(FnErase)
            << "(0400), which is 1,024 bytes long: its CRC-32 covers only the device's part";
    }
    void refusedBeforeAnythingIsSent() {
        const auto [serialAt, overwrite, expectCrc, outside, function, says] =
            Row<qint64, bool, quint32, qint64, int, QString>("serialAt", "overwrite", "expectCrc",
                                                             "outside", "function", "says");
        Rig rig;
        rig.settings.serial.address = serialAt;
        rig.settings.serialOverwrite = overwrite;
        if (expectCrc)
            rig.settings.expectCrc32 = expectCrc;
        rig.session.setSettings(rig.settings);
        rig.image.markDefined(outside, outside + 1);
        const ChipReport report = rig.session.runChip(function, rig.image);
        QCOMPARE(report.verdict, ChipReport::Verdict::None);
        QCOMPARE(report.stage, ChipReport::Stage::Image);
        VERIFY_CONTAINS(report.reason, says);
        QCOMPARE(rig.unit.sent.size(), 0);
        QCOMPARE(rig.session.counts().chips, 0);
        const QList<ChipRecord> records = rig.records();
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0].failure, ChipRecord::Failure::Refused);
        QCOMPARE(records[0].serial, qint64(-1));
        QCOMPARE(records[0].outsideDevice, outside < 0 ? QString() : HexWord(qint32(outside)));
    }

    // Several units, round after round: the board is last shown with every
    // unit free again, so a window that draws its buttons from it never
    // stays as if still running.
    void groupShownIdleAfterEachRound() {
        VirtualUnit first, second;
        QVERIFY2(first.start() && second.start(), qPrintable(first.error() + second.error()));
        AppState setup;
        setup.DeviceTable[1] = {QStringLiteral("Small"), 1, 64};
        setup.DeviceCount = 1;
        setup.SelectedDevice = 1;
        RunPlan blank;
        blank.functions = {FnBlank};
        UnitGroup group(setup, {first.path(), second.path()});
        group.prepare(setup, blank);
        QTRY_VERIFY_WITH_TIMEOUT(!group.busy(), 10000);
        for (int round = 0; round < 20; ++round) {
            // Waits as a window does, woken at once by each event.
            QEventLoop loop;
            bool shownIdle = false;
            // As the operator window decides whether a round is over.
            const auto shown = connect(&group, &UnitGroup::changed, &loop, [&] {
                if (!group.busy() && !group.board().anyRunning()) {
                    shownIdle = true;
                    loop.quit();
                }
            });
            QTimer::singleShot(10000, &loop, &QEventLoop::quit);
            QVERIFY(group.start(std::make_shared<const AppState>(setup), false));
            loop.exec();
            disconnect(shown);
            QVERIFY2(shownIdle, qPrintable(QStringLiteral("round %1").arg(round)));
            for (int unit = 0; unit < 2; ++unit)
                QCOMPARE(group.board().tile(unit).state, UnitTile::State::Pass);
        }
    }

    // A log that cannot be opened keeps every unit of the group offline,
    // with the reason and no retry, and nothing goes to any unit.
    void groupWithoutItsLog() {
        VirtualUnit first, second;
        QVERIFY2(first.start() && second.start(), qPrintable(first.error() + second.error()));
        QTemporaryDir dir;
        AppState setup;
        setup.DeviceTable[1] = {QStringLiteral("Small"), 1, 64};
        setup.DeviceCount = 1;
        setup.SelectedDevice = 1;
        RunPlan plan;
        plan.functions = {FnBlank};
        plan.logLocation = dir.filePath(QStringLiteral("typo.sqlite"));
        UnitGroup group(setup, {first.path(), second.path()});
        group.prepare(setup, plan);
        QTRY_VERIFY_WITH_TIMEOUT(!group.busy(), 10000);
        for (int unit = 0; unit < 2; ++unit) {
            const UnitTile& tile = group.board().tile(unit);
            QCOMPARE(tile.state, UnitTile::State::Offline);
            QVERIFY(!tile.lineDown);
            VERIFY_CONTAINS(tile.reason, "Nothing is sent to this unit without the log.");
        }
        QVERIFY(!group.start(std::make_shared<const AppState>(setup), false));
        QCOMPARE(first.frames().size() + second.frames().size(), 0);
    }

    // Retired while its chips run, the group stops them and goes only once
    // they are over: the host lent to it is idle by then, and the caller
    // never waited.
    void groupRetiredOnceFree() {
        // The lent unit answers late: it is the last to be free.
        VirtualUnit first({QStringLiteral("--reply-delay"), QStringLiteral("300")}), second;
        QVERIFY2(first.start() && second.start(), qPrintable(first.error() + second.error()));
        const AppState setup = EightK();
        const QString path = first.path();
        SessionHost lent(setup, LinkTo(path));
        QPointer<UnitGroup> group = new UnitGroup(setup, {path, second.path()}, {}, &lent, path);
        RunPlan program;
        program.functions = {FnProgram};
        group->prepare(setup, program);
        QTRY_VERIFY_WITH_TIMEOUT(!group->busy(), 10000);
        const qsizetype before = first.frames().size();
        QVERIFY(group->start(std::make_shared<const AppState>(setup), false));
        // Under way on the lent unit, not only asked for.
        QVERIFY(first.waitForFrames(int(before) + 1));
        bool lentBusyAtEnd = true;
        connect(group, &QObject::destroyed, this, [&] { lentBusyAtEnd = lent.busy(); });
        group->retire();
        QVERIFY(group && lent.busy());
        QTRY_VERIFY_WITH_TIMEOUT(!group, 10000);
        QVERIFY(!lentBusyAtEnd);
    }

    // A host let go while its chip waits for the unit: the chip ends as a
    // stopped one (the write the unit opened is closed) before the session
    // goes, never under it.
    void hostDeletedWhileBusy() {
        VirtualUnit unit({QStringLiteral("--reply-delay"), QStringLiteral("100")});
        QVERIFY2(unit.start(), qPrintable(unit.error()));
        const AppState setup = EightK();
        const QString path = unit.path();
        auto host = std::make_unique<SessionHost>(setup, LinkTo(path));
        QVERIFY(host->post([setup](ProgrammingSession& session) {
            session.connectUnit();
            session.runChip(FnProgram, setup);
        }));
        const auto isBlock = [](const QByteArray& f) { return f.size() == 21 && f[0] == 0x14; };
        const auto blocks = [&] {
            const QList<QByteArray> frames = unit.frames();
            return std::count_if(frames.begin(), frames.end(), isBlock);
        };
        QTRY_VERIFY_WITH_TIMEOUT(blocks() >= 2, 10000);
        host.reset();
        QVERIFY(blocks() < 8192 / 16);
        const QList<QByteArray> frames = unit.frames();
        const qsizetype opened =
            std::find_if(frames.begin(), frames.end(), isBlock) - frames.begin();
        QCOMPARE(frames.last(), frames.value(opened - 1));
    }

    // A host stays busy until its task's end is heard on the caller's
    // thread, and a done follows its own task only: else a post made in
    // between takes the earlier end for its own, and a round is shown over
    // while its chips still run.
    void postEndHeardBeforeTheNext() {
        SessionHost host(EightK(), LinkTo(QStringLiteral("unused")));
        std::atomic<bool> ran{false};
        QSemaphore held;
        int firstDone = 0, secondDone = 0;
        QVERIFY(host.post([&](ProgrammingSession&) { ran = true; }, this, [&] { ++firstDone; }));
        while (!ran)
            QThread::msleep(1);
        QThread::msleep(50); // over on its thread, its end not heard here yet
        QVERIFY(host.busy());
        const bool second =
            host.post([&](ProgrammingSession&) { held.acquire(); }, this, [&] { ++secondDone; });
        QTRY_COMPARE(firstDone, 1);
        QCOMPARE(secondDone, 0);
        held.release();
        if (second)
            QTRY_COMPARE(secondDone, 1);
        QTRY_VERIFY(!host.busy());
    }

    // On its host's thread a Program at the real line rate leaves the
    // caller's thread free: its timer keeps firing throughout. (Stop through
    // the host is what the windows' tests press.)
    void hostKeepsTheCallerResponsive() {
        VirtualUnit unit({QStringLiteral("--baud-emulation")});
        QVERIFY2(unit.start(), qPrintable(unit.error()));
        const AppState setup = EightK();
        const QString path = unit.path();
        SessionHost host(setup, LinkTo(path));
        QElapsedTimer clock;
        qint64 last = 0, longestGap = 0;
        int ticks = 0;
        QTimer timer;
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            longestGap = std::max(longestGap, clock.elapsed() - last);
            last = clock.elapsed();
            ++ticks;
        });
        ChipReport report;
        QObject::connect(&host, &SessionHost::chipFinished,
                         [&](const ChipReport& r) { report = r; });
        QSignalSpy done(&host, &SessionHost::finished);
        clock.start();
        timer.start();
        QVERIFY(host.post([&setup](ProgrammingSession& s) { s.runChip(FnProgram, setup); }));
        QVERIFY(!host.post([](ProgrammingSession&) {})); // one run at a time
        QVERIFY(done.wait(20000));
        timer.stop();
        QVERIFY2(report.passed(), qPrintable(report.reason));
        // 512 blocks of 21 bytes take more than 1.8 s on the line.
        QVERIFY(clock.elapsed() > 1800);
        QVERIFY2(ticks > clock.elapsed() / 20 / 2,
                 qPrintable(QStringLiteral("%1 ticks in %2 ms").arg(ticks).arg(clock.elapsed())));
        QVERIFY2(longestGap < 500, qPrintable(QString::number(longestGap)));
    }

    // A job's run goes through the run plan whole: back into a job unchanged,
    // and into the session's settings over a station whose varn.ini sets its
    // own log, series, fields and options (the job's win; the log stays).
    void jobRunReachesTheSession_data() {
        Columns<int>("change");
        for (int i = 0; i < int(std::size(JobChanges)); ++i)
            QTest::newRow(JobChanges[i].name) << i;
    }
    void jobRunReachesTheSession() {
        auto [index] = Row<int>("change");
        const JobChange& change = JobChanges[index];
        QTemporaryDir dir;
        AppState state;
        state.AppDir = dir.path();
        UserSettings ini(state);
        ini.setValue("log/enabled", true);
        ini.setValue("serial/enabled", true);
        ini.setValue("serial/series", "station");
        ini.setValue("serial/address", 0x100);
        ini.setValue("fields/list", QStringList{"text=ST,at=200"});
        QVERIFY(ini.sync());
        ProductionJob job = RunJob();
        const LineFields shift{{}, "Ann", "L7", {}, {}};
        const QString before =
            RunFields(PlanSessionSettings(OperatorRunPlan(state, job, {}, shift)));
        change.change(job);

        RunPlan plan;
        ApplyJobToPlan(job, plan);
        ProductionJob again; // the image part only: the plan gives the rest
        again.imageName = job.imageName;
        again.imageBytes = job.imageBytes;
        again.imageSha256 = job.imageSha256;
        again.load = job.load;
        again.deviceName = job.deviceName;
        again.deviceCode = job.deviceCode;
        again.deviceSize = job.deviceSize;
        PlanIntoJob(plan, again);
        QCOMPARE(QString(JobToJson(again)), QString(JobToJson(job)));

        const SessionSettings settings =
            PlanSessionSettings(OperatorRunPlan(state, job, {}, shift));
        QVERIFY(settings.logLocation);
        VERIFY_CONTAINS(RunFields(settings), change.reaches);
        QVERIFY2(!before.contains(change.reaches), qPrintable(before));
    }

    // The ports a desktop station runs a job's units on: varn.ini's list,
    // or the program's own port for a job of one unit; refused (empty)
    // when the count is not the job's or a port is named twice.
    void stationPorts_data() {
        Columns<QString, int, QString>("named", "units", "ports");
        QTest::newRow("own port") << "" << 1 << "COM3";
        QTest::newRow("two named") << " 1, /dev/ttyUSB0 " << 2 << "COM1 /dev/ttyUSB0";
        QTest::newRow("quoted") << "\"1,2\"" << 2 << "COM1 COM2";
        QTest::newRow("one too few") << "1" << 2 << "";
        QTest::newRow("one too many") << "1,2,3" << 2 << "";
        QTest::newRow("none for two") << "" << 2 << "";
        QTest::newRow("twice") << "1,1" << 2 << "";
    }
    void stationPorts() {
        auto [named, units, expected] = Row<QString, int, QString>("named", "units", "ports");
        QTemporaryDir dir;
        AppState state;
        state.AppDir = dir.path();
        // As a user writes varn.ini: ports=1, 2 without quotes.
        QFile file(dir.filePath("varn.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[production]\nports=" + named.toUtf8() + "\n");
        file.close();
        UserSettings ini(state);
        QStringList ports;
        const Status status = StationPorts(ini, units, "3", &ports);
        QCOMPARE(bool(status), !expected.isEmpty());
        QStringList labels;
        for (const QString& port : ports)
            labels << PortLabel(port);
        QCOMPARE(labels.join(' '), expected);
        if (!status)
            VERIFY_CONTAINS(status.message, "production/ports");
    }
};

QTEST_GUILESS_MAIN(TestProgrammingSession)
#include "tst_programmingsession.moc"
