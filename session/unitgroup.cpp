#include "unitgroup.h"

#include "openlink.h"
#include "runplan.h"
#include "sessionhost.h"

namespace varn {

UnitGroup::UnitGroup(const AppState& setup, const QStringList& ports, const LinkOptions& link,
                     SessionHost* lent, const QString& lentPort, QObject* parent)
    : QObject(parent), portList(ports), tiles(ports) {
    for (const QString& port : ports) {
        if (lent && PortLabel(port) == PortLabel(lentPort)) {
            hosts.push_back(lent);
            continue;
        }
        owned.push_back(std::make_unique<SessionHost>(
            setup, [port, link](const AppState& unit, Status* status) {
                return OpenUnitLink(port, unit.AppDir, link, status);
            }));
        hosts.push_back(owned.back().get());
    }
    for (int unit = 0; unit < int(hosts.size()); ++unit)
        watch(unit);
}

UnitGroup::~UnitGroup() {
    // Only once every unit is free (retire()): a host that is deleted, or
    // handed back to its window, in the middle of a chip would still be
    // waiting on its line.
    stop();
}

void UnitGroup::retire() {
    stop();
    if (busy())
        connect(this, &UnitGroup::idle, this, &QObject::deleteLater, Qt::SingleShotConnection);
    else
        deleteLater();
}

void UnitGroup::unitFree() {
    emit changed();
    if (!busy())
        emit idle();
}

void UnitGroup::watch(int unit) {
    SessionHost* host = hosts[size_t(unit)];
    // The chip's events go to its own tile; a lent host may also serve
    // other windows, which run nothing while the group is there.
    connect(host, &SessionHost::functionProgress, this,
            [this, unit](const FunctionResult&, int percent) {
                tiles.progress(unit, percent);
                emit changed();
            });
    connect(host, &SessionHost::serialAssigned, this, [this, unit](qint64 serial) {
        tiles.serialGiven(unit, serial);
        emit changed();
    });
    connect(host, &SessionHost::chipFinished, this, [this, unit](const ChipReport& report) {
        tiles.finished(unit, report);
        emit changed();
        emit chipFinished(unit);
    });
    connect(host, &SessionHost::connectionLost, this, [this, unit](const QString& reason) {
        tiles.setOffline(unit, reason);
        emit changed();
    });
}

void UnitGroup::prepare(const AppState& setup, const RunPlan& plan) {
    for (int unit = 0; unit < int(hosts.size()); ++unit) {
        RunPlan own = plan;
        own.context.port = tiles.tile(unit).port;
        // Opening the log may wait on a database server, and identifying
        // the unit on its line: both on the unit's thread.
        struct Outcome {
            QString why;
            bool logFailed = false;
        };
        auto outcome = std::make_shared<Outcome>();
        ++preparing;
        const bool posted = hosts[size_t(unit)]->post(
            [own, setup, outcome](ProgrammingSession& session) {
                // No one stands at a unit of the group to click Reconnect.
                session.setPlan(own, true);
                session.setConfiguration(setup);
                if (const Status opened = session.openLog(); !opened) {
                    outcome->why = opened.message;
                    outcome->logFailed = true;
                    return;
                }
                const Status connected = session.connectUnit();
                if (!connected)
                    outcome->why = connected.message.isEmpty()
                                       ? QStringLiteral("The programmer unit did not answer.")
                                       : connected.message;
                else if (!session.prepareUnit())
                    outcome->why = QStringLiteral("The programmer unit could not be prepared.");
            },
            this,
            [this, unit, outcome] {
                --preparing;
                if (outcome->logFailed)
                    tiles.setOffline(unit,
                                     outcome->why + QStringLiteral("\nNothing is sent to this "
                                                                   "unit without the log."),
                                     false);
                else if (outcome->why.isEmpty())
                    tiles.setReady(unit);
                else
                    tiles.setOffline(unit, outcome->why);
                unitFree();
            });
        if (!posted)
            --preparing;
    }
    emit changed();
}

bool UnitGroup::start(const std::shared_ptr<const AppState>& chip, bool resume) {
    if (busy())
        return false;
    bool any = false;
    for (int unit = 0; unit < int(hosts.size()); ++unit) {
        if (!tiles.usable(unit))
            continue;
        const bool posted = post(unit, [chip, resume](ProgrammingSession& session) {
            session.setConfiguration(chip);
            // Each start is a new chip in every socket: it gets the load
            // sequence (run, reset, device select) of its own. A unit
            // plugged back in, or switched on after operator mode began,
            // is identified again by the session (reconnectAfterFault).
            session.chipChanged();
            if (resume)
                session.resume();
            session.runPlanned(chip);
        });
        if (posted)
            tiles.started(unit);
        any = any || posted;
    }
    emit changed();
    return any;
}

bool UnitGroup::post(int unit, const std::function<void(ProgrammingSession&)>& task) {
    // The chip's end reaches the board while its host is still at work: the
    // board is shown once more when the host is free, or a window drawing its
    // buttons from busy() stays as it was.
    return hosts[size_t(unit)]->post(task, this, [this] { unitFree(); });
}

bool UnitGroup::each(const UnitTask& task) {
    if (busy())
        return false;
    bool any = false;
    for (int unit = 0; unit < int(hosts.size()); ++unit) {
        SessionHost* host = hosts[size_t(unit)];
        any = post(unit, [task, unit,
                          host](ProgrammingSession& session) { task(unit, *host, session); }) ||
              any;
    }
    return any;
}

void UnitGroup::stop() {
    for (SessionHost* host : hosts)
        host->stop();
}

bool UnitGroup::busy() const {
    if (preparing > 0)
        return true;
    for (SessionHost* host : hosts)
        if (host->busy())
            return true;
    return false;
}

} // namespace varn
