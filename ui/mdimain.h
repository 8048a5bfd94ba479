#pragma once

#include "core/appstate.h"
#include "core/differences.h"
#include "core/status.h"
#include "files/frmfileload.h"
#include "files/imagefiles.h"
#include "files/loadedfile.h"
#include "jobs/productionjob.h"
#include "production/chippreview.h"
#include "session/programmingsession.h"

#include <QByteArray>
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
class QMdiSubWindow;
class QStatusBar;
class QTimer;
class QUrl;

namespace varn {

class SessionHost;
class UnitGroup;
class frmAbout;
class frmBuffer;
class frmMemoryMap;
class ImageModel;
class RecentFiles;

// The file dialogs of the load and save commands. Each returns the full path
// chosen, or an empty text when the user cancelled. Tests replace them.
struct FileDialogs {
    std::function<QString(QWidget* parent)> showOpen;
    std::function<QString(QWidget* parent)> showSave;
    // File > Open Job (save false) and Save Job: a job file's path.
    std::function<QString(QWidget* parent, bool save)> showJob;
    // Go To and Find ask for one line of text; empty when cancelled.
    std::function<QString(QWidget* parent, const QString& title, const QString& label)> askText;
    // Operator mode's start: operator, lot and work order; empty when cancelled.
    std::function<std::optional<LineFields>(QWidget* parent, const LineFields& given)> askShift;
};

// The program's frame window: menus, the five-panel status bar, the MDI area
// that holds the buffer window, and the unit's session every other window
// uses.
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

public slots:
    void FileLoad_Click();
    // Before Program or Auto: when the file loaded last changed on disk, asks
    // whether to load it again first; false means the user cancelled.
    bool offerReload();
    // What a production record names besides the buffer: port, unit, file.
    RunContext recordContext() const;
    // Saves to the file the image came from in its format; Save As without one.
    void FileSave_Click();
    void FileSaveAs_Click();
    void FileCompare_Click();
    // A job file of the image as loaded, the device, Auto, Only the Image
    // and the reply settings; and one opened onto the buffer and the
    // settings, refused (nothing changed) when it does not match.
    void FileSaveJob_Click();
    void FileOpenJob_Click();
    void FileExit_Click();
    void BufferEdit_Click();
    void BufferClear_Click();
    void BufferFill_Click();
    void BufferUndo_Click();
    void BufferRedo_Click();
    // Copy the selection (or the caret's byte) as hex text or a C array;
    // paste hex text at the caret as one undoable step.
    void BufferCopy_Click();
    void BufferCopyArray_Click();
    void BufferPaste_Click();
    void BufferGoTo_Click();
    void BufferFind_Click();
    void BufferFindNext_Click();
    // Loads path through the load options dialog, as File Load does after
    // its file dialog (recent files and dropped files come here).
    void LoadFile(const QString& path);
    const RecentFiles& Recent() const { return *recent; }
    void DeviceSelect_Click();
    void DeviceFunction_Click();
    // Reads the device and lists where it differs from the buffer.
    void DeviceCompare_Click();
    // With a job opened: operator mode (asked for operator, lot and work
    // order once), every unit of the job in one window; otherwise the
    // Production window of the program's own unit.
    void DeviceProduction_Click();
    // Asks, then unlocks what operator mode locked.
    void FileLeaveOperator_Click();
    bool InOperatorMode() const { return station != nullptr; }
    void DeviceRun_Click();
    void DeviceReset_Click();
    // Run (true) or Reset through the session; tells a closed line.
    void setTarget(bool running);
    // Opens the port again, identifies the unit and restores the status bar.
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
    // Opens the port of the settings and identifies the unit through the
    // session (again: afresh, after a lost line), updating the unit's state.
    struct Connection {
        Status connected;
        bool portOpened = false; // false: the port itself failed
        bool lineOpen = false;
    };
    // then: on the window's thread, once the session has answered.
    void connectToUnit(bool again, std::function<void(const Connection&)> then);
    void createActions();
    void createStatusBar();
    void setMenusEnabled(bool enabled);
    // Runs an exchange with the unit (a load sequence, a function) with the
    // menus off, then shows the unit's state.
    void unloadStartupScreen();
    void connectionLost(const QString& reason);
    // A port fault with the offer to reconnect.
    void offerReconnect(const QString& reason);

