#include "mdimain.h"

#include "core/config.h"
#include "core/datafiles.h"
#include "core/usersettings.h"
#include "editor/frmbuffer.h"
#include "editor/frmmemorymap.h"
#include "editor/imagemodel.h"
#include "files/recentfiles.h"
#include "functions/functiontext.h"
#include "link/openlink.h"
#include "link/unitcommands.h"
#include "session/desktopsettings.h"
#include "session/openlink.h"
#include "session/operatorboard.h"
#include "session/sessionhost.h"
#include "ui/appicon.h"
#include "ui/buffercommands.h"
#include "ui/chippreviewfeed.h"
#include "ui/filecommands.h"
#include "ui/frmabout.h"
#include "ui/frmeditauto.h"
#include "ui/frmfunction.h"
#include "ui/frmproduction.h"
#include "ui/frmproductionlog.h"
#include "ui/frmreport.h"
#include "ui/frmselectdevice.h"
#include "ui/frmsettings.h"
#include "ui/jobfiles.h"
#include "ui/operatormode.h"
#include "ui/unitconnection.h"
#include "ui/windowplacement.h"
#include "widgets/messagebox.h"
#include "widgets/twips.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QMdiArea>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <QWindow>
#include <algorithm>
#include <optional>

namespace varn {

namespace {

// The status bar's panel widths as drawn, in twips.
const Twips twipsToPixels;

struct PanelSpec {
    int widthTwips;
    const char* initialText;
    const char* toolTip;
};

const PanelSpec panelSpecs[5] = {
    {700, "COM", "Communication Port"},
    {2000, "Device:", "Selected Device"},
    {1440, "Size:", "Memory Size of Selected Device"},
    {5000, "File:", "File Name"},
    {1000, "", "Device State"},
};

} // namespace

QString SizePanelText(qint32 size) {
    return QStringLiteral("Size: ") + QString::number(static_cast<quint32>(size), 16).toUpper() +
           QLatin1Char('H');
}

mdiMain::mdiMain(AppState& state, QWidget* parent) : QMainWindow(parent), state(state) {
    setObjectName(QStringLiteral("mdiMain"));
    setWindowTitle(QStringLiteral("VARN ~ Varnet"));
    setWindowIcon(AppIcon());

    mdiArea = new QMdiArea(this);
    mdiArea->setObjectName(QStringLiteral("mdiArea"));
    setCentralWidget(mdiArea);

    // The port of the settings, read from the session's copy of them.
    unit = new SessionHost(
        state,
        [](const AppState& setup, Status* status) {
            // A network address chosen in Settings (varn.ini), else the number.
            const UserSettings settings(setup);
            LinkOptions options;
            options.netLatencyMs = ReadNetworkPortSettings(settings).latencyMs;
            return OpenUnitLink(DesktopPortAddress(settings, setup.PortNumber), setup.AppDir,
                                options, status);
        },
        this);
    unit->setObjectName(QStringLiteral("unit"));

    image = new ImageModel(state, this);
    image->setObjectName(QStringLiteral("image"));
    windows = new WindowPlacement(*mdiArea, *image, this);
    connection = new UnitConnection(state, *unit, this);
    files = new FileCommands(state, *image, *windows, cdia, this);
    jobs = new JobFiles(state, *image, *windows, *files, cdia, this);
    buffer = new BufferCommands(state, *image, *windows, cdia, this);
    operatorMode = new OperatorMode(
        state, *unit, *jobs, cdia, [this] { return recordContext(); }, this);
    cdia = DesktopFileDialogs(files->recent());
    preview = new ChipPreviewFeed(
        state, *windows,
        [this]() -> std::optional<SessionSettings> {
            if (!jobs->job())
                return std::nullopt;
            return PlanSessionSettings(
                OperatorRunPlan(this->state, *jobs->job(), recordContext(), operatorMode->shift()));
        },
        this);

    // The memory map marks the block a function (or a production chip) is at.
    connect(unit, &SessionHost::functionProgress, windows,
            [this](const FunctionResult& run, int) { windows->showWorking(run.workingAt); });
    connect(unit, &SessionHost::functionFinished, windows,
            [this](const FunctionResult&) { windows->showWorking(-1); });
    // Each chip of a round takes numbers: the preview shows the next chip's
    // while the Function or Production window is still open (operator
    // mode's units report through their group).
    connect(unit, &SessionHost::chipFinished, this, [this] {
        if (!operatorMode->active())
            preview->show(true);
    });
    // Panel 4 names the file the image came from; a Read names none.
    connect(image, &ImageModel::fileChanged, this, &mdiMain::showFileName);
    connect(image, &ImageModel::modifiedChanged, this, &mdiMain::showTitle);
    // A CRC field covers image bytes: the next chip's preview follows every change.
    connect(image, &ImageModel::contentsChanged, this, [this] { preview->show(false); });
    connect(image, &ImageModel::reset, this, [this] { preview->show(false); });
    connect(windows, &WindowPlacement::previewWanted, this, [this] { preview->show(true); });

    connect(connection, &UnitConnection::menusWanted, this, &mdiMain::setMenusEnabled);
    connect(connection, &UnitConnection::portShown, this,
            [this](const QString& text) { panels[0]->setText(text); });
    connect(connection, &UnitConnection::deviceShown, this, &mdiMain::UpdateDevicePanels);
    connect(connection, &UnitConnection::unitStateChanged, this, &mdiMain::UpdateUnitState);
    connect(connection, &UnitConnection::reconnected, windows, &WindowPlacement::openBufferWindow);

    // Another image: the job's operator mode is not for it.
    connect(files, &FileCommands::imageLoaded, this, [this] {
        jobs->forget();
        preview->show(true);
    });
    connect(files, &FileCommands::recentChanged, this, &mdiMain::updateRecentMenu);
    connect(jobs, &JobFiles::optionsOpened, this, [this](bool onlyImage, bool allowPartial) {
        Action(QStringLiteral("OptionsOnlyImage"))->setChecked(onlyImage);
        OptionsOnlyImage_Click();
        Action(QStringLiteral("OptionsAllowPartial"))->setChecked(allowPartial);
        OptionsAllowPartial_Click();
    });
    connect(jobs, &JobFiles::deviceChanged, this, &mdiMain::UpdateDevicePanels);
    connect(buffer, &BufferCommands::note, this,
            [this](const QString& text) { statusNote->setText(text); });
    connect(operatorMode, &OperatorMode::lockChanged, this, [this] { setMenusEnabled(true); });
    connect(operatorMode, &OperatorMode::previewWanted, this, [this] { preview->show(true); });
    connect(operatorMode, &OperatorMode::unitStateChanged, this, &mdiMain::UpdateUnitState);

    setAcceptDrops(true);
    helpFile = FindDataFile(QCoreApplication::applicationDirPath(), QStringLiteral("varn.html"));
    openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };

