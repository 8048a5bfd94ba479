#include "mdimain.h"

#include "core/bufferops.h"
#include "core/config.h"
#include "core/crc32.h"
#include "core/datafiles.h"
#include "core/devicebounds.h"
#include "core/hextext.h"
#include "core/placement.h"
#include "core/usersettings.h"
#include "editor/buffersearch.h"
#include "editor/clipboardtext.h"
#include "editor/frmbuffer.h"
#include "editor/frmbufferfill.h"
#include "editor/frmdifferences.h"
#include "editor/frmmemorymap.h"
#include "editor/imagemodel.h"
#include "files/filecompare.h"
#include "files/frmfileload.h"
#include "files/imagefiles.h"
#include "files/recentfiles.h"
#include "functions/functiontext.h"
#include "jobs/productionjob.h"
#include "link/openlink.h"
#include "link/portinfo.h"
#include "link/replypolicy.h"
#include "link/unitcommands.h"
#include "session/desktopsettings.h"
#include "session/openlink.h"
#include "session/operatorboard.h"
#include "session/sessionhost.h"
#include "session/unitgroup.h"
#include "ui/appicon.h"
#include "ui/frmabout.h"
#include "ui/frmeditauto.h"
#include "ui/frmfunction.h"
#include "ui/frmoperator.h"
#include "ui/frmproduction.h"
#include "ui/frmproductionlog.h"
#include "ui/frmreport.h"
#include "ui/frmselectdevice.h"
#include "ui/frmsettings.h"
#include "widgets/messagebox.h"
#include "widgets/screenfit.h"
#include "widgets/twips.h"

#include <QAction>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
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

const QString PortErrorTitle = QStringLiteral("Communication Port Error");

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

namespace {

// The whole buffer and which bytes are defined, in one figure.
quint32 BufferFingerprint(const AppState& state) {
    QByteArray mask((BufferSize + 7) / 8, '\0');
    for (int i = 0; i < BufferSize; ++i)
        if (state.defined.test(size_t(i)))
            mask[i / 8] = char(mask[i / 8] | (1 << (i % 8)));
    const quint32 bytes = Crc32(state.Buffer.data(), state.Buffer.size());
    return Crc32(reinterpret_cast<const quint8*>(mask.constData()), size_t(mask.size()), bytes);
}

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
    connect(unit, &SessionHost::connectionLost, this, &mdiMain::connectionLost);
    // The memory map marks the block a function (or a production chip) is at.
    const auto showWorking = [this](qint32 address) {
        if (frmMemoryMap* map = MemoryMapWindow(); map && map->Map().WorkingAddress() != address) {
            map->Map().SetWorking(address);
            map->Refresh();
        }
    };
    connect(unit, &SessionHost::functionProgress, this,
            [showWorking](const FunctionResult& run, int) { showWorking(run.workingAt); });
    connect(unit, &SessionHost::functionFinished, this,
            [showWorking](const FunctionResult&) { showWorking(-1); });
    // Each chip of a round takes numbers: the preview shows the next chip's
    // while the Function or Production window is still open (operator
    // mode's units report through their group).
    connect(unit, &SessionHost::chipFinished, this, [this] {
        if (!station)
            showChipPreview(true);
    });

    image = new ImageModel(state, this);
    image->setObjectName(QStringLiteral("image"));
    // Panel 4 names the file the image came from; a Read names none.
    connect(image, &ImageModel::fileChanged, this, &mdiMain::showFileName);
    connect(image, &ImageModel::modifiedChanged, this, &mdiMain::showTitle);
    // A CRC field covers image bytes: the next chip's preview follows every change.
    connect(image, &ImageModel::contentsChanged, this, [this] { showChipPreview(false); });
    connect(image, &ImageModel::reset, this, [this] { showChipPreview(false); });
    // A comparison shown before a change no longer describes the buffer.
    auto markStale = [this] {
        if (auto* list = differencesSub ? qobject_cast<frmDifferences*>(differencesSub->widget())
                                        : nullptr) {
            list->MarkStale();
            differencesSub->setWindowTitle(list->windowTitle());
        }
    };
    connect(image, &ImageModel::contentsChanged, this, markStale);
    connect(image, &ImageModel::reset, this, markStale);
    recent = std::make_unique<RecentFiles>(state);
    // The dialogs start where the last file was loaded or saved.
    static const QString filters =
        QStringLiteral("Intel HEX (*.hex *.ihx);;S-record (*.s19 *.s28 *.s37 *.srec *.mot *.s);;"
                       "Binary (*.bin);;All files (*)");
    cdia.showOpen = [this](QWidget* parent) {
        return AskOpenFile(parent, QString(), recent->LastFolder(), filters);
    };
    cdia.showSave = [this](QWidget* parent) {
        // The chosen filter names the format when the name has no extension.
        QString filter;
        const QString path = AskSaveFile(parent, QString(), recent->LastFolder(), filters, &filter);
        return PathForFilter(path, filter);
    };
    cdia.showJob = [this](QWidget* parent, bool save) {
        const QString filter = QStringLiteral("Job files (*.%1)").arg(QLatin1String(JobFileSuffix));
        if (!save)
            return AskOpenFile(parent, QStringLiteral("Open Job"), recent->LastFolder(), filter);
        const QString path =
            AskSaveFile(parent, QStringLiteral("Save Job"), recent->LastFolder(), filter);
        return path.isEmpty() || !QFileInfo(path).suffix().isEmpty()
                   ? path
                   : path + QLatin1Char('.') + QLatin1String(JobFileSuffix);
    };
    cdia.askText = [](QWidget* parent, const QString& title, const QString& label) {
        return QInputDialog::getText(parent, title, label);
    };
    cdia.askShift = &AskShift;
    setAcceptDrops(true);
    helpFile = FindDataFile(QCoreApplication::applicationDirPath(), QStringLiteral("varn.html"));
    openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };

    createActions();
    createStatusBar();
    // Panel 5 stays empty until the load step has reached the unit.
    Action(QStringLiteral("DeviceRun"))->setChecked(!state.unitInReset);
    Action(QStringLiteral("DeviceReset"))->setChecked(state.unitInReset);
    resize(760, 520);
    restoreGeometrySetting();
}

