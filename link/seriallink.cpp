#include "seriallink.h"

#include "portinfo.h"

#include "core/protocol.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QSerialPort>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <limits>
#include <memory>
#include <thread>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <unistd.h>
#endif

#ifdef Q_OS_LINUX
#include <cerrno>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace varn {

QString PortDeviceName(int portNumber, const QString& appDir) {
#ifdef Q_OS_WIN
    Q_UNUSED(appDir);
    return QStringLiteral("COM") + QString::number(portNumber);
#else
    if (portNumber >= 1 && portNumber <= 8) {
        const QString entry =
            QDir(appDir).absoluteFilePath(QStringLiteral("com") + QString::number(portNumber));
        const QFileInfo info(entry);
        // A dangling link still names the port the user meant; opening it
        // then fails with a message that shows the link.
        if (info.exists() || info.isSymLink())
            return entry;
    }
    return QStringLiteral("/dev/ttyS") + QString::number(portNumber - 1);
#endif
}

namespace {

// Qt reads in chunks of up to 32 KiB unless the read buffer is bounded; a
// bound of at most its own block size lets it keep one chunk for every reply
// instead of allocating (and the C library trimming) 32 KiB per exchange.
// Replies are 17 bytes at most, so the bound is never reached in practice.
constexpr qint64 ReadBufferBytes = 16384;

constexpr qint64 ByteTimeNs = wire::ByteTimeNs;
// Longest stretch a reply wait sleeps without looking at the driver.
constexpr qint64 SleepSliceNs = 400000;

#ifdef Q_OS_LINUX
// USB serial adapters hold received bytes back for up to 16 ms unless told
// otherwise; pseudo-terminals and some drivers refuse the request, which is
// harmless.
void AskForLowLatency(int fd) {
    struct serial_struct ss;
    if (::ioctl(fd, TIOCGSERIAL, &ss) != 0)
        return;
    if (ss.flags & ASYNC_LOW_LATENCY)
        return;
    ss.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(fd, TIOCSSERIAL, &ss);
}

int PendingInDriver(int fd) {
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}
#endif

// Received bytes the driver holds that the port has not read yet.
int PendingBytes(QSerialPort& port) {
#ifdef Q_OS_LINUX
    return port.isOpen() ? PendingInDriver(int(port.handle())) : 0;
#else
    Q_UNUSED(port);
    return 0;
#endif
}

// Milliseconds a timer must run so that it does not end before the deadline.
int MsUntil(const QDeadlineTimer& deadline) {
    const qint64 ns = std::max<qint64>(deadline.remainingTimeNSecs(), 0);
    return int(std::min<qint64>((ns + 999999) / 1000000, std::numeric_limits<int>::max()));
}

} // namespace

struct SerialLink::Private {
    // One reply wait in progress: what ends its current turn and when its
    // time is up.
    struct Wait {
        QEventLoop* loop = nullptr;
        int expected = 0;
        int wakeAt = 0; // byte count that ends the current turn of the wait
        QDeadlineTimer deadline;
    };
    class WaitScope;

    // Starts the time-out timer for a deadline. The timer alone may not end
    // a wait: it rounds to milliseconds, and the one a caller passes in may
    // be a coarse timer that fires early.
    void armTimeOut(const QDeadlineTimer& end) {
        timeOutEnd = end;
        totmr->start(MsUntil(end));
    }

    QSerialPort port;
    QTimer* totmr = nullptr;
    QDeadlineTimer timeOutEnd; // when the running time-out timer's time is really up
    QEventLoop waitLoop;
    Wait wait;
    int generation = 0;        // counts opens, so a late close spares a reopened port
    bool opened = false;       // open succeeded and the line has not been lost
    bool lossReported = false; // the first read or resource fault has been seen
    QString shownName;         // "COM3"
    QString devicePath;        // the path that was opened or tried
    int portNumber = 0;        // port n, looked up again on each reopen (0: a path)
    QString appDir;            // where port n's comN entry is looked for
    QString reason;            // why not connected

