#pragma once

#include "core/appstate.h"
#include "functions/functiontext.h"
#include "session/programmingsession.h"
#include "ui/progresstimelabel.h"
#include "ui/runwindow.h"

#include <functional>
#include <optional>

class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace varn {

class SessionHost;

// The window from which the device functions are run. The unit's session does
// the work on its own thread; the window shows the events it is sent, offers
// Stop (Esc) in Close's place while a function runs, and keeps the buttons
// from re-entering a run.
class frmFunction : public RunWindow {
    Q_OBJECT
public:
    frmFunction(AppState& state, SessionHost& host, QWidget* parent = nullptr);

    // Starts the unit's load exchange (with pauses) on the session's thread;
    // Run is enabled once it is over. The caller calls it before exec().
    void Form_Load();
    // True when a Read chosen from the list closed the window: the buffer
    // holds what the chip gave.
    bool BufferReloadWanted() const { return reloadWanted; }
    // Runs one function without the list (the Device menu's Compare) once
    // the load exchange is over: the caller then shows the window with
    // exec(), which ends when the function is done. False (nothing started)
    // when the unit was not identified.
    bool RunAlone(int code);
    const FunctionResult& AloneResult() const { return aloneResult; }
    // The last Verify of the window when it found a wrong byte (a later
    // Verify that passed clears it).
    const std::optional<FunctionResult>& VerifyMismatch() const { return verifyMismatch; }
    // A function or the load exchange is under way.
    bool isRunning() const override { return running || loading; }
    // Asked before Program or Auto; false stops the run before anything is sent
    // (the main window offers to load a file that changed on disk again).
    std::function<bool()> beforeProgram;
    // What the production log's records name besides the buffer: the port,
    // the unit and the file last loaded.
    void setRecordContext(const RunContext& context) { recordContext = context; }

public slots:
    void cmdRun_Click();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool stoppable() const override { return running; }
    void stopChip() override;
    void functionStarted(const FunctionResult& run) override;
    void functionProgress(const FunctionResult& run, int percent) override;
    // The bar's fill at the percentage shown last, for the bar's width now.
    void showFill();
    void functionFinished(const FunctionResult& result) override;
    void refused(const QString& reason, bool lineOpen) override;
    void chipFinished(const ChipReport& report) override;
    void start(int code);
    void showLines();
    void updateButtons();

    AppState& state;
    SessionHost& host;
    FunctionLines lines;
    bool running = false;
    bool loading = false;
    bool reloadWanted = false;
    int percentShown = 0;
    // Compare from the Device menu: the window closes with the result.
    bool alone = false;
    // Asked for while the load exchange still ran.
    int pendingStart = -1;
    FunctionResult aloneResult;
    std::optional<FunctionResult> verifyMismatch;
    RunContext recordContext;

    QListWidget* listFunction = nullptr;
    QGroupBox* Frame1 = nullptr;
    QLabel* lblMsg[6] = {};
    QFrame* shpBG = nullptr;
    QFrame* shpProgress = nullptr;
    QLabel* lblProgress = nullptr;
    ProgressTimeLabel* progressTime = nullptr;
    QLineEdit* txtChipStart = nullptr;
    QLineEdit* txtChipEnd = nullptr;
    QLineEdit* txtBufferStart = nullptr;
    QLineEdit* txtBufferEnd = nullptr;
    QPushButton* cmdRun = nullptr;
};

} // namespace varn
