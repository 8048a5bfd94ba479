#include "virtualunit.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

namespace varn::test {

VirtualUnit::VirtualUnit(const QStringList& arguments) : m_arguments(arguments) {}

VirtualUnit::~VirtualUnit() {
    stop();
}

bool VirtualUnit::waitForExit(int timeoutMs) {
    return !isRunning() || m_process.waitForFinished(timeoutMs);
}

QString VirtualUnit::logPath() const {
    return m_dir.filePath("frames.log");
}

bool VirtualUnit::fail(const QString& error) {
    m_error = error;
    return false;
}

bool VirtualUnit::start(int timeoutMs) {
    if (!m_dir.isValid())
        return fail("no temporary folder");
    m_process.start(QStringLiteral(VARN_UNIT_PATH), m_arguments + QStringList{"--log", logPath()});
    if (!m_process.waitForStarted(timeoutMs))
        return fail("varn-unit did not start: " + m_process.errorString());
    QDeadlineTimer deadline(timeoutMs);
    while (!m_process.canReadLine()) {
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return fail("varn-unit printed no path: " + errorOutput());
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    m_path = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    return !m_path.isEmpty();
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
    m_process.terminate();
    if (!m_process.waitForFinished(3000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

QString VirtualUnit::errorOutput() {
    return QString::fromLocal8Bit(m_process.readAllStandardError());
}

} // namespace varn::test
