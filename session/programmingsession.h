#pragma once

#include "core/appstate.h"
#include "core/status.h"
#include "functions/devicefunctions.h"
#include "link/unitcommands.h"
#include "production/chipfield.h"
#include "production/chiprecord.h"
#include "production/runrecord.h"
#include "production/serialnumber.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace varn {

struct RunPlan;

class ProductionLog;

// Counts since the session began.
struct SessionCounts {
    int chips = 0; // chips that received something
    int passed = 0;
    int failuresInRow = 0;
    int failed() const { return chips - passed; }
    double yieldPercent() const { return chips ? 100.0 * passed / chips : 0.0; }
};

// What one chip came to. A plain value: it crosses from the session's thread
// to the window that shows it.
struct ChipReport {
    enum class Verdict {
        None,    // refused before anything was sent: no chip was touched
        Pass,    // every function succeeded and the record (if kept) is written
        Fail,    // a function failed, or the record of a touched chip was lost
        Stopped, // the user stopped it at a block boundary
    };
    // Where a chip that did not pass was held up: the windows title their
    // message by it.
    enum class Stage {
        None,
        Image,  // the image is not the one expected, or a per-chip field does not fit it
        Log,    // the production log cannot be opened or cannot open the chip's record
        Serial, // no serial number or per-chip field could be given
        Unit,   // the unit cannot be reached or prepared
        Run,    // a device function failed, was refused by the engine, or was stopped
        Record, // the chip ran but its record could not be kept
        Hook,   // the front-end's hook refused the chip (verdict None) or failed it (Fail)
    };
    Verdict verdict = Verdict::None;
    Stage stage = Stage::None;
    int function = 0;      // what was asked: list index 0..6 or FnCompare
    FunctionResult result; // the function's or sequence's result (Refused when none ran)
    // Why it did not pass, in the engine's or the log's words.
    QString reason;
    qint64 serial = -1;
    // The record as kept (or, when it could not be kept, as it should read).
    bool recorded = false;
    ChipRecord record;
    // Non-empty when the record went to the local journal instead of the database.
    QString recordNotice;
    // After a Read that ran: the bytes and defined mask the chip gave.
    std::shared_ptr<const AppState> readBack;
    // The session's counts with this chip, and whether they now stop it.
    SessionCounts counts;
    bool halted = false;

    bool passed() const { return verdict == Verdict::Pass; }
    // The chip received something: it counts towards the yield.
    bool counted() const { return verdict != Verdict::None; }
};

// Where a session reports to, beyond the device functions' own events. The
// session calls these on its own thread; a window forwards them queued.
class SessionObserver : public FunctionObserver {
public:
    virtual void unitIdentified(const QByteArray& /*reply*/) {}
    virtual void serialAssigned(qint64 /*serial*/) {}
    // A record was opened (id known) or closed; notice non-empty when it went
    // to the local journal.
    virtual void recordWritten(const ChipRecord& /*record*/, const QString& /*notice*/) {}
    virtual void chipFinished(const ChipReport& /*report*/) {}
};

// Where a session hands a chip to its front-end's hook: before the first
// byte of its functions is sent (its record open, its serial number given),
// and after the functions (the result known, the record not yet closed).
enum class ChipHookPoint { BeforeChip, AfterChip };

struct ChipHookVerdict {
    bool passed = true;
    QString reason; // kept in the record when it did not pass
};

// How a session runs, set by its front-end from its options or settings.
struct SessionSettings {
    FunctionOptions functions;
    // The production log: off unless a location is given.
    std::optional<QString> logLocation;
    bool createLog = false;
    // Serial numbers (used only with the log, which hands them out).
    SerialSettings serial;
    // The serial field may cover bytes the image defines.
    bool serialOverwrite = false;
    // Each programmed chip's own fields beyond its serial number (pool
    // numbers need the log).
    QList<ChipField> fields;
    // Why the configured fields cannot be used (every chip is refused).
    QString fieldsProblem;
    // The record's context: port as the user named it, station, image file...
    RunContext context;
    // The image must have this CRC-32 before anything is sent.
    std::optional<quint32> expectCrc32;
    // Stop after this many failed chips in a row (0: never).
    int stopAfterFailures = 0;
    // After a communication fault (a unit that did not answer, a lost reply
    // or line, a load sequence that did not go out), the next chip
    // identifies the unit afresh, as Reconnect does: what was on the line
    // is dropped and a replaced unit is known by its own name. A front-end
    // without it leaves reconnecting to its user.
    bool reconnectAfterFault = false;
    // Called on the session's thread at each ChipHookPoint of a chip that
    // reached the unit. Before: a verdict that does not pass refuses the chip
    // (nothing is sent for it). After (only for a chip whose functions ran
    // to an end): one that does not pass fails a chip that passed. Either is
    // kept in the chip's record with the hook's reason.
    std::function<ChipHookVerdict(ChipHookPoint, const ChipReport&)> chipHook;
};