mdiMain::~mdiMain() {
    // The buffer window refers to the state; let it go before anything else.
    delete bufferSub.data();
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
            if (i < recent->Paths().size())
                LoadFile(recent->Paths().at(i));
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
    const QStringList& paths = recent->Paths();
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
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() == 1 && urls.first().isLocalFile())
        event->acceptProposedAction();
}

void mdiMain::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() != 1 || !urls.first().isLocalFile() || unit->busy() || InOperatorMode())
        return;
    event->acceptProposedAction();
    const QString path = urls.first().toLocalFile();
    // The drag's source waits for the drop to return; the dialog comes after.
    QTimer::singleShot(0, this, [this, path] { LoadFile(path); });
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
    return bufferSub ? qobject_cast<frmBuffer*>(bufferSub->widget()) : nullptr;
}

frmMemoryMap* mdiMain::MemoryMapWindow() const {
    return memoryMapSub ? qobject_cast<frmMemoryMap*>(memoryMapSub->widget()) : nullptr;
}

namespace {

// What an operator may still do: run the job, leave, read the help, quit.
bool OperatorModeKeeps(const QString& action) {
    static const QStringList kept{"DeviceProduction", "FileLeaveOperator", "FileExit",
                                  "HelpContents", "HelpAbout"};
    return kept.contains(action);
}

} // namespace

