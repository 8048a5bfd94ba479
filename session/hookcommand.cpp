#include "hookcommand.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <csignal>
#include <unistd.h>

namespace varn {

namespace {

// Stop requests are looked at this often while the command runs.
constexpr int PollMs = 50;
// A reason longer than this is cut: it goes into a database column and a
// message.
constexpr int MaxReasonLength = 200;

QString firstLine(const QByteArray& output) {
    for (const QByteArray& line : output.split('\n')) {
        const QString text = QString::fromLocal8Bit(line).trimmed();
        if (!text.isEmpty())
            return text.left(MaxReasonLength);
    }
    return {};
}

// The command and its children share a process group of their own, so that
// "sh -c 'sleep 100'" does not leave the sleep behind.
void killGroup(QProcess& process) {
    if (const qint64 pid = process.processId(); pid > 0)
        ::kill(-pid_t(pid), SIGKILL);
    process.kill();
    process.waitForFinished(5000);
}

} // namespace

HookOutcome RunHookCommand(const HookCommand& hook) {
    HookOutcome outcome;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setProcessEnvironment(hook.environment);
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
    process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), hook.command});
    if (!process.waitForStarted(10000)) {
        outcome.reason = QStringLiteral("cannot start: ") + process.errorString();
        return outcome;
    }
    process.write(hook.input);
    process.closeWriteChannel();

    const QDeadlineTimer deadline(hook.timeoutMs, Qt::PreciseTimer);
    while (process.state() != QProcess::NotRunning) {
        const int wait = int(qBound(qint64(0), deadline.remainingTime(), qint64(PollMs)));
        if (process.waitForFinished(wait))
            break;
        if (process.state() == QProcess::NotRunning)
            break;
        if (hook.stop && hook.stop->load()) {
            killGroup(process);
            outcome.stopped = true;
            outcome.reason = QStringLiteral("stopped");
            return outcome;
        }
        if (deadline.hasExpired()) {
            killGroup(process);
            outcome.timedOut = true;
            outcome.reason =
                QStringLiteral("killed after %1 s").arg(double(hook.timeoutMs) / 1000.0);
            return outcome;
        }
    }
    const QString said = firstLine(process.readAll());
    if (process.exitStatus() != QProcess::NormalExit) {
        outcome.reason = said.isEmpty() ? QStringLiteral("ended by a signal") : said;
        return outcome;
    }
    outcome.exitCode = process.exitCode();
    outcome.passed = outcome.exitCode == 0;
    outcome.reason = said.isEmpty() ? QStringLiteral("exit status %1").arg(outcome.exitCode) : said;
    return outcome;
}

} // namespace varn
