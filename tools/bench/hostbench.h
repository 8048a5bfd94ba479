#pragma once

#include "core/appstate.h"

#include <QByteArray>
#include <QString>

namespace varn::bench {

// One whole-device function run through the real link and engine.
struct HostRun {
    bool ok = false; // the function succeeded
    QString line;    // its message line
    double wallNs = 0;
    double cpuNs = 0; // process CPU time while it ran
};

// The host program's side of a benchmark: a link to a unit (its
// pseudo-terminal, or a network address) and the device functions engine with
// an observer that does nothing, on a device (64 KiB unless told) whose
// buffer holds a fixed pattern.
class HostBench {
public:
    explicit HostBench(qint32 deviceBytes = 65536);
    ~HostBench();
    HostBench(const HostBench&) = delete;
    HostBench& operator=(const HostBench&) = delete;

    // Any port address (a path, rfc2217://...); a run needs one open.
    bool open(const QString& address, QString& error);
    void close();
    // The device's part of the buffer: what Program writes and Verify expects.
    QByteArray image() const;

    // FnRead, FnBlank, FnProgram or FnVerify; only the function is timed.
    HostRun run(int code);
    // Sends the unit's erase command (its pause is not part of any figure).
    void erase();

private:
    struct Private;
    Private* d;
};

} // namespace varn::bench
