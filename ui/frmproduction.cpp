#include "frmproduction.h"

#include "core/usersettings.h"
#include "functions/devicefunctions.h"
#include "functions/functiontext.h"
#include "session/desktopsettings.h"
#include "session/sessionhost.h"
#include "widgets/messagebox.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
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

frmProduction::frmProduction(AppState& appState, SessionHost& sessionHost, QWidget* parent)
    : RunWindow(parent), state(appState), host(sessionHost) {
    setObjectName(QStringLiteral("frmProduction"));
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
    lblProgressTime = new ProgressTimeLabel(
        this, UserSettings(state).value(QLatin1String(OnlyImageKey), false).toBool());

    stopAfter = new QSpinBox(this);
    stopAfter->setObjectName(QStringLiteral("stopAfter"));
    stopAfter->setRange(0, 999);
    stopAfter->setValue(3);
    stopAfter->setSpecialValueText(tr("never"));
    auto* stopLabel = new QLabel(tr("Stop after failures in a row:"), this);
    stopLabel->setBuddy(stopAfter);

    cmdStart = new QPushButton(tr("Start"), this);
    cmdStart->setObjectName(QStringLiteral("cmdStart"));
    cmdStart->setDefault(true);
    addStopButton(tr("Ends the chip at the next block (Esc)"));
    addCloseButton();

    auto* stopRow = new QHBoxLayout;
    stopRow->addWidget(stopLabel);
    stopRow->addWidget(stopAfter);
    stopRow->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdStart);
    buttons->addWidget(cmdStop);
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
    layout->addWidget(lblProgressTime);
    layout->addLayout(stopRow);
    layout->addLayout(buttons);
    setMinimumWidth(lblVerdict->minimumWidth() + 80);

    addStartKeys([this] {
        // After a stop only the button resumes: a key pressed out of habit
        // must not feed the next chip to a broken bench.
        if (!halted)
            cmdStart_Click();
    });
    // The field is the first to take the focus; it must not keep Space.
    stopAfter->installEventFilter(this);
    connect(cmdStart, &QPushButton::clicked, this, &frmProduction::cmdStart_Click);
    connect(stopAfter, &QSpinBox::valueChanged, this, [this] { showSession(); });
    follow(host, state);
    cmdStart->setFocus();
    showSession();
}

SessionSettings frmProduction::settings() const {
    SessionSettings chosen = DesktopSessionSettings(state, recordContext);
    chosen.stopAfterFailures = stopAfter->value();
    return chosen;
}

void frmProduction::Form_Load() {
    // Every chip gets its record: a log that cannot be opened keeps Start off.
    // Opening it may wait on a database server: on the session's thread, not
    // on the window's.
    const SessionSettings chosen = settings();
    // The window is modal: the buffer stays as it is while it is open, and
    // every chip shares this one copy.
    image = std::make_shared<const AppState>(state);
    auto opened = std::make_shared<Status>();
    auto nextSerial = std::make_shared<qint64>(-1);
    loading = host.post(
        [chosen, setup = image, opened, nextSerial](ProgrammingSession& session) {
            session.setSettings(chosen);
            *opened = session.openLog();
            *nextSerial = session.nextSerial();
            session.setConfiguration(setup);
            session.prepareUnit();
        },
        this,
        [this, opened, nextSerial] {
            loading = false;
            logError = opened->ok ? QString() : opened->message;
            next = *nextSerial;
            showSession();
        });
    if (!loading) {
        // Still at work for another window: this one loads once it is free.
        loading = true;
        connect(&host, &SessionHost::finished, this, &frmProduction::Form_Load,
                Qt::SingleShotConnection);
    }
    showSession();
}