    createActions();
    createStatusBar();
    // Panel 5 stays empty until the load step has reached the unit.
    Action(QStringLiteral("DeviceRun"))->setChecked(!state.unitInReset);
    Action(QStringLiteral("DeviceReset"))->setChecked(state.unitInReset);
    resize(760, 520);
    RestoreWindowPlace(state, *this);
}

mdiMain::~mdiMain() {
    // The buffer window refers to the state; let it go before anything else.
    windows->discardBufferWindow();
    // Operator mode's group borrows the session host, a child made before it.
    delete operatorMode;
}

void mdiMain::createActions() {
    struct Item {
        const char* name;
        const char* caption;
        QKeySequence shortcut;
        void (mdiMain::*handler)();
    };
    struct Menu {
        const char* name;
        const char* caption;
        QList<Item> items; // a null name is a separator, caption holds its name
    };
    const QList<Menu> menus = {
        {"File",
         "&File",
         {{"FileLoad", "&Load...", QKeySequence(Qt::CTRL | Qt::Key_O), &mdiMain::FileLoad_Click},
          {"FileSave", "&Save", QKeySequence(Qt::CTRL | Qt::Key_S), &mdiMain::FileSave_Click},
          {"FileSaveAs", "Save &As...", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S),
           &mdiMain::FileSaveAs_Click},
          {"FileCompare", "&Compare with File...", {}, &mdiMain::FileCompare_Click},
          {"FileOpenJob", "Open &Job...", {}, &mdiMain::FileOpenJob_Click},
          {"FileSaveJob", "Save Jo&b...", {}, &mdiMain::FileSaveJob_Click},
          {"FileLeaveOperator", "&Leave Operator Mode", {}, &mdiMain::FileLeaveOperator_Click},
          {nullptr, "FileS1", {}, nullptr},
          {"FileExit", "E&xit", QKeySequence(Qt::CTRL | Qt::Key_Q), &mdiMain::FileExit_Click}}},
        {"Buffer",
         "&Buffer",
         {{"BufferEdit", "&Edit", {}, &mdiMain::BufferEdit_Click},
          {"BufferClear", "&Clear", {}, &mdiMain::BufferClear_Click},
          {"BufferFill", "F&ill...", {}, &mdiMain::BufferFill_Click},
          {nullptr, "BufferS1", {}, nullptr},
          {"BufferUndo", "&Undo", QKeySequence(Qt::CTRL | Qt::Key_Z), &mdiMain::BufferUndo_Click},
          {"BufferRedo", "&Redo", QKeySequence(Qt::CTRL | Qt::Key_Y), &mdiMain::BufferRedo_Click},
          {nullptr, "BufferS3", {}, nullptr},
          {"BufferCopy", "C&opy", QKeySequence(Qt::CTRL | Qt::Key_C), &mdiMain::BufferCopy_Click},
          {"BufferCopyArray", "Copy as C &Array", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C),
           &mdiMain::BufferCopyArray_Click},
          {"BufferPaste", "&Paste", QKeySequence(Qt::CTRL | Qt::Key_V),
           &mdiMain::BufferPaste_Click},
          {nullptr, "BufferS2", {}, nullptr},
          {"BufferGoTo", "&Go To...", QKeySequence(Qt::CTRL | Qt::Key_G),
           &mdiMain::BufferGoTo_Click},
          {"BufferFind", "&Find...", QKeySequence(Qt::CTRL | Qt::Key_F),
           &mdiMain::BufferFind_Click},
          {"BufferFindNext", "Find &Next", QKeySequence(Qt::Key_F3),
           &mdiMain::BufferFindNext_Click}}},
        {"Device",
         "&Device",
         {{"DeviceSelect", "&Select...", {}, &mdiMain::DeviceSelect_Click},
          {"DeviceFunction", "&Function...", {}, &mdiMain::DeviceFunction_Click},
          {"DeviceCompare", "&Compare", {}, &mdiMain::DeviceCompare_Click},
          {"DeviceProduction", "&Production...", {}, &mdiMain::DeviceProduction_Click},
          {nullptr, "DeviceS1", {}, nullptr},
          {"DeviceRun", "&Run", QKeySequence(Qt::Key_F5), &mdiMain::DeviceRun_Click},
          {"DeviceReset", "R&eset", QKeySequence(Qt::Key_F6), &mdiMain::DeviceReset_Click},
          {nullptr, "DeviceS2", {}, nullptr},
          {"DeviceReconnect", "Reco&nnect", {}, &mdiMain::DeviceReconnect_Click}}},
        {"View",
         "&View",
         {{"ViewMemoryMap", "&Memory Map", {}, &mdiMain::ViewMemoryMap_Click},
          {"ViewProductionReport",
           "Production &Report...",
           {},
           &mdiMain::ViewProductionReport_Click}}},
        {"Options",
         "&Options",
         {{"OptionsEditAuto", "Edit &Auto...", {}, &mdiMain::OptionsEditAuto_Click},
          {"OptionsSettings", "&Settings...", {}, &mdiMain::OptionsSettings_Click},
          {"OptionsProductionLog", "Production &Log...", {}, &mdiMain::OptionsProductionLog_Click},
          {nullptr, "OptionsS1", {}, nullptr},
          {"OptionsOnlyImage", "Only the &Image", {}, &mdiMain::OptionsOnlyImage_Click},
          {"OptionsAllowPartial",
           "Allow &Partial Image",
           {},
           &mdiMain::OptionsAllowPartial_Click}}},
        {"Help",
         "&Help",
         {{"HelpContents", "&Contents", QKeySequence(Qt::Key_F1), &mdiMain::HelpContents_Click},
          {nullptr, "HelpS1", {}, nullptr},
          {"HelpAbout", "&About...", {}, &mdiMain::HelpAbout_Click}}},
    };

    for (const Menu& m : menus) {
        QMenu* menu = menuBar()->addMenu(QString::fromLatin1(m.caption));
        menu->setObjectName(QLatin1String(m.name));
        for (const Item& item : m.items) {
            if (!item.name) {
                menu->addSeparator()->setObjectName(QLatin1String(item.caption));
                continue;
            }
            QAction* action = menu->addAction(QString::fromLatin1(item.caption));
            action->setObjectName(QLatin1String(item.name));
            if (!item.shortcut.isEmpty())
                action->setShortcut(item.shortcut);
            connect(action, &QAction::triggered, this, item.handler);
            commands.append(action);
        }
    }
    Action(QStringLiteral("DeviceRun"))->setCheckable(true);
    Action(QStringLiteral("DeviceReset"))->setCheckable(true);
    for (const auto& [name, key] : {std::pair{"OptionsOnlyImage", OnlyImageKey},
                                    std::pair{"OptionsAllowPartial", AllowPartialKey}}) {
        QAction* item = Action(QLatin1String(name));
        item->setCheckable(true);
        item->setChecked(UserSettings(state).value(QLatin1String(key), false).toBool());
    }

    // The recent files stand between Save and Exit, hidden while unused.
    QMenu* file = menuBar()->findChild<QMenu*>(QStringLiteral("File"));
    QAction* exitSeparator = file->findChild<QAction*>(QStringLiteral("FileS1"));
    for (int i = 0; i < RecentFiles::Max; ++i) {
        auto* action = new QAction(file);
        action->setObjectName(QStringLiteral("FileRecent%1").arg(i + 1));
        connect(action, &QAction::triggered, this, [this, i] {
            if (i < files->recent().Paths().size())
                files->loadFile(files->recent().Paths().at(i));
        });
        file->insertAction(exitSeparator, action);
        recentActions.append(action);
        commands.append(action);
    }
    auto* recentSeparator = new QAction(file);
    recentSeparator->setSeparator(true);
    recentSeparator->setObjectName(QStringLiteral("FileS2"));
    file->insertAction(recentActions.first(), recentSeparator);
    recentActions.append(recentSeparator);
    updateRecentMenu();
    setMenusEnabled(true);
}

