#include "clijob.h"

#include "cliconsole.h"
#include "cliprogrammer.h"
#include "core/crc32.h"
#include "exitstatus.h"
#include "files/imagefiles.h"
#include "session/operatorboard.h"
#include "session/runplan.h"

#include <QDir>
#include <QFileInfo>
#include <utility>

namespace varn {

namespace {

// What a job fixes: given with --job, these would quietly change the run.
QStringList fixedByJob() {
    QStringList fixed{QStringLiteral("--device")};
    for (const ImageFormatRow& row : ImageFormats())
        fixed.append(QLatin1String("--") + QLatin1String(row.word));
    for (const char* name :
         {"--file-offset", "--buffer-offset", "--relocate", "--allow-partial", "--only-image",
          "--skip-blank", "--timeout", "--retries", "--serial", "--serial-address",
          "--serial-overwrite", "--expect-crc32", "--functions", "--units", "--stop-after",
          "--reference-image", "--field"})
        fixed.append(QLatin1String(name));
    return fixed;
}

int usage(CliConsole& console, const QString& message) {
    console.error(QStringLiteral("varn-cli: ") + message);
    // Advice, not the fault: the fault stays what --json's error object says.
    console.note(QStringLiteral("Try 'varn-cli --help' for more information."));
    return ExitUsage;
}

int refuse(AppState& state, const CliOptions& options, CliConsole& console, const QString& reason) {
    console.error(QStringLiteral("Job refused: ") + reason);
    console.note(QStringLiteral("Nothing was sent to the programmer unit."));
    if (options.log) {
        CliProgrammer programmer(state, options, console);
        if (const Status recorded = programmer.recordRefusal(reason); !recorded)
            console.error(QStringLiteral("The refusal could not be recorded: ") + recorded.message);
    }
    return ExitJob;
}

// The command line against the job: only what the job leaves open.
QString conflict(const ProductionJob& job, const CliOptions& options) {
    for (const QString& name : fixedByJob())
        if (options.given.contains(name))
            return QStringLiteral("%1: the job fixes this; make a new job to change it").arg(name);
    QList<int> functions;
    for (const CliOperation& operation : options.operations) {
        if (operation.kind == CliOperation::Load || operation.kind == CliOperation::Fill ||
            operation.kind == CliOperation::Clear || operation.kind == CliOperation::JobCreate)
            return QStringLiteral("load, fill, clear and job create change the job's image: not "
                                  "with --job");
        if (operation.isDeviceFunction())
            functions.append(operation.function);
    }
    if (!functions.isEmpty() && functions != job.functions)
        return QStringLiteral("the job runs its own functions; give none, or exactly its own");
    const int ports = int(options.ports.size());
    if (!PortsFitJob(job.units, ports))
        return QStringLiteral("the job runs %1 unit(s): give --port %1 time(s)").arg(job.units);
    return {};
}

} // namespace

int PrepareJob(AppState& state, CliOptions& options, CliConsole& console) {
    const bool creates =
        std::any_of(options.operations.begin(), options.operations.end(),
                    [](const CliOperation& o) { return o.kind == CliOperation::JobCreate; });
    if (creates && std::any_of(options.operations.begin(), options.operations.end(),
                               [](const CliOperation& o) { return o.needsUnit(); }))
        return usage(console, QStringLiteral("job create writes a job without the unit: run it "
                                             "with --job FILE"));
    if (options.job.isEmpty())
        return ExitOk;

    ProductionJob job;
    if (const Status read = ReadJobFile(options.job, &job); !read)
        return refuse(state, options, console, read.message);
    if (const QString problem = conflict(job, options); !problem.isEmpty())
        return usage(console, QStringLiteral("--job %1: %2").arg(options.job, problem));

    ApplyJobToPlan(job, options.plan);
    if (!std::any_of(options.operations.begin(), options.operations.end(),
                     [](const CliOperation& o) { return o.isDeviceFunction(); })) {
        for (const int function : options.plan.functions) {
            CliOperation operation;
            operation.kind = CliOperation::Function;
            operation.function = function;
            options.operations.append(operation);
        }
    }
    if (const Status checked = CheckLogOptions(options); !checked)
        return usage(console, QStringLiteral("--job %1: %2").arg(options.job, checked.message));

    // A refused job's record names no image: none was taken from it.
    RunContext& context = options.plan.context;
    const QString imageName = std::exchange(context.imageFile, QString());
    const QString folder = QFileInfo(options.job).absolutePath();
    if (const Status opened = OpenJob(job, folder, state); !opened)
        return refuse(state, options, console, opened.message);
    context.imageFile = imageName;
    context.imagePath = job.embedded() ? QFileInfo(options.job).absoluteFilePath()
                                       : QDir(folder).absoluteFilePath(job.imagePath);
    console.info(
        QStringLiteral("Job %1: %2 (CRC-32 %3) on %4")
            .arg(options.job, job.imageName, Crc32Text(job.expectedCrc32), job.deviceName));
    return ExitOk;
}

Status MakeJob(const AppState& state, const CliOptions& options, const QString& imagePath,
               const LoadOptions& load, const QString& jobPath, ProductionJob* job) {
    if (const Status made =
            JobFromBuffer(state, imagePath, load, !options.referenceImage, jobPath, job);
        !made)
        return Status::Fail(QStringLiteral("job create: ") + made.message);
    PlanIntoJob(CliRunPlan(options, state), *job);
    if (const QString why = ChipFieldsProblem(nullptr, false, job->fields, state); !why.isEmpty())
        return Status::Fail(QStringLiteral("job create: ") + why);
    return Status::Ok();
}

} // namespace varn
