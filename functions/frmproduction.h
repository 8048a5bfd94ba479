#pragma once

#include "core/appstate.h"
#include "functions/devicefunctions.h"
#include "functions/productionrun.h"
#include "link/transport.h"

#include <QDialog>

class QCloseEvent;
class QLabel;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace varn {

// The Production window: one chip after another on one unit, each with the
// Auto sequence. A large PASS or FAIL for the last chip, the counts and the
// yield since the window opened, and a stop after a set number of failures in
// a row, so that a broken socket or a wrong image does not eat a tray of chips.
class frmProduction : public QDialog, private FunctionObserver {
    Q_OBJECT
public:
    frmProduction(AppState& state, Transport& transport, QWidget* parent = nullptr);

    // The unit's load exchange; the caller runs it before exec().
    void Form_Load();
    const ProductionRun& session() const { return run; }
    bool isRunning() const { return running; }

public slots:
    // Start (Space or Enter): the next chip. After a stop only the button
    // works, as Resume.
    void cmdStart_Click();
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void functionStarted(const FunctionResult& run) override;
    void functionProgress(const FunctionResult& run, int percent) override;
    void functionFinished(const FunctionResult& result) override;
    void refused(const QString& reason) override;
    void showSession();

    AppState& state;
    DeviceFunctions functions;
    ProductionRun run;
    bool running = false;

    QLabel* lblVerdict = nullptr;
    QLabel* lblReason = nullptr;
    QLabel* lblCounts = nullptr;
    QLabel* lblStep = nullptr;
    QProgressBar* barProgress = nullptr;
    QSpinBox* txtStopAfter = nullptr;
    QPushButton* cmdStart = nullptr;
    QPushButton* cmdClose = nullptr;
};

} // namespace varn
