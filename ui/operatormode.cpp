#include "operatormode.h"

#include "core/appstate.h"
#include "core/crc32.h"
#include "core/usersettings.h"
#include "link/openlink.h"
#include "session/operatorboard.h"
#include "session/unitgroup.h"
#include "ui/filedialogs.h"
#include "ui/frmoperator.h"
#include "ui/jobfiles.h"
#include "widgets/messagebox.h"

#include <QStringList>
#include <QWidget>
#include <utility>

namespace varn {

OperatorMode::OperatorMode(AppState& appState, SessionHost& sessionHost, JobFiles& jobFiles,
                           const FileDialogs& fileDialogs, std::function<RunContext()> context,
                           QWidget* parent)
    : QObject(parent), state(appState), host(sessionHost), jobs(jobFiles), dialogs(fileDialogs),
      recordContext(std::move(context)), window(parent) {}

OperatorMode::~OperatorMode() = default;

bool OperatorMode::busy() const {
    return station && station->busy();
}

bool OperatorMode::Keeps(const QString& action) {
    static const QStringList kept{"DeviceProduction", "FileLeaveOperator", "FileExit",
                                  "HelpContents", "HelpAbout"};
    return kept.contains(action);
}

void OperatorMode::run() {
    if (!active() && !enter())
        return;
    const ProductionJob& job = *jobs.job();
    const QString heading = QStringLiteral("Job %1     Image %2     CRC-32 %3")
                                .arg(jobs.jobName(), job.imageName, Crc32Text(job.expectedCrc32));
    for (;;) {
        frmOperator dialog(*station, state, heading, fields, window);
        dialog.exec();
        // Its chips took numbers: the next chip's are others.
        emit previewWanted();
        if (!dialog.LeaveWanted())
            return;
        askToLeave();
        if (!active())
            return;
    }
}

bool OperatorMode::enter() {
    const ProductionJob& job = *jobs.job();
    // Loaded or edited since the job was opened: not the job's image.
    if (const quint32 crc = BufferCrc32(state); crc != job.expectedCrc32) {
        ShowMessage(window, QStringLiteral("Operator Mode"),
                    QStringLiteral("The buffer (CRC-32 %1) is not the image of job %2 (CRC-32 "
                                   "%3) any more: open the job again.")
                        .arg(Crc32Text(crc), jobs.jobName(), Crc32Text(job.expectedCrc32)),
                    MsgIcon::Critical);
        // Until then Device > Production is the window of the program's own unit.
        jobs.forget();
        emit previewWanted();
        return false;
    }
    const UserSettings settings(state);
    const QString mainPort = DesktopPortAddress(settings, state.PortNumber);
    QStringList ports;
    if (const Status named = StationPorts(settings, job.units, mainPort, &ports); !named) {
        ShowMessage(window, QStringLiteral("Operator Mode"), named.message, MsgIcon::Critical);
        return false;
    }
    const std::optional<LineFields> given =
        dialogs.askShift ? dialogs.askShift(window, LineFields::load(settings)) : std::nullopt;
    if (!given || !ShiftProblem(*given).isEmpty())
        return false;
    fields = *given;
    // The same network latency allowance as the program's own port.
    LinkOptions link;
    link.netLatencyMs = ReadNetworkPortSettings(settings).latencyMs;
    station = new UnitGroup(state, ports, link, &host, mainPort, this);
    connect(station, &UnitGroup::chipFinished, this, &OperatorMode::previewWanted);
    station->prepare(state, OperatorRunPlan(state, job, recordContext(), fields));
    emit lockChanged();
    // The shift's lot goes into the job's lot field.
    emit previewWanted();
    return true;
}

void OperatorMode::askToLeave() {
    if (!active() || station->busy())
        return;
    // An operator's Enter stays: leaving is the engineer's decision.
    const int chosen = AskMessage(
        window, QStringLiteral("Operator Mode"),
        QStringLiteral("Leave operator mode? Settings, loading and editing are unlocked."),
        MsgIcon::Warning, {QStringLiteral("Leave"), QStringLiteral("Stay")}, 1);
    if (chosen == 0)
        leave();
}

void OperatorMode::leave() {
    // Left only between chips; the group still goes only once its units are
    // free, and with it its hold on the main window's host.
    std::exchange(station, nullptr)->retire();
    emit lockChanged();
    emit unitStateChanged();
}

bool OperatorMode::mayExit() {
    return !active() ||
           AskMessage(window, QStringLiteral("Operator Mode"),
                      QStringLiteral("Exit the program? Operator mode ends, and the next start "
                                     "opens without the job."),
                      MsgIcon::Warning, {QStringLiteral("Exit"), QStringLiteral("Stay")}, 1) == 0;
}

} // namespace varn
