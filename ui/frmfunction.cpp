#include "frmfunction.h"

#include "core/hextext.h"
#include "core/usersettings.h"
#include "functions/devicefunctions.h"
#include "functions/functiontable.h"
#include "session/desktopsettings.h"
#include "session/sessionhost.h"
#include "widgets/messagebox.h"
#include "widgets/twips.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace varn {

namespace {
constexpr const char* LastFunctionKey = "device/lastFunction";
} // namespace

frmFunction::frmFunction(AppState& appState, SessionHost& sessionHost, QWidget* parent)
    : RunWindow(parent), state(appState), host(sessionHost) {
    setObjectName(QStringLiteral("frmFunction"));
    setWindowTitle(tr("Function"));
    const Twips tw(this);

    listFunction = new QListWidget(this);
    listFunction->setObjectName(QStringLiteral("listFunction"));
    listFunction->setFixedWidth(tw(1455));
    listFunction->setMinimumHeight(tw(2400));
    // The rows in list order, each known by its code from the table.
    for (int listRow = 0; FunctionAtListRow(listRow) >= 0; ++listRow)
        listFunction->addItem(QString::fromLatin1(FindFunction(FunctionAtListRow(listRow))->name));
    // The function chosen last time (varn.ini, by code), Read the first time.
    const int last = UserSettings(state).value(QLatin1String(LastFunctionKey), FnRead).toInt();
    listFunction->setCurrentRow(ListRowOf(last) >= 0 ? ListRowOf(last) : ListRowOf(FnRead));

    // The message lines are as wide as their text: a stop address or a
    // comparison's summary is never cut off. The window widens for them.
    Frame1 = new QGroupBox(tr("Message:"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    auto* messageLines = new QVBoxLayout(Frame1);
    messageLines->setSpacing(0);
    for (int i = 0; i < 6; ++i) {
        auto* line = new QLabel(Frame1);
        line->setObjectName(QStringLiteral("lblMsg%1").arg(i));
        line->setMinimumHeight(tw(240));
        QPalette pal = line->palette();
        pal.setColor(QPalette::WindowText, Qt::blue);
        line->setPalette(pal);
        messageLines->addWidget(line);
        lblMsg[i] = line;
    }
    messageLines->addStretch(1);

    shpBG = new QFrame(this);
    shpBG->setObjectName(QStringLiteral("shpBG"));
    shpBG->setFrameShape(QFrame::Box);
    shpBG->setFixedHeight(tw(135));
    // The bar's fill follows its frame when the window widens.
    shpBG->installEventFilter(this);
    // A child of the bar's frame, so it always grows from the bar's left edge.
    shpProgress = new QFrame(shpBG);
    shpProgress->setObjectName(QStringLiteral("shpProgress"));
    shpProgress->setAutoFillBackground(true);
    QPalette barPal = shpProgress->palette();
    barPal.setColor(QPalette::Window, barPal.color(QPalette::Highlight));
    shpProgress->setPalette(barPal);
    shpProgress->setGeometry(0, 0, 0, shpBG->height());

    lblProgress = new QLabel(QStringLiteral("0%"), this);
    lblProgress->setObjectName(QStringLiteral("lblProgress"));
    QFont courier(QStringLiteral("Courier"));
    courier.setStyleHint(QFont::TypeWriter);
    courier.setPointSizeF(9.75);
    courier.setBold(true);
    lblProgress->setFont(courier);
    lblProgress->setAlignment(Qt::AlignCenter);
    progressTime = new ProgressTimeLabel(
        this, UserSettings(state).value(QLatin1String(OnlyImageKey), false).toBool());

    struct Box {
        const char* label;
        const char* caption;
        const char* box;
        QLineEdit** edit;
    };
    const Box boxes[] = {
        {"Label1", "Chip Start", "txtChipStart", &txtChipStart},
        {"Label2", "Chip End", "txtChipEnd", &txtChipEnd},
        {"Label3", "Buffer Start", "txtBufferStart", &txtBufferStart},
        {"Label4", "Buffer End", "txtBufferEnd", &txtBufferEnd},
    };
    auto* addresses = new QVBoxLayout;
    addresses->setSpacing(0);
    for (const Box& b : boxes) {
        auto* label = new QLabel(tr(b.caption), this);
        label->setObjectName(QString::fromLatin1(b.label));
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QString::fromLatin1(b.box));
        edit->setFixedWidth(tw(1095));
        addresses->addWidget(label);
        addresses->addWidget(edit);
        addresses->addSpacing(tw(75));
        *b.edit = edit;
    }
    addresses->addStretch(1);

    cmdRun = new QPushButton(tr("Run"), this);
    cmdRun->setObjectName(QStringLiteral("cmdRun"));
    cmdRun->setFixedSize(tw(975), tw(375));
    cmdRun->setDefault(true);
    cmdRun->setAutoDefault(false);
    addCloseButton();
    cmdClose->setFixedSize(tw(975), tw(375));
    addStopButton(tr("Ends the function at the next block (Esc)"));
    stopButton->setFixedSize(cmdClose->size());
    stopButton->hide();

    auto* progress = new QVBoxLayout;
    progress->addWidget(shpBG);
    progress->addWidget(lblProgress);
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(tw(120), tw(120), tw(120), tw(75));
    grid->setHorizontalSpacing(tw(120));
    grid->addWidget(listFunction, 0, 0, Qt::AlignBottom);
    grid->addWidget(Frame1, 0, 1);
    grid->addLayout(addresses, 0, 2);
    grid->addWidget(cmdRun, 1, 0, Qt::AlignTop | Qt::AlignHCenter);
    grid->addLayout(progress, 1, 1, Qt::AlignTop);
    // Stop stands in Close's place while a function runs.
    grid->addWidget(cmdClose, 1, 2, Qt::AlignTop | Qt::AlignLeft);
    grid->addWidget(stopButton, 1, 2, Qt::AlignTop | Qt::AlignLeft);
    grid->addWidget(progressTime, 2, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    grid->setColumnMinimumWidth(1, tw(3015));
    // Never smaller than its contents; larger when a message line needs it.
    grid->setSizeConstraint(QLayout::SetMinimumSize);

    setTabOrder(listFunction, txtChipStart);
    setTabOrder(txtChipStart, txtChipEnd);
    setTabOrder(txtChipEnd, txtBufferStart);
    setTabOrder(txtBufferStart, txtBufferEnd);
    setTabOrder(txtBufferEnd, cmdRun);
    setTabOrder(cmdRun, cmdClose);
    listFunction->setFocus();

    connect(cmdRun, &QPushButton::clicked, this, &frmFunction::cmdRun_Click);
    follow(host, state);

    // Without an identified unit there is nothing to run for the window's life.
    updateButtons();
}

void frmFunction::Form_Load() {
    percentShown = 0;
    showFill();
    const QString first = HexWord(0);
    // The end boxes show the size itself, not the last address.
    const QString end = HexWord(state.DeviceSize());
    txtChipStart->setText(first);
    txtChipEnd->setText(end);
    txtBufferStart->setText(first);
    txtBufferEnd->setText(end);
    const AppState setup = state;
    loading = host.post(
        [setup](ProgrammingSession& session) {
            session.setConfiguration(setup);
            session.prepareUnit();
        },
        this,
        [this] {
            loading = false;
            updateButtons();
            if (const int code = pendingStart; code >= 0) {
                pendingStart = -1;
                start(code);
            }
        });
    updateButtons();
}

void frmFunction::updateButtons() {
    showRunButtons(cmdRun, state.UnitIdentified);
    cmdClose->setVisible(!running);
    stopButton->setVisible(running);
}

void frmFunction::cmdRun_Click() {
    if (running || loading || !state.UnitIdentified)
        return;
    const int index = FunctionAtListRow(listFunction->currentRow());
    UserSettings(state).setValue(QLatin1String(LastFunctionKey), index);
    if (FunctionHas(index, MayProgram) && beforeProgram && !beforeProgram())
        return;
    start(index);
}

void frmFunction::start(int code) {
    // The chip gets a copy: whatever the run writes into it (a serial
    // number) never reaches the buffer.
    const auto image = std::make_shared<const AppState>(state);
    const SessionSettings settings = DesktopSessionSettings(state, recordContext);
    running = host.post([image, settings, code](ProgrammingSession& session) {
        session.setSettings(settings);
        session.setConfiguration(*image);
        session.runChip(code, *image);
    });
    updateButtons();
    if (running)
        stopButton->setFocus();
}

void frmFunction::chipFinished(const ChipReport& report) {
    if (!running)
        return;
    running = false;
    updateButtons();
    progressTime->Finish();
    using Stage = ChipReport::Stage;
    if (report.stage == Stage::Log || report.stage == Stage::Record)
        // The chip may be programmed: the record is shown so that it is not lost.
        ShowMessage(this, QStringLiteral("Production Log"), report.reason, MsgIcon::Critical);
    else if (report.stage == Stage::Serial)
        ShowMessage(this, QStringLiteral("Serial Number"), report.reason, MsgIcon::Critical);
    else if (report.stage == Stage::Image)
        ShowMessage(this, QStringLiteral("Image"), report.reason, MsgIcon::Critical);
    else if (report.stage == Stage::Unit && report.verdict == ChipReport::Verdict::None)
        // The unit could not be reached at all: the port's fault, as F5 and
        // F6 tell it.
        ShowMessage(this, tr("Communication Port Error"), report.reason, MsgIcon::Critical);
    if (alone) {
        aloneResult = report.result;
        accept();
        return;
    }
    // A Read from the list hands what the chip gave to the buffer, even
    // after a time-out; a refused Read read nothing, so the window stays.
    if (FunctionHas(report.function, ReadsIntoBuffer) && report.readBack) {
        state.Buffer = report.readBack->Buffer;
        state.defined = report.readBack->defined;
        reloadWanted = true;
        accept();
        return;
    }
    listFunction->setFocus();
}

bool frmFunction::RunAlone(int code) {
    aloneResult = FunctionResult();
    aloneResult.function = code;
    aloneResult.outcome = Outcome::Refused;
    if (!state.UnitIdentified) {
        aloneResult.refusal = tr("The programmer unit has not answered its identification. "
                                 "Reconnect it first (Device > Reconnect).");
        refused(aloneResult.refusal, true);
        return false;
    }
    setWindowTitle(FunctionName(code));
    listFunction->setCurrentItem(nullptr);
    listFunction->setEnabled(false);
    alone = true;
    // After the load exchange that Form_Load started.
    if (loading)
        pendingStart = code;
    else
        start(code);
    return true;
}

void frmFunction::stopChip() {
    host.stop();
}

void frmFunction::showLines() {
    for (int i = 0; i < FunctionLines::Count; ++i) {
        if (lblMsg[i]->text() != lines.line(i))
            lblMsg[i]->setText(lines.line(i));
    }
}

void frmFunction::functionStarted(const FunctionResult& run) {
    lines.started(run);
    showLines();
}

void frmFunction::functionProgress(const FunctionResult& run, int percent) {
    lblProgress->setText(QString::number(percent) + QLatin1Char('%'));
    progressTime->Show(run, percent);
    percentShown = percent;
    showFill();
}

void frmFunction::showFill() {
    const float width =
        static_cast<float>(percentShown) * static_cast<float>(shpBG->width()) / 100.0f;
    shpProgress->resize(qBound(0, static_cast<int>(width), shpBG->width()), shpBG->height());
}

bool frmFunction::eventFilter(QObject* watched, QEvent* event) {
    if (watched == shpBG && event->type() == QEvent::Resize)
        showFill();
    return QDialog::eventFilter(watched, event);
}

void frmFunction::functionFinished(const FunctionResult& result) {
    // The box comes before the line is marked; a sequence's summary repeats
    // what its step has already reported.
    if (result.outcome == Outcome::CommunicationFailure && result.function != FnAuto)
        ShowMessage(this, tr("Device Error"), tr("Communication Error!"), MsgIcon::Critical);
    if (ExchangeOf(result.function) == Exchange::Verify) {
        if (result.outcome == Outcome::Mismatch)
            verifyMismatch = result;
        else if (result.succeeded())
            verifyMismatch.reset();
    }
    lines.finished(result);
    showLines();
    progressTime->Finish();
}

void frmFunction::refused(const QString& reason, bool lineOpen) {
    // A closed line is the port's fault, told as F5 and F6 tell it; the rest
    // is about the device.
    const QString title = lineOpen ? tr("Device Error") : tr("Communication Port Error");
    ShowMessage(this, title, reason, MsgIcon::Critical);
}

} // namespace varn