    // "COM3, /dev/ttyUSB0"; a port given by its path is named once.
    QString named(const QString& where) const {
        return shownName == devicePath ? where : shownName + QStringLiteral(", ") + where;
    }
};

// Makes a wait the one in progress for as long as it lives. A wait started
// from inside another (through the events the outer one processes) gets a
// loop of its own, and on leaving gives the outer wait back its own limit:
// the outer wait ends at once when its bytes came or its time ran out
// meanwhile, otherwise the timer runs on to the outer deadline.
class SerialLink::Private::WaitScope {
public:
    WaitScope(Private& d, int expected, const QDeadlineTimer& deadline) : d(d), outer(d.wait) {
        // One loop object serves every wait that is not nested.
        if (outer.loop)
            nested = std::make_unique<QEventLoop>();
        d.wait = {outer.loop ? nested.get() : &d.waitLoop, expected, 0, deadline};
    }
    ~WaitScope() {
        d.wait = outer;
        if (!outer.loop)
            return;
        if (!d.opened || d.port.bytesAvailable() >= outer.wakeAt || outer.deadline.hasExpired())
            outer.loop->quit();
        else
            d.armTimeOut(outer.deadline);
    }
    WaitScope(const WaitScope&) = delete;
    WaitScope& operator=(const WaitScope&) = delete;

    bool isNested() const { return outer.loop != nullptr; }

private:
    Private& d;
    const Wait outer;
    // Held by pointer: gcc's sanitizer build sees an optional event loop as
    // maybe uninitialised.
    std::unique_ptr<QEventLoop> nested;
};

SerialLink::SerialLink(QObject* parent, QTimer* totmr) : PortLink(parent), d(new Private) {
    d->totmr = totmr ? totmr : new QTimer(this);
    d->totmr->setSingleShot(true);
    d->totmr->setTimerType(Qt::PreciseTimer);
    d->totmr->setInterval(1000);
    d->reason = QStringLiteral("no port opened");

    connect(d->totmr, &QTimer::timeout, this, [this] {
        if (!d->timeOutEnd.hasExpired()) {
            d->totmr->start(MsUntil(d->timeOutEnd));
            return;
        }
        TimedOut = true;
        if (d->wait.loop)
            d->wait.loop->quit();
    });
    // Only wakes a wait; the bytes stay in the port until they are taken.
    connect(&d->port, &QSerialPort::readyRead, this, [this] {
        if (d->wait.loop && d->port.bytesAvailable() >= d->wait.wakeAt)
            d->wait.loop->quit();
    });
    connect(&d->port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
        if (e != QSerialPort::ReadError && e != QSerialPort::ResourceError)
            return;
        lineLost(d->port.errorString());
    });
}

void SerialLink::lineLost(const QString& why) {
    if (!d->opened || d->lossReported)
        return;
    // Qt 6.4 repeats ReadError without end once the far side has gone, and
    // the port must not be closed from inside its own signal.
    d->lossReported = true;
    d->opened = false;
    d->reason = d->named(d->devicePath) + QStringLiteral(": the line was lost (") + why +
                QStringLiteral(")");
    if (d->wait.loop)
        d->wait.loop->quit();
    QMetaObject::invokeMethod(
        this,
        [this, generation = d->generation] {
            if (generation != d->generation)
                return;
            d->port.close();
            emit connectionLost(d->reason);
        },
        Qt::QueuedConnection);
}

SerialLink::~SerialLink() {
    if (d->port.isOpen())
        d->port.close();
    delete d;
}

Status SerialLink::open(int portNumber, const QString& appDir) {
    const Status opened = openPath(PortDeviceName(portNumber, appDir),
                                   QStringLiteral("COM") + QString::number(portNumber));
    setTarget(portNumber, appDir);
    return opened;
}

