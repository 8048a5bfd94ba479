#pragma once

#include "core/appstate.h"
#include "session/programmingsession.h"

#include <QDialog>
#include <functional>

class QCloseEvent;
class QPushButton;

namespace varn {

class SessionHost;

// What every window that runs chips shares: Stop (Esc) ends the chip under
// way at the next block, the window stays open until its units are free
// again, and Start, Stop and Close follow that. A window that runs its chips
// through one unit's session host hears the session's events through
// follow().
class RunWindow : public QDialog {
    Q_OBJECT
public:
    // A chip, or the unit's preparation, is under way: the window stays open.
    virtual bool isRunning() const = 0;

public slots:
    void stopClicked();
    // Esc during a chip is Stop; the window closes only between chips.
    void reject() override;

signals:
    // state.unitInReset changed while the window was open.
    void unitStateChanged();

protected:
    explicit RunWindow(QWidget* parent);
    void closeEvent(QCloseEvent* event) override;

    // A chip that Stop can end is under way; the preparation only keeps the
    // window open.
    virtual bool stoppable() const { return isRunning(); }
    virtual void stopChip() = 0;

    // Made where the window's tab order wants them.
    void addStopButton(const QString& toolTip);
    void addCloseButton();
    // Space or Enter wherever the focus is: the hands are on the tray.
    void addStartKeys(const std::function<void()>& start);
    // mayStart: what the window itself needs before a chip (an identified
    // unit, an open log).
    void showRunButtons(QPushButton* start, bool mayStart);

    // The host's events come to the handlers below while the window is
    // open, queued from the session's thread; the unit's run state goes
    // into state.
    void follow(SessionHost& host, AppState& state);
    virtual void functionStarted(const FunctionResult&) {}
    virtual void functionProgress(const FunctionResult&, int) {}
    virtual void functionFinished(const FunctionResult&) {}
    // lineOpen: false when the refusal is the closed line's.
    virtual void refused(const QString&, bool) {}
    virtual void chipFinished(const ChipReport&) {}

    QPushButton* stopButton = nullptr;
    QPushButton* cmdClose = nullptr;
};

} // namespace varn
