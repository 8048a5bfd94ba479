#include "operatorboard.h"

#include "core/usersettings.h"
#include "jobs/productionjob.h"
#include "link/openlink.h"
#include "runplan.h"

#include <algorithm>

namespace varn {

OperatorBoard::OperatorBoard(const QStringList& ports) {
    for (const QString& port : ports) {
        UnitTile tile;
        tile.port = PortLabel(port);
        tiles.append(tile);
    }
}

void OperatorBoard::setOffline(int unit, const QString& reason, bool retry) {
    UnitTile& tile = tiles[unit];
    tile.state = UnitTile::State::Offline;
    tile.reason = reason;
    tile.lineDown = retry;
}

void OperatorBoard::setReady(int unit) {
    UnitTile& tile = tiles[unit];
    tile.state = UnitTile::State::Waiting;
    tile.reason.clear();
}

void OperatorBoard::started(int unit) {
    UnitTile& tile = tiles[unit];
    tile.state = UnitTile::State::Running;
    tile.reason.clear();
    tile.serial = -1;
    tile.percent = 0;
    tile.halted = false;
    tile.lineDown = false;
}

void OperatorBoard::progress(int unit, int percent) {
    tiles[unit].percent = std::clamp(percent, 0, 100);
}

void OperatorBoard::serialGiven(int unit, qint64 serial) {
    tiles[unit].serial = serial;
}

void OperatorBoard::finished(int unit, const ChipReport& report) {
    UnitTile& tile = tiles[unit];
    // The board counts from operator mode's start: the session's own counts
    // may hold chips an engineer ran before.
    if (report.counted()) {
        ++tile.counts.chips;
        if (report.passed())
            ++tile.counts.passed;
    }
    tile.counts.failuresInRow = report.counts.failuresInRow;
    tile.halted = report.halted;
    if (report.serial >= 0)
        tile.serial = report.serial;
    switch (report.verdict) {
    case ChipReport::Verdict::Pass:
        tile.state = UnitTile::State::Pass;
        break;
    case ChipReport::Verdict::Fail:
        tile.state = UnitTile::State::Fail;
        break;
    case ChipReport::Verdict::Stopped:
        tile.state = UnitTile::State::Stopped;
        break;
    case ChipReport::Verdict::None:
        tile.state = UnitTile::State::NotRun;
        break;
    }
    // A unit that was not reached is still missing; one whose line went away
    // during the chip failed that chip and must be reached again.
    if (report.stage == ChipReport::Stage::Unit && report.verdict == ChipReport::Verdict::None)
        tile.state = UnitTile::State::Offline;
    if (report.stage == ChipReport::Stage::Unit || report.result.linkFault == LinkFault::LineLost)
        tile.lineDown = true;
    tile.reason = report.passed() ? QString() : report.reason.trimmed();
    if (report.halted)
        tile.reason += QStringLiteral("\n%1 failures in a row: check the unit, the socket and "
                                      "the image, then click Resume.")
                           .arg(report.counts.failuresInRow);
    tile.reason = tile.reason.trimmed();
    tile.percent = report.passed() ? 100 : tile.percent;
}

bool OperatorBoard::anyRunning() const {
    return std::any_of(tiles.begin(), tiles.end(),
                       [](const UnitTile& t) { return t.state == UnitTile::State::Running; });
}

bool OperatorBoard::anyHalted() const {
    return std::any_of(tiles.begin(), tiles.end(), [](const UnitTile& t) { return t.halted; });
}

SessionCounts OperatorBoard::total() const {
    SessionCounts sum;
    for (const UnitTile& t : tiles) {
        sum.chips += t.counts.chips;
        sum.passed += t.counts.passed;
    }
    return sum;
}

QString OperatorBoard::stateText(UnitTile::State state) {
    switch (state) {
    case UnitTile::State::Waiting:
        return QStringLiteral("WAITING");
    case UnitTile::State::Running:
        return QStringLiteral("RUNNING");
    case UnitTile::State::Pass:
        return QStringLiteral("PASS");
    case UnitTile::State::Fail:
        return QStringLiteral("FAIL");
    case UnitTile::State::Stopped:
        return QStringLiteral("STOPPED");
    case UnitTile::State::NotRun:
        return QStringLiteral("NOT RUN");
    case UnitTile::State::Offline:
        return QStringLiteral("NO UNIT");
    }
    return {};
}

QString YieldText(const SessionCounts& counts) {
    return QStringLiteral("%1 chips, %2 passed, %3 failed, yield %4 %")
        .arg(counts.chips)
        .arg(counts.passed)
        .arg(counts.failed())
        .arg(counts.yieldPercent(), 0, 'f', 1);
}

bool PortsFitJob(int units, int portsNamed) {
    return portsNamed ? portsNamed == units : units == 1;
}

Status StationPorts(const UserSettings& settings, int units, const QString& mainPort,
                    QStringList* ports) {
    QStringList named;
    // Written without quotes (ports=1, 2) the settings reader hands back a
    // list, which as a string reads empty: the parts are joined again.
    const QVariant value = settings.value(QStringLiteral("production/ports"));
    const QString text = value.typeId() == QMetaType::QStringList
                             ? value.toStringList().join(QLatin1Char(','))
                             : value.toString();
    for (const QString& part : text.split(QLatin1Char(','), Qt::SkipEmptyParts))
        if (!part.trimmed().isEmpty())
            named << part.trimmed();
    if (!PortsFitJob(units, int(named.size())))
        return Status::Fail(QStringLiteral("The job runs %1 unit(s), but this station names %2 "
                                           "port(s): set production/ports in varn.ini to %1 "
                                           "port(s), separated by commas.")
                                .arg(units)
                                .arg(named.size()));
    if (named.isEmpty())
        named << mainPort;
    for (const QString& port : named) {
        PortAddress address;
        if (const Status read = ParsePortAddress(port, address); !read)
            return Status::Fail(
                QStringLiteral("production/ports in varn.ini: %1").arg(read.message));
        if (named.count(port) > 1)
            return Status::Fail(
                QStringLiteral("production/ports in varn.ini names %1 twice.").arg(port));
    }
    *ports = named;
    return Status::Ok();
}

QString ShiftProblem(const LineFields& shift) {
    if (shift.operatorName.trimmed().isEmpty())
        return QStringLiteral("Enter the operator's name.");
    if (shift.lot.trimmed().isEmpty())
        return QStringLiteral("Enter the lot.");
    return {};
}

RunPlan OperatorRunPlan(const AppState& state, const ProductionJob& job, const RunContext& context,
                        const LineFields& shift) {
    RunPlan plan = DesktopRunPlan(state, context);
    ApplyJobToPlan(job, plan);
    plan.context.fields.operatorName = shift.operatorName.trimmed();
    plan.context.fields.lot = shift.lot.trimmed();
    plan.context.fields.workOrder = shift.workOrder.trimmed();
    return plan;
}

} // namespace varn
