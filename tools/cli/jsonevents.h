#pragma once

#include "functions/functionresult.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace varn {

class AppState;
struct ChipRecord;
struct DifferenceReport;
struct LoadResult;
struct NumberPool;
struct PortEntry;
struct SerialSettings;
struct UnitOutcome;

// --json: varn-cli's run as JSON Lines on standard output, one object a line,
// each with "type", the unit's "port" and a UTC "time". The events and their
// fields are described in doc/json.md and checked against
// doc/varn-cli-events.schema.json. One object per unit's thread; the lines of
// several units never mix within a line.
class JsonEvents {
public:
    explicit JsonEvents(const QString& port) : port(port) {}

    // A chip's functions are about to run on this image.
    void runStarted(const AppState& image, const QString& imagePath, const QList<int>& functions);
    void unitIdentified(const QByteArray& reply, const QString& name, const QString& version);
    void functionStarted(const FunctionResult& run);
    // At most one a second or every 10 %; a block request sent again shows
    // as "retry".
    void functionProgress(const FunctionResult& run, int percent);
    void functionFinished(const FunctionResult& result);
    void serialAssigned(qint64 serial);
    void recordWritten(const ChipRecord& record, const QString& notice);
    // The command line is done: its exit status, what it means and, when it
    // failed, why (the text standard error gave for the failure).
    void runFinished(int status, qint64 durationMs, qint64 serial, const QString& reason);

    // A load that went through: the file as given, the format read, the bytes
    // stored, and what it had to tell (the notices varn-cli prints).
    void fileLoaded(const QString& file, const LoadResult& loaded);

    // The operations that answer with one object: crc32, checksum, identify,
    // diff and compare (type "diff" or "compare"; file empty for compare).
    void crc32(const AppState& image);
    void checksum(const AppState& image);
    void identify(const QByteArray& reply, const QString& name, const QString& version);
    void differences(const QString& type, const DifferenceReport& report, const QString& file);
    // --list-ports and log list: one object each, with no unit ("port" null).
    static void ports(const QList<PortEntry>& ports);
    static void records(const QList<ChipRecord>& records);
    // report: the log's figures (ReportJson's object), with no unit.
    static void report(const QByteArray& figures);
    // A command line refused before any unit was reached (a usage or
    // configuration error, a job refused), or one of the log's own commands
    // that failed: its status and why, with no unit ("port" null).
    static void error(int status, const QString& message);
    // --help and --version: what standard error shows, so that a program
    // reading the stream is not left with nothing.
    static void help(const QString& text);
    static void version(const QString& version, const QString& text);
    // The log's own commands, with no unit: series create (the series made)
    // and series list, pool create (the pool made) and pool list, and what
    // log sync said.
    static void series(const QList<SerialSettings>& series);
    static void pools(const QList<NumberPool>& pools);
    static void logSynced(const QString& message);
    // serve: where it listens, once it does.
    static void serving(const QString& url);
    // export FILE: the file and the records written (with no unit among the
    // log's own commands: a JsonEvents of a null port).
    void exported(const QString& file, int records);

    // Every unit's end in one object, after a several-unit run or --repeat.
    static void summary(const QList<UnitOutcome>& outcomes, int status, int chips, int passed);
    // The run-finished object (what --after-chip reads on its standard input).
    static QJsonObject runFinishedObject(const QString& port, int status, qint64 durationMs,
                                         qint64 serial, const QString& reason);
    // The word for an exit status: "pass", "mismatch", "usage", ...
    static QString outcomeName(int status);

private:
    void write(const QString& type, QJsonObject fields);

    QString port;
    // Progress already reported: percent, time, block requests sent again.
    int shownPercent = -1;
    QDateTime shownAt;
    int shownResent = 0;
    void writeRetries(const FunctionResult& run);
    // Erase and Lock draw their bar after their result: not reported.
    bool running = false;
};

} // namespace varn
