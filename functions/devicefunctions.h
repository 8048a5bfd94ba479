#pragma once

#include "core/appstate.h"
#include "functions/functionresult.h"
#include "link/replypolicy.h"
#include "link/transport.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <initializer_list>
#include <vector>

namespace varn {

// Where the device functions report to: the function window, the
// command-line programmer or a test. A run reports functionStarted, any
// number of functionProgress and one functionFinished; an Auto sequence wraps
// the events of its steps in those of the sequence (autoStep 0). A refused
// run reports only refused().
class FunctionObserver {
public:
    virtual ~FunctionObserver() = default;
    // run holds the function, the step and the start time.
    virtual void functionStarted(const FunctionResult& run) = 0;
    // The bar's new percentage; run holds the blocks done so far.
    virtual void functionProgress(const FunctionResult& run, int percent) = 0;
    virtual void functionFinished(const FunctionResult& result) = 0;
    // The engine refused to run a function, or the load sequence could not be
    // completed; reason is the text for a message box titled "Device Error".
    virtual void refused(const QString& reason) = 0;
    // The Run/Reset state in state.unitInReset changed during the load sequence.
    virtual void unitRunStateChanged() {}
};

// How the functions run; a caller sets them before a run.
struct FunctionOptions {
    // Leave out 16-byte blocks that are all 0xFF when programming (an erased
    // device already holds them).
    bool skipBlankBlocks = false;
    // The reply wait of block reads and program blocks, and how often such a
    // request is sent again when its reply did not come.
    ReplyPolicy replies;
    // Only the image: Program, Verify, Blank check and Compare exchange only
    // the 16-byte blocks that hold a byte of AppState::defined (Program sends
    // them whole), and Verify and Compare judge only the defined bytes. Read,
    // Erase and Lock do not change. Off: every block, as always.
    bool onlyImage = false;
    // Image bytes outside the device (past its end) are left out and the run
    // goes on. Off: Program, Verify, Blank check and Compare refuse such an
    // image, since the chip could not hold what the image says.
    bool allowPartial = false;
};

class UserSettings;
// The varn.ini key of the "Only the Image" setting.
inline constexpr const char* OnlyImageKey = "device/onlyImage";
// The varn.ini key of the "Allow Partial Image" setting.
inline constexpr const char* AllowPartialKey = "device/allowPartial";
// The options the desktop windows run with: the reply policy, Only the Image
// and Allow Partial Image from the settings file.
FunctionOptions SettingsFunctionOptions(const UserSettings& settings);

// Why list index 0..6 or FnCompare must not run on image (empty when it may):
// a function that uses the image (Program, Verify, Blank check, Compare, or
// an Auto sequence with one) while the image holds bytes outside the device,
// unless options.allowPartial. The engine refuses with it, and a session asks
// before anything is sent.
QString ImageFitRefusal(const AppState& image, const FunctionOptions& options, int index);

// What ends a sequence of functions.
enum class SequenceRule {
    // The stored Auto sequence: a step whose reply was lost on a line that
    // stays open is reported and the next step goes on; a wrong byte, a stop
    // or a lost line ends it.
    GoOnAfterLostReply,
    // Functions named together (varn-cli's "program verify", a job's list):
    // the first that does not succeed ends the chip, so nothing is locked
    // after a program that did not complete.
    EndAtFirstFailure,
};

// The function window's engine: load sequence, run driver, Auto runner and
// the six device functions. Each instance keeps its own state and touches
// only the AppState and Transport it was given, so engines for several units
// may run on several threads.
class DeviceFunctions {
public:
    DeviceFunctions(AppState& state, Transport& transport, FunctionObserver& observer);

    // Form_Load's exchange: run, pause, reset (state.unitInReset = true),
    // pause, device select (only when identified), pause, "P", pause, "P".
    // Pauses are 250 ms and 1000 ms afterwards. Returns false when the unit
    // was not told everything (the line was lost, or the device code does not
    // fit the select command); the reason has gone to refused().
    bool LoadSequence();

