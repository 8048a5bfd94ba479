#pragma once

#include <QString>

namespace varn::bench {

class Table;

// A whole-device Program and Verify through rfc2217:// on loopback (Debian's
// ser2net in front of varn-unit emulating 57,600 baud) against the same unit
// opened directly, the direct runs before and after each network run.
void MeasureNetworkFunctions(Table& table, int rounds, int blocks, const QString& unitPath);

} // namespace varn::bench
