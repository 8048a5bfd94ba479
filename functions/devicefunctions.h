#pragma once

#include "core/appstate.h"
#include "link/transport.h"

#include <QByteArray>
#include <QString>

namespace varn {

// Where the device functions report to: the function window, the
// command-line programmer or a test.
class FunctionObserver {
public:
    virtual ~FunctionObserver() = default;
    // lblMsg(line) = text, line 0..5.
    virtual void setMessage(int line, const QString& text) = 0;
    // Percent changed (ShowProgress).
    virtual void showProgress(int percent) = 0;
    // The time-out report's message box: "Communication Error!", title
    // "Device Error"; returns when the user has closed it.
    virtual void communicationError() = 0;
    // The run driver refused to run (device too small or too large, unit not
    // connected); reason is the text for a message box titled "Device Error".
    virtual void refused(const QString& reason) = 0;
    // The Run/Reset state in state.UnitInReset changed during the load sequence.
    virtual void unitStateChanged() {}
};

// The function window's engine: load sequence, run driver, Auto runner and
// the six device functions, with the state the window keeps while loaded.
class DeviceFunctions {
public:
    DeviceFunctions(AppState& state, Transport& transport, FunctionObserver& observer);

    // Form_Load's exchange: run, pause, reset (state.UnitInReset = true),
    // pause, device select (only when identified), pause, "P", pause, "P".
    // Pauses are PauseMs (250) and PauseMs becomes 1000 afterwards.
    void LoadSequence();

    // cmdRun_Click without the buttons: Percent = 0, ShowProgress, the six
    // lines cleared, MsgLine = 0, FunctionFailed = false, then the function of
    // list index 0..6. Returns false when it refused to run.
    bool RunFunction(int index);

    void ReadDevice();
    void VerifyDevice();
    void EraseDevice();
    void BlankCheckDevice();
    void LockDevice();
    void ProgramDevice();
    void RunAuto();
    void Pause();

    // Dialog state.
    int Percent = 0;
    qint32 BlockIndex = 0;
    int MsgLine = 0;
    bool FunctionFailed = false;
    int AutoStep = 0;
    int DeviceLetter = 0;
    int PauseMs = 250;
    QByteArray Reply;
    QString Lines[6];

    // Outcome of the last function, for callers that need more than the lines.
    bool CommunicationFailed = false; // a time-out report was given
    qint32 MismatchAddress = -1;      // verify / blank check: first wrong address
    int MismatchExpected = -1;        // buffer byte (0xFF for blank check)
    int MismatchActual = -1;          // device byte

    // Leave out 16-byte blocks that are all 0xFF when programming (an erased
    // device already holds them). Off unless a caller asks for it.
    bool SkipBlankBlocks = false;

    // Why function code 0..5 cannot run now (empty when it can): the line is
    // not open, or the device size is outside what the block exchange can
    // address. Erase and Lock only need the line.
    QString refusalReason(int code) const;

private:
    enum class BlockMode { Read, Verify, Blank };

    // Reports a refusal and returns true when code cannot run now.
    bool refuse(int code);
    void runCode(int code);
    void readBlocks(BlockMode mode, const QString& text);
    void commandOnly(char letter, const QString& text);
    bool sendLetter(char letter);
    void beginFunction(const QString& text);
    void setLine(const QString& text);
    void successMark();
    void timeoutReport();
    void showProgress();

    AppState& state;
    Transport& transport;
    FunctionObserver& observer;
    // Reused for every request so that a block costs no allocation.
    QByteArray letterFrame;
    QByteArray addressFrame;
    QByteArray SendBlock;
};

} // namespace varn
