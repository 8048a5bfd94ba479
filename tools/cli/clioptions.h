#pragma once

#include "core/status.h"
#include "session/programmingsession.h"

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
    int timeoutMs = 1000;             // --timeout MS: reply wait of block requests
    int retries = 0;                  // --retries N: block requests sent again
    QString workDir;                  // --workdir DIR: the configuration's folder
    int netLatencyMs = -1;            // --net-latency MS: network allowance (-1: measured)
    QString device;                   // --device NAME or table index
    std::optional<FileFormat> format; // --hex, --srec, ...; none: by the file's name
    qint64 fileOffset = 0;
    qint64 bufferOffset = 0;
    qint64 relocate = 0;      // --relocate HEX: subtracted from every file address
    bool definedOnly = false; // --defined-only: save writes only the image's bytes
    bool skipBlank = false;
    bool onlyImage = false; // --only-image: program, verify, blank, compare
    // A load that left data out of the buffer still succeeds, and an image
    // with bytes outside the device is run without them.
    bool allowPartial = false;
    bool quiet = false;
    bool json = false; // --json: JSON Lines on standard output, text on standard error
    bool csv = false;  // --csv: report as CSV
    bool help = false;
    bool version = false;
    bool listPorts = false; // --list-ports: the ports and comN entries, nothing else
    // --expect-crc32 HEX: the buffer's CRC-32 checked before the device functions.
    std::optional<quint32> expectCrc32;
    // --log [PATH|URL]: an empty value means varn-log.sqlite in the current
    // folder. Unset: no record is written (export still reads the default).
    std::optional<QString> log;
    bool createLog = false; // --create-log: a log file that does not exist is started
    // --serial NAME and --serial-address: the run's series and where its
    // number goes (enabled by the address); --serial-first, -step, -maximum,
    // -length, -encoding and -order describe a series for series create.
    SerialSettings serial;
    QStringList seriesOptions;    // the describing options given
    bool serialOverwrite = false; // --serial-overwrite: the field may lie on image bytes
    LineFields fields;            // --station, --operator, --lot, --work-order, --product
    QList<ChipField> chipFields;  // --field FIELD, in the order given
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
    // The image for the records when a job supplied it (no load names it).
    QString imageName, imagePath;
    // job create: --functions, --units, --stop-after, --reference-image.
    QList<int> jobFunctions; // empty: auto, with auto.cfg's steps
    int units = 0;           // 0: as many as --port gives, at least one
    bool referenceImage = false;
    // --stop-after N: stop after N failed chips in a row (0: never).
    int stopAfterFailures = 0;
};

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
