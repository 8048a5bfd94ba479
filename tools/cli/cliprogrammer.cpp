#include "cliprogrammer.h"

#include "core/bufferops.h"
#include "core/config.h"
#include "core/crc32.h"
#include "core/hextext.h"
#include "exitstatus.h"
#include "files/filecompare.h"
#include "files/imagefiles.h"
#include "functions/functiontext.h"
#include "link/portinfo.h"
#include "link/seriallink.h"
#include "multiunit.h"
#include "production/csvexport.h"
#include "varn_version.h"

#include <QDir>
#include <QFileInfo>
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

// The list index of the function window for each device function.
int functionIndex(CliOperation::Kind kind) {
    switch (kind) {
    case CliOperation::Read:
        return FnRead;
    case CliOperation::Erase:
        return FnErase;
    case CliOperation::Blank:
        return FnBlank;
    case CliOperation::Program:
        return FnProgram;
    case CliOperation::Verify:
        return FnVerify;
    case CliOperation::Lock:
        return FnLock;
    case CliOperation::Compare:
        return FnCompare;
    default:
        return FnAuto;
    }
}

} // namespace

CliProgrammer::CliProgrammer(AppState& state, const CliOptions& options, CliConsole& console)
    : state(state), options(options), console(console) {}

CliProgrammer::~CliProgrammer() {
    // The functions refer to the link; let them go first.
    functions.reset();
    link.reset();
}

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
    // Nothing goes to the unit unless its record can be kept.
    if (const int status = openLog(); status != ExitOk)
        return status;
    int status = ExitOk;
    for (const CliOperation& operation : options.operations) {
        status = runOperation(operation);
        if (status != ExitOk)
            break;
    }
    return finishRecord(status);
}

qint64 CliProgrammer::serialNumber() const {
    return recorded ? recorded->record().serial : -1;
}

int CliProgrammer::openLog() {
    bool exports = false;
    for (const CliOperation& operation : options.operations)
        exports = exports || operation.kind == CliOperation::Export;
    if (!options.log && !exports)
        return ExitOk;
    const QString location = options.log.value_or(QString()).isEmpty()
                                 ? state.ConfigPath(QString::fromLatin1(DefaultLogFileName))
                                 : *options.log;
    Status opened;
    LogOpenOptions logOptions;
    logOptions.create = options.createLog;
    log = ProductionLog::open(location, logOptions, &opened);
    if (!log) {
        console.error(opened.message);
        if (options.log)
            console.error(QStringLiteral("Nothing was sent to the programmer unit."));
        return ExitLog;
    }
    if (!opened.message.isEmpty())
        console.error(opened.message);
    if (options.log)
        recorded = std::make_unique<RecordedRun>(*log, options.serial);
    return ExitOk;
}

int CliProgrammer::exportRecords(const QString& path) {
    QList<ChipRecord> records;
    if (const Status read = log->records(&records, options.exportFrom, options.exportTo); !read) {
        console.error(read.message);
        return ExitLog;
    }
    const QByteArray csv = RecordsToCsv(records);
    QFile file;
    const bool opened = path == QLatin1String("-")
                            ? file.open(stdout, QIODevice::WriteOnly)
                            : (file.setFileName(path), file.open(QIODevice::WriteOnly));
    if (!opened || file.write(csv) != csv.size() || !file.flush()) {
        console.error(QStringLiteral("%1: cannot write: %2").arg(path, file.errorString()));
        return ExitFile;
    }
    if (path != QLatin1String("-"))
        console.info(QStringLiteral("Exported %1 records to %2").arg(records.size()).arg(path));
    return ExitOk;
}

int CliProgrammer::finishRecord(int status) {
    if (!recorded || !recorded->active())
        return status;
    if (const Status written = recorded->finish(); !written) {
        // The chip may be programmed: its record must not be lost.
        console.error(written.message);
        console.error(recorded->record().toText());
        return status == ExitOk ? ExitLog : status;
    }
    return status;
}

int CliProgrammer::checkImageCrc() {
    if (!options.expectCrc32 || imageCrcChecked)
        return ExitOk;
    imageCrcChecked = true;
    const quint32 crc = BufferCrc32(state);
    if (crc == *options.expectCrc32)
        return ExitOk;
    console.error(QStringLiteral("Image CRC-32 %1, expected %2: nothing was sent to the "
                                 "programmer unit.")
                      .arg(Crc32Text(crc), Crc32Text(*options.expectCrc32)));
    return ExitFile;
}

