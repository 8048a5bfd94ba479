#include "runplan.h"

#include "core/usersettings.h"
#include "jobs/productionjob.h"
#include "production/productionlog.h"
#include "programmingsession.h"

namespace varn {

void RunPlan::runAuto(const AppState& setup) {
    functions = {FnAuto};
    autoSteps.clear();
    for (int i = 1; i <= qBound(0, int(setup.AutoCount), MaxAutoCount); ++i)
        autoSteps.append(setup.AutoList[i]);
}

void ApplyJobToPlan(const ProductionJob& job, RunPlan& plan) {
    plan.functions = job.functions;
    plan.autoSteps = job.autoSteps;
    plan.units = job.units;
    plan.functionOptions.onlyImage = job.onlyImage;
    plan.functionOptions.skipBlankBlocks = job.skipBlank;
    plan.functionOptions.allowPartial = job.allowPartial;
    plan.functionOptions.replies = ReplyPolicy{job.timeoutMs, job.retries};
    plan.expectCrc32 = job.expectedCrc32;
    plan.stopAfterFailures = job.stopAfterFailures;
    // A job without a series gives no numbers, whatever the station's own
    // settings say: the job decides what goes into the chip.
    plan.serial.enabled = !job.serialSeries.isEmpty();
    plan.serial.name = job.serialSeries;
    plan.serial.address = job.serialAddress;
    plan.serialOverwrite = job.serialOverwrite;
    // The job's per-chip fields, not the station's list.
    plan.fields = job.fields;
    plan.fieldsProblem.clear();
    plan.context.imageFile = job.imageName;
}

void PlanIntoJob(const RunPlan& plan, ProductionJob& job) {
    job.functions = plan.functions;
    job.autoSteps = plan.functions == QList<int>{FnAuto} ? plan.autoSteps : QList<int>{};
    job.units = qMax(1, plan.units);
    job.onlyImage = plan.functionOptions.onlyImage;
    job.skipBlank = plan.functionOptions.skipBlankBlocks;
    job.allowPartial = plan.functionOptions.allowPartial;
    job.timeoutMs = plan.functionOptions.replies.timeoutMs;
    job.retries = plan.functionOptions.replies.retries;
    if (plan.expectCrc32)
        job.expectedCrc32 = *plan.expectCrc32;
    job.stopAfterFailures = plan.stopAfterFailures;
    const bool serial = plan.serial.enabled;
    job.serialSeries = serial ? plan.serial.name : QString();
    job.serialAddress = serial ? plan.serial.address : -1;
    job.serialOverwrite = serial && plan.serialOverwrite;
    job.fields = plan.fields;
}

SessionSettings PlanSessionSettings(const RunPlan& plan) {
    SessionSettings settings;
    settings.functions = plan.functionOptions;
    if (plan.logLocation) {
        settings.logLocation = plan.logLocation;
        settings.createLog = plan.createLog;
        settings.serial = plan.serial;
        settings.serialOverwrite = plan.serialOverwrite;
    }
    settings.fields = plan.fields;
    settings.fieldsProblem = plan.fieldsProblem;
    settings.context = plan.context;
    settings.expectCrc32 = plan.expectCrc32;
    settings.stopAfterFailures = plan.stopAfterFailures;
    return settings;
}

RunPlan DesktopRunPlan(const AppState& state, const RunContext& context) {
    const UserSettings ini(state);
    RunPlan plan;
    plan.runAuto(state);
    plan.functionOptions = SettingsFunctionOptions(ini);
    plan.context = context;
    plan.context.fields = LineFields::load(ini);
    // A field that does not read refuses every chip: none is programmed
    // without it.
    const QStringList fields = ini.value(QStringLiteral("fields/list")).toStringList();
    if (const Status read = FieldsFromText(fields, &plan.fields); !read)
        plan.fieldsProblem = QStringLiteral("varn.ini fields/list: ") + read.message;
    if (LogEnabled(ini))
        plan.logLocation = ConfiguredLogLocation(state, ini);
    plan.serial = SerialSettings::load(ini);
    return plan;
}

} // namespace varn
