#include "frmproduction.h"

#include "core/usersettings.h"
#include "functions/functiontext.h"
#include "widgets/messagebox.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QSpinBox>
#include <QVBoxLayout>

namespace varn {

namespace {

void Paint(QLabel* label, const QColor& color) {
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, color);
    label->setPalette(pal);
}

} // namespace

frmProduction::frmProduction(AppState& appState, Transport& transport, QWidget* parent)
    : QDialog(parent), state(appState), functions(appState, transport, *this),
      run(appState, functions) {
    setObjectName(QStringLiteral("frmProduction"));
    functions.setOptions(SettingsFunctionOptions(UserSettings(appState)));
    setWindowTitle(tr("Production"));

    lblVerdict = new QLabel(this);
    lblVerdict->setObjectName(QStringLiteral("lblVerdict"));
    lblVerdict->setAlignment(Qt::AlignCenter);
    QFont big = lblVerdict->font();
    big.setPointSizeF(big.pointSizeF() * 6);
    big.setBold(true);
    lblVerdict->setFont(big);
    lblVerdict->setMinimumWidth(QFontMetrics(big).horizontalAdvance(QStringLiteral("STOPPED")) +
                                40);

    lblReason = new QLabel(this);
    lblReason->setObjectName(QStringLiteral("lblReason"));
    lblReason->setAlignment(Qt::AlignCenter);
    lblReason->setWordWrap(true);
    // Room for the reason and the stop notice, so the layout does not jump.
    lblReason->setMinimumHeight(QFontMetrics(lblReason->font()).lineSpacing() * 3);
    lblCounts = new QLabel(this);
    lblCounts->setObjectName(QStringLiteral("lblCounts"));
    lblCounts->setAlignment(Qt::AlignCenter);
    QFont countsFont = lblCounts->font();
    countsFont.setPointSizeF(countsFont.pointSizeF() * 1.4);
    lblCounts->setFont(countsFont);
    lblSerial = new QLabel(this);
    lblSerial->setObjectName(QStringLiteral("lblSerial"));
    lblSerial->setAlignment(Qt::AlignCenter);
    lblSerial->setFont(countsFont);
    lblStep = new QLabel(this);
    lblStep->setObjectName(QStringLiteral("lblStep"));
    barProgress = new QProgressBar(this);
    barProgress->setObjectName(QStringLiteral("barProgress"));
    barProgress->setRange(0, 100);

    txtStopAfter = new QSpinBox(this);
    txtStopAfter->setObjectName(QStringLiteral("txtStopAfter"));
    txtStopAfter->setRange(0, 999);
    txtStopAfter->setValue(3);
    txtStopAfter->setSpecialValueText(tr("never"));
    auto* stopLabel = new QLabel(tr("Stop after failures in a row:"), this);
    stopLabel->setBuddy(txtStopAfter);

    cmdStart = new QPushButton(tr("Start"), this);
    cmdStart->setObjectName(QStringLiteral("cmdStart"));
    cmdStart->setDefault(true);
    cmdClose = new QPushButton(tr("Close"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    cmdClose->setAutoDefault(false);

    auto* stopRow = new QHBoxLayout;
    stopRow->addWidget(stopLabel);
    stopRow->addWidget(txtStopAfter);
    stopRow->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdStart);
    buttons->addStretch(1);
    buttons->addWidget(cmdClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblVerdict, 1);
    layout->addWidget(lblReason);
    layout->addWidget(lblCounts);
    layout->addWidget(lblSerial);
    layout->addSpacing(8);
    layout->addWidget(lblStep);
    layout->addWidget(barProgress);
    layout->addLayout(stopRow);
    layout->addLayout(buttons);
    setMinimumWidth(lblVerdict->minimumWidth() + 80);

    // Space or Enter starts the next chip wherever the focus is: the
    // technician's hands are on the tray.
    for (const QKeySequence& key :
         {QKeySequence(Qt::Key_Space), QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
        auto* shortcut = new QShortcut(key, this);
        // After a stop only the button resumes: a key pressed out of habit
        // must not feed the next chip to a broken bench.
        connect(shortcut, &QShortcut::activated, this, [this] {
            if (!run.stopped())
                cmdStart_Click();
        });
    }
    connect(cmdStart, &QPushButton::clicked, this, &frmProduction::cmdStart_Click);
    connect(cmdClose, &QPushButton::clicked, this, &frmProduction::reject);
    connect(txtStopAfter, &QSpinBox::valueChanged, this, [this](int n) {
        run.setStopAfter(n);
        showSession();
    });
    run.setStopAfter(txtStopAfter->value());

    // Every chip gets its record: a log that cannot be opened keeps Start off.
    const UserSettings settings(state);
    if (LogEnabled(settings)) {
        Status opened;
        log = ProductionLog::open(ConfiguredLogLocation(state, settings), {}, &opened);
        if (log) {
            logged = std::make_unique<LoggedChips>(*log, SerialSettings::load(settings));
            run.setRecorder(logged.get());
        } else {
            logError = opened.message;
        }
    }
    cmdStart->setFocus();
    showSession();
}

void frmProduction::setRecordContext(const RunContext& context) {
    if (logged)
        logged->setContext(context);
}

void frmProduction::Form_Load() {
    functions.LoadSequence();
    showSession();
}

void frmProduction::cmdStart_Click() {
    if (running || !state.UnitIdentified || !logError.isEmpty())
        return;
    if (run.stopped())
        run.resume();
    running = true;
    lblVerdict->setText(tr("BUSY"));
    Paint(lblVerdict, palette().color(QPalette::WindowText));
    lblReason->clear();
    showSession();
    run.runChip();
    running = false;
    showSession();
}

void frmProduction::showSession() {
    if (!running) {
        switch (run.last()) {
        case ProductionRun::Verdict::Pass:
            lblVerdict->setText(tr("PASS"));
            Paint(lblVerdict, QColor(0, 140, 0));
            break;
        case ProductionRun::Verdict::Fail:
            lblVerdict->setText(run.stopped() ? tr("STOPPED") : tr("FAIL"));
            Paint(lblVerdict, QColor(200, 0, 0));
            break;
        case ProductionRun::Verdict::None:
            lblVerdict->setText(tr("READY"));
            Paint(lblVerdict, palette().color(QPalette::WindowText));
            break;
        }
        QString reason = run.last() == ProductionRun::Verdict::Fail ? run.lastReason() : QString();
        if (run.stopped())
            reason += tr("\n%1 failures in a row: check the unit, the socket and the image, "
                         "then click Resume.")
                          .arg(run.failuresInRow());
        if (!state.UnitIdentified)
            reason = tr("The programmer unit did not answer: production cannot start.");
        if (!logError.isEmpty())
            reason = logError + tr("\nNothing is sent to the programmer unit without the "
                                   "production log.");
        lblReason->setText(reason.trimmed());
        const qint64 next = logged ? logged->nextSerial() : -1;
        lblSerial->setText(next >= 0 ? tr("Next serial number: %1").arg(next) : QString());
        lblSerial->setVisible(next >= 0);
    }
    lblCounts->setText(tr("Chips: %1    Passed: %2    Failed: %3    Yield: %4 %")
                           .arg(run.chips())
                           .arg(run.passed())
                           .arg(run.failed())
                           .arg(run.yieldPercent(), 0, 'f', 1));
    cmdStart->setText(run.stopped() ? tr("Resume") : tr("Start"));
    cmdStart->setEnabled(!running && state.UnitIdentified && logError.isEmpty());
    cmdClose->setEnabled(!running);
    txtStopAfter->setEnabled(!running);
}

void frmProduction::reject() {
    // The engine waits inside this window's event processing.
    if (running)
        return;
    QDialog::reject();
}

void frmProduction::closeEvent(QCloseEvent* event) {
    if (running) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void frmProduction::functionStarted(const FunctionResult& run) {
    if (const QString text = StartText(run.function); !text.isEmpty())
        lblStep->setText(text);
}

void frmProduction::functionProgress(const FunctionResult& /*run*/, int percent) {
    barProgress->setValue(qBound(0, percent, 100));
}

void frmProduction::functionFinished(const FunctionResult& result) {
    // No box to close between chips: the FAIL and its reason say it all.
    if (result.function != FnAuto)
        lblStep->setText(ResultText(result));
}

void frmProduction::refused(const QString& reason) {
    ShowMessage(this, tr("Device Error"), reason, MsgIcon::Critical);
}

} // namespace varn