void mdiMain::setMenusEnabled(bool enabled) {
    // Operator mode locks settings, loading and editing whatever else asks.
    const bool locked = InOperatorMode();
    for (QAction* action : commands)
        action->setEnabled(enabled && (!locked || OperatorModeKeeps(action->objectName())));
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
    connectToUnit(false, [this](const Connection& c) {
        setMenusEnabled(true);
        unloadStartupScreen();
        if (!c.portOpened) {
            ShowMessage(this, PortErrorTitle, c.connected.message, MsgIcon::Critical);
            panels[0]->setText(QStringLiteral("FAIL"));
            state.UnitIdentified = false;
        } else {
            // The line may have been lost during the identification; the
            // loss was reported then and the panel must not claim the port
            // again.
            panels[0]->setText(c.lineOpen
                                   ? QStringLiteral("COM") + QString::number(state.PortNumber)
                                   : QStringLiteral("FAIL"));
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

void mdiMain::connectToUnit(bool again, std::function<void(const Connection&)> then) {
    struct Outcome {
        Connection connection;
        QByteArray identification;
        bool identified = false;
        bool inReset = false;
    };
    auto outcome = std::make_shared<Outcome>();
    const auto setup = std::make_shared<const AppState>(state);
    unit->queue(
        [setup, again, outcome](ProgrammingSession& session) {
            Connection& c = outcome->connection;
            session.setConfiguration(*setup);
            c.connected = again ? session.reconnect() : session.connectUnit();
            c.portOpened = session.portOpened();
            c.lineOpen = session.link() && session.link()->isOpen();
            if (c.connected)
                outcome->identification = session.identification();
            outcome->identified = session.identified();
            outcome->inReset = session.inReset();
        },
        this,
        [this, outcome, then = std::move(then)] {
            if (outcome->connection.connected)
                identification = outcome->identification;
            state.UnitIdentified = outcome->identified;
            state.unitInReset = outcome->inReset;
            then(outcome->connection);
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
        ShowMessage(this, QStringLiteral("VARN"), IdentificationReport(identification),
                    MsgIcon::None);
        openBufferWindow();
    } else {
        // Which port was tried, and the way on: a first start with no unit
        // attached, or the wrong port chosen, is the usual cause.
        const QString address = DesktopPortAddress(UserSettings(state), state.PortNumber);
        QString where = PortLabel(address);
        if (PortAddress parsed;
            ParsePortAddress(address, parsed) && parsed.kind == PortAddress::Kind::Number)
            where += QStringLiteral(" (") +
                     PortNumberText(DescribePortNumber(parsed.number, state.AppDir)) +
                     QStringLiteral(")");
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
    if (unit->busy() || (station && station->busy())) {
        // A chip is being programmed; its window offers Stop.
        ShowMessage(this, QStringLiteral("VARN"),
                    QStringLiteral("A chip is being worked on. Stop it first (Stop or Esc in its "
                                   "window), then close the program."),
                    MsgIcon::Warning);
        event->ignore();
        return;
    }
    if (!unloaded && InOperatorMode() &&
        AskMessage(this, QStringLiteral("Operator Mode"),
                   QStringLiteral("Exit the program? Operator mode ends, and the next start "
                                  "opens without the job."),
                   MsgIcon::Warning, {QStringLiteral("Exit"), QStringLiteral("Stay")}, 1) != 0) {
        event->ignore();
        return;
    }
    if (!unloaded && !askToSave()) {
        event->ignore();
        return;
    }
    if (!unloaded) {
        unloaded = true;
        const Status saved = SaveSettings(state);
        if (!saved)
            ShowMessage(this, QStringLiteral("File Save Error"), saved.message, MsgIcon::Critical);
        saveGeometrySetting();
    }
    closeBufferWindow();
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

void mdiMain::connectionLost(const QString& reason) {
    panels[0]->setText(QStringLiteral("FAIL"));
    offerReconnect(reason);
}

void mdiMain::offerReconnect(const QString& reason) {
    const int chosen = AskMessage(this, PortErrorTitle, reason, MsgIcon::Critical,
                                  {QStringLiteral("Reconnect"), QStringLiteral("OK")});
    if (chosen == 0)
        QTimer::singleShot(0, this, &mdiMain::DeviceReconnect_Click);
}

// ---- the buffer window ----

void mdiMain::openBufferWindow() {
    if (bufferSub)
        return;
    auto* buffer = new frmBuffer(*image);
    auto* sub = new QMdiSubWindow;
    sub->setObjectName(QStringLiteral("frmBufferSubWindow"));
    sub->setWidget(buffer);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    // The view shows 16 rows at most; there is nothing to show in more room.
    sub->setWindowFlags(Qt::SubWindow | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                        Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                        Qt::WindowCloseButtonHint);
    sub->setWindowTitle(buffer->windowTitle());
    sub->setWindowIcon(windowIcon());
    mdiArea->addSubWindow(sub);
    // Fewer rows where the area is small: the scroll bar and the sums below
    // the rows stay in sight.
    sub->setMaximumSize(sub->sizeHint());
    sub->resize(sub->sizeHint().boundedTo(mdiArea->viewport()->size()));
    sub->move(0, 0);
    sub->show();
    bufferSub = sub;
    showChipPreview(true);
}

void mdiMain::showChipPreview(bool readLog) {
    frmBuffer* buffer = BufferWindow();
    frmMemoryMap* map = MemoryMapWindow();
    if (readLog)
        previewSource.reset();
    if (!buffer && !map)
        return;
    if (!previewSource) {
        previewNote.clear();
        // With a job opened, Production runs the job's fields, not varn.ini's.
        previewSource =
            job ? SessionChipPreviewSource(
                      OperatorSessionSettings(state, *job, recordContext(), shift), &previewNote)
                : DesktopChipPreviewSource(state, &previewNote);
    }
    previewSource->time = QDateTime::currentDateTimeUtc();
    ChipPreview preview = PreviewChip(state, *previewSource);
    preview.note = previewNote;
    if (buffer)
        buffer->SetChipPreview(preview);
    // The fields' places change only with the settings.
    if (map && readLog) {
        std::vector<MemoryMap::Range> perChip;
        for (const FieldPreview& field : std::as_const(preview.fields))
            if (field.address >= 0 && field.address < BufferSize && field.length > 0)
                perChip.push_back({qint32(field.address), qint32(field.end() - 1)});
        map->Map().SetPerChipFields(perChip);
        map->Refresh();
    }
}

void mdiMain::closeBufferWindow() {
    QMdiSubWindow* sub = bufferSub;
    if (!sub)
        return;
    bufferSub = nullptr;
    // Taken out of the area at once so that a new window can stand at once;
    // deleted once control is back in the event loop.
    mdiArea->removeSubWindow(sub);
    sub->hide();
    sub->deleteLater();
}

// ---- File ----

std::optional<FileDialogChoice> mdiMain::askFileType(const QString& path, bool saving) {
    frmFileLoad dialog(path, this,
                       saving ? frmFileLoad::Purpose::Save : frmFileLoad::Purpose::Load);
    // With a title bar it can be moved off the hex view it would cover.
    dialog.setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    dialog.setWindowTitle(saving ? QStringLiteral("Save As") : QStringLiteral("Load"));
    dialog.exec();
    return dialog.choice();
}

// What a successful load has to tell beyond its status text: another format's
// content and a load that stored nothing (or nothing inside the device) as
// warnings, data left out and other notices as information.
void mdiMain::tellLoad(const LoadResult& loaded, const QString& path) {
    if (!loaded.otherFormat.isEmpty())
        ShowMessage(this, QStringLiteral("File Load"), loaded.otherFormat, MsgIcon::Warning);
    if (!loaded.ok())
        return;
    if (loaded.bytesStored == 0)
        ShowMessage(this, QStringLiteral("File Load"),
                    QStringLiteral("Nothing was loaded: %1 holds no data for the buffer.")
                        .arg(QDir::toNativeSeparators(path)),
                    MsgIcon::Warning);
    std::vector<AddressRange> placed;
    for (const BufferRange& r : loaded.ranges)
        placed.push_back({r.first, r.last});
    if (const QString where = PlacedOutsideDevice(state, placed); !where.isEmpty())
        ShowMessage(this, QStringLiteral("File Load"),
                    QStringLiteral("Nothing was loaded into the device: %1 holds no data for it; "
                                   "%2.")
                        .arg(QDir::toNativeSeparators(path), where),
                    MsgIcon::Warning);
    QStringList notices = loaded.notices;
    if (!loaded.leftOut.isEmpty())
        notices.prepend(loaded.leftOut);
    if (!notices.isEmpty())
        ShowMessage(this, QStringLiteral("File Load"), notices.join(QStringLiteral("\n\n")),
                    MsgIcon::Information);
}

void mdiMain::FileLoad_Click() {
    const QString path = cdia.showOpen ? cdia.showOpen(this) : QString();
    if (!path.isEmpty())
        LoadFile(path);
}

void mdiMain::LoadFile(const QString& path) {
    const std::optional<FileDialogChoice> choice = askFileType(path);
    if (!choice)
        return;
    const bool ontoEmpty = state.defined.none();
    const LoadOptions options{choice->format, choice->fileOffset, choice->bufferOffset};
    image->Begin();
    const LoadResult loaded = LoadImageFile(path, options, state);
    if (loaded.ok())
        image->SetFile(path, options.format);
    image->Commit(loaded.ok() ? ImageModel::Kind::Replace : ImageModel::Kind::Edit);
    if (!loaded.ok()) {
        tellLoad(loaded, path);
        ShowMessage(this, QStringLiteral("File Load Error"), loaded.status.message,
                    MsgIcon::Critical);
        return;
    }
    lastLoaded = LoadedFile::Take(path, options.format, options.fileOffset, options.bufferOffset);
    job.reset(); // another image: the job's operator mode is not for it
    showChipPreview(true);
    loadedAlone = ontoEmpty;
    loadedFingerprint = BufferFingerprint(state);
    recent->Add(path);
    updateRecentMenu();
    openBufferWindow();
    tellLoad(loaded, path);
}

void mdiMain::FileSave_Click() {
    // The file the image came from (or was last saved to), in its format.
    // ELF is read, never written: such an image is saved as another file.
    if (image->FilePath().isEmpty() || image->FileType() == FileFormat::Elf)
        FileSaveAs_Click();
    else
        saveTo(image->FilePath(), SaveOptions{image->FileType(), image->FileDefinedOnly()});
}

void mdiMain::FileSaveJob_Click() {
    // The job carries the file's bytes: a buffer changed since would not be
    // what the job programs.
    if (!lastLoaded.isSet() || BufferFingerprint(state) != loadedFingerprint) {
        ShowMessage(this, QStringLiteral("Save Job"),
                    QStringLiteral("A job holds the image file loaded last, as it was loaded. "
                                   "Load the image, then save the job."),
                    MsgIcon::Information);
        return;
    }
    const QString path = cdia.showJob ? cdia.showJob(this, true) : QString();
    if (path.isEmpty())
        return;
    ProductionJob job;
    Status status = JobFromBuffer(
        state, lastLoaded.path,
        LoadOptions{lastLoaded.format, lastLoaded.fileOffset, lastLoaded.bufferOffset}, true, path,
        &job);
    if (status) {
        job.onlyImage = Action(QStringLiteral("OptionsOnlyImage"))->isChecked();
        job.allowPartial = Action(QStringLiteral("OptionsAllowPartial"))->isChecked();
        if (const QString why = JobImageFitProblem(job, state); !why.isEmpty())
            status = Status::Fail(why);
    }
    if (status) {
        const ReplyPolicy policy = ReadReplyPolicy(UserSettings(state));
        job.timeoutMs = policy.timeoutMs;
        job.retries = policy.retries;
        // The per-chip fields of varn.ini go with the job.
        status = FieldsFromText(
            UserSettings(state).value(QStringLiteral("fields/list")).toStringList(), &job.fields);
        if (status)
            status = WriteJobFile(path, job);
    }
    if (!status)
        ShowMessage(this, QStringLiteral("Save Job"), status.message, MsgIcon::Critical);
    else {
        QString text = QStringLiteral("Job saved: %1\n\nImage %2 (CRC-32 %3) on %4.")
                           .arg(QDir::toNativeSeparators(path), job.imageName,
                                Crc32Text(job.expectedCrc32), job.deviceName);
        // Bytes of an earlier load are in the buffer too: the job holds them all.
        if (const QString file = QFileInfo(lastLoaded.path).fileName(); job.imageName != file)
            text += QStringLiteral("\n\nThe buffer holds more than %1 (it was loaded onto "
                                   "earlier bytes): the job holds the whole buffer as %2.")
                        .arg(file, job.imageName);
        ShowMessage(this, QStringLiteral("Save Job"), text, MsgIcon::Information);
    }
}

void mdiMain::FileOpenJob_Click() {
    if (!askToSave())
        return;
    const QString path = cdia.showJob ? cdia.showJob(this, false) : QString();
    if (path.isEmpty())
        return;
    ProductionJob job;
    // Opened onto a copy: a refused job changes nothing.
    auto opened = std::make_unique<AppState>(state);
    Status status = ReadJobFile(path, &job);
    if (status)
        status = OpenJob(job, QFileInfo(path).absolutePath(), *opened);
    if (!status) {
        ShowMessage(this, QStringLiteral("Open Job"),
                    QStringLiteral("Job refused: %1\n\nNothing was sent to the programmer unit.")
                        .arg(status.message),
                    MsgIcon::Critical);
        return;
    }
    image->Begin();
    state.Buffer = opened->Buffer;
    state.defined = opened->defined;
    state.startAddress = opened->startAddress;
    state.SelectedDevice = opened->SelectedDevice;
    state.AutoCount = opened->AutoCount;
    state.AutoList = opened->AutoList;
    image->SetFile(QString(), job.load.format);
    image->Commit(ImageModel::Kind::Replace);
    // Not the file on disk any more: the job's bytes are the image.
    lastLoaded = LoadedFile{};
    this->job = job;
    jobName = QFileInfo(path).fileName();
    Action(QStringLiteral("OptionsOnlyImage"))->setChecked(job.onlyImage);
    OptionsOnlyImage_Click();
    Action(QStringLiteral("OptionsAllowPartial"))->setChecked(job.allowPartial);
    OptionsAllowPartial_Click();
    UserSettings settings(state);
    WriteReplyPolicy(settings, ReplyPolicy{job.timeoutMs, job.retries});
    settings.sync();
    UpdateDevicePanels();
    closeBufferWindow();
    openBufferWindow();
    ShowMessage(this, QStringLiteral("Open Job"),
                QStringLiteral("Job %1 opened: image %2 (CRC-32 %3) on %4.")
                    .arg(QFileInfo(path).fileName(), job.imageName, Crc32Text(job.expectedCrc32),
                         job.deviceName),
                MsgIcon::Information);
}

void mdiMain::FileSaveAs_Click() {
    const QString path = cdia.showSave ? cdia.showSave(this) : QString();
    if (path.isEmpty())
        return;
    const std::optional<FileDialogChoice> choice = askFileType(path, true);
    if (!choice)
        return;
    saveTo(path, SaveOptions{choice->format, choice->definedOnly});
}

bool mdiMain::saveTo(const QString& path, const SaveOptions& options) {
    const Status saved = SaveImageFile(state, path, options);
    if (!saved) {
        ShowMessage(this, QStringLiteral("File Save Error"), saved.message, MsgIcon::Critical);
        return false;
    }
    image->SetFile(path, options.format, options.definedOnly);
    image->MarkSaved();
    recent->Add(path);
    updateRecentMenu();
    if (!saved.message.isEmpty())
        ShowMessage(this, QStringLiteral("File Save"), saved.message, MsgIcon::Information);
    return true;
}

void mdiMain::showTitle() {
    // Whoever walks up to the station sees why the menus are off.
    if (InOperatorMode())
        setWindowTitle(QStringLiteral("VARN ~ Varnet (operator mode: job %1)").arg(jobName));
    else
        setWindowTitle(image->IsModified() ? QStringLiteral("VARN ~ Varnet (buffer not saved)")
                                           : QStringLiteral("VARN ~ Varnet"));
}

bool mdiMain::askToSave() {
    if (!image->IsModified())
        return true;
    const int answer =
        AskMessage(this, QStringLiteral("VARN"),
                   QStringLiteral("The buffer has changes that are not saved.\n\nSave them first?"),
                   MsgIcon::Warning,
                   {QStringLiteral("&Save"), QStringLiteral("&Discard"), QStringLiteral("Cancel")});
    if (answer == 1)
        return true;
    if (answer == 2)
        return false;
    FileSave_Click();
    // Saved only when the dialogs went through and the file was written.
    return !image->IsModified();
}

bool mdiMain::offerReload() {
    if (!lastLoaded.isSet() || !lastLoaded.changedOnDisk())
        return true;
    const QString shown = QDir::toNativeSeparators(lastLoaded.path);
    // The new version replaces the old one whole: bytes the old one had and
    // the new one lacks must not reach a chip. Edits or other files in the
    // buffer are kept only when the user says so.
    const bool alone = loadedAlone && BufferFingerprint(state) == loadedFingerprint;
    QString text = QStringLiteral("%1\nhas changed on disk since it was loaded.\n\nLoad it again "
                                  "with the same options first?\nNo programs the buffer as it is.")
                       .arg(shown);
    QStringList buttons{QStringLiteral("&Yes"), QStringLiteral("&No"), QStringLiteral("Cancel")};
    if (!alone) {
        text += QStringLiteral("\n\nThe buffer also holds edits or bytes of other files. Yes "
                               "loads the file alone, as after a Clear; Keep loads it over them.");
        buttons.insert(1, QStringLiteral("&Keep"));
    }
    const int answer =
        AskMessage(this, QStringLiteral("File Changed"), text, MsgIcon::Warning, buttons);
    const QString chosen = buttons.value(answer);
    if (chosen == QLatin1String("Cancel") || answer < 0)
        return false;
    if (chosen == QLatin1String("&No"))
        return true;
    const bool keep = chosen == QLatin1String("&Keep");
    // Read into a copy first: a file that no longer loads leaves the buffer.
    AppState reloaded = state;
    if (!keep)
        ClearBuffer(reloaded);
    const LoadResult loaded = LoadImageFile(
        lastLoaded.path, {lastLoaded.format, lastLoaded.fileOffset, lastLoaded.bufferOffset},
        reloaded);
    if (!loaded.ok()) {
        ShowMessage(this, QStringLiteral("File Load Error"), loaded.status.message,
                    MsgIcon::Critical);
        return false;
    }
    // Part of the function window's step when it asked (see DeviceFunction_Click).
    image->Edit(ImageModel::Kind::Replace, [&](AppState& target) {
        target.Buffer = reloaded.Buffer;
        target.defined = reloaded.defined;
        target.startAddress = reloaded.startAddress;
    });
    lastLoaded = LoadedFile::Take(lastLoaded.path, lastLoaded.format, lastLoaded.fileOffset,
                                  lastLoaded.bufferOffset);
    loadedAlone = !keep;
    loadedFingerprint = BufferFingerprint(state);
    return true;
}

void mdiMain::FileCompare_Click() {
    const QString path = cdia.showOpen ? cdia.showOpen(this) : QString();
    if (path.isEmpty())
        return;
    const std::optional<FileDialogChoice> choice = askFileType(path);
    if (!choice)
        return;
    DifferenceReport report;
    const Status compared = CompareWithFile(
        state, path, {choice->format, choice->fileOffset, choice->bufferOffset}, false, report);
    if (!compared) {
        ShowMessage(this, QStringLiteral("File Load Error"), compared.message, MsgIcon::Critical);
        return;
    }
    showDifferences(QStringLiteral("Compare with ") + QFileInfo(path).fileName(), report,
                    QStringLiteral("file"));
}

void mdiMain::showDifferences(const QString& title, const DifferenceReport& report,
                              const QString& other) {
    if (differencesSub) {
        mdiArea->removeSubWindow(differencesSub);
        differencesSub->deleteLater();
    }
    // The buffer window stands at the top left; the list goes beside it so
    // that a chosen range and the list stay in view together.
    openBufferWindow();
    if (frmMemoryMap* map = MemoryMapWindow()) {
        map->Map().SetDifferences(report, other);
        map->Refresh();
    }
    auto* list = new frmDifferences(title, report, other);
    connect(list, &frmDifferences::addressChosen, this, [this, list](qint32 address) {
        openBufferWindow();
        if (frmBuffer* buffer = BufferWindow())
            buffer->ShowAddress(address);
        // The list keeps the focus: Down goes on to the next range.
        if (differencesSub)
            mdiArea->setActiveSubWindow(differencesSub);
        list->findChild<QWidget*>(QStringLiteral("lstRanges"))->setFocus(Qt::OtherFocusReason);
    });
    auto* sub = new QMdiSubWindow;
    sub->setObjectName(QStringLiteral("frmDifferencesSubWindow"));
    sub->setWidget(list);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    sub->setWindowTitle(title);
    sub->setWindowIcon(windowIcon());
    mdiArea->addSubWindow(sub);
    // Whole inside the area, twelve rows of ranges or more where there is room.
    const QSize wanted(std::max(sub->sizeHint().width(), list->width()),
                       std::max(sub->sizeHint().height(), 12 * list->fontMetrics().height() + 80));
    const QRect area = mdiArea->viewport()->rect();
    QRect taken = bufferSub->frameGeometry();
    if (memoryMapSub)
        taken = taken.united(memoryMapSub->frameGeometry());
    sub->setGeometry(PlaceBeside(taken, wanted, area));
    sub->show();
    differencesSub = sub;
}

void mdiMain::FileExit_Click() {
    close();
}

// ---- Buffer ----

void mdiMain::BufferEdit_Click() {
    openBufferWindow();
    mdiArea->setActiveSubWindow(bufferSub);
}

void mdiMain::BufferClear_Click() {
    image->Clear();
    openBufferWindow();
}

void mdiMain::showHistoryStep(qint32 address) {
    if (address < 0)
        return;
    openBufferWindow();
    if (frmBuffer* buffer = BufferWindow())
        buffer->GoTo(address);
}

void mdiMain::BufferUndo_Click() {
    showHistoryStep(image->Undo());
}

void mdiMain::BufferRedo_Click() {
    showHistoryStep(image->Redo());
}

void mdiMain::BufferGoTo_Click() {
    // The label names the device's addresses, the only ones there are to go to.
    const QString range =
        state.DeviceSize() > 0
            ? QStringLiteral("%1-%2").arg(HexWord(0),
                                          HexWord(std::min(state.DeviceSize(), MaxDeviceSize) - 1))
            : QStringLiteral("none");
    const QString typed =
        cdia.askText(this, QStringLiteral("Go To"), QStringLiteral("Address (hex, %1):").arg(range))
            .trimmed();
    if (typed.isEmpty())
        return;
    bool ok = false;
    const qint32 address = typed.toInt(&ok, 16);
    openBufferWindow();
    frmBuffer* buffer = BufferWindow();
    if (!ok || !buffer || !buffer->GoTo(address))
        ShowMessage(this, QStringLiteral("Go To"),
                    QStringLiteral("There is no address %1 in this device (%2).").arg(typed, range),
                    MsgIcon::Warning);
}

void mdiMain::BufferFind_Click() {
    const QString typed =
        cdia.askText(this, QStringLiteral("Find"), QStringLiteral("Hex bytes or text:"));
    if (typed.isEmpty())
        return;
    findPattern = ParseSearchText(typed);
    openBufferWindow();
    if (frmBuffer* buffer = BufferWindow())
        buffer->ShowFound(-1, 0);
    BufferFindNext_Click();
}

void mdiMain::BufferFindNext_Click() {
    if (findPattern.isEmpty())
        return BufferFind_Click();
    openBufferWindow();
    frmBuffer* buffer = BufferWindow();
    if (!buffer)
        return;
    // Next means after the bytes found last; a new search starts at the caret.
    const HexView& view = buffer->View();
    const qint32 from = view.FoundLength() > 0 ? view.FoundAddress() + 1 : view.CaretAddress();
    const qint32 found = FindInBuffer(state, findPattern, from, state.DeviceSize());
    if (found < 0) {
        buffer->ShowFound(-1, 0);
        showNote(QString());
        ShowMessage(this, QStringLiteral("Find"), QStringLiteral("Not found."),
                    MsgIcon::Information);
        return;
    }
    // The search goes on from the device's start after its end; say so, and
    // say when that led back to the bytes already marked.
    const bool again = view.FoundLength() > 0 && found == view.FoundAddress();
    showNote(again          ? QStringLiteral("Find: no further match.")
             : found < from ? QStringLiteral("Find: went on from the start of the device.")
                            : QString());
    buffer->ShowFound(found, int(findPattern.size()));
}

void mdiMain::copySelection(bool asArray) {
    const frmBuffer* buffer = BufferWindow();
    if (!buffer)
        return;
    const qint32 first = buffer->View().SelectionFirst();
    const QByteArray bytes(reinterpret_cast<const char*>(state.Buffer.data()) + first,
                           buffer->View().SelectionLast() - first + 1);
    QGuiApplication::clipboard()->setText(asArray ? CArrayClipText(bytes, first)
                                                  : HexClipText(bytes));
}

void mdiMain::BufferCopy_Click() {
    copySelection(false);
}

void mdiMain::BufferCopyArray_Click() {
    copySelection(true);
}

void mdiMain::BufferPaste_Click() {
    const frmBuffer* buffer = BufferWindow();
    if (!buffer)
        return;
    const std::optional<QByteArray> bytes = ParseHexClip(QGuiApplication::clipboard()->text());
    if (!bytes) {
        ShowMessage(this, QStringLiteral("Paste"),
                    QStringLiteral("The clipboard holds no hex bytes (such as 12 AB 3F)."),
                    MsgIcon::Information);
        return;
    }
    // One undoable step, from the caret on, never past the device's end.
    const qint32 at = buffer->View().CaretAddress();
    const qint32 count =
        std::min<qint32>(std::min(state.DeviceSize(), MaxDeviceSize) - at, qint32(bytes->size()));
    image->Edit(ImageModel::Kind::Edit, [&](AppState& target) {
        std::copy(bytes->begin(), bytes->begin() + count, target.Buffer.begin() + at);
        target.markDefined(at, at + count);
    });
    showNote(count < bytes->size()
                 ? QStringLiteral("Paste: %1 bytes past the device's end left out.")
                       .arg(bytes->size() - count)
                 : QString());
}

void mdiMain::showNote(const QString& text) {
    statusNote->setText(text);
}

void mdiMain::BufferFill_Click() {
    // The start box offers the caret's address.
    const frmBuffer* buffer = BufferWindow();
    std::optional<FillRequest> request;
    {
        frmBufferFill dialog(buffer ? buffer->View().CaretAddress() : 0, this);
        dialog.exec();
        request = dialog.Result();
    }
    if (!request)
        return;
    const Status filled = image->Fill(request->start, request->length, request->value);
    if (!filled) {
        ShowMessage(this, QStringLiteral("Buffer Fill"), filled.message, MsgIcon::Critical);
        return;
    }
    // The open window has redrawn itself; a closed one opens, at address 0.
    openBufferWindow();
}

// ---- Device ----

void mdiMain::DeviceSelect_Click() {
    frmSelectDevice dialog(state, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    UpdateDevicePanels();
    // Its layout depends on the device size; the user reopens it.
    closeBufferWindow();
    showChipPreview(true);
    if (frmMemoryMap* map = MemoryMapWindow()) {
        map->Map().SetDeviceSize(state.DeviceSize());
        map->Map().SetDifferences({}, QString());
        map->Refresh();
    }
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
        openBufferWindow();
    // Programmed chips took numbers: the next chip's are others.
    showChipPreview(true);
    UpdateUnitState();
    // The window's line names only the address; the list gives both bytes.
    if (const std::optional<FunctionResult>& wrong = dialog.VerifyMismatch();
        wrong && !dialog.BufferReloadWanted())
        showDifferences(QStringLiteral("Verify with the device"), MismatchReport(*wrong),
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
        showDifferences(QStringLiteral("Compare with the device"), result.report,
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
    context.setUnit(identification);
    // The file last loaded, even when a Read has replaced the buffer since:
    // the record's CRC-32 tells which it was.
    context.imageFile = QFileInfo(lastLoaded.path).fileName();
    return context;
}

void mdiMain::DeviceProduction_Click() {
    if (job) {
        if (!InOperatorMode() && !enterOperatorMode())
            return;
        const QString heading = QStringLiteral("Job %1     Image %2     CRC-32 %3")
                                    .arg(jobName, job->imageName, Crc32Text(job->expectedCrc32));
        for (;;) {
            frmOperator dialog(*station, state, job->functions, heading, shift, this);
            dialog.exec();
            // Its chips took numbers: the next chip's are others.
            showChipPreview(true);
            if (!dialog.LeaveWanted())
                return;
            FileLeaveOperator_Click();
            if (!InOperatorMode())
                return;
        }
    }
    frmProduction dialog(state, *unit, this);
    dialog.setRecordContext(recordContext());
    dialog.Form_Load();
    image->Begin();
    dialog.exec();
    image->Commit(ImageModel::Kind::Edit);
    UpdateUnitState();
    showChipPreview(true);
}

bool mdiMain::enterOperatorMode() {
    // Loaded or edited since the job was opened: not the job's image.
    if (const quint32 crc = BufferCrc32(state); crc != job->expectedCrc32) {
        ShowMessage(this, QStringLiteral("Operator Mode"),
                    QStringLiteral("The buffer (CRC-32 %1) is not the image of job %2 (CRC-32 "
                                   "%3) any more: open the job again.")
                        .arg(Crc32Text(crc), jobName, Crc32Text(job->expectedCrc32)),
                    MsgIcon::Critical);
        // Until then Device > Production is the window of the program's own unit.
        job.reset();
        showChipPreview(true);
        return false;
    }
    const UserSettings settings(state);
    const QString mainPort = DesktopPortAddress(settings, state.PortNumber);
    QStringList ports;
    if (const Status named = StationPorts(settings, job->units, mainPort, &ports); !named) {
        ShowMessage(this, QStringLiteral("Operator Mode"), named.message, MsgIcon::Critical);
        return false;
    }
    const std::optional<LineFields> given =
        cdia.askShift ? cdia.askShift(this, LineFields::load(settings)) : std::nullopt;
    if (!given || !ShiftProblem(*given).isEmpty())
        return false;
    shift = *given;
    station = std::make_unique<UnitGroup>(state, ports, unit, mainPort);
    connect(station.get(), &UnitGroup::chipFinished, this, [this] { showChipPreview(true); });
    station->prepare(state, OperatorSessionSettings(state, *job, recordContext(), shift));
    setMenusEnabled(true);
    // The shift's lot goes into the job's lot field.
    showChipPreview(true);
    return true;
}

void mdiMain::FileLeaveOperator_Click() {
    if (!InOperatorMode() || station->busy())
        return;
    // An operator's Enter stays: leaving is the engineer's decision.
    const int chosen = AskMessage(
        this, QStringLiteral("Operator Mode"),
        QStringLiteral("Leave operator mode? Settings, loading and editing are unlocked."),
        MsgIcon::Warning, {QStringLiteral("Leave"), QStringLiteral("Stay")}, 1);
    if (chosen == 0)
        leaveOperatorMode();
}

void mdiMain::leaveOperatorMode() {
    station.reset();
    setMenusEnabled(true);
    UpdateUnitState();
}

void mdiMain::DeviceRun_Click() {
    setTarget(true);
}

void mdiMain::DeviceReset_Click() {
    setTarget(false);
}

void mdiMain::setTarget(bool running) {
    // The check marks and the panel follow the user at once, as a checkable
    // item would; the session's answer settles them.
    state.unitInReset = !running;
    UpdateUnitState();
    struct Outcome {
        bool inReset = false;
        QString notConnected; // the closed line's reason, when that kept it from the unit
    };
    auto outcome = std::make_shared<Outcome>();
    unit->queue(
        [running, outcome](ProgrammingSession& session) {
            const bool changed = session.setTargetRunning(running);
            outcome->inReset = session.inReset();
            if (changed && !(session.link() && session.link()->isOpen()))
                outcome->notConnected = session.notConnectedReason();
        },
        this,
        [this, outcome] {
            state.unitInReset = outcome->inReset;
            UpdateUnitState();
            if (!outcome->notConnected.isEmpty())
                ShowMessage(this, PortErrorTitle, outcome->notConnected, MsgIcon::Critical);
        });
}

void mdiMain::DeviceReconnect_Click() {
    // The line may be lost in the middle of a function; it ends at once
    // without a line, and the reconnect follows as soon as it has.
    if (unit->busy()) {
        QTimer::singleShot(50, this, &mdiMain::DeviceReconnect_Click);
        return;
    }
    setMenusEnabled(false);
    panels[0]->setText(QString());
    // The port number of the settings, which may name another port since
    // the start.
    connectToUnit(true, [this](const Connection& c) {
        setMenusEnabled(true);
        panels[0]->setText(c.lineOpen ? QStringLiteral("COM") + QString::number(state.PortNumber)
                                      : QStringLiteral("FAIL"));
        UpdateDevicePanels();
        UpdateUnitState();
        if (!c.portOpened) {
            offerReconnect(c.connected.message);
            return;
        }
        if (!c.lineOpen)
            return; // lost again during the identification, and offered then
        if (!c.connected) {
            ShowMessage(this, QStringLiteral("Device Error"),
                        QStringLiteral("Communication Error!"), MsgIcon::Critical);
            return;
        }
        ShowMessage(this, QStringLiteral("VARN"), IdentificationReport(identification),
                    MsgIcon::None);
        openBufferWindow();
    });
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
    showChipPreview(true);
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
    if (memoryMapSub) {
        mdiArea->setActiveSubWindow(memoryMapSub);
        return;
    }
    auto* map = new frmMemoryMap(*image);
    // A comparison made before the map opened shades it too, while its list
    // still stands for the buffer.
    if (auto* list =
            differencesSub ? qobject_cast<frmDifferences*>(differencesSub->widget()) : nullptr;
        list && !list->IsStale()) {
        map->Map().SetDifferences(list->Report(), list->Other());
        map->Refresh();
    }
    connect(map, &frmMemoryMap::addressChosen, this, [this](qint32 address) {
        openBufferWindow();
        if (frmBuffer* buffer = BufferWindow())
            buffer->ShowAddress(address);
    });
    auto* sub = new QMdiSubWindow;
    sub->setObjectName(QStringLiteral("frmMemoryMapSubWindow"));
    sub->setWidget(map);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    sub->setWindowTitle(map->windowTitle());
    sub->setWindowIcon(windowIcon());
    mdiArea->addSubWindow(sub);
    // Right of the buffer window where there is room, else below it.
    const QRect area = mdiArea->viewport()->rect();
    QRect placed = FitInside(QRect(QPoint(0, 0), sub->sizeHint()), area);
    if (bufferSub) {
        const QRect buffer = bufferSub->frameGeometry();
        placed = QRect(QPoint(buffer.right() + 1, buffer.top()), sub->sizeHint());
        if (!area.contains(placed))
            placed = PlaceBeside(buffer, sub->sizeHint(), area);
    }
    sub->setGeometry(placed);
    sub->show();
    memoryMapSub = sub;
    // The per-chip fields as the buffer window shows them.
    showChipPreview(true);
}

void mdiMain::saveGeometrySetting() {
    UserSettings settings(state);
    settings.setValue(QStringLiteral("window/geometry"), saveGeometry());
    settings.setValue(QStringLiteral("window/maximized"), isMaximized());
    settings.sync(nullptr);
}

void mdiMain::restoreGeometrySetting() {
    const UserSettings settings(state);
    const QByteArray saved = settings.value(QStringLiteral("window/geometry")).toByteArray();
    if (!saved.isEmpty())
        restoreGeometry(saved);
    // Kept inside the screen it is on: a layout scaled up (QT_SCALE_FACTOR)
    // or a smaller screen than last time must not leave the status bar off it.
    if (const QRect room = ScreenRoom(this); !room.isEmpty())
        setGeometry(FitInside(geometry(), room));
    if (settings.value(QStringLiteral("window/maximized"), false).toBool())
        setWindowState(windowState() | Qt::WindowMaximized);
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