Status SerialLink::openPath(const QString& devicePath, const QString& shownName) {
    close();
    ++d->generation;
    setTarget(devicePath, shownName);
    d->lossReported = false;

    // Open the device a link points to: the port's lock file is named after
    // the last part of the path, and two links both called com1 would
    // otherwise lock each other out.
    QString target = devicePath;
#ifndef Q_OS_WIN
    const QString canonical = QFileInfo(devicePath).canonicalFilePath();
    if (!canonical.isEmpty())
        target = canonical;
#endif
    d->port.setPortName(target);
    d->port.setBaudRate(wire::BaudRate);
    d->port.setDataBits(QSerialPort::Data8);
    d->port.setParity(QSerialPort::NoParity);
    d->port.setStopBits(QSerialPort::OneStop);
    d->port.setFlowControl(QSerialPort::NoFlowControl);
    d->port.setReadBufferSize(ReadBufferBytes);

    if (!d->port.open(QIODevice::ReadWrite)) {
        QString where = devicePath;
        if (target != devicePath)
            where += QStringLiteral(" (") + target + QStringLiteral(")");
        QString text = d->named(where) + QStringLiteral(": ") + d->port.errorString();
#ifdef Q_OS_LINUX
        if (d->port.error() == QSerialPort::PermissionError) {
            if (::access(QFile::encodeName(target).constData(), R_OK | W_OK) != 0) {
                if (errno == EACCES)
                    text += PermissionHint(target);
            } else {
                // Allowed to open, yet refused: another program holds the
                // port (its lock file or exclusive mode).
                text += QStringLiteral(". The port is in use by another program");
            }
        }
#endif
        d->port.clearError();
        d->reason = text;
        return Status::Fail(text);
    }
#ifdef Q_OS_LINUX
    AskForLowLatency(int(d->port.handle()));
#endif
    d->port.clearError();
    d->opened = true;
    d->reason.clear();
    return Status::Ok();
}

void SerialLink::setTarget(const QString& devicePath, const QString& shownName) {
    d->devicePath = devicePath;
    d->shownName = shownName;
    d->portNumber = 0;
}

void SerialLink::setTarget(int portNumber, const QString& appDir) {
    d->shownName = QStringLiteral("COM") + QString::number(portNumber);
    d->portNumber = portNumber;
    d->appDir = appDir;
}

Status SerialLink::reopen() {
    if (d->portNumber > 0)
        return open(d->portNumber, d->appDir);
    if (d->devicePath.isEmpty())
        return Status::Fail(QStringLiteral("no port was opened before"));
    const QString path = d->devicePath;
    const QString name = d->shownName;
    return openPath(path, name);
}

void SerialLink::close() {
    if (d->port.isOpen())
        d->port.close();
    if (d->opened)
        d->reason = d->named(d->devicePath) + QStringLiteral(": the port was closed");
    d->opened = false;
}

bool SerialLink::isOpen() const {
    return d->opened;
}

QString SerialLink::notConnectedReason() const {
    if (d->opened)
        return {};
    return QStringLiteral("The programmer unit is not connected (") + d->reason +
           QStringLiteral(")");
}

bool SerialLink::send(const QByteArray& frame) {
    if (!d->opened)
        return false;
    qsizetype done = 0;
#ifdef Q_OS_UNIX
    // Straight to the driver when nothing is queued: QSerialPort would buffer
    // the frame and switch its write notifier on and off for every send.
    if (d->port.bytesToWrite() == 0) {
        const ssize_t n = ::write(int(d->port.handle()), frame.constData(), size_t(frame.size()));
        if (n > 0) {
            done = n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            lineLost(QString::fromLocal8Bit(::strerror(errno)));
            return false;
        }
    }
#endif
    if (done < frame.size()) {
        if (d->port.write(frame.constData() + done, frame.size() - done) != frame.size() - done)
            return false;
        // Hand it to the driver now, so it leaves even when no event loop follows.
        d->port.flush();
    }
    return d->opened;
}

