#pragma once

#include "core/status.h"
#include "portlink.h"

#include <QString>

class QSerialPort;
class QTimer;

namespace varn {

// The device path of port number n: on Windows "COMn"; elsewhere an entry
// named comN in appDir when there is one (usually a symbolic link to a USB
// adapter such as /dev/ttyUSB0), otherwise /dev/ttyS(n-1).
QString PortDeviceName(int portNumber, const QString& appDir);

// The serial line to the programmer unit: 57600 baud, 8N1, no flow control.
// Waits run a local event loop woken by arriving data or the time-out timer,
// so the windows stay responsive and the processor is not spun.
class SerialLink : public PortLink {
    Q_OBJECT
public:
    // totmr: the one-second time-out timer (owned by the main window when
    // there is one); the link makes its own when none is given.
    explicit SerialLink(QObject* parent = nullptr, QTimer* totmr = nullptr);
    ~SerialLink() override;

    // Opens port n. On failure the message is "COM" + n + ", " + the port
    // layer's error text naming the device path (and, for a permission fault,
    // how to get access).
    Status open(int portNumber, const QString& appDir);
    // Opens a device path directly (command-line programmer, tests).
    Status openPath(const QString& devicePath, const QString& shownName);
    // Name the port that reopen() opens, without opening it.
    void setTarget(const QString& devicePath, const QString& shownName);
    void setTarget(int portNumber, const QString& appDir);
    void close() override;
    // Opens again what open() or openPath() last opened or tried (or what
    // setTarget() named), looking up port n's device and following a comN
    // link afresh: after a lost line, a replugged adapter or a new unit
    // on the same link is found again. Fails when nothing was ever opened.
    Status reopen() override;

    bool isOpen() const override;
    QString notConnectedReason() const override;
    bool send(const QByteArray& frame) override;
    int bytesWaiting() override;
    QByteArray takeAll() override;
    bool waitForReply(int expectedBytes, int limitMs = 1000) override;
    void pause(int ms) override;

    // Set by the time-out timer, cleared at the start of each wait.
    bool TimedOut = false;

private:
    // The first sign that the far side is gone: closes the port (queued) and
    // reports connectionLost once.
    void lineLost(const QString& why);
    // The turns of a reply wait; returns the count of bytes then waiting.
    qint64 collectReply(int expectedBytes);

    struct Private;
    Private* d;
};

} // namespace varn
