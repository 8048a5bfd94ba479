#pragma once

#include "core/appstate.h"
#include "session/programmingsession.h"
#include "ui/filedialogs.h"

#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class QAction;
class QDragEnterEvent;
class QDropEvent;
class QResizeEvent;
class QLabel;
class QMdiArea;
class QStatusBar;
class QUrl;

namespace varn {

class BufferCommands;
class ChipPreviewFeed;
class FileCommands;
class JobFiles;
class OperatorMode;
class SessionHost;
class UnitConnection;
class WindowPlacement;
class frmAbout;
class frmBuffer;
class frmMemoryMap;
class ImageModel;
class RecentFiles;

// The program's frame window: menus, the five-panel status bar, the MDI area
// that holds the buffer window, and the unit's session every other window
// uses. Each menu's work is done by a part of its own (the unit's
// connection, the subwindows' places, the image's files, jobs, the buffer's
// commands, operator mode, the next chip's preview); the window keeps the
// menus and the status bar, the start and the end.
class mdiMain : public QMainWindow {
    Q_OBJECT
public:
    explicit mdiMain(AppState& state, QWidget* parent = nullptr);
    ~mdiMain() override;

    // The unit's programming session and its link, on a thread of their own.
    SessionHost* unit = nullptr;
    FileDialogs cdia;
    QStatusBar* sbar = nullptr;

    // The help page and how it is opened; tests point them elsewhere.
    QString helpFile;
    std::function<bool(const QUrl&)> openUrl;

    // Load step: start-up screen, empty buffer, port, identification, panels.
    void MDIForm_Load();
    // First activation: the identification report (later calls do nothing).
    void MDIForm_Activate();

    // panel 1..5
    QLabel* Panel(int number) const;
    QString PanelText(int number) const;

    QMdiArea* MdiArea() const { return mdiArea; }
    // The open buffer window, or null.
    frmBuffer* BufferWindow() const;
    // The memory map's window, when open.
    frmMemoryMap* MemoryMapWindow() const;
    QAction* Action(const QString& objectName) const;
    // The image every window follows.
    ImageModel& Image() const { return *image; }
    const RecentFiles& Recent() const;

public slots:
    void FileLoad_Click();
    // Before Program or Auto: when the file loaded last changed on disk, asks
    // whether to load it again first; false means the user cancelled.
    bool offerReload();
    void FileSave_Click();
    void FileSaveAs_Click();
    void FileCompare_Click();
    void FileSaveJob_Click();
    void FileOpenJob_Click();
    void FileExit_Click();
    void BufferEdit_Click();
    void BufferClear_Click();
    void BufferFill_Click();
    void BufferUndo_Click();
    void BufferRedo_Click();
    void BufferCopy_Click();
    void BufferCopyArray_Click();
    void BufferPaste_Click();
    void BufferGoTo_Click();
    void BufferFind_Click();
    void BufferFindNext_Click();
    void DeviceSelect_Click();
    void DeviceFunction_Click();
    // Reads the device and lists where it differs from the buffer.
    void DeviceCompare_Click();
    // With a job opened: operator mode, every unit of the job in one window;
    // otherwise the Production window of the program's own unit.
    void DeviceProduction_Click();
    void FileLeaveOperator_Click();
    bool InOperatorMode() const;
    void DeviceRun_Click();
    void DeviceReset_Click();
    void DeviceReconnect_Click();
    void OptionsEditAuto_Click();
    void OptionsSettings_Click();
    void OptionsProductionLog_Click();
    // Only the Image and Allow Partial Image: kept in varn.ini for every
    // later run.
    void OptionsOnlyImage_Click();
    void OptionsAllowPartial_Click();
    // The memory map in its own window, beside the buffer window.
    void ViewMemoryMap_Click();
    void ViewProductionReport_Click();
    void HelpContents_Click();
    void HelpAbout_Click();

    // Menu check marks of Run/Reset and panel 5 from state.unitInReset.
    void UpdateUnitState();
    // Panels 2 and 3 from the selected device.
    void UpdateDevicePanels();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // A check item of the Options menu into its varn.ini key.
    void keepCheckItem(const QString& action, const char* key);
    void createActions();
    void createStatusBar();
    void setMenusEnabled(bool enabled);
    void unloadStartupScreen();
    // Panel 4 names the file (empty: none); the folder part shortens first.
    void showFileName(const QString& path);
    void updateRecentMenu();
    // The title says when the buffer has unsaved changes, or operator mode.
    void showTitle();
    // What a production record names besides the buffer: port, unit, file.
    RunContext recordContext() const;

    AppState& state;
    QMdiArea* mdiArea = nullptr;
    QLabel* panels[5] = {};
    QList<QAction*> commands;
    ImageModel* image = nullptr;
    WindowPlacement* windows = nullptr;
    UnitConnection* connection = nullptr;
    FileCommands* files = nullptr;
    JobFiles* jobs = nullptr;
    BufferCommands* buffer = nullptr;
    OperatorMode* operatorMode = nullptr;
    ChipPreviewFeed* preview = nullptr;
    QList<QAction*> recentActions;
    QString shownFile;
    QLabel* statusNote = nullptr;
    QPointer<frmAbout> startupScreen;
    bool activated = false;
    // The start's connection is under way; the first activation waits for it.
    bool connecting = false;
    bool activationWaiting = false;
    bool activationQueued = false;
    bool unloaded = false;
};

// The program's start: reads the configuration files of dir into state; a
// fault is shown in a message box titled "VARN" and gives a null window.
// Otherwise the main window has run its load step and is shown.
std::unique_ptr<mdiMain> StartUp(AppState& state, const QString& dir);

// "Size: " + the size in upper-case hex without leading zeros + "H".
QString SizePanelText(qint32 size);

} // namespace varn
