#pragma once

#include "core/status.h"
#include "session/programmingsession.h"
#include "session/runplan.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace varn {

// One step of the command line, run in the order given.
struct CliOperation {
    enum Kind {
        Load,
        Save,
        Fill,
        Clear,
        Checksum,
        Export,
        Diff,
        Crc32,
        JobCreate, // job create FILE: the job file from this command line
        // The production log's own commands: they run alone (export may go with them).
        SeriesCreate,
        SeriesList,
        PoolCreate,
        PoolList,
        LogSync,
        Report,
        LogList,
        Serve, // serve: the log over HTTP until stopped
        Identify,
        Function, // a device function of the function table: see `function`
        Run,
        Reset,
    };
    Kind kind = Clear;
    QString file;     // load, save, export, diff; the series' or pool's name for create
    qint64 start = 0; // fill
    qint64 length = 0;
    quint8 value = 0xFF;
    int function = -1; // Function: its code (FunctionCode)

    // Talks to the unit (opens the port and identifies it first).
    bool needsUnit() const { return kind >= Identify; }
    // A function of the function window (the load sequence goes first).
    bool isDeviceFunction() const { return kind == Function; }
    bool isLogCommand() const { return kind >= SeriesCreate && kind <= Serve; }
};

struct CliOptions {
    std::optional<int> portNumber;    // --port N (the last one given)
    QString portPath;                 // --port PATH or URL
    QStringList ports;                // every --port in order: several units at once
    bool repeat = false;              // --repeat: ask for the next chip(s) after each run
    QString workDir;                  // --workdir DIR: the configuration's folder
    int netLatencyMs = -1;            // --net-latency MS: network allowance (-1: measured)
    QString device;                   // --device NAME or table index
    std::optional<FileFormat> format; // --hex, --srec, ...; none: by the file's name
    qint64 fileOffset = 0;
    qint64 bufferOffset = 0;
    qint64 relocate = 0;      // --relocate HEX: subtracted from every file address
    bool definedOnly = false; // --defined-only: save writes only the image's bytes
    bool quiet = false;
    bool json = false; // --json: JSON Lines on standard output, text on standard error
    bool csv = false;  // --csv: report as CSV
    bool help = false;
    bool version = false;
    bool listPorts = false; // --list-ports: the ports and comN entries, nothing else
    // --log [PATH|URL]: an empty value means varn-log.sqlite in the current
    // folder. Unset: no record is written (export still reads the default).
    std::optional<QString> log;
    QStringList seriesOptions; // the describing options given
    // --pool-first, --pool-last, --pool-step: the pool that pool create makes.
    NumberPool pool;
    QStringList poolOptions;
    QString beforeChip;        // --before-chip CMD
    QString afterChip;         // --after-chip CMD
    int hookTimeoutMs = 60000; // --hook-timeout S
    QDateTime exportFrom;      // --from, --to: export's and log list's time range (UTC)
    QDateTime exportTo;
    // serve: --listen ADDR:PORT, and --token or the first line of --token-file.
    QString listen;
    QString token;
    QString tokenFile;
    QList<CliOperation> operations;
    // Every option given, by its long name: what a job fixes cannot be given.
    QStringList given;
    // --job FILE: image, device and options come from the job.
    QString job;
    // job create: --reference-image.
    bool referenceImage = false;
    // What the run does and how, as given or as a job gives it:
    // --functions and --units (job create; no functions: auto with
    // auto.cfg's steps), --only-image, --skip-blank, --allow-partial (a
    // load that left data out of the buffer still succeeds too), --timeout,
    // --retries, --expect-crc32, --stop-after, --field, --create-log, the
    // line's fields (--station, --operator, --lot, --work-order, --product)
    // and the image a job names for the records. --serial NAME and
    // --serial-address name the run's series and where its number goes
    // (enabled by the address), --serial-overwrite lets it lie on image
    // bytes; --serial-first, -step, -maximum, -length, -encoding and -order
    // describe a series for series create. --log is resolved into it by
    // CliRunPlan.
    RunPlan plan;
};

// The run plan of a command line: as given (or as its job gives it), with
// the --log location and what it leaves to the configuration: Auto with
// auto.cfg's steps when it names no functions, one unit per --port.
RunPlan CliRunPlan(const CliOptions& options, const AppState& state);

// The serial options against the operations and --log (a job's included).
Status CheckLogOptions(const CliOptions& options);

// A --port value that names a port number rather than a device path.
bool IsPortNumber(const QString& port);

// Parses the arguments after the program name. A failure's message says what
// is wrong with which argument, without the program name.
Status ParseCliArguments(const QStringList& arguments, CliOptions& options);

// One row of --help and of the manual page: what is typed and what it does
// ("\n" ends a line of --help; the manual page fills the lines).
struct CliHelpRow {
    QString synopsis;
    QString help;
};

// The operation and option tables' rows, in --help's order. The manual page
// is generated from these (tools/cli/climanpage.cpp), so a new row shows in
// both.
QList<CliHelpRow> CliOperationRows();
QList<CliHelpRow> CliOptionRows();

// The --help text, exit statuses (exitstatus.h) included.
QString CliUsage();

} // namespace varn