int SerialLink::bytesWaiting() {
#ifdef Q_OS_LINUX
    // Bytes the driver holds but the port has not read yet count as waiting.
    if (d->opened && PendingInDriver(int(d->port.handle())) > 0) {
        d->port.waitForReadyRead(0);
        if (d->port.error() == QSerialPort::TimeoutError)
            d->port.clearError();
    }
#endif
    return int(qMin<qint64>(d->port.bytesAvailable(), 32767));
}

QByteArray SerialLink::takeAll() {
    // Copied out rather than readAll(): that would hand over the port's own
    // read chunk, and the next reply would need a fresh one.
    const qint64 count = std::max<qint64>(bytesWaiting(), d->port.bytesAvailable());
    QByteArray bytes(count, Qt::Uninitialized);
    const qint64 got = count > 0 ? d->port.read(bytes.data(), count) : 0;
    bytes.truncate(std::max<qint64>(got, 0));
    return bytes;
}

bool SerialLink::waitForReply(int expectedBytes, int limitMs) {
    TimedOut = false;
    const QDeadlineTimer deadline(limitMs, Qt::PreciseTimer);
    d->armTimeOut(deadline);

    qint64 count = d->port.bytesAvailable();
    if (count < expectedBytes && d->opened) {
        const Private::WaitScope scope(*d, expectedBytes, deadline);
        count = collectReply(expectedBytes);
        if (scope.isNested()) {
            TimedOut = count < expectedBytes;
            return TimedOut;
        }
    }

    if (count >= expectedBytes) {
        TimedOut = false;
        // With surplus bytes the timer runs on and marks a late time-out,
        // which the next wait clears before it starts.
        if (count == expectedBytes)
            d->totmr->stop();
        return false;
    }
    // Not enough bytes: the time ran out, or the line is gone and nothing
    // more can arrive.
    d->totmr->stop();
    TimedOut = true;
    return true;
}

qint64 SerialLink::collectReply(int expectedBytes) {
    Private::Wait& wait = d->wait;
    // The first byte of the reply wakes the wait; the rest cannot come faster
    // than the line carries them, so the wait sleeps through all but the last
    // of them instead of waking once per byte. Window events wait a few
    // milliseconds at most, and the last byte still ends the wait the moment
    // it arrives.
    wait.wakeAt = int(d->port.bytesAvailable()) + 1;
    wait.loop->exec();
    qint64 count = d->port.bytesAvailable();
    const qint64 missing = expectedBytes - count;
    if (missing > 1 && d->opened && !wait.deadline.hasExpired()) {
        const qint64 sleepNs =
            std::min((missing - 1) * ByteTimeNs, wait.deadline.remainingTimeNSecs());
        QDeadlineTimer sleepEnd(std::chrono::nanoseconds(std::max<qint64>(sleepNs, 0)),
                                Qt::PreciseTimer);
        // In slices well under a millisecond: an adapter that held bytes
        // back may hand over the rest of the reply early, and a complete
        // reply must not wait for the line time it no longer needs.
        while (!sleepEnd.hasExpired()) {
            std::this_thread::sleep_for(
                std::chrono::nanoseconds(std::min(SleepSliceNs, sleepEnd.remainingTimeNSecs())));
            if (d->port.bytesAvailable() + PendingBytes(d->port) >= expectedBytes)
                break;
        }
        bytesWaiting(); // what arrived meanwhile
        count = d->port.bytesAvailable();
    }
    if (count < expectedBytes && d->opened && !wait.deadline.hasExpired()) {
        wait.wakeAt = expectedBytes;
        wait.loop->exec();
        count = d->port.bytesAvailable();
    }
    // A reply the driver holds when the time is up was complete within it,
    // even if no event has reported it yet.
    if (count < expectedBytes && d->opened) {
        bytesWaiting();
        count = d->port.bytesAvailable();
    }
    return count;
}

void SerialLink::pause(int ms) {
    // A loop of its own: neither arriving bytes nor a late time-out end it.
    const QDeadlineTimer end(ms, Qt::PreciseTimer);
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    while (!end.hasExpired()) {
        timer.start(MsUntil(end));
        loop.exec();
    }
}

} // namespace varn
