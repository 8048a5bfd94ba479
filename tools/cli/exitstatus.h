#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <algorithm>

namespace varn {

// What a script sees from varn-cli. Listed in --help and in the README; keep
// the numbers stable, scripts test them.
enum ExitStatus : int {
    ExitOk = 0,            // every operation succeeded
    ExitMismatch = 1,      // verify, blank check or compare found a wrong byte, diff a difference
    ExitUsage = 2,         // bad arguments, or varn.cfg / varn.dev / auto.cfg refused
    ExitCommunication = 3, // port cannot be opened, the unit did not answer
    ExitFile = 4,          // an image file could not be loaded or saved, or left data out, or the
                           // buffer is not the image --expect-crc32 names, or the image holds
                           // bytes outside the device
    ExitLog = 5,           // the production log cannot be opened or written
    ExitHookRefused = 6,   // --before-chip refused a chip (nothing was sent for it)
    ExitHookFailed = 7,    // --after-chip failed a chip its functions passed
    ExitJob = 8,           // the --job file was refused before anything was sent
    // As shells report a command ended by SIGINT or SIGTERM (128 + signal).
    ExitInterrupted = 130, // stopped by Ctrl+C (SIGINT)
    ExitTerminated = 143,  // stopped by SIGTERM
};

// Everything said about a status comes from here: --help, the manual page
// and the README's table list the rows in this order ("\n" breaks --help's
// line), --json names the outcome, the several-unit summary prints the word
// and keeps the worst rank. A new status is a new row here.
struct ExitStatusRow {
    int status;
    const char* outcome; // --json's "outcome"
    const char* word;    // the summary's Result column; null: "FAIL <status>"
    // Which status a run of several units or rounds ends with: the highest.
    int rank;
    const char* meaning;
};

// What a status no row names is called and ranked as.
inline constexpr char UnknownStatusOutcome[] = "fail";
inline constexpr int UnknownStatusRank = 5;

inline constexpr ExitStatusRow ExitStatusRows[] = {
    {ExitOk, "pass", "PASS", 0, "every operation succeeded (on every unit)"},
    {ExitMismatch, "mismatch", "MISMATCH", 1,
     "verify, blank check or compare found a wrong byte, or diff a\ndifference"},
    {ExitUsage, "usage", "USAGE", 8,
     "usage or configuration error (bad arguments, unreadable\n"
     "varn.cfg, varn.dev or auto.cfg, unknown or unusable device)"},
    {ExitCommunication, "communication", "NO-UNIT", 4,
     "communication error (port cannot be opened, the unit did not answer)"},
    {ExitFile, "file", "FILE", 6,
     "file error (an image file could not be loaded or saved,\n"
     "or a load stored nothing (inside the device), or its content\n"
     "is another format than its name says, or it left data out\n"
     "without --allow-partial, or the image holds bytes outside\n"
     "the device without --allow-partial (nothing was sent),\n"
     "or the buffer's CRC-32 is not that of --expect-crc32)"},
    {ExitLog, "log", "LOG", 7,
     "production log error (it cannot be opened, so nothing was sent;\n"
     "or the record could not be written: the record goes to\n"
     "standard error)"},
    {ExitHookRefused, "hook-refused", "REFUSED", 3,
     "the --before-chip command refused a chip (it ended\n"
     "non-zero, or was killed after --hook-timeout): nothing\n"
     "was sent for that chip"},
    {ExitHookFailed, "hook-failed", "HOOK", 2,
     "the --after-chip command failed a chip whose functions\n"
     "passed (it ended non-zero, or was killed after\n"
     "--hook-timeout)"},
    {ExitJob, "job-refused", "JOB", 5,
     "job refused, nothing sent: the --job file cannot be read,\n"
     "it was changed since it was made (or made without a digest),\n"
     "its image does not match its SHA-256 or CRC-32, or its\n"
     "device is not in varn.dev (recorded in the --log)"},
    {ExitInterrupted, "stopped", nullptr, 5, "stopped by Ctrl+C (SIGINT) at a block boundary"},
    {ExitTerminated, "stopped", nullptr, 5, "stopped by SIGTERM at a block boundary"},
};

inline const ExitStatusRow* ExitStatusRowOf(int status) {
    for (const ExitStatusRow& row : ExitStatusRows)
        if (row.status == status)
            return &row;
    return nullptr;
}

// Said after the table: the ranks, highest first. A stop has no place in it,
// since a stopped run ends with the stop's own status.
inline QString ExitStatusNote() {
    QList<const ExitStatusRow*> ranked;
    for (const ExitStatusRow& row : ExitStatusRows)
        if (row.rank > 0 && row.word)
            ranked.append(&row);
    std::stable_sort(
        ranked.begin(), ranked.end(),
        [](const ExitStatusRow* a, const ExitStatusRow* b) { return a->rank > b->rank; });
    QStringList order;
    for (const ExitStatusRow* row : ranked)
        order.append(QString::number(row->status));
    return QStringLiteral("With several units or --repeat the status is the most severe of any\n"
                          "unit and run: ") +
           order.join(QLatin1String(", then ")) + QLatin1Char('.');
}

} // namespace varn