void mdiMain::updateRecentMenu() {
    const QStringList& paths = files->recent().Paths();
    for (int i = 0; i < RecentFiles::Max; ++i) {
        recentActions[i]->setVisible(i < paths.size());
        if (i < paths.size())
            recentActions[i]->setText(QStringLiteral("&%1 %2").arg(i + 1).arg(paths.at(i)));
    }
    recentActions.last()->setVisible(!paths.isEmpty());
}

void mdiMain::showFileName(const QString& path) {
    shownFile = path;
    QLabel* panel = panels[3];
    panel->setToolTip(path.isEmpty() ? QString::fromLatin1(panelSpecs[3].toolTip)
                                     : QDir::toNativeSeparators(path));
    const QString caption = QStringLiteral("File: ");
    const QFileInfo info(path);
    const QString name = info.fileName();
    const QString folder = QDir::toNativeSeparators(info.path()) + QDir::separator();
    const QFontMetrics metrics(panel->font());
    // The name always whole; the folder gives up its middle to what is left.
    const int width = std::max(panel->contentsRect().width(), panel->minimumWidth());
    const int room = width - 8 - metrics.horizontalAdvance(caption + name);
    const QString shortFolder =
        path.isEmpty() ? QString() : metrics.elidedText(folder, Qt::ElideMiddle, std::max(0, room));
    panel->setText(path.isEmpty() ? caption.trimmed() : caption + shortFolder + name);
}

