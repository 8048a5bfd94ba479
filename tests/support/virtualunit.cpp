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
    return m_dir.filePath(QStringLiteral("frames.log"));
}

bool VirtualUnit::start(int timeoutMs) {
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    QStringList args = m_arguments;
    args << QStringLiteral("--log") << logPath();
    m_process.start(QStringLiteral(VARN_UNIT_PATH), args);
    if (!m_process.waitForStarted(timeoutMs)) {
        m_error = QStringLiteral("varn-unit did not start: ") + m_process.errorString();
        return false;
    }
    QDeadlineTimer deadline(timeoutMs);
    while (!m_process.canReadLine()) {
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
            m_error = QStringLiteral("varn-unit printed no path: ") + errorOutput();
            return false;
        }
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
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (line.trimmed().isEmpty())
            continue;
        QByteArray frame;
        for (const QByteArray& hex : line.split(' '))
            if (!hex.isEmpty())
                frame.append(char(hex.toUInt(nullptr, 16)));
        result.append(frame);
    }
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
