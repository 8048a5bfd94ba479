#include "desktopsettings.h"

#include "core/usersettings.h"
#include "logaccess.h"
#include "production/chipfield.h"
#include "production/productionlog.h"
#include "runplan.h"

#include <algorithm>

namespace varn {

SessionSettings DesktopSessionSettings(const AppState& state, const RunContext& context) {
    return PlanSessionSettings(DesktopRunPlan(state, context));
}

ChipPreviewSource DesktopChipPreviewSource(const AppState& state, QString* note) {
    const SessionSettings settings = DesktopSessionSettings(state, {});
    if (note && !settings.logLocation && SerialSettings::load(UserSettings(state)).enabled)
        *note = QStringLiteral("Serial numbers are on, but chips get none while the production "
                               "log is off.");
    return SessionChipPreviewSource(settings, note);
}

ChipPreviewSource SessionChipPreviewSource(const SessionSettings& settings, QString* note) {
    ChipPreviewSource source;
    source.fields = settings.fields;
    source.fieldsProblem = settings.fieldsProblem;
    source.serialOverwrite = settings.serialOverwrite;
    source.lot = settings.context.fields.lot;
    source.time = QDateTime::currentDateTimeUtc();
    const bool serial = settings.logLocation && settings.serial.enabled;
    if (serial)
        source.serial = settings.serial;
    const bool pools =
        std::any_of(settings.fields.begin(), settings.fields.end(),
                    [](const ChipField& f) { return f.kind == ChipField::Kind::Pool; });
    if (!settings.logLocation || !(serial || pools))
        return source;
    QHash<QString, qint64> poolNext;
    const Status peeked = PeekNextNumbers(*settings.logLocation, serial ? &*source.serial : nullptr,
                                          &source.nextSerial, &poolNext);
    if (!peeked && note)
        *note = QStringLiteral("Numbers not known: ") + peeked.message;
    for (const ChipField& field : settings.fields)
        if (field.kind == ChipField::Kind::Pool)
            source.poolNumbers.append(poolNext.contains(field.value)
                                          ? std::optional<qint64>(poolNext.value(field.value))
                                          : std::nullopt);
    return source;
}

QString DesktopLogLocation(const AppState& state) {
    return ConfiguredLogLocation(state, UserSettings(state));
}

Status SaveDesktopJob(const AppState& state, const LoadedFile& loaded, const QString& path,
                      bool onlyImage, bool allowPartial, ProductionJob* job) {
    const LoadOptions load{loaded.format, loaded.fileOffset, loaded.bufferOffset};
    if (const Status made = JobFromBuffer(state, loaded.path, load, true, path, job); !made)
        return made;
    RunPlan plan = DesktopRunPlan(state);
    plan.functionOptions.onlyImage = onlyImage;
    plan.functionOptions.allowPartial = allowPartial;
    // The station's serial series stays with the station: a job saved here
    // names none (varn-cli's job create gives one).
    plan.serial.enabled = false;
    PlanIntoJob(plan, *job);
    if (const QString why = JobImageFitProblem(*job, state); !why.isEmpty())
        return Status::Fail(why);
    if (!plan.fieldsProblem.isEmpty())
        return Status::Fail(plan.fieldsProblem);
    return WriteJobFile(path, *job);
}

} // namespace varn
