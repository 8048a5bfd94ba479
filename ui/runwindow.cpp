#include "runwindow.h"

#include "session/sessionhost.h"

#include <QCloseEvent>
#include <QKeySequence>
#include <QPushButton>
#include <QShortcut>

namespace varn {

RunWindow::RunWindow(QWidget* parent) : QDialog(parent) {}

void RunWindow::stopClicked() {
    if (stoppable())
        stopChip();
}

void RunWindow::reject() {
    if (stoppable()) {
        stopClicked();
        return;
    }
    if (isRunning())
        return;
    QDialog::reject();
}

void RunWindow::closeEvent(QCloseEvent* event) {
    if (isRunning()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void RunWindow::addStopButton(const QString& toolTip) {
    stopButton = new QPushButton(tr("Stop"), this);
    stopButton->setObjectName(QStringLiteral("stopButton"));
    stopButton->setAutoDefault(false);
    stopButton->setToolTip(toolTip);
    connect(stopButton, &QPushButton::clicked, this, &RunWindow::stopClicked);
}

void RunWindow::addCloseButton() {
    cmdClose = new QPushButton(tr("Close"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    cmdClose->setAutoDefault(false);
    connect(cmdClose, &QPushButton::clicked, this, &RunWindow::reject);
}

void RunWindow::addStartKeys(const std::function<void()>& start) {
    for (const QKeySequence& key :
         {QKeySequence(Qt::Key_Space), QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)})
        connect(new QShortcut(key, this), &QShortcut::activated, this, start);
}

void RunWindow::showRunButtons(QPushButton* start, bool mayStart) {
    const bool running = isRunning();
    start->setEnabled(mayStart && !running);
    stopButton->setEnabled(stoppable());
    cmdClose->setEnabled(!running);
}

void RunWindow::follow(SessionHost& host, AppState& state) {
    connect(&host, &SessionHost::functionStarted, this, &RunWindow::functionStarted);
    connect(&host, &SessionHost::functionProgress, this, &RunWindow::functionProgress);
    connect(&host, &SessionHost::functionFinished, this, &RunWindow::functionFinished);
    connect(&host, &SessionHost::refused, this, &RunWindow::refused);
    connect(&host, &SessionHost::unitRunStateChanged, this, [this, &state](bool inReset) {
        state.unitInReset = inReset;
        emit unitStateChanged();
    });
    connect(&host, &SessionHost::chipFinished, this, &RunWindow::chipFinished);
}

} // namespace varn
