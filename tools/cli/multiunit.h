#pragma once

#include "clioptions.h"
#include "core/appstate.h"
#include "link/openlink.h" // PortLabel

#include <QList>
#include <QString>

namespace varn {

class CliConsole;

// What one unit's run came to, for the summary table.
struct UnitOutcome {
    QString port;
    int status = 0;
    QString detail; // the last error the unit's run printed
    QString serial; // the serial number its chip got, if any
    qint64 elapsedMs = 0;
    // Since the unit's session began: chips that received something, and
    // those that passed (the yield counts nothing else).
    int chips = 0;
    int passed = 0;
    // The number its next chip would get, or -1.
    qint64 nextSerial = -1;
};

// The status that asks most of whoever reads it, when several units ended
// differently: a usage, log or file error (the same for every unit) above a
// communication failure (a station fault) above a wrong byte (a bad chip).
int MostSevere(int a, int b);

// "Port  Result  Serial  Time" and one row per unit.
QString SummaryTable(const QList<UnitOutcome>& outcomes);

// Several units (or --repeat): the units are one unit group, as in the
// desktop's operator mode; each runs the operations on its session host's
// thread, with its own copy of the start-up state and its own programming
// session, its lines prefixed with its port when there is more than one.
// With --repeat, another round follows each Enter read from the file
// descriptor input until "q" or its end (keys typed during a round are
// thrown away), each unit keeping its session, so it is identified once
// (again only after a line fault); then the counts and the yield. Returns the
// most severe status of every run, or 130/143 after Ctrl+C or SIGTERM.
int RunSeveralUnits(const AppState& base, const CliOptions& options, CliConsole& console,
                    int input = 0);

} // namespace varn