// Everything from "the user asked for a run" to "the result is final", for
// one unit: the link and its identification, the checks before anything is
// sent, the load sequence, the functions, the per-chip bytes written into
// that chip's copy of the image, the record and the counts. The desktop
// windows and varn-cli are front-ends that call it and show its events; none
// of them talks to the log or the serial numbers.
//
// A session and its link belong to the thread that created them. stop() may
// be called from any thread and from a signal handler.
class ProgrammingSession {
public:
    // Makes the link for the session's configuration (its port number and
    // working folder); status says why it did not open.
    using TransportFactory =
        std::function<std::unique_ptr<Transport>(const AppState& setup, Status* status)>;

    // setup: the configuration (device table, selection, Auto steps); the
    // session keeps its own copy. open: makes the link when first needed.
    ProgrammingSession(const AppState& setup, SessionObserver& observer, TransportFactory open);
    ~ProgrammingSession();
    ProgrammingSession(const ProgrammingSession&) = delete;
    ProgrammingSession& operator=(const ProgrammingSession&) = delete;

    void setSettings(const SessionSettings& settings);
    const SessionSettings& settings() const { return current; }
    // The configuration's device table, selection and Auto steps (the image
    // bytes come with each chip).
    void setConfiguration(const AppState& setup);
    // The same from an image the front-end shares with its chips: given the
    // image the session holds already, nothing is copied.
    void setConfiguration(const std::shared_ptr<const AppState>& setup);

    // Opens the link and identifies the unit, once: later calls return the
    // first answer until reconnect().
    Status connectUnit();
    // Opens the port again, drops what arrives in the first 100 ms (the rest
    // of a reply cut off) and identifies the unit afresh (after a lost line, a
    // replugged adapter or another unit on the same port).
    Status reconnect();
    // Before a chip or a command to the unit: connectUnit(), or reconnect()
    // when reconnectAfterFault is set and the line has failed since.
    Status connectForChip();
    bool identified() const { return unit.UnitIdentified; }
    // Whether the port opened at the last connect (false: the port itself
    // failed, not the unit).
    bool portOpened() const { return portOpen; }
    // Why the line is not open (empty while it is).
    QString notConnectedReason() const;
    const QByteArray& identification() const { return identity; }
    bool inReset() const { return unit.unitInReset; }
    Transport* link() const { return transport.get(); }

    // The load sequence, once per connection; false when it could not be
    // completed (already reported to the observer).
    bool prepareUnit();
    // Another chip is in the socket (the next one of a production run): the
    // next run gives it a load sequence (run, reset, device select) of its
    // own, as a fresh start would; the unit is not identified again.
    void chipChanged() { prepared = prepared && !chipSincePrepared; }
    // Run / Reset of the target, sent only on a change. Returns whether the
    // state changed; the state follows the user even with the line closed.
    bool setTargetRunning(bool running);

    // Opens the log when one is set, so that a front-end can refuse to start
    // before any chip ("cannot open the log"); runChip opens it too.
    Status openLog();
    // Records a run refused before any chip (step names what refused it),
    // when a log is set; no chip is counted.
    Status recordRefusal(const QString& step, const QString& reason);
    // The number the next chip would get, or -1 (no series, or no log).
    qint64 nextSerial();