void frmProduction::cmdStart_Click() {
    if (running || loading || !state.UnitIdentified || !logError.isEmpty())
        return;
    const bool resume = halted;
    if (!image)
        image = std::make_shared<const AppState>(state);
    const SessionSettings chosen = settings();
    auto nextSerial = std::make_shared<qint64>(-1);
    running = host.post(
        [image = image, chosen, resume, nextSerial](ProgrammingSession& session) {
            session.setSettings(chosen);
            session.setConfiguration(image);
            if (resume)
                session.resume();
            session.chipChanged();
            session.runChip(FnAuto, image);
            *nextSerial = session.nextSerial();
        },
        this,
        [this, nextSerial] {
            // The chip's verdict came with chipFinished; Start waits for
            // the session to be free, or a click now would be refused.
            running = false;
            loading = false;
            next = *nextSerial;
            showSession();
        });
    if (!running)
        return;
    halted = false;
    lblVerdict->setText(tr("BUSY"));
    Paint(lblVerdict, palette().color(QPalette::WindowText));
    lblReason->clear();
    showSession();
}

void frmProduction::stopChip() {
    host.stop();
}

void frmProduction::chipFinished(const ChipReport& report) {
    if (!running)
        return;
    // The verdict shows now; the session still closes the chip's record.
    running = false;
    loading = true;
    tally = report.counts;
    halted = report.halted;
    last = report.verdict;
    lastReason = report.reason;
    showSession();
}

void frmProduction::showSession() {
    if (!running) {
        switch (last) {
        case ChipReport::Verdict::Pass:
            lblVerdict->setText(tr("PASS"));
            Paint(lblVerdict, QColor(0, 140, 0));
            break;
        case ChipReport::Verdict::Fail:
        case ChipReport::Verdict::Stopped:
            lblVerdict->setText(halted || last == ChipReport::Verdict::Stopped ? tr("STOPPED")
                                                                               : tr("FAIL"));
            Paint(lblVerdict, QColor(200, 0, 0));
            break;
        case ChipReport::Verdict::None:
            lblVerdict->setText(tr("READY"));
            Paint(lblVerdict, palette().color(QPalette::WindowText));
            break;
        }
        QString reason = last == ChipReport::Verdict::Pass ? QString() : lastReason;
        if (halted)
            reason += tr("\n%1 failures in a row: check the unit, the socket and the image, "
                         "then click Resume.")
                          .arg(tally.failuresInRow);
        if (!state.UnitIdentified)
            reason = tr("The programmer unit did not answer: production cannot start.");
        if (!logError.isEmpty())
            reason = logError + tr("\nNothing is sent to the programmer unit without the "
                                   "production log.");
        lblReason->setText(reason.trimmed());
        lblSerial->setText(next >= 0 ? tr("Next serial number: %1").arg(next) : QString());
        lblSerial->setVisible(next >= 0);
    }
    lblCounts->setText(tr("Chips: %1    Passed: %2    Failed: %3    Yield: %4 %")
                           .arg(tally.chips)
                           .arg(tally.passed)
                           .arg(tally.failed())
                           .arg(tally.yieldPercent(), 0, 'f', 1));
    cmdStart->setText(halted ? tr("Resume") : tr("Start"));
    showRunButtons(cmdStart, state.UnitIdentified && logError.isEmpty());
    stopAfter->setEnabled(!running);
}

bool frmProduction::eventFilter(QObject* watched, QEvent* event) {
    // A number field has no use for Space; left to it, the field would
    // claim the key and the shortcut that starts the chip would never fire.
    if (watched == stopAfter && event->type() == QEvent::ShortcutOverride &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space)
        return true;
    return QDialog::eventFilter(watched, event);
}

void frmProduction::functionStarted(const FunctionResult& run) {
    if (const QString text = StartText(run.function); !text.isEmpty())
        lblStep->setText(text);
}

void frmProduction::functionProgress(const FunctionResult& run, int percent) {
    barProgress->setValue(qBound(0, percent, 100));
    lblProgressTime->Show(run, percent);
}

void frmProduction::functionFinished(const FunctionResult& result) {
    // No box to close between chips: the FAIL and its reason say it all.
    if (result.function != FnAuto)
        lblStep->setText(ResultText(result));
    lblProgressTime->Finish();
}

void frmProduction::refused(const QString& reason, bool) {
    ShowMessage(this, tr("Device Error"), reason, MsgIcon::Critical);
}

} // namespace varn