int CliProgrammer::runOperation(const CliOperation& operation) {
    // The wrong image must not reach a chip: checked before anything is sent.
    if (operation.isDeviceFunction()) {
        if (const int status = checkImageCrc(); status != ExitOk)
            return status;
    }
    if (operation.isDeviceFunction() && recorded && !recorded->active()) {
        RunContext context;
        context.port = options.portPath.isEmpty() ? QStringLiteral("COM%1").arg(state.PortNumber)
                                                  : options.portPath;
        context.imageFile = imageFile;
        recorded->start(state, context);
    }
    if (operation.needsUnit()) {
        if (const int status = connectUnit(); status != ExitOk) {
            if (recorded && recorded->active())
                recorded->addFailure(QStringLiteral("Identify"), ChipRecord::Failure::Communication,
                                     QStringLiteral("the unit did not answer"));
            return status;
        }
        if (recorded && recorded->active() && recorded->record().unitName.isEmpty()) {
            RunContext unit;
            unit.setUnit(identification.reply);
            recorded->record().unitName = unit.unitName;
            recorded->record().unitVersion = unit.unitVersion;
        }
    }

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
        console.info(QStringLiteral("Filled %1H bytes from %2 with %3")
                         .arg(HexWord(static_cast<qint32>(operation.length)),
                              HexWord(static_cast<qint32>(operation.start)),
                              HexByte(operation.value)));
        return ExitOk;
    }
    case CliOperation::Clear:
        ClearBuffer(state);
        console.info(QStringLiteral("Buffer cleared"));
        return ExitOk;
    case CliOperation::Export:
        return exportRecords(operation.file);
    case CliOperation::Checksum:
        console.result(HexWord(BufferChecksum(state)));
        return ExitOk;
    case CliOperation::Crc32:
        console.result(Crc32Text(BufferCrc32(state)));
        return ExitOk;
    case CliOperation::Diff:
        return diffFile(operation.file);
    case CliOperation::Identify:
        for (const QString& line :
             IdentificationReport(identification.reply).split(QStringLiteral("\r\n")))
            console.result(line);
        return ExitOk;
    case CliOperation::Run:
    case CliOperation::Reset: {
        if (operation.kind == CliOperation::Run)
            DeviceRun(state, *link);
        else
            DeviceReset(state, *link);
        if (!link->isOpen()) {
            console.error(link->notConnectedReason());
            return ExitCommunication;
        }
        console.info(QStringLiteral("Target: ") + UnitStateText(state));
        return ExitOk;
    }
    default:
        return runDeviceFunction(functionIndex(operation.kind));
    }
}

FileFormat CliProgrammer::fileFormat(const QString& path) const {
    switch (options.format) {
    case CliOptions::Format::Hex:
        return FileFormat::IntelHex;
    case CliOptions::Format::Binary:
        return FileFormat::Binary;
    case CliOptions::Format::SRecord:
        return FileFormat::SRecord;
    default:
        return FormatForPath(path);
    }
}

int CliProgrammer::loadFile(const QString& path) {
    state.FileType = fileFormat(path);
    state.FileOffset = options.fileOffset;
    state.BufferOffset = options.bufferOffset;
    const Status status = OpenImageFile(state, state.FileType, path);
    if (!status) {
        console.error(withFileName(path, status.message));
        return ExitFile;
    }
    if (!status.message.isEmpty()) {
        console.error(withFileName(path, status.message));
        // A production line must not program a chip with half an image.
        if (!options.allowPartial)
            return ExitFile;
    }
    imageFile = QFileInfo(path).fileName();
    console.info(QStringLiteral("Loaded %1 (%2)").arg(path, FormatName(state.FileType)));
    return ExitOk;
}

int CliProgrammer::saveFile(const QString& path) {
    state.FileType = fileFormat(path);
    const Status status = SaveImageFile(state, state.FileType, path);
    if (!status) {
        console.error(withFileName(path, status.message));
        return ExitFile;
    }
    console.info(QStringLiteral("Saved %1 (%2)").arg(path, FormatName(state.FileType)));
    return ExitOk;
}

int CliProgrammer::diffFile(const QString& path) {
    state.FileOffset = options.fileOffset;
    state.BufferOffset = options.bufferOffset;
    DifferenceReport report;
    const Status compared = CompareWithFile(state, path, fileFormat(path), false, report);
    if (!compared || (!compared.message.isEmpty() && !options.allowPartial)) {
        // As load: a file that left data out is no image to judge by.
        console.error(withFileName(path, compared.message));
        return ExitFile;
    }
    if (!compared.message.isEmpty())
        console.error(withFileName(path, compared.message));
    for (const QString& line : DifferenceLines(report, MaxDifferenceLines))
        console.result(line);
    return report.empty() ? ExitOk : ExitMismatch;
}

int CliProgrammer::connectUnit() {
    // One attempt per run: a unit that failed once is not asked again.
    if (link)
        return connectStatus;

    link = std::make_unique<SerialLink>();
    connectStatus = ExitCommunication;
    const Status opened = options.portPath.isEmpty()
                              ? link->open(state.PortNumber, state.AppDir)
                              : link->openPath(options.portPath, options.portPath);
    if (!opened) {
        console.error(QStringLiteral("Communication Port Error: ") + opened.message);
        return ExitCommunication;
    }

    identification = IdentifyUnit(state, *link);
    if (!identification.ok) {
        console.error(QStringLiteral("Communication Error!"));
        console.error(QStringLiteral("The programmer unit did not answer the identification."));
        return ExitCommunication;
    }
    functions = std::make_unique<DeviceFunctions>(state, *link, *this);
    connectStatus = ExitOk;
    return ExitOk;
}

