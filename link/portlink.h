#pragma once

#include "core/status.h"
#include "transport.h"

#include <QObject>
#include <QString>

namespace varn {

// A line to a programmer unit that was opened from a port address: a serial
// port or a unit on the network. It belongs to the thread that created it,
// whose event loop its waits run.
class PortLink : public QObject, public Transport {
    Q_OBJECT
public:
    using QObject::QObject;

    // Opens again what was last opened or tried (a comN link is followed
    // afresh, a host name looked up again). Fails when nothing was ever
    // opened.
    virtual Status reopen() = 0;
    virtual void close() = 0;

    // The port address it was created for ("3", "/dev/ttyUSB0",
    // "rfc2217://host:4001"); empty when made directly.
    QString portAddress() const { return address; }
    void setPortAddress(const QString& text) { address = text; }

signals:
    // Emitted once when an open line is lost (unplugged adapter, closed line,
    // dropped connection).
    void connectionLost(const QString& reason);

private:
    QString address;
};

} // namespace varn
