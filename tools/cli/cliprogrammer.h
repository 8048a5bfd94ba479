#pragma once

#include "cliconsole.h"
#include "clioptions.h"
#include "core/appstate.h"
#include "files/imagefiles.h"
#include "session/programmingsession.h"

#include <QElapsedTimer>
#include <QString>
#include <memory>
#include <optional>

namespace varn {

class JsonEvents;
class StopRegistration;

// Runs the operations of one command line: the file and buffer operations
// itself, the device functions through a programming session (which keeps
// the record and hands out the serial number), reporting to the console
// instead of windows. Consecutive device functions ("program verify") are one
// chip: one record, one serial number.
class CliProgrammer : public SessionObserver {
public:
    // lent: a session that lives elsewhere (a unit of a group), used on its
    // own thread, which hears this programmer's events through its host;
    // null: the programmer makes its own when a run first needs one.
    CliProgrammer(AppState& state, const CliOptions& options, CliConsole& console,
                  ProgrammingSession* lent = nullptr);
    ~CliProgrammer() override;

    // Applies --port and --device to the configuration read at start-up.
    // Returns ExitOk or ExitUsage (after printing why).
    int applyOverrides();
    // Runs every operation in order and stops at the first that fails.
    // Returns the exit status. Called again (--repeat), it runs the command
    // line for the next chip on the same session: the unit stays identified.
    int run();
    // The serial number the last chip was given (with --log and a serial
    // number setting), or -1.
    qint64 serialNumber() const { return lastSerial; }
    // The number the next chip would get, or -1.
    qint64 nextSerial();
    // Chips that received something, and those that passed, since the start.
    SessionCounts counts() const;
    // The last run lost the line or the unit: it is identified afresh before
    // the next chip.
    // Writes a record of a run refused before any chip (a job that did not
    // open) to the --log.
    Status recordRefusal(const QString& reason);
    // The session, once a run has needed it (for a stop request).
    ProgrammingSession* session() const { return programming; }

    // SessionObserver
    void functionStarted(const FunctionResult& run) override;
    void functionProgress(const FunctionResult& run, int percent) override;
    void functionFinished(const FunctionResult& result) override;
    void refused(const QString& reason) override;
    void unitIdentified(const QByteArray& reply) override;
    void serialAssigned(qint64 serial) override;
    void recordWritten(const ChipRecord& record, const QString& notice) override;

private:
    // The port as the user named it (--port, or varn.cfg's as COMn): what the
    // JSON events, the records and the hooks name.
    QString portName() const;
    int runOperations();
    int runOperation(const CliOperation& operation);
    int loadFile(const QString& path);
    int saveFile(const QString& path);
    int diffFile(const QString& path);
    int exportRecords(const QString& path);
    int createJob(const QString& path);
    // The session, made when first needed, with this command line's settings.
    ProgrammingSession& ensureSession();
    SessionSettings sessionSettings();
    // --log: opened before anything else, so that nothing goes to the unit
    // unless its record can be kept.
    int openLog();
    int connectUnit();
    void reportConnectFailure(const Status& status);
    // One chip through the device functions of list indexes (or FnCompare).
    int runChip(const QList<int>& functions);
    int chipStatus(const ChipReport& report);
    // --before-chip and --after-chip, as the session's hook.
    ChipHookVerdict runHook(ChipHookPoint point, const ChipReport& report);
    FileFormat fileFormat(const QString& path) const;
    LoadOptions loadOptions(const QString& path) const;
    int judgeLoad(const QString& path, const LoadResult& loaded);

    AppState& state;
    const CliOptions& options;
    CliConsole& console;

    ProgrammingSession* programming = nullptr;
    ProgrammingSession* lentSession = nullptr;
    std::unique_ptr<ProgrammingSession> ownSession;
    // Ctrl+C and SIGTERM reach the session while this lives (let go first).
    std::unique_ptr<StopRegistration> stopRegistration;
    qint64 lastSerial = -1;
    QString imageFile;
    QString imagePath;
    // The buffer is no longer the file loaded last (a fill, clear or Read).
    bool editedSinceLoad = false;
    QString lastNotice;
    // Since run() began: the duration the after-chip hook's object gives.
    QElapsedTimer runClock;

    // --json: the events as JSON Lines.
    std::unique_ptr<JsonEvents> json;

    // The bar's label while a function runs; empty once it has finished.
    QString progressLabel;
};

// The whole command: parse, --help, start-up reading, operations.
int RunCli(const QStringList& arguments);

} // namespace varn
