#pragma once

#include <QString>

namespace varn::bench {

class Table;

// varn-cli verify of a whole 64 KiB device at the emulated line rate, with
// and without --json, the runs interleaved so that a change of the machine's
// load touches both alike.
void MeasureJsonOverhead(Table& table, int repeat, const QString& cliPath, const QString& unitPath);

} // namespace varn::bench
