#pragma once

#include "core/appstate.h"
#include "session/programmingsession.h"
#include "ui/progresstimelabel.h"
#include "ui/runwindow.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace varn {

class SessionHost;

// The Production window: one chip after another on one unit, each with the
// Auto sequence. A large PASS or FAIL for the last chip, the counts and the
// yield since the window opened, and a stop after a set number of failures in
// a row, so that a broken socket or a wrong image does not eat a tray of chips.
// Each chip runs on the unit's session thread; Stop (Esc) ends the chip at
// the next block boundary.
class frmProduction : public RunWindow {
    Q_OBJECT
public:
    frmProduction(AppState& state, SessionHost& host, QWidget* parent = nullptr);

    // Opens the log (a log that cannot be opened keeps Start off) and starts
    // the unit's load exchange; the caller calls it before exec().
    void Form_Load();
    const SessionCounts& counts() const { return tally; }
    bool isRunning() const override { return running || loading; }
    // What each chip's record names besides the buffer (port, unit, file).
    void setRecordContext(const RunContext& context) { recordContext = context; }

public slots:
    // Start (Space or Enter): the next chip. After a stop only the button
    // works, as Resume.
    void startClicked();

protected:
    // Space in "Stop after failures" starts the next chip, as anywhere else.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool stoppable() const override { return running; }
    void stopChip() override;
    void functionStarted(const FunctionResult& run) override;
    void functionProgress(const FunctionResult& run, int percent) override;
    void functionFinished(const FunctionResult& result) override;
    void refused(const QString& reason, bool lineOpen) override;
    void chipFinished(const ChipReport& report) override;
    SessionSettings settings() const;
    void showSession();

    AppState& state;
    SessionHost& host;
    // The buffer as the window opened on it, shared by every chip.
    std::shared_ptr<const AppState> image;
    RunContext recordContext;
    bool running = false;
    bool loading = false;
    SessionCounts tally;
    bool halted = false;
    ChipReport::Verdict last = ChipReport::Verdict::None;
    QString lastReason;
    qint64 next = -1;
    // Why the log could not be opened (then nothing is sent).
    QString logError;

    QLabel* verdict = nullptr;
    QLabel* reasonText = nullptr;
    QLabel* countsText = nullptr;
    QLabel* serialText = nullptr;
    QLabel* stepText = nullptr;
    QProgressBar* progress = nullptr;
    ProgressTimeLabel* progressTime = nullptr;
    QSpinBox* stopAfter = nullptr;
    QPushButton* startButton = nullptr;
};

} // namespace varn