void mdiMain::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    if (!shownFile.isEmpty())
        QTimer::singleShot(0, this, [this] { showFileName(shownFile); });
}

void mdiMain::dragEnterEvent(QDragEnterEvent* event) {
    if (!FileCommands::DroppedFile(*event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void mdiMain::dropEvent(QDropEvent* event) {
    const QString path = FileCommands::DroppedFile(*event->mimeData());
    if (path.isEmpty() || unit->busy() || InOperatorMode())
        return;
    event->acceptProposedAction();
    // The drag's source waits for the drop to return; the dialog comes after.
    QTimer::singleShot(0, files, [this, path] { files->loadFile(path); });
}

void mdiMain::createStatusBar() {
    sbar = statusBar();
    sbar->setObjectName(QStringLiteral("sbar"));
    sbar->setSizeGripEnabled(true);
    for (int i = 0; i < 5; ++i) {
        auto* label = new QLabel(QString::fromLatin1(panelSpecs[i].initialText), sbar);
        label->setObjectName(QStringLiteral("panel%1").arg(i + 1));
        label->setToolTip(QString::fromLatin1(panelSpecs[i].toolTip));
        label->setMinimumWidth(twipsToPixels(panelSpecs[i].widthTwips));
        label->setFrameShape(QFrame::Panel);
        label->setFrameShadow(QFrame::Sunken);
        label->setIndent(2);
        sbar->addWidget(label, i == 3 ? 1 : 0);
        panels[i] = label;
    }
    statusNote = new QLabel(sbar);
    statusNote->setObjectName(QStringLiteral("statusNote"));
    sbar->addPermanentWidget(statusNote);
}

QLabel* mdiMain::Panel(int number) const {
    return number >= 1 && number <= 5 ? panels[number - 1] : nullptr;
}

QString mdiMain::PanelText(int number) const {
    QLabel* label = Panel(number);
    return label ? label->text() : QString();
}

QAction* mdiMain::Action(const QString& objectName) const {
    for (QAction* action : commands)
        if (action->objectName() == objectName)
            return action;
    return nullptr;
}

frmBuffer* mdiMain::BufferWindow() const {
    return windows->bufferWindow();
}

frmMemoryMap* mdiMain::MemoryMapWindow() const {
    return windows->memoryMapWindow();
}

const RecentFiles& mdiMain::Recent() const {
    return files->recent();
}

bool mdiMain::InOperatorMode() const {
    return operatorMode->active();
}

void mdiMain::setMenusEnabled(bool enabled) {
    // Operator mode locks settings, loading and editing whatever else asks.
    const bool locked = InOperatorMode();
    for (QAction* action : commands)
        action->setEnabled(enabled && (!locked || OperatorMode::Keeps(action->objectName())));
    if (QAction* leave = Action(QStringLiteral("FileLeaveOperator")))
        leave->setVisible(locked);
    image->SetReadOnly(locked);
    showTitle();
    for (QAction* menu : menuBar()->actions())
        menu->setEnabled(enabled);
}

// ---- load, activation, unload ----

void mdiMain::MDIForm_Load() {
    activated = false;

    startupScreen = new frmAbout(this, true);
    startupScreen->adjustSize();
    if (QScreen* screen = startupScreen->screen())
        startupScreen->move(screen->availableGeometry().center() - startupScreen->rect().center());
    startupScreen->show();

    state.Buffer.fill(0xFF);

    // A unit on the network may take seconds to answer, or not answer at
    // all: the window paints and moves meanwhile, and the first activation
    // waits for the outcome.
    connecting = true;
    setMenusEnabled(false);
    connection->connectToUnit(false, [this](const UnitConnection::Outcome& c) {
        setMenusEnabled(true);
        unloadStartupScreen();
        if (!c.portOpened) {
            ShowMessage(this, UnitConnection::portErrorTitle(), c.connected.message,
                        MsgIcon::Critical);
            panels[0]->setText(QStringLiteral("FAIL"));
            state.UnitIdentified = false;
        } else {
            // The line may have been lost during the identification; the
            // loss was reported then and the panel must not claim the port
            // again.
            panels[0]->setText(connection->portText(c));
            UpdateDevicePanels();
            UpdateUnitState();
        }
        connecting = false;
        if (activationWaiting) {
            activationWaiting = false;
            MDIForm_Activate();
        }
    });
}

void mdiMain::unloadStartupScreen() {
    if (startupScreen) {
        startupScreen->close();
        startupScreen->deleteLater();
        startupScreen = nullptr;
    }
}

void mdiMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!activationQueued && windowHandle()) {
        activationQueued = true;
        // Once the window manager has placed the window and it is on screen,
        // so that the report stands centred over it.
        windowHandle()->installEventFilter(this);
        if (windowHandle()->isExposed())
            QTimer::singleShot(0, this, &mdiMain::MDIForm_Activate);
    }
}

bool mdiMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == windowHandle() && event->type() == QEvent::Expose &&
        windowHandle()->isExposed()) {
        windowHandle()->removeEventFilter(this);
        QTimer::singleShot(0, this, &mdiMain::MDIForm_Activate);
    }
    return QMainWindow::eventFilter(watched, event);
}