int CliProgrammer::runDeviceFunction(int index) {
    if (!loadSequenceSent) {
        loadSequenceSent = true;
        if (!functions->LoadSequence()) {
            if (recorded)
                recorded->addFailure(QStringLiteral("Load sequence"),
                                     ChipRecord::Failure::Communication,
                                     QStringLiteral("the unit could not be prepared"));
            return ExitCommunication;
        }
    }
    if (recorded) {
        const qint64 before = recorded->record().serial;
        if (const Status prepared = recorded->prepare(state, index); !prepared) {
            console.error(prepared.message);
            return ExitLog;
        }
        if (recorded->record().serial != before)
            console.info(QStringLiteral("Serial number %1").arg(recorded->record().serial));
    }

    FunctionOptions runOptions;
    runOptions.skipBlankBlocks = options.skipBlank;
    runOptions.replies = ReplyPolicy{options.timeoutMs, options.retries};
    runOptions.onlyImage = options.onlyImage;
    functions->setOptions(runOptions);
    const FunctionResult result = functions->RunFunction(index);
    if (recorded)
        recorded->add(result);
    progressLabel.clear();
    console.clearProgress();
    // The ranges are what the user asked for: printed even when quiet.
    if (index == FnCompare && (result.succeeded() || result.outcome == Outcome::Mismatch)) {
        for (const QString& line : DifferenceLines(result.report, MaxDifferenceLines))
            console.result(line);
    }

    switch (result.outcome) {
    case Outcome::Refused:
        return link->isOpen() ? ExitUsage : ExitCommunication;
    case Outcome::CommunicationFailure:
        return ExitCommunication;
    case Outcome::Mismatch:
        return ExitMismatch;
    case Outcome::Stopped:
        return ExitInterrupted;
    case Outcome::Success:
        break;
    }
    if (result.function == FnAuto && result.steps.empty())
        console.info(QStringLiteral("Auto: auto.cfg holds no steps"));
    return ExitOk;
}

void CliProgrammer::functionStarted(const FunctionResult& run) {
    progressLabel = StartText(run.function);
}

void CliProgrammer::functionProgress(const FunctionResult& /*run*/, int percent) {
    console.progress(progressLabel, percent);
}

void CliProgrammer::functionFinished(const FunctionResult& result) {
    // Erase and Lock run their bar after the result: no bar then.
    progressLabel.clear();
    // A sequence's summary repeats what its steps have printed; a comparison
    // prints its ranges when it is over.
    if (result.function == FnAuto ||
        (result.function == FnCompare && result.outcome != Outcome::CommunicationFailure))
        return;
    switch (result.outcome) {
    case Outcome::Success:
        console.info(ResultReport(result));
        break;
    case Outcome::CommunicationFailure:
        console.error(QStringLiteral("Communication Error!"));
        // Why, when the line is gone: the desktop program tells it in a box
        // of its own.
        if (link && !link->isOpen())
            console.error(link->notConnectedReason());
        console.error(ResultReport(result));
        break;
    default:
        console.error(ResultReport(result));
        // Verify stops at the first wrong byte; stored scripts rely on that line.
        if (result.outcome == Outcome::Mismatch && result.function == FnVerify)
            console.error(QStringLiteral("The operation compare lists all differences."));
        break;
    }
}

void CliProgrammer::refused(const QString& reason) {
    console.error(reason);
}

int RunCli(const QStringList& arguments) {
    CliOptions options;
    if (const Status parsed = ParseCliArguments(arguments, options); !parsed) {
        CliConsole console(false, false);
        console.error(QStringLiteral("varn-cli: ") + parsed.message);
        console.error(QStringLiteral("Try 'varn-cli --help' for more information."));
        return ExitUsage;
    }
    CliConsole console(options.quiet, CliConsole::StandardErrorIsTerminal());
    if (options.help) {
        console.result(CliUsage().chopped(1));
        return ExitOk;
    }
    if (options.version) {
        console.result(QStringLiteral("varn-cli " VARN_VERSION));
        return ExitOk;
    }
    if (options.listPorts) {
        // Needs no configuration: it is how a user finds the port to configure.
        console.result(FormatPortList(ListPorts(QDir::currentPath(), SystemPorts())).chopped(1));
        return ExitOk;
    }

    // 70 kB of buffer: not on the stack.
    auto state = std::make_unique<AppState>();
    if (const Status started = Main(*state, QDir::currentPath()); !started) {
        console.error(QStringLiteral("varn-cli: ") + started.message);
        return ExitUsage;
    }

    CliProgrammer programmer(*state, options, console);
    if (const int status = programmer.applyOverrides(); status != ExitOk)
        return status;
    if (options.ports.size() > 1 || options.repeat)
        return RunSeveralUnits(*state, options, console);
    return programmer.run();
}

} // namespace varn
