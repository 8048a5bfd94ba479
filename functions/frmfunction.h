#pragma once

#include <functional>

#include "core/appstate.h"
#include "functions/devicefunctions.h"
#include "functions/functiontext.h"
#include "link/transport.h"
#include "production/runrecord.h"

#include <QDialog>

class QCloseEvent;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace varn {

// The window from which the device functions are run. The engine does the
// work and reports through the observer side of this class; the window only
// shows what it is told and keeps the buttons from re-entering a run.
class frmFunction : public QDialog, private FunctionObserver {
    Q_OBJECT
public:
    frmFunction(AppState& state, Transport& transport, QWidget* parent = nullptr);

    // The unit's load exchange (with pauses); the caller runs it before exec().
    void Form_Load();
    // True when a Read chosen from the list closed the window: the caller
    // shows the buffer anew.
    bool BufferReloadWanted() const { return reloadWanted || serialWritten; }
    // Runs one function without the list (the Device menu's Compare): the
    // window shows its progress while it runs and closes when it is done.
    // Call after Form_Load(); a unit that was not identified refuses it.
    FunctionResult RunAlone(int code);
    // A function is under way (the main window's reconnect waits for it).
    bool isRunning() const { return running; }
    // Asked before Program or Auto; false stops the run before anything is sent
    // (the main window offers to load a file that changed on disk again).
    std::function<bool()> BeforeProgram;
    // What the production log's records name besides the buffer: the port,
    // the unit and the file last loaded.
    void setRecordContext(const RunContext& context) { recordContext = context; }

public slots:
    void cmdRun_Click();
    void cmdClose_Click();
    void reject() override;

signals:
    // state.UnitInReset changed during the load sequence.
    void unitStateChanged();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void functionStarted(const FunctionResult& run) override;
    void functionProgress(const FunctionResult& run, int percent) override;
    void functionFinished(const FunctionResult& result) override;
    void refused(const QString& reason) override;
    void unitRunStateChanged() override { emit unitStateChanged(); }
    void showLines();
    void updateButtons();

    AppState& state;
    Transport& link;
    DeviceFunctions functions;
    FunctionLines lines;
    bool running = false;
    bool reloadWanted = false;
    // A serial number went into the buffer: the buffer window shows it anew.
    bool serialWritten = false;
    RunContext recordContext;
    // The image's bytes where serial numbers go, from before the first one.
    QByteArray imageField;

    QListWidget* listFunction = nullptr;
    QGroupBox* Frame1 = nullptr;
    QLabel* lblMsg[6] = {};
    QFrame* shpBG = nullptr;
    QFrame* shpProgress = nullptr;
    QLabel* lblProgress = nullptr;
    QLineEdit* txtChipStart = nullptr;
    QLineEdit* txtChipEnd = nullptr;
    QLineEdit* txtBufferStart = nullptr;
    QLineEdit* txtBufferEnd = nullptr;
    QPushButton* cmdRun = nullptr;
    QPushButton* cmdClose = nullptr;
};

} // namespace varn