void mdiMain::MDIForm_Activate() {
    if (activated)
        return;
    if (connecting) {
        activationWaiting = true;
        return;
    }
    // Set first: the message box below activates the window again.
    activated = true;
    if (state.UnitIdentified) {
        ShowMessage(this, QStringLiteral("VARN"),
                    IdentificationReport(connection->identification()), MsgIcon::None);
        windows->openBufferWindow();
    } else {
        // Which port was tried, and the way on: a first start with no unit
        // attached, or the wrong port chosen, is the usual cause.
        const QString where = connection->portTried();
        const int chosen =
            AskMessage(this, QStringLiteral("Device Error"),
                       QStringLiteral("Communication Error!\n\nNo programmer unit answered on "
                                      "%1. Check that the unit is connected and switched on, "
                                      "then choose Device > Reconnect, or choose its port in "
                                      "Settings.")
                           .arg(where),
                       MsgIcon::Critical, {QStringLiteral("Settings..."), QStringLiteral("OK")}, 1);
        if (chosen == 0)
            OptionsSettings_Click();
    }
}

void mdiMain::closeEvent(QCloseEvent* event) {
    if (unit->busy() || operatorMode->busy()) {
        // A chip is being programmed; its window offers Stop.
        ShowMessage(this, QStringLiteral("VARN"),
                    QStringLiteral("A chip is being worked on. Stop it first (Stop or Esc in its "
                                   "window), then close the program."),
                    MsgIcon::Warning);
        event->ignore();
        return;
    }
    if (!unloaded && !operatorMode->mayExit()) {
        event->ignore();
        return;
    }
    if (!unloaded && !files->askToSave()) {
        event->ignore();
        return;
    }
    if (!unloaded) {
        unloaded = true;
        const Status saved = SaveSettings(state);
        if (!saved)
            ShowMessage(this, QStringLiteral("File Save Error"), saved.message, MsgIcon::Critical);
        SaveWindowPlace(state, *this);
    }
    windows->closeBufferWindow();
    event->accept();
}

