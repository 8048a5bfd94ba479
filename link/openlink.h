#pragma once

#include "core/status.h"
#include "portlink.h"

#include <QString>
#include <memory>

class QTimer;

namespace varn {

class UserSettings;

// Where a unit is: a port number 1 to 8 (its comN entry or the system's
// port), a device path, tcp://HOST:PORT (raw bytes) or rfc2217://HOST:PORT.
struct PortAddress {
    enum class Kind { Number, Path, Tcp, Rfc2217 };
    Kind kind = Kind::Number;
    int number = 0; // Number
    QString path;   // Path
    QString host;   // Tcp, Rfc2217
    quint16 port = 0;

    bool isNetwork() const { return kind == Kind::Tcp || kind == Kind::Rfc2217; }
};

// Reads a port address. A text of digits is a port number and must be 1 to 8;
// a text with "://" must be one of the two network forms with a host and a
// port 1 to 65535; anything else is a device path.
Status ParsePortAddress(const QString& text, PortAddress& address);

// "COM3" for a port number, the address itself otherwise: what the status bar
// and the messages name.
QString PortLabel(const QString& address);

struct LinkOptions {
    // Added to every reply wait on the network; below 0: twice the round trip
    // measured while connecting.
    int netLatencyMs = -1;
    // The serial link's time-out timer (the main window's); none: its own.
    QTimer* timeoutTimer = nullptr;
};

// A link to the address, not opened yet: its reopen() opens it. Null when
// the address cannot be read (the reason in `status`).
std::unique_ptr<PortLink> CreateLink(const QString& address, const QString& appDir,
                                     const LinkOptions& options = {}, Status* status = nullptr);

struct OpenedLink {
    // Null only when the address could not be read; otherwise the link, open
    // or not, whose reopen() tries again.
    std::unique_ptr<PortLink> link;
    Status status;
};

// Creates the link and opens it. Usable from any thread: the link belongs to
// the thread that called it and waits in that thread's event loop.
OpenedLink OpenLink(const QString& address, const QString& appDir, const LinkOptions& options = {});

// The desktop program's port, kept in varn.ini beside the number in varn.cfg:
// a network address, used instead of the number when chosen in Settings, and
// the network latency.
struct NetworkPortSettings {
    bool useAddress = false;
    QString address;
    int latencyMs = -1; // below 0: measured
};
NetworkPortSettings ReadNetworkPortSettings(const UserSettings& settings);
void WriteNetworkPortSettings(UserSettings& settings, const NetworkPortSettings& network);
// The address the desktop program opens: the network address when it is
// chosen, otherwise port `portNumber`.
QString DesktopPortAddress(const UserSettings& settings, int portNumber);

} // namespace varn
