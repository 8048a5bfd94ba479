#pragma once

#include "programmingsession.h"
#include "runplan.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace varn {

struct ProductionJob;
class UserSettings;

// What the operator's tile of one unit shows: a word large enough to read
// from the bench, why a chip did not pass in the session's own words, the
// serial number it was given and the unit's counts since operator mode began.
struct UnitTile {
    enum class State {
        Waiting, // ready for the next chip, or not started yet
        Running,
        Pass,
        Fail,
        Stopped, // by the user, or after too many failures in a row
        NotRun,  // refused before anything was sent: the chip was not touched
        Offline, // the unit cannot be reached; its tile stays so until reconnected
    };
    QString port; // as the messages name it (COM2, /dev/ttyUSB0, tcp://...)
    State state = State::Waiting;
    QString reason;
    qint64 serial = -1; // the number the last chip was given
    int percent = 0;
    SessionCounts counts;
    bool halted = false;
    // The unit was not reached, or its line went away: the next start
    // connects and identifies it afresh instead of leaving it out.
    bool lineDown = false;
};

// The tiles of every unit of a job, fed by the units' session events in the
// order they come; the windows only show it. A window-free value, so that a
// test can drive it without a unit.
class OperatorBoard {
public:
    explicit OperatorBoard(const QStringList& ports = {});

    int size() const { return int(tiles.size()); }
    const UnitTile& tile(int unit) const { return tiles.at(unit); }

    // The unit could not be reached or prepared (reason in plain words).
    // retry: the next start tries the unit again (false when nothing may be
    // sent to it, e.g. without its log).
    void setOffline(int unit, const QString& reason, bool retry = true);
    // The unit answered and is ready for a chip.
    void setReady(int unit);
    void started(int unit);
    void progress(int unit, int percent);
    void serialGiven(int unit, qint64 serial);
    void finished(int unit, const ChipReport& report);

    bool usable(int unit) const {
        return tiles.at(unit).state != UnitTile::State::Offline || tiles.at(unit).lineDown;
    }
    bool anyRunning() const;
    bool anyHalted() const;
    // Every unit's chips together.
    SessionCounts total() const;

    static QString stateText(UnitTile::State state);

private:
    QList<UnitTile> tiles;
};

// "N chips, P passed, F failed, yield Y %": how both front-ends sum up a run.
QString YieldText(const SessionCounts& counts);

// Whether the ports a front-end names fit a job of `units` units: one port
// each, or none for a job of one unit, which then runs on the front-end's
// own port (varn.cfg's). varn-cli's --port and the desktop's
// production/ports follow the same rule.
bool PortsFitJob(int units, int portsNamed);

// The ports a desktop station drives a job's units on: varn.ini's
// "production/ports", port addresses as varn-cli's --port takes them,
// separated by commas, one per unit in the tiles' order. Without that
// setting a job of one unit runs on the program's own port (mainPort).
// Refused when the count differs from the job's units or an address cannot
// be read.
Status StationPorts(const UserSettings& settings, int units, const QString& mainPort,
                    QStringList* ports);

// The operator's entries at the start of a shift: operator and lot are
// required, the work order may stay empty. Returns why they cannot be used.
QString ShiftProblem(const LineFields& shift);

// How every unit of a job runs in operator mode: the desktop's log and
// station settings, the job's options, expected CRC-32, serial series and
// stop after failures, and the operator's lot, work order and name in every
// record.
RunPlan OperatorRunPlan(const AppState& state, const ProductionJob& job, const RunContext& context,
                        const LineFields& shift);

} // namespace varn
