#include "frmfunction.h"

#include "core/hextext.h"
#include "core/usersettings.h"
#include "production/recordedrun.h"
#include "widgets/messagebox.h"
#include "widgets/twips.h"

#include <QCloseEvent>
#include <QFontMetricsF>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

namespace varn {

frmFunction::frmFunction(AppState& appState, Transport& transport, QWidget* parent)
    : QDialog(parent), state(appState), link(transport), functions(appState, transport, *this) {
    functions.setOptions(SettingsFunctionOptions(UserSettings(appState)));
    setObjectName(QStringLiteral("frmFunction"));
    setWindowTitle(tr("Function"));
    const Twips tw(this);
    setFixedSize(tw(6300), tw(3330));

    listFunction = new QListWidget(this);
    listFunction->setObjectName(QStringLiteral("listFunction"));
    listFunction->setGeometry(tw(120, 240, 1455, 2400));
    for (int code = FnRead; code <= FnAuto; ++code)
        listFunction->addItem(FunctionName(code));
    listFunction->setCurrentRow(FnRead);

    Frame1 = new QGroupBox(tr("Message:"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(tw(1680, 120, 3015, 2535));
    for (int i = 0; i < 6; ++i) {
        auto* line = new QLabel(Frame1);
        line->setObjectName(QStringLiteral("lblMsg%1").arg(i));
        line->setGeometry(tw(120, 240 + 240 * i, 2775, 255));
        QPalette pal = line->palette();
        pal.setColor(QPalette::WindowText, Qt::blue);
        line->setPalette(pal);
        lblMsg[i] = line;
    }

    shpBG = new QFrame(this);
    shpBG->setObjectName(QStringLiteral("shpBG"));
    shpBG->setFrameShape(QFrame::Box);
    shpBG->setGeometry(tw(1680, 2760, 3015, 135));
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
    lblProgress->setGeometry(tw(3000, 3000, 615, 255));

    struct Box {
        const char* label;
        const char* caption;
        int labelWidth;
        const char* box;
        int top;
        QLineEdit** edit;
    };
    const Box boxes[] = {
        {"Label1", "Chip Start", 1095, "txtChipStart", 240, &txtChipStart},
        {"Label2", "Chip End", 855, "txtChipEnd", 840, &txtChipEnd},
        {"Label3", "Buffer Start", 1095, "txtBufferStart", 1440, &txtBufferStart},
        {"Label4", "Buffer End", 975, "txtBufferEnd", 2040, &txtBufferEnd},
    };
    for (const Box& b : boxes) {
        auto* label = new QLabel(tr(b.caption), this);
        label->setObjectName(QString::fromLatin1(b.label));
        label->setGeometry(tw(5040, b.top, b.labelWidth, 255));
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QString::fromLatin1(b.box));
        edit->setGeometry(tw(5040, b.top + 240, 1095, 285));
        *b.edit = edit;
    }

    cmdRun = new QPushButton(tr("Run"), this);
    cmdRun->setObjectName(QStringLiteral("cmdRun"));
    cmdRun->setGeometry(tw(360, 2760, 975, 375));
    cmdRun->setDefault(true);
    cmdRun->setAutoDefault(false);
    cmdClose = new QPushButton(tr("Close"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    cmdClose->setGeometry(tw(5040, 2760, 975, 375));
    cmdClose->setAutoDefault(false);

    setTabOrder(listFunction, txtChipStart);
    setTabOrder(txtChipStart, txtChipEnd);
    setTabOrder(txtChipEnd, txtBufferStart);
    setTabOrder(txtBufferStart, txtBufferEnd);
    setTabOrder(txtBufferEnd, cmdRun);
    setTabOrder(cmdRun, cmdClose);
    listFunction->setFocus();

    connect(cmdRun, &QPushButton::clicked, this, &frmFunction::cmdRun_Click);
    connect(cmdClose, &QPushButton::clicked, this, &frmFunction::cmdClose_Click);

    // Without an identified unit there is nothing to run for the window's life.
    updateButtons();
}

void frmFunction::Form_Load() {
    functions.LoadSequence();
    shpProgress->resize(0, shpBG->height());
    const QString start = HexWord(0);
    // The end boxes show the size itself, not the last address.
    const QString end = HexWord(state.DeviceSize());
    txtChipStart->setText(start);
    txtChipEnd->setText(end);
    txtBufferStart->setText(start);
    txtBufferEnd->setText(end);
    updateButtons();
}

void frmFunction::updateButtons() {
    cmdRun->setEnabled(!running && state.UnitIdentified);
    cmdClose->setEnabled(!running);
}

void frmFunction::cmdRun_Click() {
    if (running || !state.UnitIdentified)
        return;
    const int index = listFunction->currentRow();
    if ((index == FnProgram || index == FnAuto) && BeforeProgram && !BeforeProgram())
        return;

    // With the production log on, nothing goes to the unit unless the run's
    // record can be kept.
    const UserSettings settings(state);
    std::unique_ptr<ProductionLog> log;
    std::unique_ptr<RecordedRun> recorded;
    if (LogEnabled(settings)) {
        Status opened;
        log = ProductionLog::open(ConfiguredLogLocation(state, settings), {}, &opened);
        if (!log) {
            ShowMessage(this, QStringLiteral("Production Log"),
                        opened.message +
                            QStringLiteral("\n\nNothing was sent to the programmer unit."),
                        MsgIcon::Critical);
            return;
        }
        const SerialSettings serial = SerialSettings::load(settings);
        recorded = std::make_unique<RecordedRun>(*log, serial);
        if (RunPrograms(state, index))
            RestoreImageField(state, serial, imageField);
        RunContext context = recordContext;
        if (context.port.isEmpty())
            context.port = QStringLiteral("COM%1").arg(state.PortNumber);
        recorded->start(state, context);
    }

    running = true;
    updateButtons();
    bool ran = false;
    const Status prepared = recorded ? recorded->prepare(state, index) : Status::Ok();
    if (prepared) {
        serialWritten = serialWritten || (recorded && recorded->record().serial >= 0);
        const FunctionResult result = functions.RunFunction(index);
        ran = result.outcome != Outcome::Refused;
        if (recorded)
            recorded->add(result);
    }
    running = false;
    if (!prepared)
        ShowMessage(this, QStringLiteral("Serial Number"), prepared.message, MsgIcon::Critical);
    if (recorded) {
        if (const Status written = recorded->finish(); !written)
            // The chip may be programmed: show the record so that it is not lost.
            ShowMessage(this, QStringLiteral("Production Log"),
                        written.message + QStringLiteral("\n\nThe run counts as failed. ") +
                            recorded->record().toText(),
                        MsgIcon::Critical);
    }
    // A Read from the list hands the new buffer contents to the caller, even
    // after a time-out; a refused Read read nothing, so the window stays.
    if (index == FnRead && ran) {
        reloadWanted = true;
        accept();
        return;
    }
    updateButtons();
}

FunctionResult frmFunction::RunAlone(int code) {
    if (!state.UnitIdentified) {
        FunctionResult result;
        result.function = code;
        result.outcome = Outcome::Refused;
        result.refusal = tr("The programmer unit has not answered its identification. "
                            "Reconnect it first (Device > Reconnect).");
        refused(result.refusal);
        return result;
    }
    setWindowTitle(FunctionName(code));
    listFunction->setCurrentItem(nullptr);
    listFunction->setEnabled(false);
    // The engine lets events flow while it waits: nothing else may be used.
    setWindowModality(Qt::ApplicationModal);
    show();
    running = true;
    updateButtons();
    const FunctionResult result = functions.RunFunction(code);
    running = false;
    hide();
    return result;
}

void frmFunction::cmdClose_Click() {
    reject();
}

void frmFunction::reject() {
    // The engine waits inside this window's event processing; closing now
    // would pull the window from under a running function.
    if (running)
        return;
    QDialog::reject();
}

void frmFunction::closeEvent(QCloseEvent* event) {
    if (running) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void frmFunction::showLines() {
    for (int i = 0; i < FunctionLines::Count; ++i) {
        if (lblMsg[i]->text() != lines.line(i)) {
            lblMsg[i]->setText(lines.line(i));
            lblMsg[i]->update();
        }
    }
}

void frmFunction::functionStarted(const FunctionResult& run) {
    lines.started(run);
    showLines();
}

void frmFunction::functionProgress(const FunctionResult& /*run*/, int percent) {
    lblProgress->setText(QString::number(percent) + QLatin1Char('%'));
    const float width = static_cast<float>(percent) * static_cast<float>(shpBG->width()) / 100.0f;
    shpProgress->resize(qBound(0, static_cast<int>(width), shpBG->width()), shpBG->height());
    lblProgress->update();
    shpBG->update();
}

void frmFunction::functionFinished(const FunctionResult& result) {
    // The box comes before the line is marked; a sequence's summary repeats
    // what its step has already reported.
    if (result.outcome == Outcome::CommunicationFailure && result.function != FnAuto)
        ShowMessage(this, tr("Device Error"), tr("Communication Error!"), MsgIcon::Critical);
    lines.finished(result);
    showLines();
}

void frmFunction::refused(const QString& reason) {
    // A closed line is the port's fault, told as F5 and F6 tell it; the rest
    // is about the device.
    const QString title = link.isOpen() ? tr("Device Error") : tr("Communication Port Error");
    ShowMessage(this, title, reason, MsgIcon::Critical);
}

} // namespace varn