    // cmdRun_Click without the buttons: the function of list index 0..6, or
    // FnCompare, or a refusal when it cannot run now. Compare reads the device
    // with Read's requests, leaves the buffer alone and reports every
    // differing byte (FunctionResult::report); anything different is a Mismatch.
    FunctionResult RunFunction(int index);
    // Several functions in a row, each as RunFunction runs it, by the same
    // runner as Auto but ended by rule. The result is a sequence (FnAuto)
    // holding each function's; the sequence itself is not announced to the
    // observer, its steps are.
    FunctionResult RunSequence(const QList<int>& codes, SequenceRule rule);

    // Why list index 0..6 or FnCompare cannot run now (empty when it can): the
    // line is not open, the device size is outside what the block exchange
    // can address, or only the image is asked for and the buffer holds none,
    // or the image does not fit the device (ImageFitRefusal). Erase and Lock
    // only need the line; Auto needs what its steps need.
    QString refusalReason(int index) const;

    void setOptions(const FunctionOptions& options) { runOptions = options; }
    // A flag another thread (or a signal handler) raises to stop the run at
    // the next block boundary: the reply in flight is awaited, so the unit is
    // left between requests. The run ends Stopped with the address reached;
    // an Auto sequence runs no further step. Null: runs cannot be stopped.
    void setStopFlag(const std::atomic<bool>* flag) { stopFlag = flag; }
    const FunctionOptions& options() const { return runOptions; }
    // The pause after Erase, Lock and between load steps.
    int pauseMs() const { return pause; }
    void setPauseMs(int ms) { pause = ms; }
    // The device select letter of the last load sequence.
    int deviceLetter() const { return letter; }

private:
    enum class BlockMode { Read, Verify, Blank, Compare };

    // The first addresses of the blocks a function exchanges, in order: all
    // of the device, or with only the image those holding a defined byte.
    std::vector<qint32> blocksFor(int code) const;
    void runAuto(FunctionResult& summary);
    // The one sequence runner. An Auto step (autoSteps) runs without a
    // refusal check of its own (the sequence had it), takes its line by its
    // number and waits the long pause after Erase and Lock.
    void runSteps(FunctionResult& summary, const QList<int>& codes, SequenceRule rule,
                  bool autoSteps);
    void runCode(FunctionResult& run);
    void readBlocks(BlockMode mode, FunctionResult& run);
    // Compare's verdict: the buffer against the device bytes read.
    void judgeComparison(const std::vector<quint8>& device, FunctionResult& run);
    void programBlocks(FunctionResult& run);
    void commandOnly(char command, FunctionResult& run);
    bool stopRequested() const { return stopFlag && stopFlag->load(std::memory_order_relaxed); }
    void stopAt(FunctionResult& run, qint32 address);
    bool sendLetter(char command);
    void showProgress(const FunctionResult& run, int percent);
    void failLink(FunctionResult& run, LinkFault cause);
    void finish(FunctionResult& run);
    void waitPause();
    // One block request and its checked reply (ReplyReader::ask); on
    // failure the run has been ended with the fault.
    bool askFor(std::initializer_list<const QByteArray*> frames, int expectedBytes,
                bool (*wellFormed)(const QByteArray&), QByteArray& reply, FunctionResult& run,
                bool* doubted);
    // One more reply in doubt since the last block that stood; past the
    // limit the run ends with a garbled reply (false).
    bool doubtAgain(int& doubts, FunctionResult& run);
    // A reply in doubt behind an earlier block: that block and this one go
    // out again (block steps back by one); false when the run gave up.
    bool stepBack(qint32& block, int& doubts, FunctionResult& run);
    // Takes and drops every byte waiting before a request.
    void discardWaiting();

    AppState& state;
    Transport& transport;
    FunctionObserver& observer;
    // Kept from run to run: a unit that has once sent bytes nobody asked
    // for is read carefully from then on.
    ReplyReader reader;
    FunctionOptions runOptions;
    int pause = 250;
    int letter = 0;
    const std::atomic<bool>* stopFlag = nullptr;
    // Reused for every request so that a block costs no allocation.
    QByteArray letterFrame;
    QByteArray addressFrame;
    QByteArray blockFrame;
};

} // namespace varn
