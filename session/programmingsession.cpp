#include "programmingsession.h"

#include "runplan.h"

#include "core/crc32.h"
#include "core/devicebounds.h"
#include "core/hextext.h"
#include "functions/functiontable.h"
#include "functions/functiontext.h"
#include "production/productionlog.h"

#include <QCryptographicHash>
#include <algorithm>
#include <utility>

namespace varn {

namespace {

// What is still on its way when a line comes back: the rest of a reply cut
// off, or what a terminal server held for the line meanwhile.
constexpr int StaleReplyMs = 100;

// How often an open record is brought up to date while its chip runs: often
// enough that a chip cut off (kill -9, a power cut) leaves a record that says
// what reached it, seldom enough that a durable write costs the run nothing.
constexpr qint64 MarkEveryMs = 1000;

QString Sha256Text(const AppState& state) {
    const qint32 size = qBound(0, state.DeviceSize(), BufferSize);
    return QString::fromLatin1(QCryptographicHash::hash(QByteArrayView(state.Buffer.data(), size),
                                                        QCryptographicHash::Sha256)
                                   .toHex());
}

// What a chip gets besides the image: the serial field, marked as part of
// what is programmed so that Only the Image sends and verifies its blocks.
Status WriteSerialField(AppState& chip, const SerialSettings& serial, qint64 number) {
    if (const Status written = WriteSerial(chip, serial, number); !written)
        return written;
    chip.markDefined(serial.address, serial.address + serial.length);
    return Status::Ok();
}

// Whether any of the functions programs the chip (and so needs its number).
bool AnyPrograms(const AppState& state, const QList<int>& functions) {
    for (const int function : functions) {
        if (RunPrograms(state, function))
            return true;
    }
    return false;
}

// Whether the function (or one of Auto's steps) stores what it reads.
bool ReadsIntoUnit(const AppState& state, int code) {
    if (code != FnAuto)
        return FunctionHas(code, ReadsIntoBuffer);
    for (int i = 1; i <= qMin(int(state.AutoCount), MaxAutoCount); ++i)
        if (state.AutoList[i] != FnAuto && FunctionHas(state.AutoList[i], ReadsIntoBuffer))
            return true;
    return false;
}

} // namespace

ProgrammingSession::ProgrammingSession(const AppState& setup, SessionObserver& observer,
                                       TransportFactory open)
    : unit(setup), observer(observer), openLink(std::move(open)) {
    unit.UnitIdentified = false;
}

ProgrammingSession::~ProgrammingSession() {
    // The engine refers to the link.
    engine.reset();
    transport.reset();
}

void ProgrammingSession::setSettings(const SessionSettings& settings) {
    const bool logChanged = settings.logLocation != current.logLocation;
    const SerialSettings loaded = current.serial;
    current = settings;
    // The series' definition the log gave (openLog) holds while the log and
    // the series stay.
    if (!logChanged && log && !loaded.name.isEmpty() && loaded.name == current.serial.name) {
        const qint64 address = current.serial.address;
        const bool enabled = current.serial.enabled;
        current.serial = loaded;
        current.serial.address = address;
        current.serial.enabled = enabled;
    }
    // The unit's own word on its name and version.
    if (!identity.isEmpty())
        current.context.setUnit(identity);
    if (logChanged)
        log.reset();
    if (engine)
        engine->setOptions(current.functions);
}

void ProgrammingSession::setConfiguration(const AppState& setup) {
    takeImage(setup);
    heldImage.reset();
}

void ProgrammingSession::setConfiguration(const std::shared_ptr<const AppState>& setup) {
    if (setup == heldImage)
        return;
    takeImage(*setup);
    heldImage = setup;
}

void ProgrammingSession::takeImage(const AppState& image) {
    const bool identifiedNow = unit.UnitIdentified;
    const bool inResetNow = unit.unitInReset;
    unit = image;
    unit.UnitIdentified = identifiedNow;
    unit.unitInReset = inResetNow;
    ownBytes.clear();
}

void ProgrammingSession::noteOwnBytes(qint64 begin, qint64 end) {
    begin = std::clamp<qint64>(begin, 0, BufferSize);
    end = std::clamp<qint64>(end, begin, BufferSize);
    if (end > begin)
        ownBytes.append({begin, end});
}

Status ProgrammingSession::connectUnit() {
    if (triedConnect)
        return connected;
    triedConnect = true;
    prepared = false;
    engine.reset();
    transport.reset();
    unit.UnitIdentified = false;
    Status status;
    transport = openLink(unit, &status);
    portOpen = transport && status;
    if (!portOpen) {
        faultSinceConnect = true;
        connected = Status::Fail(status.message);
        return connected;
    }
    if (std::exchange(dropStale, false)) {
        // None of that answers the identification.
        transport->pause(StaleReplyMs);
        transport->takeAll();
    }
    engine = std::make_unique<DeviceFunctions>(unit, *transport, marks);
    engine->setOptions(current.functions);
    engine->setStopFlag(&stopFlag);
    const Identification id = IdentifyUnit(unit, *transport);
    faultSinceConnect = !id.ok;
    if (!id.ok) {
        connected = Status::Fail(transport->isOpen()
                                     ? QStringLiteral("The programmer unit did not answer the "
                                                      "identification.")
                                     : transport->notConnectedReason());
        return connected;
    }
    identity = id.reply;
    current.context.setUnit(identity);
    observer.unitIdentified(identity);
    connected = Status::Ok();
    return connected;
}

Status ProgrammingSession::reconnect() {
    triedConnect = false;
    dropStale = true;
    // A unit that was switched off or replaced starts with its target running.
    unit.unitInReset = false;
    return connectUnit();
}

Status ProgrammingSession::connectForChip() {
    const bool down = triedConnect && (faultSinceConnect || !transport || !transport->isOpen());
    if (current.reconnectAfterFault && down)
        return reconnect();
    return connectUnit();
}

bool ProgrammingSession::prepareUnit() {
    if (prepared)
        return true;
    // A unit that did not answer still gets the sequence (without the device
    // select): the target is held in reset as the user expects.
    connectUnit();
    if (!engine)
        return false;
    prepared = engine->LoadSequence();
    chipSincePrepared = false;
    return prepared;
}

bool ProgrammingSession::setTargetRunning(bool running) {
    if (!transport) {
        const bool changed = unit.unitInReset == running;
        unit.unitInReset = !running;
        return changed;
    }
    return running ? DeviceRun(unit, *transport) : DeviceReset(unit, *transport);
}

QString ProgrammingSession::notConnectedReason() const {
    if (transport && !transport->isOpen())
        return transport->notConnectedReason();
    return transport ? QString() : connected.message;
}

Status ProgrammingSession::openLog() {
    if (!current.logLocation)
        return Status::Ok();
    if (log)
        return Status::Ok();
    LogOpenOptions options;
    options.create = current.createLog;
    Status status;
    log = ProductionLog::open(*current.logLocation, options, &status);
    if (!log || !status) {
        log.reset();
        return Status::Fail(status.message);
    }
    // A run names its series; the log holds how its numbers are written.
    if (current.serial.enabled && !current.serial.name.isEmpty())
        if (const Status loaded = log->loadSeries(current.serial); !loaded) {
            log.reset();
            return loaded;
        }
    return status;
}

Status ProgrammingSession::recordRefusal(const QString& step, const QString& reason) {
    if (const Status opened = openLog(); !opened || !log)
        return opened;
    ChipRecord record = StartRecord(unit, current.context);
    AddFailure(record, step, ChipRecord::Failure::Refused, reason);
    FinishRecord(record);
    return log->writeRecord(record);
}

qint64 ProgrammingSession::nextSerial() {
    qint64 number = -1;
    if (!current.serial.enabled || !openLog() || !log)
        return -1;
    return log->peekSerial(current.serial, &number) ? number : -1;
}

bool ProgrammingSession::halted() const {
    return current.stopAfterFailures > 0 && tally.failuresInRow >= current.stopAfterFailures;
}

QString ProgrammingSession::checkBeforeChip(const QList<int>& functions,
                                            const AppState& image) const {
    for (const int function : functions)
        if (QString why = ImageFitRefusal(image, current.functions, function); !why.isEmpty())
            return why + QStringLiteral("\nNothing was sent to the programmer unit.");
    // The CRC-32 covers the device's part only: it would pass an image
    // whose other bytes no chip holds.
    if (current.expectCrc32 && !current.functions.allowPartial) {
        if (const OutsideDevice outside = ImageOutsideDevice(image); !outside.empty())
            return OutsideDeviceText(image, outside) +
                   QStringLiteral(": its CRC-32 covers only the device's part. Select the device "
                                  "the image is for, or allow a partial image to leave them "
                                  "out.\nNothing was sent to the programmer unit.");
    }
    // The wrong image must not reach a chip.
    if (current.expectCrc32 && BufferCrc32(image) != *current.expectCrc32)
        return QStringLiteral("Image CRC-32 %1, expected %2: nothing was sent to the programmer "
                              "unit.")
            .arg(Crc32Text(BufferCrc32(image)), Crc32Text(*current.expectCrc32));
    if (!current.fieldsProblem.isEmpty())
        return current.fieldsProblem + QStringLiteral("\nNothing was sent to the programmer unit.");
    const bool serial = current.logLocation && current.serial.enabled;
    if ((serial || !current.fields.isEmpty()) && AnyPrograms(image, functions)) {
        if (QString why = ChipFieldsProblem(serial ? &current.serial : nullptr,
                                            current.serialOverwrite, current.fields, image);
            !why.isEmpty())
            return why;
        if (!current.logLocation)
            for (const ChipField& field : current.fields)
                if (field.kind == ChipField::Kind::Pool)
                    return QStringLiteral("The %1 field draws its numbers from the production "
                                          "log: give the log. Nothing was sent to the programmer "
                                          "unit.")
                        .arg(field.label());
    }
    return {};
}

ChipReport ProgrammingSession::refuse(int function, ChipReport::Stage stage,
                                      const QString& reason) {
    ChipReport report;
    report.function = function;
    report.stage = stage;
    report.verdict = ChipReport::Verdict::None;
    report.reason = reason;
    report.result.function = function;
    report.result.outcome = Outcome::Refused;
    report.result.refusal = reason;
    return report;
}

ChipReport ProgrammingSession::runChip(int function, const AppState& image) {
    return runChip(QList<int>{function}, image);
}

ChipReport ProgrammingSession::runChip(int function, const std::shared_ptr<const AppState>& image) {
    return runChip(QList<int>{function}, image);
}

ChipReport ProgrammingSession::runChip(const QList<int>& functions,
                                       const std::shared_ptr<const AppState>& image) {
    if (image != heldImage) {
        takeImage(*image);
        heldImage = image;
    } else {
        // The last chip's own bytes go back to the image's.
        for (const auto& [begin, end] : std::as_const(ownBytes))
            for (qint64 at = begin; at < end; ++at) {
                unit.Buffer[size_t(at)] = image->Buffer[size_t(at)];
                unit.defined.set(size_t(at), image->defined.test(size_t(at)));
            }
        ownBytes.clear();
    }
    return runOwnChip(functions);
}

FunctionResult ProgrammingSession::runFunctions(const QList<int>& functions) {
    if (functions.size() == 1)
        return engine->RunFunction(functions.front());
    return engine->RunSequence(functions, SequenceRule::EndAtFirstFailure);
}

void ProgrammingSession::setPlan(const RunPlan& plan, bool reconnectAfterFault) {
    SessionSettings settings = PlanSessionSettings(plan);
    settings.chipHook = current.chipHook;
    settings.reconnectAfterFault = reconnectAfterFault;
    setSettings(settings);
    plannedFunctions = plan.functions;
}

ChipReport ProgrammingSession::runPlanned(const std::shared_ptr<const AppState>& image) {
    return runChip(plannedFunctions, image);
}

ChipReport ProgrammingSession::runChip(const QList<int>& functions, const AppState& image) {
    // The chip's own copy: its serial number never reaches the user's buffer,
    // and the next chip starts from the image again.
    takeImage(image);
    heldImage.reset();
    return runOwnChip(functions);
}

ChipReport ProgrammingSession::runOwnChip(const QList<int>& functions) {
    const int function = functions.isEmpty() ? FnAuto : functions.front();

    // Refused chips are finished like any other: a front-end waits for
    // every chip it started to finish.
    if (stopRequested())
        return finish(refuse(function, ChipReport::Stage::Run,
                             QStringLiteral("Stopped before the chip was started.")));
    if (halted())
        return finish(refuse(function, ChipReport::Stage::Run,
                             QStringLiteral("%1 chips failed in a row: look at the bench, "
                                            "then go on.")
                                 .arg(tally.failuresInRow)));
    if (current.logLocation) {
        if (const Status opened = openLog(); !opened)
            return finish(refuse(function, ChipReport::Stage::Log,
                                 opened.message + QStringLiteral("\nNothing was sent to the "
                                                                 "programmer unit.")));
    }
    // A refusal is recorded as one.
    if (QString why = checkBeforeChip(functions, unit); !why.isEmpty()) {
        ChipReport report = refuse(function, ChipReport::Stage::Image, why);
        keepRecord(report, false);
        return finish(report);
    }
    if (const Status up = connectForChip(); !up) {
        ChipReport report = refuse(function, ChipReport::Stage::Unit, up.message);
        report.result.outcome = Outcome::CommunicationFailure;
        keepRecord(report, false);
        return finish(report);
    }

    ChipReport report;
    report.function = function;
    report.result.function = function;
    // Compare changes no chip: it leaves no record.
    const bool records =
        log && !(functions.size() == 1 && FunctionHas(functions.front(), ListsDifferences));
    if (records) {
        report.record = StartRecord(unit, current.context);
        report.record.imageSha256 = Sha256Text(unit);
    }

    // The serial number and the chip's own fields, written into this chip's
    // copy only. A chip that cannot have them all gets none and is refused
    // before anything is sent; its serial number goes back (no program byte),
    // a pool number drawn for it is spent.
    const bool programs = AnyPrograms(unit, functions);
    Status given;
    QString step = QStringLiteral("Serial number");
    if (records && current.serial.enabled && programs) {
        qint64 number = -1;
        given = log->allocateSerial(current.serial, &number);
        if (given) {
            report.record.serial = number;
            report.record.serialSeries = current.serial.series();
            noteOwnBytes(current.serial.address, current.serial.address + current.serial.length);
            given = WriteSerialField(unit, current.serial, number);
        }
        if (given) {
            report.serial = number;
            NoteSerialField(report.record, unit, current.serial);
        }
    }
    if (given && programs && !current.fields.isEmpty()) {
        step = QStringLiteral("Per-chip fields");
        ChipFieldValues values;
        values.time = records ? report.record.time : QDateTime::currentDateTimeUtc();
        values.lot = current.context.fields.lot;
        QStringList drawn;
        for (const ChipField& field : current.fields) {
            if (field.kind != ChipField::Kind::Pool || !given)
                continue;
            qint64 number = -1;
            given = log->allocatePoolNumber(field.value, report.record.station, &number);
            if (given) {
                values.poolNumbers.append(number);
                drawn.append(QStringLiteral("pool:%1=%2").arg(field.value).arg(number));
            }
        }
        for (const ChipField& field : current.fields)
            noteOwnBytes(field.address, field.end());
        if (given)
            given = WriteChipFields(unit, current.fields, values, &report.record.chipFields);
        // A refused chip's record still names the numbers spent on it.
        if (!given)
            report.record.chipFields = drawn.join(QLatin1Char(' '));
        if (given && records)
            report.record.programmedCrc32 = BufferCrc32(unit);
    }
    if (!given) {
        report.serial = -1;
        report.reason = given.message;
        // The unit may have been identified by now: only the chip was spared.
        if (step != QLatin1String("Serial number"))
            report.reason += QStringLiteral("\nNo block was sent to the chip.");
        report.stage = ChipReport::Stage::Serial;
        if (records) {
            AddFailure(report.record, step, ChipRecord::Failure::Refused, given.message);
            keepRecord(report, false);
        }
        report.verdict = ChipReport::Verdict::None;
        return finish(report);
    }
    if (report.serial >= 0)
        observer.serialAssigned(report.serial);

    if (records) {
        // Opened with the chip's number in it: a chip interrupted from here
        // on leaves a record that names the number it may hold.
        keepRecord(report, true);
        if (!report.recorded) {
            // Nothing goes to the unit unless the chip's record can be kept.
            report.verdict = ChipReport::Verdict::None;
            report.stage = ChipReport::Stage::Log;
            return finish(report);
        }
    }

    if (current.chipHook) {
        if (const ChipHookVerdict before = current.chipHook(ChipHookPoint::BeforeChip, report);
            !before.passed) {
            report.verdict = ChipReport::Verdict::None;
            report.stage = ChipReport::Stage::Hook;
            report.reason = before.reason;
            report.result.outcome = Outcome::Refused;
            report.result.refusal = before.reason;
            if (records) {
                AddFailure(report.record, QStringLiteral("Before-chip hook"),
                           ChipRecord::Failure::Refused, before.reason);
                keepRecord(report, false);
            }
            return finish(report);
        }
    }

    if (!prepareUnit()) {
        report.result.outcome = Outcome::CommunicationFailure;
        report.result.linkFault = transport->isOpen() ? LinkFault::None : LinkFault::LineLost;
        report.reason = QStringLiteral("The load sequence could not be sent: ") +
                        (transport->isOpen() ? QStringLiteral("the device cannot be selected")
                                             : transport->notConnectedReason());
        if (records)
            AddFailure(report.record, QStringLiteral("Load sequence"),
                       ChipRecord::Failure::Communication, report.reason);
        report.verdict = ChipReport::Verdict::Fail;
        report.stage = ChipReport::Stage::Unit;
        keepRecord(report, false);
        return finish(report);
    }

    engine->setOptions(current.functions);
    chipSincePrepared = true;
    if (records)
        marks.begin(&report.record);
    report.result = runFunctions(functions);
    // What a Read stored is no longer the shared image.
    if (std::any_of(functions.begin(), functions.end(),
                    [this](int code) { return ReadsIntoUnit(unit, code); }))
        heldImage.reset();
    marks.end();
    if (records) {
        AddResult(report.record, report.result);
        // A block carrying image bytes went out, acknowledged or not.
        report.record.programBytesSent =
            report.record.programBytesSent || report.result.programSent;
        report.record.programmedCrc32 = BufferCrc32(unit);
    }
    if (std::any_of(functions.begin(), functions.end(),
                    [](int code) { return FunctionHas(code, ReadsIntoBuffer); }) &&
        report.result.ran())
        report.readBack = std::make_shared<const AppState>(unit);
    if (!report.result.succeeded())
        report.stage = ChipReport::Stage::Run;
    switch (report.result.outcome) {
    case Outcome::Success:
        report.verdict = ChipReport::Verdict::Pass;
        break;
    case Outcome::Refused:
        report.verdict = ChipReport::Verdict::None;
        report.reason = report.result.refusal;
        break;
    case Outcome::Stopped:
        report.verdict = ChipReport::Verdict::Stopped;
        // The step that was stopped says where ("Programming ...   Stopped at 0420").
        report.reason =
            ResultReport(report.result.steps.empty() ? report.result : report.result.steps.back());
        break;
    default: {
        report.verdict = ChipReport::Verdict::Fail;
        // The failing step names what went wrong ("Verify Error at 0123 ...").
        const FunctionResult& failed =
            report.result.steps.empty() ? report.result : report.result.steps.back();
        report.reason = ResultReport(failed);
        break;
    }
    }
    const bool ranToAnEnd =
        report.verdict == ChipReport::Verdict::Pass || report.verdict == ChipReport::Verdict::Fail;
    if (current.chipHook && ranToAnEnd) {
        const ChipHookVerdict after = current.chipHook(ChipHookPoint::AfterChip, report);
        // A chip that already failed keeps the failure of its functions.
        if (!after.passed && report.verdict == ChipReport::Verdict::Pass) {
            report.verdict = ChipReport::Verdict::Fail;
            report.stage = ChipReport::Stage::Hook;
            report.reason = after.reason;
            if (records)
                AddFailure(report.record, QStringLiteral("After-chip hook"),
                           ChipRecord::Failure::Hook, after.reason);
        }
    }
    keepRecord(report, false);
    return finish(report);
}

void ProgrammingSession::keepRecord(ChipReport& report, bool open) {
    if (!log)
        return;
    if (open) {
        const Status opened = log->openRecord(report.record);
        report.recorded = opened.ok;
        if (!opened) {
            report.reason = QStringLiteral("The production log cannot keep this chip's record: ") +
                            opened.message + QStringLiteral("\nNo block was sent to the chip.");
            return;
        }
        report.recordNotice = opened.message;
        observer.recordWritten(report.record, opened.message);
        return;
    }
    if (report.record.state == ChipRecord::State::New) {
        // A chip refused before its record was opened: the refusal is kept.
        if (report.record.time.isNull())
            report.record = StartRecord(unit, current.context);
        AddFailure(report.record, FunctionName(report.function),
                   report.result.outcome == Outcome::CommunicationFailure
                       ? ChipRecord::Failure::Communication
                       : ChipRecord::Failure::Refused,
                   report.reason);
        FinishRecord(report.record);
        const Status written = log->writeRecord(report.record);
        report.recorded = written.ok;
        report.recordNotice = written.message;
        if (written)
            observer.recordWritten(report.record, written.message);
        return;
    }
    FinishRecord(report.record);
    const Status closed = log->closeRecord(report.record);
    report.recorded = closed.ok;
    report.recordNotice = closed.message;
    if (closed) {
        observer.recordWritten(report.record, closed.message);
        return;
    }
    // A chip that may be programmed must not pass without its record; the
    // record is shown so that it is not lost.
    if (report.verdict == ChipReport::Verdict::Pass)
        report.verdict = ChipReport::Verdict::Fail;
    report.stage = ChipReport::Stage::Record;
    report.reason = QStringLiteral("cannot write the record: ") + closed.message +
                    QStringLiteral("\nThe chip counts as failed. ") + report.record.toText();
}

void ProgrammingSession::RecordMarks::begin(ChipRecord* open) {
    record = open;
    begun.clear();
    programSent = false;
    reached = -1;
}

void ProgrammingSession::RecordMarks::mark() {
    // A copy: the record's own fields are written at its end, from the results.
    ChipRecord marked = *record;
    marked.functions += begun;
    marked.programBytesSent = marked.programBytesSent || programSent;
    // An open record has no failure yet: its failure address says how far
    // the run had come.
    if (reached >= 0)
        marked.failureAddress = reached;
    FinishRecord(marked);
    // A mark that cannot be written costs the chip nothing: its end still
    // goes to the log or the journal, and says so if it cannot.
    session.log->markRecord(marked);
    sinceMark.start();
}

void ProgrammingSession::RecordMarks::functionStarted(const FunctionResult& run) {
    // An Auto sequence's own start: its steps follow, each with its own.
    if (record && run.function != FnAuto) {
        begun.append(FunctionName(run.function));
        reached = -1;
        mark();
    }
    session.observer.functionStarted(run);
}

void ProgrammingSession::RecordMarks::functionProgress(const FunctionResult& run, int percent) {
    if (record) {
        programSent = programSent || run.programSent;
        if (run.workingAt >= 0)
            reached = run.workingAt;
        if (sinceMark.elapsed() >= MarkEveryMs)
            mark();
    }
    session.observer.functionProgress(run, percent);
}

void ProgrammingSession::RecordMarks::functionFinished(const FunctionResult& result) {
    programSent = programSent || result.programSent;
    session.observer.functionFinished(result);
}

void ProgrammingSession::RecordMarks::refused(const QString& reason) {
    session.observer.refused(reason);
}

void ProgrammingSession::RecordMarks::unitRunStateChanged() {
    session.observer.unitRunStateChanged();
}

ChipReport ProgrammingSession::finish(ChipReport report) {
    if (report.result.outcome == Outcome::CommunicationFailure)
        faultSinceConnect = true;
    count(report);
    report.counts = tally;
    report.halted = halted();
    observer.chipFinished(report);
    return report;
}

void ProgrammingSession::count(const ChipReport& report) {
    if (!report.counted())
        return;
    ++tally.chips;
    if (report.passed()) {
        ++tally.passed;
        tally.failuresInRow = 0;
    } else if (report.verdict == ChipReport::Verdict::Fail) {
        ++tally.failuresInRow;
    }
}

} // namespace varn