    void openBufferWindow();
    void closeBufferWindow();
    // The load (or save) options dialog for path; false when it was cancelled.
    // The load or save options dialog's values; empty when it was cancelled.
    std::optional<FileDialogChoice> askFileType(const QString& path, bool saving = false);
    void tellLoad(const LoadResult& loaded, const QString& path);
    // Panel 4 names the file (empty: none); the folder part shortens first.
    void showFileName(const QString& path);
    void updateRecentMenu();
    bool saveTo(const QString& path, const SaveOptions& options);
    // The title says when the buffer has unsaved changes.
    void showTitle();
    // Before quitting with unsaved changes: Save, Discard or Cancel (false).
    bool askToSave();
    // Window size, position and maximised state in varn.ini, and back, fitted
    // to the screen.
    void saveGeometrySetting();
    void restoreGeometrySetting();
    void copySelection(bool asArray);
    // A note in the status bar (Find wrapped round, no further match; a paste cut short).
    void showNote(const QString& text);
    // The buffer window shows the step undone or redone at its address.
    void showHistoryStep(qint32 address);
    // Before Program or Auto: when the file loaded last has changed on disk,
    // asks whether to load it again first. False when the user cancelled or
    // the new load failed.
    // Replaces the differences window with one for report.
    void showDifferences(const QString& title, const DifferenceReport& report,
                         const QString& other);

    // Gives the buffer window and the memory map the per-chip fields the
    // next chip would get; readLog: the settings, the device or the log's
    // numbers may have changed (else only the image did).
    void showChipPreview(bool readLog);

    bool enterOperatorMode();
    void leaveOperatorMode();

    AppState& state;
    QMdiArea* mdiArea = nullptr;
    QLabel* panels[5] = {};
    QList<QAction*> commands;
    QPointer<QMdiSubWindow> bufferSub;
    ImageModel* image = nullptr;
    std::unique_ptr<RecentFiles> recent;
    QList<QAction*> recentActions;
    QString shownFile;
    QByteArray findPattern;
    QPointer<QMdiSubWindow> differencesSub;
    QPointer<QMdiSubWindow> memoryMapSub;
    QLabel* statusNote = nullptr;
    LoadedFile lastLoaded;
    // The buffer right after that load, and whether the load went into an
    // empty buffer: while both still hold, the buffer is that file alone.
    quint32 loadedFingerprint = 0;
    bool loadedAlone = false;
    QPointer<frmAbout> startupScreen;
    QByteArray identification;
    bool activated = false;
    // The start's connection is under way; the first activation waits for it.
    bool connecting = false;
    bool activationWaiting = false;
    bool activationQueued = false;
    bool unloaded = false;
    // The job opened last (File > Open Job), and its file's name.
    std::optional<ProductionJob> job;
    QString jobName;
    // Operator mode: every unit of the job, and who runs which lot.
    std::unique_ptr<UnitGroup> station;
    LineFields shift;
    // What the next chip's fields are made of, read from varn.ini and the
    // log when a window that shows them opens or the settings change.
    std::optional<ChipPreviewSource> previewSource;
    QString previewNote;
};

// The program's start: reads the configuration files of dir into state; a
// fault is shown in a message box titled "VARN" and gives a null window.
// Otherwise the main window has run its load step and is shown.
std::unique_ptr<mdiMain> StartUp(AppState& state, const QString& dir);

// "Size: " + the size in upper-case hex without leading zeros + "H".
QString SizePanelText(qint32 size);

} // namespace varn
