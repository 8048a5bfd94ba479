#pragma once

#include <QString>

namespace varn::bench {

class Table;

// Several units at once: one varn-cli programs and verifies a 64 KiB image
// on N virtual units emulating 57,600 baud, against the same command on one
// unit alone. cliPath: the varn-cli executable; unitPath: varn-unit.
void MeasureSeveralUnits(Table& table, int units, int kib, const QString& cliPath,
                         const QString& unitPath);

} // namespace varn::bench