// ---- status bar ----

void mdiMain::UpdateUnitState() {
    QAction* run = Action(QStringLiteral("DeviceRun"));
    QAction* reset = Action(QStringLiteral("DeviceReset"));
    if (run)
        run->setChecked(!state.unitInReset);
    if (reset)
        reset->setChecked(state.unitInReset);
    panels[4]->setText(UnitStateText(state));
}

void mdiMain::UpdateDevicePanels() {
    const DeviceEntry& device = state.SelectedEntry();
    panels[1]->setText(QStringLiteral("Device: ") + device.Name);
    panels[2]->setText(SizePanelText(device.Size));
}

// ---- File ----

void mdiMain::FileLoad_Click() {
    files->load();
}

bool mdiMain::offerReload() {
    return files->offerReload();
}

void mdiMain::FileSave_Click() {
    files->save();
}

void mdiMain::FileSaveAs_Click() {
    files->saveAs();
}

void mdiMain::FileCompare_Click() {
    files->compare();
}

void mdiMain::FileSaveJob_Click() {
    jobs->save(Action(QStringLiteral("OptionsOnlyImage"))->isChecked(),
               Action(QStringLiteral("OptionsAllowPartial"))->isChecked());
}

void mdiMain::FileOpenJob_Click() {
    jobs->open();
}

