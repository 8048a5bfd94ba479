#include "cliprogrammer.h"

#include "clijob.h"
#include "clilog.h"

#include "core/bufferops.h"
#include "core/config.h"
#include "core/crc32.h"
#include "core/devicebounds.h"
#include "core/hextext.h"
#include "exitstatus.h"
#include "files/filecompare.h"
#include "files/imagefiles.h"
#include "functions/functiontable.h"
#include "functions/functiontext.h"
#include "jsonevents.h"
#include "link/portinfo.h"
#include "multiunit.h"
#include "session/hookcommand.h"
#include "session/logaccess.h"
#include "session/openlink.h"
#include "stopsignal.h"

#include "varn_version.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>

namespace varn {

namespace {

// Range lines diff and compare print before they only count the rest.
constexpr int MaxDifferenceLines = 20;

// Messages of the file layer usually name the file; add it where they do not.
QString withFileName(const QString& path, const QString& message) {
    if (message.contains(QFileInfo(path).fileName()))
        return message;
    return path + QStringLiteral(": ") + message;
}

} // namespace

CliProgrammer::CliProgrammer(AppState& state, const CliOptions& options, CliConsole& console,
                             ProgrammingSession* lent)
    : state(state), options(options), console(console), lentSession(lent),
      imageFile(options.plan.context.imageFile), imagePath(options.plan.context.imagePath) {
    if (options.json)
        json = std::make_unique<JsonEvents>(portName());
}

QString CliProgrammer::portName() const {
    if (!options.portPath.isEmpty())
        return options.portPath;
    // Its own --port first: state's number may still be varn.cfg's, or (for
    // one of several units) the last --port's.
    return QStringLiteral("COM%1").arg(options.portNumber ? *options.portNumber
                                                          : int(state.PortNumber));
}

CliProgrammer::~CliProgrammer() = default;

int CliProgrammer::applyOverrides() {
    if (options.portNumber)
        state.PortNumber = static_cast<qint16>(*options.portNumber);

    if (options.device.isEmpty())
        return ExitOk;

    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    const int count = qBound(0, int(state.DeviceCount), MaxDeviceCount);
    if (digits.match(options.device).hasMatch()) {
        const int index = options.device.size() <= 3 ? options.device.toInt() : 0;
        if (index < 1 || index > count) {
            console.error(QStringLiteral("varn-cli: --device %1: varn.dev holds devices 1 to %2")
                              .arg(options.device)
                              .arg(count));
            return ExitUsage;
        }
        state.SelectedDevice = static_cast<qint16>(index);
        return ExitOk;
    }

    // An exact name first, so that two names differing only in case stay apart.
    for (Qt::CaseSensitivity cs : {Qt::CaseSensitive, Qt::CaseInsensitive}) {
        for (int i = 1; i <= count; ++i) {
            if (state.DeviceTable[i].Name.compare(options.device, cs) == 0) {
                state.SelectedDevice = static_cast<qint16>(i);
                return ExitOk;
            }
        }
    }
    QStringList names;
    for (int i = 1; i <= count; ++i)
        names.append(state.DeviceTable[i].Name);
    console.error(QStringLiteral("varn-cli: --device %1: no such device in varn.dev (devices: %2)")
                      .arg(options.device, names.join(QStringLiteral(", "))));
    return ExitUsage;
}

int CliProgrammer::run() {
    runClock.start();
    lastSerial = -1;
    // Called again, it is for the next chip in the socket.
    if (programming)
        programming->chipChanged();
    console.forgetLastError();
    const int status = runOperations();
    if (json)
        json->runFinished(status, runClock.elapsed(), lastSerial, console.lastError());
    return status;
}

int CliProgrammer::runOperations() {
    // Nothing goes to the unit unless its record can be kept.
    if (const int status = openLog(); status != ExitOk)
        return status;
    int status = ExitOk;
    const QList<CliOperation>& operations = options.operations;
    for (qsizetype i = 0; i < operations.size() && status == ExitOk;) {
        if (StopSignal())
            return StopExitStatus();
        if (!operations[i].isDeviceFunction()) {
            status = runOperation(operations[i++]);
            continue;
        }
        QList<int> functions;
        for (; i < operations.size() && operations[i].isDeviceFunction(); ++i)
            functions.append(operations[i].function);
        status = runChip(functions);
    }
    if (StopSignal())
        return StopExitStatus();
    // A run that sends nothing still answers for the image it names.
    const bool anyChip = std::any_of(operations.begin(), operations.end(),
                                     [](const CliOperation& o) { return o.isDeviceFunction(); });
    if (status == ExitOk && !anyChip && options.plan.expectCrc32 &&
        !options.plan.functionOptions.allowPartial) {
        if (const OutsideDevice outside = ImageOutsideDevice(state); !outside.empty()) {
            console.error(OutsideDeviceText(state, outside) +
                          QStringLiteral(": its CRC-32 covers only the device's part."));
            return ExitFile;
        }
    }
    if (status == ExitOk && !anyChip && options.plan.expectCrc32 &&
        BufferCrc32(state) != *options.plan.expectCrc32) {
        console.error(
            QStringLiteral("Image CRC-32 %1, expected %2.")
                .arg(Crc32Text(BufferCrc32(state)), Crc32Text(*options.plan.expectCrc32)));
        return ExitFile;
    }
    return status;
}

ProgrammingSession& CliProgrammer::ensureSession() {
    if (!programming) {
        if (lentSession) {
            programming = lentSession;
            programming->setConfiguration(state);
        } else {
            ownSession = std::make_unique<ProgrammingSession>(
                state, *this, [this](const AppState& setup, Status* status) {
                    const QString port = options.portPath.isEmpty()
                                             ? QString::number(setup.PortNumber)
                                             : options.portPath;
                    LinkOptions linkOptions;
                    linkOptions.netLatencyMs = options.netLatencyMs;
                    return OpenUnitLink(port, setup.AppDir, linkOptions, status);
                });
            programming = ownSession.get();
        }
        stopRegistration = std::make_unique<StopRegistration>(*programming);
        programming->setSettings(sessionSettings());
        return *programming;
    }
    // The session keeps what it learnt (the unit's name and version for the
    // records of later chips); only the image loaded since changes.
    SessionSettings settings = programming->settings();
    settings.context.imageFile = imageFile;
    settings.context.imagePath = imagePath;
    programming->setSettings(settings);
    return *programming;
}

SessionSettings CliProgrammer::sessionSettings() {
    RunPlan plan = CliRunPlan(options, state);
    plan.context.port = portName();
    plan.context.imageFile = imageFile;
    plan.context.imagePath = imagePath;
    SessionSettings settings = PlanSessionSettings(plan);
    if (!options.beforeChip.isEmpty() || !options.afterChip.isEmpty())
        settings.chipHook = [this](ChipHookPoint point, const ChipReport& report) {
            return runHook(point, report);
        };
    // A unit that failed is identified afresh before the next chip; one that
    // answered is not asked again for every chip.
    settings.reconnectAfterFault = true;
    return settings;
}

int CliProgrammer::openLog() {
    if (!options.log)
        return ExitOk;
    const Status opened = ensureSession().openLog();
    if (!opened) {
        console.error(opened.message);
        console.note(QStringLiteral("Nothing was sent to the programmer unit."));
        return ExitLog;
    }
    // Records sent on from the local journal, or why they could not be.
    if (!opened.message.isEmpty())
        console.error(opened.message);
    return ExitOk;
}

qint64 CliProgrammer::nextSerial() {
    if (!options.log || !options.plan.serial.enabled)
        return -1;
    return ensureSession().nextSerial();
}

SessionCounts CliProgrammer::counts() const {
    return programming ? programming->counts() : SessionCounts{};
}

int CliProgrammer::exportRecords(const QString& path) {
    return ExportRecords(LogLocationOrDefault(options.log.value_or(QString()), state.AppDir),
                         options, path, console, json.get());
}

Status CliProgrammer::recordRefusal(const QString& reason) {
    return ensureSession().recordRefusal(QStringLiteral("Job"), reason);
}

int CliProgrammer::createJob(const QString& path) {
    if (imagePath.isEmpty() || imageFile == QLatin1String("-") || editedSinceLoad) {
        console.error(QStringLiteral("varn-cli: job create %1: the job holds the image file "
                                     "loaded last: load one (not standard input), without fill, "
                                     "clear or read after it")
                          .arg(path));
        return ExitUsage;
    }
    if (options.plan.expectCrc32 && BufferCrc32(state) != *options.plan.expectCrc32) {
        console.error(
            QStringLiteral("Image CRC-32 %1, expected %2.")
                .arg(Crc32Text(BufferCrc32(state)), Crc32Text(*options.plan.expectCrc32)));
        return ExitFile;
    }
    ProductionJob job;
    LoadOptions load = loadOptions(imagePath);
    load.format = fileFormat(imageFile);
    if (const Status made = MakeJob(state, options, imagePath, load, path, &job); !made) {
        console.error(made.message);
        return ExitFile;
    }
    if (const QString why = JobImageFitProblem(job, state); !why.isEmpty()) {
        console.error(QStringLiteral("job create: ") + why);
        return ExitFile;
    }
    if (const Status written = WriteJobFile(path, job); !written) {
        console.error(written.message);
        return ExitFile;
    }
    console.info(QStringLiteral("Job written to %1: %2 (CRC-32 %3, SHA-256 %4) on %5")
                     .arg(path, job.imageName, Crc32Text(job.expectedCrc32), job.imageSha256,
                          job.deviceName));
    return ExitOk;
}

int CliProgrammer::runOperation(const CliOperation& operation) {
    switch (operation.kind) {
    case CliOperation::Load:
        return loadFile(operation.file);
    case CliOperation::Save:
        return saveFile(operation.file);
    case CliOperation::Fill: {
        const Status status = FillBuffer(state, operation.start, operation.length, operation.value);
        if (!status) {
            console.error(QStringLiteral("varn-cli: fill: ") + status.message);
            return ExitUsage;
        }
        editedSinceLoad = true;
        console.info(QStringLiteral("Filled %1H bytes from %2 with %3")
                         .arg(HexWord(static_cast<qint32>(operation.length)),
                              HexWord(static_cast<qint32>(operation.start)),
                              HexByte(operation.value)));
        return ExitOk;
    }
    case CliOperation::Clear:
        ClearBuffer(state);
        editedSinceLoad = true;
        console.info(QStringLiteral("Buffer cleared"));
        return ExitOk;
    case CliOperation::Export:
        return exportRecords(operation.file);
    case CliOperation::JobCreate:
        return createJob(operation.file);
    case CliOperation::Checksum:
        if (json)
            json->checksum(state);
        console.result(HexWord(BufferChecksum(state)));
        return ExitOk;
    case CliOperation::Crc32:
        if (json)
            json->crc32(state);
        console.result(Crc32Text(BufferCrc32(state)));
        return ExitOk;
    case CliOperation::Diff:
        return diffFile(operation.file);
    case CliOperation::Identify:
        if (const int status = connectUnit(); status != ExitOk)
            return status;
        if (json)
            json->identify(programming->identification(), programming->settings().context.unitName,
                           programming->settings().context.unitVersion);
        for (const QString& line :
             IdentificationReport(programming->identification()).split(QStringLiteral("\r\n")))
            console.result(line);
        return ExitOk;
    case CliOperation::Run:
    case CliOperation::Reset: {
        if (const int status = connectUnit(); status != ExitOk)
            return status;
        // Sent only on a change: a target already in that state is no
        // failure, only a closed line is.
        programming->setTargetRunning(operation.kind == CliOperation::Run);
        if (!programming->link()->isOpen()) {
            console.error(programming->link()->notConnectedReason());
            return ExitCommunication;
        }
        console.info(QStringLiteral("Target: ") + UnitStateText(programming->lastImage()));
        return ExitOk;
    }
    default:
        return runChip({operation.function});
    }
}

FileFormat CliProgrammer::fileFormat(const QString& path) const {
    return options.format ? *options.format : FormatForPath(path);
}

namespace {

// "-" is standard input or output, as in export; "./-" names a file.
QString StandardStream(const QString& path, const char* device) {
    return path == QLatin1String("-") ? QString::fromLatin1(device) : path;
}

} // namespace

LoadOptions CliProgrammer::loadOptions(const QString& path) const {
    LoadOptions load{fileFormat(path), options.fileOffset, options.bufferOffset, options.relocate};
    // A format the name chose is checked against the content; one given
    // explicitly is taken as meant.
    load.refuseOtherFormat = !options.format;
    return load;
}

// What every load (and diff's file) must pass: the load itself, the content
// in the format it was read as, something stored inside the device, and
// nothing left out unless --allow-partial. The notices go to standard error.
int CliProgrammer::judgeLoad(const QString& path, const LoadResult& loaded) {
    if (!loaded.ok()) {
        console.error(withFileName(path, loaded.status.message));
        if (!loaded.otherFormat.isEmpty())
            console.error(QStringLiteral("Give the format (%1) to load it as that.")
                              .arg(ImageFormatWords(QStringLiteral("--"))));
        return ExitFile;
    }
    for (const QString& notice : loaded.notices)
        console.error(withFileName(path, notice));
    if (!loaded.otherFormat.isEmpty())
        console.error(loaded.otherFormat);
    if (!loaded.leftOut.isEmpty()) {
        console.error(withFileName(path, loaded.leftOut));
        // A production line must not program a chip with half an image.
        if (!options.plan.functionOptions.allowPartial)
            return ExitFile;
    }
    if (loaded.bytesStored == 0) {
        // Programming it would write a blank chip and report success.
        console.error(QStringLiteral("%1: nothing was loaded: the file holds no data for the "
                                     "buffer.")
                          .arg(path));
        return ExitFile;
    }
    std::vector<AddressRange> placed;
    for (const BufferRange& r : loaded.ranges)
        placed.push_back({r.first, r.last});
    if (const QString where = PlacedOutsideDevice(state, placed); !where.isEmpty()) {
        // As good as empty for the chip: programming it would write nothing.
        console.error(
            QStringLiteral("%1: nothing was loaded into the device: %2.").arg(path, where));
        return ExitFile;
    }
    return ExitOk;
}

int CliProgrammer::loadFile(const QString& path) {
    const LoadOptions load = loadOptions(path);
    const LoadResult loaded = LoadImageFile(StandardStream(path, "/dev/stdin"), load, state);
    if (const int status = judgeLoad(path, loaded); status != ExitOk)
        return status;
    if (json)
        json->fileLoaded(path, loaded);
    imageFile = QFileInfo(path).fileName();
    imagePath = QFileInfo(path).absoluteFilePath();
    editedSinceLoad = false;
    console.info(QStringLiteral("Loaded %1 (%2)").arg(path, FormatName(load.format)));
    return ExitOk;
}

int CliProgrammer::saveFile(const QString& path) {
    const SaveOptions save{fileFormat(path), options.definedOnly};
    if (path != QLatin1String("-")) {
        const Status status = SaveImageFile(state, path, save);
        if (!status) {
            console.error(withFileName(path, status.message));
            return ExitFile;
        }
        console.info(QStringLiteral("Saved %1 (%2)").arg(path, FormatName(save.format)));
        return ExitOk;
    }
    QByteArray bytes;
    QFile out;
    const Status made = ImageFileBytes(state, save, QStringLiteral("standard output"), bytes);
    if (!made) {
        console.error(made.message);
        return ExitFile;
    }
    if (!out.open(stdout, QIODevice::WriteOnly) || out.write(bytes) != bytes.size() ||
        !out.flush()) {
        console.error(QStringLiteral("-: cannot write: %1").arg(out.errorString()));
        return ExitFile;
    }
    return ExitOk;
}

int CliProgrammer::diffFile(const QString& path) {
    DifferenceReport report;
    LoadResult loaded;
    CompareWithFile(state, StandardStream(path, "/dev/stdin"), loadOptions(path), false, report,
                    &loaded);
    // As load: a file that left data out or holds nothing is no image to judge by.
    if (const int status = judgeLoad(path, loaded); status != ExitOk)
        return status;
    if (json)
        json->differences(QStringLiteral("diff"), report, path);
    for (const QString& line : DifferenceLines(report, MaxDifferenceLines))
        console.result(line);
    return report.empty() ? ExitOk : ExitMismatch;
}

int CliProgrammer::connectUnit() {
    if (const Status up = ensureSession().connectForChip(); !up) {
        reportConnectFailure(up);
        return ExitCommunication;
    }
    return ExitOk;
}

void CliProgrammer::reportConnectFailure(const Status& status) {
    // The session's status is what opening the port said, when it did not.
    if (!programming->portOpened()) {
        console.error(QStringLiteral("Communication Port Error: ") + status.message);
        return;
    }
    console.error(QStringLiteral("Communication Error!"));
    console.error(QStringLiteral("The programmer unit did not answer the identification."));
}

int CliProgrammer::runChip(const QList<int>& functions) {
    ProgrammingSession& session = ensureSession();
    lastNotice.clear();
    if (json)
        json->runStarted(state, imagePath, functions);
    const ChipReport report = session.runChip(functions, state);
    progressLabel.clear();
    console.clearProgress();
    if (report.readBack) {
        state = *report.readBack;
        editedSinceLoad = true;
    }
    if (report.serial >= 0)
        lastSerial = report.serial;
    const int status = chipStatus(report);
    if (status == ExitOk && functions == QList<int>{FnAuto} && report.result.steps.empty())
        console.info(QStringLiteral("Auto: auto.cfg holds no steps"));
    return status;
}

namespace {

// A chip's status from its functions alone: what the after-chip hook is told.
int FunctionsStatus(const ChipReport& report) {
    switch (report.result.outcome) {
    case Outcome::Success:
        return ExitOk;
    case Outcome::Mismatch:
        return ExitMismatch;
    case Outcome::Refused:
        return ExitUsage;
    default:
        return ExitCommunication;
    }
}

} // namespace

ChipHookVerdict CliProgrammer::runHook(ChipHookPoint point, const ChipReport& report) {
    const bool before = point == ChipHookPoint::BeforeChip;
    HookCommand hook;
    hook.command = before ? options.beforeChip : options.afterChip;
    if (hook.command.isEmpty())
        return {};
    const int status = before ? -1 : FunctionsStatus(report);
    hook.environment = QProcessEnvironment::systemEnvironment();
    hook.environment.insert(QStringLiteral("VARN_PORT"), programming->settings().context.port);
    hook.environment.insert(QStringLiteral("VARN_SERIAL"),
                            report.serial >= 0 ? QString::number(report.serial) : QString());
    hook.environment.insert(QStringLiteral("VARN_RECORD_ID"),
                            report.record.id != 0 ? QString::number(report.record.id) : QString());
    hook.environment.insert(QStringLiteral("VARN_IMAGE_CRC32"), Crc32Text(BufferCrc32(state)));
    hook.environment.insert(QStringLiteral("VARN_OUTCOME"),
                            before ? QString() : JsonEvents::outcomeName(status));
    if (!before)
        hook.input = QJsonDocument(JsonEvents::runFinishedObject(
                                       programming->settings().context.port, status,
                                       runClock.elapsed(), report.serial, console.lastError()))
                         .toJson(QJsonDocument::Compact) +
                     '\n';
    hook.timeoutMs = options.hookTimeoutMs;
    hook.stop = programming->stopSignal();
    const HookOutcome outcome = RunHookCommand(hook);
    if (outcome.passed)
        return {};
    const QString what = before ? QStringLiteral("--before-chip refused the chip")
                                : QStringLiteral("--after-chip failed the chip");
    if (!outcome.stopped)
        console.error(QStringLiteral("%1: %2").arg(what, outcome.reason));
    return {false, outcome.reason};
}

int CliProgrammer::chipStatus(const ChipReport& report) {
    using Stage = ChipReport::Stage;
    if (report.verdict == ChipReport::Verdict::Stopped || report.result.outcome == Outcome::Stopped)
        return StopSignal() ? StopExitStatus() : ExitInterrupted;
    if (report.stage == Stage::Hook) {
        // A hook killed by Ctrl+C or SIGTERM is a stop, not the fixture's word.
        if (StopSignal())
            return StopExitStatus();
        return report.verdict == ChipReport::Verdict::None ? ExitHookRefused : ExitHookFailed;
    }
    if (report.verdict == ChipReport::Verdict::None) {
        switch (report.stage) {
        case Stage::Image:
            console.error(report.reason);
            // The wrong image, or one the device cannot hold; or a serial
            // field outside the device or over the image's bytes, which the
            // serial options must mend.
            if (!options.plan.functionOptions.allowPartial && !ImageOutsideDevice(state).empty())
                return ExitFile;
            return options.plan.expectCrc32 && BufferCrc32(state) != *options.plan.expectCrc32
                       ? ExitFile
                       : ExitUsage;
        case Stage::Log:
        case Stage::Serial:
            console.error(report.reason);
            return ExitLog;
        case Stage::Unit:
            reportConnectFailure(Status::Fail(report.reason));
            return ExitCommunication;
        default:
            if (StopSignal())
                return StopExitStatus();
            // The engine refused (and said why through refused()).
            return programming->link() && programming->link()->isOpen() ? ExitUsage
                                                                        : ExitCommunication;
        }
    }
    int status = ExitOk;
    switch (report.result.outcome) {
    case Outcome::Success:
        break;
    case Outcome::Mismatch:
        status = ExitMismatch;
        break;
    case Outcome::Refused:
        status = programming->link()->isOpen() ? ExitUsage : ExitCommunication;
        break;
    case Outcome::CommunicationFailure:
    case Outcome::Stopped:
        status = ExitCommunication;
        break;
    }
    if (report.stage == Stage::Record) {
        // The chip may be programmed: its record must not be lost.
        console.error(report.reason);
        return status == ExitOk ? ExitLog : status;
    }
    return status;
}

void CliProgrammer::functionStarted(const FunctionResult& run) {
    if (json)
        json->functionStarted(run);
    progressLabel = StartText(run.function);
}

void CliProgrammer::functionProgress(const FunctionResult& run, int percent) {
    if (json)
        json->functionProgress(run, percent);
    console.progress(progressLabel, percent);
}

void CliProgrammer::functionFinished(const FunctionResult& result) {
    if (json)
        json->functionFinished(result);
    // Erase and Lock run their bar after the result: no bar then.
    progressLabel.clear();
    console.clearProgress();
    // A sequence's summary repeats what its steps have printed.
    if (result.function == FnAuto)
        return;
    if (FunctionHas(result.function, ListsDifferences) &&
        result.outcome != Outcome::CommunicationFailure) {
        // The ranges are what the user asked for: printed even when quiet.
        if (result.succeeded() || result.outcome == Outcome::Mismatch) {
            if (json)
                json->differences(QStringLiteral("compare"), result.report, QString());
            for (const QString& line : DifferenceLines(result.report, MaxDifferenceLines))
                console.result(line);
        }
        return;
    }
    switch (result.outcome) {
    case Outcome::Success:
        console.info(ResultReport(result));
        break;
    case Outcome::CommunicationFailure: {
        console.error(QStringLiteral("Communication Error!"));
        // Why, when the line is gone: the desktop program tells it in a box
        // of its own.
        const Transport* link = programming ? programming->link() : nullptr;
        QString why;
        if (link && !link->isOpen())
            why = link->notConnectedReason();
        else if (result.linkFault == LinkFault::GarbledReply)
            why = QStringLiteral("The unit's replies came garbled (a wrong count byte or a stray "
                                 "byte) each time the block was asked for.");
        if (!why.isEmpty())
            console.error(why);
        // The cause, when there is one, stays the reason the run reports.
        if (why.isEmpty())
            console.error(ResultReport(result));
        else
            console.note(ResultReport(result));
        break;
    }
    default:
        console.error(ResultReport(result));
        // Verify stops at the first wrong byte; stored scripts rely on that line.
        if (result.outcome == Outcome::Mismatch && ExchangeOf(result.function) == Exchange::Verify)
            console.note(QStringLiteral("The operation compare lists all differences."));
        break;
    }
}

void CliProgrammer::refused(const QString& reason) {
    console.error(reason);
}

void CliProgrammer::unitIdentified(const QByteArray& reply) {
    if (json)
        json->unitIdentified(reply, programming->settings().context.unitName,
                             programming->settings().context.unitVersion);
}

void CliProgrammer::serialAssigned(qint64 serial) {
    if (json)
        json->serialAssigned(serial);
    console.info(QStringLiteral("Serial number %1").arg(serial));
}

void CliProgrammer::recordWritten(const ChipRecord& record, const QString& notice) {
    if (json)
        json->recordWritten(record, notice);
    // The record waits in the local journal: said once per chip.
    if (!notice.isEmpty() && notice != lastNotice)
        console.error(notice);
    lastNotice = notice;
}

int RunCli(const QStringList& arguments) {
    CliOptions options;
    if (const Status parsed = ParseCliArguments(arguments, options); !parsed) {
        CliConsole console(false, false);
        console.error(QStringLiteral("varn-cli: ") + parsed.message);
        console.error(QStringLiteral("Try 'varn-cli --help' for more information."));
        // The stream a program reads says so as well, even when the option
        // that asked for it came after the fault.
        if (options.json || arguments.contains(QLatin1String("--json")))
            JsonEvents::error(ExitUsage, parsed.message);
        return ExitUsage;
    }
    CliConsole console(options.quiet, CliConsole::StandardErrorIsTerminal());
    console.setTextToStandardError(options.json);
    if (options.help) {
        console.result(CliUsage().chopped(1));
        if (options.json)
            JsonEvents::help(CliUsage().chopped(1));
        return ExitOk;
    }
    if (options.version) {
        const QString text = QStringLiteral("varn-cli " VARN_VERSION "\n" VARN_LICENCE_NOTE);
        console.result(text);
        if (options.json)
            JsonEvents::version(QStringLiteral(VARN_VERSION), text);
        return ExitOk;
    }
    // Image files stay relative to the current folder; the configuration and
    // the comN links come from the working folder.
    const QString workDir =
        options.workDir.isEmpty() ? QDir::currentPath() : QDir(options.workDir).absolutePath();
    if (options.listPorts) {
        // Needs no configuration: it is how a user finds the port to configure.
        const QList<PortEntry> ports = ListPorts(workDir, SystemPorts());
        if (options.json)
            JsonEvents::ports(ports);
        console.result(FormatPortList(ports).chopped(1));
        return ExitOk;
    }

    if (OnlyLogCommands(options))
        return RunLogCommands(options, console);

    // 70 kB of buffer: not on the stack.
    auto state = std::make_unique<AppState>();
    if (const Status started = Main(*state, workDir); !started) {
        console.error(QStringLiteral("varn-cli: ") + started.message);
        if (options.json)
            JsonEvents::error(ExitUsage, started.message);
        return ExitUsage;
    }

    // Refused before any unit was reached: the stream says why, too.
    const auto refused = [&](int status) {
        if (options.json)
            JsonEvents::error(status, console.lastError());
        return status;
    };
    // A job is opened, or refused, before anything else happens.
    if (const int status = PrepareJob(*state, options, console); status != ExitOk)
        return refused(status);
    // Ctrl+C and SIGTERM end a run at the next block boundary from here on.
    InstallStopHandlers();
    CliProgrammer programmer(*state, options, console);
    if (const int status = programmer.applyOverrides(); status != ExitOk)
        return refused(status);
    if (options.ports.size() > 1 || options.repeat)
        return RunSeveralUnits(*state, options, console);
    return programmer.run();
}

} // namespace varn
