#include "desktopsettings.h"

#include "core/usersettings.h"
#include "link/replypolicy.h"
#include "logaccess.h"
#include "production/chipfield.h"
#include "production/productionlog.h"

#include <algorithm>

namespace varn {

SessionSettings DesktopSessionSettings(const AppState& state, const RunContext& context) {
    const UserSettings ini(state);
    SessionSettings settings;
    settings.functions = SettingsFunctionOptions(ini);
    settings.context = context;
    settings.context.fields = LineFields::load(ini);
    // A field that does not read refuses every chip: none is programmed
    // without it.
    const QStringList fields = ini.value(QStringLiteral("fields/list")).toStringList();
    if (const Status read = FieldsFromText(fields, &settings.fields); !read)
        settings.fieldsProblem = QStringLiteral("varn.ini fields/list: ") + read.message;
    if (LogEnabled(ini)) {
        settings.logLocation = ConfiguredLogLocation(state, ini);
        settings.serial = SerialSettings::load(ini);
    }
    return settings;
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
    Status status = JobFromBuffer(
        state, loaded.path, LoadOptions{loaded.format, loaded.fileOffset, loaded.bufferOffset},
        true, path, job);
    if (status) {
        job->onlyImage = onlyImage;
        job->allowPartial = allowPartial;
        if (const QString why = JobImageFitProblem(*job, state); !why.isEmpty())
            status = Status::Fail(why);
    }
    if (status) {
        const UserSettings settings(state);
        const ReplyPolicy policy = ReadReplyPolicy(settings);
        job->timeoutMs = policy.timeoutMs;
        job->retries = policy.retries;
        // The per-chip fields of varn.ini go with the job.
        status = FieldsFromText(settings.value(QStringLiteral("fields/list")).toStringList(),
                                &job->fields);
        if (status)
            status = WriteJobFile(path, *job);
    }
    return status;
}

} // namespace varn
