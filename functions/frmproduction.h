#pragma once

#include "core/appstate.h"
#include "functions/devicefunctions.h"
#include "functions/productionrun.h"
#include "link/transport.h"
#include "production/recordedrun.h"

#include <QDialog>
#include <memory>

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
    // What each chip's record names besides the buffer (port, unit, file).
    void setRecordContext(const RunContext& context);
    // A serial number went into the buffer: the caller shows the buffer anew.
    bool BufferChanged() const { return logged && logged->serialWritten(); }

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
    // With the production log on: the open log and its recorder, or why the
    // log could not be opened (then nothing is sent).
    std::unique_ptr<ProductionLog> log;
    std::unique_ptr<LoggedChips> logged;
    QString logError;

    QLabel* lblVerdict = nullptr;
    QLabel* lblReason = nullptr;
    QLabel* lblCounts = nullptr;
    QLabel* lblSerial = nullptr;
    QLabel* lblStep = nullptr;
    QProgressBar* barProgress = nullptr;
    QSpinBox* txtStopAfter = nullptr;
    QPushButton* cmdStart = nullptr;
    QPushButton* cmdClose = nullptr;
};

} // namespace varn
