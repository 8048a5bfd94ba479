#pragma once

#include <QString>

namespace varn::bench {

class Table;

// The production cycle erase, blank, program, verify of a 2 KiB image on a
// 65,536-byte device, run by varn-cli against varn-unit emulating 57,600
// baud, with and without --only-image, beside the time the protocol needs
// for the same cycle.
void MeasureImageCycle(Table& table, int repeat, const QString& cliPath, const QString& unitPath);

// The same cycle chip after chip in one varn-cli --repeat run, on one unit
// and on `units` units at once: the time of a chip after the first, beside
// the protocol's time for one chip without the identification.
void MeasureRepeatCycle(Table& table, int chips, int units, const QString& cliPath,
                        const QString& unitPath);

} // namespace varn::bench