    // One chip: image holds the buffer and its defined bytes as the user has
    // them (never changed by the run). function: list index 0..6 or FnCompare.
    ChipReport runChip(int function, const AppState& image);
    // One chip through several functions in a row (varn-cli's "program
    // verify"): one record listing each, one serial number when any of them
    // programs, and the first that does not succeed ends the chip. The
    // report's result is then a sequence (FnAuto) holding each function's.
    ChipReport runChip(const QList<int>& functions, const AppState& image);
    // The same with an image shared read-only by every chip of a run: the
    // chip's own bytes (serial number, fields) go on top of the session's
    // copy, and the next chip of the same image only has them taken back,
    // instead of the whole buffer copied again.
    ChipReport runChip(const QList<int>& functions, const std::shared_ptr<const AppState>& image);
    ChipReport runChip(int function, const std::shared_ptr<const AppState>& image);

    // A run's plan: its settings (the hook stays the front-end's) and the
    // functions every chip of runPlanned() goes through. reconnectAfterFault:
    // a failed line is opened and the unit identified afresh before the next
    // chip (no one may be there to click Reconnect).
    void setPlan(const RunPlan& plan, bool reconnectAfterFault);
    // The plan's next chip on image, shared as by runChip.
    ChipReport runPlanned(const std::shared_ptr<const AppState>& image);

    // After a Read: the bytes and defined mask the chip gave.
    const AppState& lastImage() const { return unit; }

    void stop() { stopFlag.store(true); }
    // Before the front-end asks for the next chip: a stop belongs to one run.
    void resetStop() { stopFlag.store(false); }
    bool stopRequested() const { return stopFlag.load(); }
    const std::atomic<bool>* stopSignal() const { return &stopFlag; }

    const SessionCounts& counts() const { return tally; }
    // Too many failures in a row: no further chip runs until resume().
    bool halted() const;
    void resume() { tally.failuresInRow = 0; }

private:
    // Why this chip must not start (empty when it may).
    QString checkBeforeChip(const QList<int>& functions, const AppState& image) const;
    // The functions one after another, as the engine runs an Auto sequence.
    FunctionResult runFunctions(const QList<int>& functions);
    ChipReport refuse(int function, ChipReport::Stage stage, const QString& reason);
    void count(const ChipReport& report);
    void keepRecord(ChipReport& report, bool open);
    // Delivers the report and counts it.
    ChipReport finish(ChipReport report);

    // Stands between the engine and the observer: while a recorded chip's
    // functions run, the open record is marked with what reached the chip.
    class RecordMarks : public FunctionObserver {
    public:
        explicit RecordMarks(ProgrammingSession& session) : session(session) {}
        void functionStarted(const FunctionResult& run) override;
        void functionProgress(const FunctionResult& run, int percent) override;
        void functionFinished(const FunctionResult& result) override;
        void refused(const QString& reason) override;
        void unitRunStateChanged() override;

        // The record is open in the log: its functions are about to run.
        void begin(ChipRecord* open);
        void end() { record = nullptr; }

    private:
        void mark();

        ProgrammingSession& session;
        ChipRecord* record = nullptr;
        QStringList begun;
        bool programSent = false;
        qint64 reached = -1;
        QElapsedTimer sinceMark;
    };

    // The chip once unit holds its image.
    ChipReport runOwnChip(const QList<int>& functions);
    // Takes image's bytes for the next chip (see runChip).
    void takeImage(const AppState& image);
    // Notes bytes the chip gets besides the image, before they are written.
    void noteOwnBytes(qint64 begin, qint64 end);

    AppState unit; // the configuration plus the chip's image during a run
    // The shared image unit's bytes are, apart from the last chip's own
    // bytes ([begin, end) ranges); null when unit holds bytes of its own (a
    // Read, an image given by reference).
    std::shared_ptr<const AppState> heldImage;
    // What runPlanned() runs.
    QList<int> plannedFunctions;
    QList<QPair<qint64, qint64>> ownBytes;
    SessionObserver& observer;
    RecordMarks marks{*this};
    TransportFactory openLink;
    std::unique_ptr<Transport> transport;
    std::unique_ptr<DeviceFunctions> engine;
    std::unique_ptr<ProductionLog> log;
    SessionSettings current;
    Status connected = Status::Fail(QString());
    bool triedConnect = false;
    bool faultSinceConnect = false; // a communication fault since the last connect
    bool dropStale = false;         // at the next connect: a reconnect after a lost line
    bool portOpen = false;
    bool prepared = false;
    bool chipSincePrepared = false; // a chip has had its functions since the load sequence
    QByteArray identity;
    SessionCounts tally;
    std::atomic<bool> stopFlag{false};
};

} // namespace varn
