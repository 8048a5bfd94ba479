#pragma once

#include "core/appstate.h"

#include <QString>

namespace varn::bench {

// One whole-device function run through the real link and engine.
struct HostRun {
    bool ok = false; // the function ended with "OK!"
    QString line;    // its message line
    double wallNs = 0;
    double cpuNs = 0; // process CPU time while it ran
};

// The host program's side of a benchmark: a SerialLink on a unit's
// pseudo-terminal and the device functions engine with an observer that
// does nothing, on a 64 KiB device whose buffer holds a fixed pattern.
class HostBench {
public:
    HostBench();
    ~HostBench();
    HostBench(const HostBench&) = delete;
    HostBench& operator=(const HostBench&) = delete;

    bool open(const QString& path, QString& error);
    void close();

    // FnRead, FnBlank, FnProgram or FnVerify; only the function is timed.
    HostRun run(int code);
    // Sends the unit's erase command (its pause is not part of any figure).
    void erase();

    static constexpr qint32 DeviceBytes = 65536;
    static constexpr int Blocks = DeviceBytes / 16;

private:
    struct Private;
    Private* d;
};

} // namespace varn::bench