void mdiMain::showTitle() {
    // Whoever walks up to the station sees why the menus are off.
    if (InOperatorMode())
        setWindowTitle(
            QStringLiteral("VARN ~ Varnet (operator mode: job %1)").arg(jobs->jobName()));
    else
        setWindowTitle(image->IsModified() ? QStringLiteral("VARN ~ Varnet (buffer not saved)")
                                           : QStringLiteral("VARN ~ Varnet"));
}

void mdiMain::FileExit_Click() {
    close();
}

// ---- Buffer ----

void mdiMain::BufferEdit_Click() {
    buffer->edit();
}

void mdiMain::BufferClear_Click() {
    buffer->clear();
}

void mdiMain::BufferFill_Click() {
    buffer->fill();
}

void mdiMain::BufferUndo_Click() {
    buffer->undo();
}

void mdiMain::BufferRedo_Click() {
    buffer->redo();
}

void mdiMain::BufferCopy_Click() {
    buffer->copy();
}

void mdiMain::BufferCopyArray_Click() {
    buffer->copyArray();
}

void mdiMain::BufferPaste_Click() {
    buffer->paste();
}

void mdiMain::BufferGoTo_Click() {
    buffer->goTo();
}

void mdiMain::BufferFind_Click() {
    buffer->find();
}

void mdiMain::BufferFindNext_Click() {
    buffer->findNext();
}

// ---- Device ----

