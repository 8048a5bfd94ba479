#include "clilog.h"

#include "cliserve.h"

#include "core/wholefile.h"
#include "exitstatus.h"
#include "jsonevents.h"
#include "multiunit.h"
#include "production/serialnumber.h"
#include "session/logaccess.h"

#include <QDir>

namespace varn {

namespace {

// Log records shown by log list without --from or --to.
constexpr int ListedRecords = 20;

int report(const Status& status, CliConsole& console) {
    if (!status) {
        console.error(status.message);
        return ExitLog;
    }
    if (!status.message.isEmpty())
        console.info(status.message);
    return ExitOk;
}

int reportTo(const QString& location, const CliOptions& options, CliConsole& console) {
    const LineFields& line = options.plan.context.fields;
    ReportFilter filter{options.exportFrom, options.exportTo,  line.lot,
                        line.station,       line.operatorName, QString()};
    if (!options.ports.isEmpty())
        filter.port = PortLabel(options.ports.last());
    ProductionReport figures;
    if (const int status = report(ReportOf(location, filter, &figures), console); status != ExitOk)
        return status;
    // --json: the object on standard output, the lines for people on
    // standard error, as for every other answer.
    if (options.json)
        JsonEvents::report(ReportJson(figures));
    if (options.csv && !options.json)
        console.result(QString::fromUtf8(ReportCsv(figures)).chopped(1));
    else
        for (const QString& line : ReportLines(figures))
            console.result(line);
    return ExitOk;
}

} // namespace

int ExportRecords(const QString& location, const CliOptions& options, const QString& path,
                  CliConsole& console, JsonEvents* json) {
    const bool toStandardOutput = path == QLatin1String("-");
    // Opened with the first bytes, once the log has been read from: a log
    // that cannot be read leaves the user's file alone.
    FileWriter file;
    bool opened = false;
    Status fileFailure;
    const auto write = [&](QByteArrayView bytes) {
        if (!opened) {
            opened = true;
            fileFailure = toStandardOutput ? file.openStandardOutput() : file.openReplacing(path);
        }
        if (fileFailure)
            fileFailure = file.write(bytes);
        return fileFailure;
    };
    int count = 0;
    const Status exported =
        ExportCsv(location, options.exportFrom, options.exportTo, write, &count);
    if (exported && fileFailure)
        fileFailure = file.finish();
    if (!fileFailure) {
        console.error(QStringLiteral("%1: cannot write: %2").arg(path, fileFailure.message));
        return ExitFile;
    }
    if (const int status = report(exported, console); status != ExitOk)
        return status;
    if (json)
        json->exported(path, count);
    if (!toStandardOutput)
        console.info(QStringLiteral("Exported %1 records to %2").arg(count).arg(path));
    return ExitOk;
}

bool OnlyLogCommands(const CliOptions& options) {
    bool any = false;
    for (const CliOperation& operation : options.operations) {
        if (!operation.isLogCommand() && operation.kind != CliOperation::Export)
            return false;
        any = any || operation.isLogCommand();
    }
    return any;
}

int RunLogCommands(const CliOptions& options, CliConsole& console) {
    const QString location =
        LogLocationOrDefault(options.log.value_or(QString()), QDir::currentPath());
    // No unit: what the stream shows names none.
    JsonEvents unitless{QString()};
    JsonEvents* json = options.json ? &unitless : nullptr;
    for (const CliOperation& operation : options.operations) {
        int status = ExitOk;
        QStringList lines;
        switch (operation.kind) {
        case CliOperation::SeriesCreate: {
            SerialSettings series = options.plan.serial;
            series.name = operation.file;
            status = report(CreateSeriesIn(location, series), console);
            if (status == ExitOk && json)
                JsonEvents::series({series});
            break;
        }
        case CliOperation::SeriesList: {
            QList<SerialSettings> all;
            status = report(ListSeries(location, &all), console);
            for (const SerialSettings& series : all)
                lines.append(SeriesLine(series));
            if (status == ExitOk && json)
                JsonEvents::series(all);
            break;
        }
        case CliOperation::PoolCreate: {
            NumberPool pool = options.pool;
            pool.name = operation.file;
            pool.next = pool.first;
            status = report(CreatePoolIn(location, pool), console);
            if (status == ExitOk && json)
                JsonEvents::pools({pool});
            break;
        }
        case CliOperation::PoolList: {
            QList<NumberPool> all;
            status = report(ListPools(location, &all), console);
            for (const NumberPool& pool : all)
                lines.append(pool.line());
            if (status == ExitOk && json)
                JsonEvents::pools(all);
            break;
        }
        case CliOperation::LogSync: {
            const Status synced = SyncJournal(location);
            status = report(synced, console);
            if (status == ExitOk && json)
                JsonEvents::logSynced(synced.message);
            break;
        }
        case CliOperation::Report:
            status = reportTo(location, options, console);
            break;
        case CliOperation::Serve:
            // Its own failures are told (and printed as JSON) where they occur.
            return ServeLog(location, options, console);
        case CliOperation::LogList:
            status = report(
                RecordLines(location, options.exportFrom, options.exportTo, ListedRecords, &lines),
                console);
            if (QList<ChipRecord> records; status == ExitOk && json &&
                                           ListRecords(location, options.exportFrom,
                                                       options.exportTo, ListedRecords, &records))
                JsonEvents::records(records);
            break;
        default:
            status = ExportRecords(location, options, operation.file, console, json);
            break;
        }
        // What was asked for is printed even when quiet.
        for (const QString& line : lines)
            console.result(line);
        if (status != ExitOk) {
            // No run-finished follows the log's commands: the failure is told here.
            if (json)
                JsonEvents::error(status, console.lastError());
            return status;
        }
    }
    return ExitOk;
}

} // namespace varn
