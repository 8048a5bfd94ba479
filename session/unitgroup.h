#pragma once

#include "link/openlink.h"
#include "operatorboard.h"

#include <QList>
#include <QObject>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

namespace varn {

class SessionHost;
struct RunPlan;

// Every unit of a run at once, for operator mode and for varn-cli's several
// --port: one session host per unit (each on its own thread, identified
// once), one chip on each at every start, their events gathered on one
// board. Hosts that the group does not make (the program's own unit) are
// lent to it.
class UnitGroup : public QObject {
    Q_OBJECT
public:
    // ports: one per unit, in the tiles' order, each opened with link.
    // lentPort and lent: a host already connected to one of those ports (e.g.
    // the main window's), used for it instead of a new one; null: every unit
    // gets a host of its own.
    UnitGroup(const AppState& setup, const QStringList& ports, const LinkOptions& link = {},
              SessionHost* lent = nullptr, const QString& lentPort = {}, QObject* parent = nullptr);
    ~UnitGroup() override;

    const OperatorBoard& board() const { return tiles; }
    SessionHost& host(int unit) const { return *hosts.at(size_t(unit)); }
    const QStringList& ports() const { return portList; }

    // Opens each unit's log (a log that cannot be opened marks its unit
    // offline) and, on the units' own threads, connects and prepares them.
    // plan: shared by every unit, the port in the record its own.
    void prepare(const AppState& setup, const RunPlan& plan);
    // The plan's next chip on every unit that is not offline, with image,
    // which every unit and every start shares (each chip's own bytes go on
    // its session's copy). resume: clears a stop after failures in a row.
    // False when no unit could start.
    bool start(const std::shared_ptr<const AppState>& image, bool resume);
    // Runs task on every unit at once, each on its unit's thread with the
    // unit's index, host and session, whatever its tile says (a front-end
    // that keeps its own account, as varn-cli does); idle() follows when all
    // are done. False when no unit could take it (one was busy).
    using UnitTask = std::function<void(int unit, SessionHost& host, ProgrammingSession& session)>;
    bool each(const UnitTask& task);
    void stop();
    // A unit is preparing or running a chip.
    bool busy() const;
    // Stops every unit and deletes the group (deleteLater) once all of them
    // are free, so that a lent host goes back to its window idle without the
    // window waiting for it.
    void retire();

signals:
    // The board changed (any tile).
    void changed();
    // A unit's chip is over (its numbers are taken or given back).
    void chipFinished(int unit);
    // Every unit is free again after a prepare or a start.
    void idle();

private:
    void watch(int unit);
    bool post(int unit, const std::function<void(ProgrammingSession&)>& task);
    // A unit's task is over: the board is shown again, and idle() follows
    // with the last one.
    void unitFree();

    QStringList portList;
    std::vector<SessionHost*> hosts;
    std::vector<std::unique_ptr<SessionHost>> owned;
    OperatorBoard tiles;
    int preparing = 0;
};

} // namespace varn
