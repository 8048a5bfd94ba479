#pragma once

#include "clioptions.h"
#include "core/appstate.h"

#include <QList>
#include <QString>
#include <cstdio>

namespace varn {

class CliConsole;

// What one unit's run came to, for the summary table.
struct UnitOutcome {
    QString port;
    int status = 0;
    QString detail; // the last error the unit's run printed
    QString serial; // the serial number its chip got, if any
    qint64 elapsedMs = 0;
};

// The status that asks most of whoever reads it, when several units ended
// differently: a usage, log or file error (the same for every unit) above a
// communication failure (a station fault) above a wrong byte (a bad chip).
int MostSevere(int a, int b);

// The label a port is shown with: "COM2" for a number, the path otherwise.
QString PortLabel(const QString& port);

// Runs the operations on every port of options.ports at the same time, each
// unit on a thread of its own with its own copy of the start-up state, its
// own link and engine, and its lines prefixed with its port (when there is
// more than one). Returns the outcomes in the order of the ports.
QList<UnitOutcome> RunUnitsOnce(const AppState& base, const CliOptions& options);

// "Port  Result  Serial  Time" and one row per unit.
QString SummaryTable(const QList<UnitOutcome>& outcomes);

// Several units (or --repeat): one run on all units; with --repeat another
// after each Enter read from input until "q" or its end, then the counts and
// the yield. Returns the most severe status of every run.
int RunSeveralUnits(const AppState& base, const CliOptions& options, CliConsole& console,
                    std::FILE* input = stdin);

} // namespace varn
