#pragma once

#include "production/productionlog.h"
#include "session/programmingsession.h"

#include <QObject>
#include <functional>

class QWidget;

namespace varn {

class AppState;
class JobFiles;
class SessionHost;
class UnitGroup;
struct FileDialogs;

// Operator mode: every unit of the opened job in one window, run by an
// operator who may run the job, leave (when the engineer agrees), read the
// help and quit. The main window locks everything else while it lasts.
class OperatorMode : public QObject {
    Q_OBJECT
public:
    // recordContext: what a production record names besides the buffer.
    OperatorMode(AppState& state, SessionHost& host, JobFiles& jobs, const FileDialogs& dialogs,
                 std::function<RunContext()> recordContext, QWidget* parent);
    ~OperatorMode() override;

    bool active() const { return station != nullptr; }
    // A chip of the station is being worked on.
    bool busy() const;
    // Who runs which lot (asked when operator mode began).
    const LineFields& shift() const { return fields; }

    // Device > Production with a job opened: enters operator mode (asked for
    // operator, lot and work order once) and shows the station's window
    // until it is closed or operator mode is left.
    void run();
    // Asks, then unlocks what operator mode locked.
    void askToLeave();
    // Before the program ends: in operator mode, asks whether to exit.
    bool mayExit();

    // What an operator may still do: run the job, leave, read the help, quit.
    static bool Keeps(const QString& action);

signals:
    // Operator mode began or ended: the menus, the title and the image's lock.
    void lockChanged();
    // Chips took numbers, or the job changed: the next chip's fields.
    void previewWanted();
    void unitStateChanged();

private:
    bool enter();
    void leave();

    AppState& state;
    SessionHost& host;
    JobFiles& jobs;
    const FileDialogs& dialogs;
    std::function<RunContext()> recordContext;
    QWidget* window;
    // A child: a group retired while busy goes at the latest with this.
    UnitGroup* station = nullptr;
    LineFields fields;
};

} // namespace varn
