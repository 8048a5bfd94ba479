#include "virtualunit.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

namespace varn::test {

VirtualUnit::VirtualUnit(const QStringList& arguments) : unitArguments(arguments) {}

VirtualUnit::~VirtualUnit() {
    stop();
}

bool VirtualUnit::waitForExit(int timeoutMs) {
    return !isRunning() || process.waitForFinished(timeoutMs);
}

QString VirtualUnit::logPath() const {
    return scratch.filePath("frames.log");
}

bool VirtualUnit::fail(const QString& error) {
    failure = error;
    return false;
}

bool VirtualUnit::start(int timeoutMs) {
    if (!scratch.isValid())
        return fail("no temporary folder");
    process.start(QStringLiteral(VARN_UNIT_PATH), unitArguments + QStringList{"--log", logPath()});
    if (!process.waitForStarted(timeoutMs))
        return fail("varn-unit did not start: " + process.errorString());
    QDeadlineTimer deadline(timeoutMs);
    while (!process.canReadLine()) {
        if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
            return fail("varn-unit printed no path: " + errorOutput());
        process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    terminal = QString::fromLocal8Bit(process.readLine()).trimmed();
    return !terminal.isEmpty();
}

QList<QByteArray> VirtualUnit::frames() const {
    QList<QByteArray> result;
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly))
        return result;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (!line.trimmed().isEmpty())
            result.append(QByteArray::fromHex(line)); // "04 FF F0": fromHex skips the spaces
    return result;
}

bool VirtualUnit::waitForFrames(int n, int timeoutMs) const {
    QDeadlineTimer deadline(timeoutMs);
    while (frames().size() < n) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
    return true;
}

void VirtualUnit::stop() {
    if (!isRunning())
        return;
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

QString VirtualUnit::errorOutput() {
    return QString::fromLocal8Bit(process.readAllStandardError());
}

} // namespace varn::test
