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

    verdict = new QLabel(this);
    verdict->setObjectName(QStringLiteral("verdict"));
    verdict->setAlignment(Qt::AlignCenter);
    QFont big = verdict->font();
    big.setPointSizeF(big.pointSizeF() * 6);
    big.setBold(true);
    verdict->setFont(big);
    verdict->setMinimumWidth(QFontMetrics(big).horizontalAdvance(QStringLiteral("STOPPED")) + 40);

    reasonText = new QLabel(this);
    reasonText->setObjectName(QStringLiteral("reasonText"));
    reasonText->setAlignment(Qt::AlignCenter);
    reasonText->setWordWrap(true);
    // Room for the reason and the stop notice, so the layout does not jump.
    reasonText->setMinimumHeight(QFontMetrics(reasonText->font()).lineSpacing() * 3);
    countsText = new QLabel(this);
    countsText->setObjectName(QStringLiteral("countsText"));
    countsText->setAlignment(Qt::AlignCenter);
    QFont countsFont = countsText->font();
    countsFont.setPointSizeF(countsFont.pointSizeF() * 1.4);
    countsText->setFont(countsFont);
    serialText = new QLabel(this);
    serialText->setObjectName(QStringLiteral("serialText"));
    serialText->setAlignment(Qt::AlignCenter);
    serialText->setFont(countsFont);
    stepText = new QLabel(this);
    stepText->setObjectName(QStringLiteral("stepText"));
    progress = new QProgressBar(this);
    progress->setObjectName(QStringLiteral("progress"));
    progress->setRange(0, 100);
    progressTime = new ProgressTimeLabel(
        this, UserSettings(state).value(QLatin1String(OnlyImageKey), false).toBool());

    stopAfter = new QSpinBox(this);
    stopAfter->setObjectName(QStringLiteral("stopAfter"));
    stopAfter->setRange(0, 999);
    stopAfter->setValue(3);
    stopAfter->setSpecialValueText(tr("never"));
    auto* stopLabel = new QLabel(tr("Stop after failures in a row:"), this);
    stopLabel->setBuddy(stopAfter);

    startButton = new QPushButton(tr("Start"), this);
    startButton->setObjectName(QStringLiteral("startButton"));
    startButton->setDefault(true);
    addStopButton(tr("Ends the chip at the next block (Esc)"));
    addCloseButton();

    auto* stopRow = new QHBoxLayout;
    stopRow->addWidget(stopLabel);
    stopRow->addWidget(stopAfter);
    stopRow->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(startButton);
    buttons->addWidget(stopButton);
    buttons->addStretch(1);
    buttons->addWidget(cmdClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(verdict, 1);
    layout->addWidget(reasonText);
    layout->addWidget(countsText);
    layout->addWidget(serialText);
    layout->addSpacing(8);
    layout->addWidget(stepText);
    layout->addWidget(progress);
    layout->addWidget(progressTime);
    layout->addLayout(stopRow);
    layout->addLayout(buttons);
    setMinimumWidth(verdict->minimumWidth() + 80);

    addStartKeys([this] {
        // After a stop only the button resumes: a key pressed out of habit
        // must not feed the next chip to a broken bench.
        if (!halted)
            startClicked();
    });
    // The field is the first to take the focus; it must not keep Space.
    stopAfter->installEventFilter(this);
    connect(startButton, &QPushButton::clicked, this, &frmProduction::startClicked);
    connect(stopAfter, &QSpinBox::valueChanged, this, [this] { showSession(); });
    follow(host, state);
    startButton->setFocus();
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

void frmProduction::startClicked() {
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
    verdict->setText(tr("BUSY"));
    Paint(verdict, palette().color(QPalette::WindowText));
    reasonText->clear();
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
            verdict->setText(tr("PASS"));
            Paint(verdict, QColor(0, 140, 0));
            break;
        case ChipReport::Verdict::Fail:
        case ChipReport::Verdict::Stopped:
            verdict->setText(halted || last == ChipReport::Verdict::Stopped ? tr("STOPPED")
                                                                            : tr("FAIL"));
            Paint(verdict, QColor(200, 0, 0));
            break;
        case ChipReport::Verdict::None:
            verdict->setText(tr("READY"));
            Paint(verdict, palette().color(QPalette::WindowText));
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
        reasonText->setText(reason.trimmed());
        serialText->setText(next >= 0 ? tr("Next serial number: %1").arg(next) : QString());
        serialText->setVisible(next >= 0);
    }
    countsText->setText(tr("Chips: %1    Passed: %2    Failed: %3    Yield: %4 %")
                            .arg(tally.chips)
                            .arg(tally.passed)
                            .arg(tally.failed())
                            .arg(tally.yieldPercent(), 0, 'f', 1));
    startButton->setText(halted ? tr("Resume") : tr("Start"));
    showRunButtons(startButton, state.UnitIdentified && logError.isEmpty());
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
        stepText->setText(text);
}

void frmProduction::functionProgress(const FunctionResult& run, int percent) {
    progress->setValue(qBound(0, percent, 100));
    progressTime->Show(run, percent);
}

void frmProduction::functionFinished(const FunctionResult& result) {
    // No box to close between chips: the FAIL and its reason say it all.
    if (result.function != FnAuto)
        stepText->setText(ResultText(result));
    progressTime->Finish();
}

void frmProduction::refused(const QString& reason, bool) {
    ShowMessage(this, tr("Device Error"), reason, MsgIcon::Critical);
}

} // namespace varn