void mdiMain::DeviceSelect_Click() {
    frmSelectDevice dialog(state, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    UpdateDevicePanels();
    // Its layout depends on the device size; the user reopens it.
    windows->closeBufferWindow();
    preview->show(true);
    windows->deviceChanged(state.DeviceSize());
}

void mdiMain::DeviceFunction_Click() {
    frmFunction dialog(state, *unit, this);
    connect(&dialog, &frmFunction::unitStateChanged, this, &mdiMain::UpdateUnitState);
    dialog.beforeProgram = [this] { return offerReload(); };
    dialog.setRecordContext(recordContext());
    dialog.Form_Load();
    image->Begin();
    dialog.exec();
    // A Read replaces the buffer: one undoable step, no file named any more.
    // A run's serial numbers went only into the chips' copies.
    if (dialog.BufferReloadWanted())
        image->SetFile(QString(), image->FileType());
    image->Commit(dialog.BufferReloadWanted() ? ImageModel::Kind::Replace : ImageModel::Kind::Edit);
    if (dialog.BufferReloadWanted())
        windows->openBufferWindow();
    // Programmed chips took numbers: the next chip's are others.
    preview->show(true);
    UpdateUnitState();
    // The window's line names only the address; the list gives both bytes.
    if (const std::optional<FunctionResult>& wrong = dialog.VerifyMismatch();
        wrong && !dialog.BufferReloadWanted())
        windows->showDifferences(QStringLiteral("Verify with the device"), MismatchReport(*wrong),
                                 QStringLiteral("device"));
}

void mdiMain::DeviceCompare_Click() {
    frmFunction dialog(state, *unit, this);
    connect(&dialog, &frmFunction::unitStateChanged, this, &mdiMain::UpdateUnitState);
    dialog.setRecordContext(recordContext());
    dialog.Form_Load();
    if (dialog.RunAlone(FnCompare))
        dialog.exec();
    UpdateUnitState();
    const FunctionResult& result = dialog.AloneResult();
    if (result.outcome == Outcome::Mismatch)
        windows->showDifferences(QStringLiteral("Compare with the device"), result.report,
                                 QStringLiteral("device"));
    else if (result.succeeded())
        ShowMessage(this, QStringLiteral("Compare"),
                    QStringLiteral("The device matches the buffer (%1 bytes read).")
                        .arg(result.bytesTransferred),
                    MsgIcon::Information);
}

RunContext mdiMain::recordContext() const {
    RunContext context;
    context.port = QStringLiteral("COM%1").arg(state.PortNumber);
    context.setUnit(connection->identification());
    // The file last loaded, even when a Read has replaced the buffer since:
    // the record's CRC-32 tells which it was.
    context.imageFile = QFileInfo(files->lastLoad().file.path).fileName();
    return context;
}

void mdiMain::DeviceProduction_Click() {
    if (jobs->job())
        return operatorMode->run();
    frmProduction dialog(state, *unit, this);
    dialog.setRecordContext(recordContext());
    dialog.Form_Load();
    image->Begin();
    dialog.exec();
    image->Commit(ImageModel::Kind::Edit);
    UpdateUnitState();
    preview->show(true);
}

void mdiMain::FileLeaveOperator_Click() {
    operatorMode->askToLeave();
}

void mdiMain::DeviceRun_Click() {
    connection->setTarget(true);
}

void mdiMain::DeviceReset_Click() {
    connection->setTarget(false);
}

void mdiMain::DeviceReconnect_Click() {
    connection->reconnect();
}

// ---- Options ----

void mdiMain::OptionsEditAuto_Click() {
    frmEditAuto dialog(state, this);
    dialog.exec();
}

void mdiMain::OptionsSettings_Click() {
    frmSettings dialog(state, this);
    dialog.exec();
}

void mdiMain::OptionsProductionLog_Click() {
    frmProductionLog dialog(state, this);
    dialog.exec();
    // The log, its series or the serial number's place may be others now.
    preview->show(true);
}

void mdiMain::OptionsOnlyImage_Click() {
    keepCheckItem(QStringLiteral("OptionsOnlyImage"), OnlyImageKey);
}

void mdiMain::OptionsAllowPartial_Click() {
    keepCheckItem(QStringLiteral("OptionsAllowPartial"), AllowPartialKey);
}

void mdiMain::keepCheckItem(const QString& action, const char* key) {
    UserSettings settings(state);
    settings.setValue(QLatin1String(key), Action(action)->isChecked());
    QString error;
    if (!settings.sync(&error))
        ShowMessage(this, QStringLiteral("Settings"), error, MsgIcon::Critical);
}

// ---- Help ----

void mdiMain::ViewProductionReport_Click() {
    frmReport dialog(DesktopLogLocation(state), this);
    dialog.exec();
}

void mdiMain::ViewMemoryMap_Click() {
    windows->openMemoryMap();
}

void mdiMain::HelpContents_Click() {
    const QFileInfo help(helpFile);
    if (help.isFile() && openUrl && openUrl(QUrl::fromLocalFile(help.absoluteFilePath())))
        return;
    const QString where = QDir::toNativeSeparators(help.absoluteFilePath());
    const QString text = help.isFile()
                             ? QStringLiteral("No help viewer is available. The help is the "
                                              "page %1; open it with a web browser.")
                                   .arg(where)
                             : QStringLiteral("No help is available: the help page %1 is "
                                              "missing.")
                                   .arg(where);
    ShowMessage(this, QStringLiteral("Help"), text, MsgIcon::Information);
}

void mdiMain::HelpAbout_Click() {
    frmAbout about(this, false);
    about.exec();
}

// ---- start ----

std::unique_ptr<mdiMain> StartUp(AppState& state, const QString& dir) {
    const Status read = Main(state, dir);
    if (!read) {
        ShowMessage(nullptr, QStringLiteral("VARN"), read.message, MsgIcon::Critical);
        return nullptr;
    }
    auto window = std::make_unique<mdiMain>(state);
    window->MDIForm_Load();
    window->show();
    return window;
}

} // namespace varn
