#pragma once

#include "programmingsession.h"

#include <QObject>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace varn {

// A programming session on a worker thread, for a window: the session and its
// link live on the thread, the window posts work to it and hears its events
// through queued signals, so no exchange with the unit ever runs inside the
// window's event processing. One host per unit; it outlives the windows that
// use it.
class SessionHost : public QObject {
    Q_OBJECT
public:
    // setup: the configuration the session starts with; open: makes the link
    // (called on the worker thread).
    SessionHost(const AppState& setup, ProgrammingSession::TransportFactory open,
                QObject* parent = nullptr);
    ~SessionHost() override;

    // Runs task on the session's thread and waits for it. Only for short
    // exchanges (an identification, Run/Reset) and never while a posted task
    // runs: the window does not paint meanwhile.
    void call(const std::function<void(ProgrammingSession&)>& task);
    // Starts task on the session's thread and returns at once; finished()
    // follows when it is done. Refused (false) while another task runs.
    bool post(const std::function<void(ProgrammingSession&)>& task);
    // The same, and then done() on context's thread once the task is over.
    bool post(const std::function<void(ProgrammingSession&)>& task, QObject* context,
              std::function<void()> done);
    // Runs task on the session's thread after whatever was queued or posted
    // before it, never refused, and then done on the window's thread unless
    // context is gone by then. For the short exchanges a window asks for
    // (connecting, Run/Reset) without waiting for them.
    void queue(std::function<void(ProgrammingSession&)> task, QObject* context,
               std::function<void()> done);
    // From post() until the task's end is heard on the host's thread (its
    // done and finished()), not merely until the task returns.
    bool busy() const { return running.load(); }
    // A front-end that runs on the session's thread itself (varn-cli's
    // units) hears the session's events there, as they happen, before the
    // host's signals carry them on. Only from a task; null lets it go.
    void setThreadObserver(SessionObserver* observer);
    // Ends the running task at the next block boundary. Any thread.
    void stop();

signals:
    void functionStarted(const varn::FunctionResult& run);
    void functionProgress(const varn::FunctionResult& run, int percent);
    void functionFinished(const varn::FunctionResult& result);
    // lineOpen: false when the refusal is the closed line's.
    void refused(const QString& reason, bool lineOpen);
    void unitRunStateChanged(bool inReset);
    void unitIdentified(const QByteArray& reply);
    void serialAssigned(qint64 serial);
    void recordWritten(const varn::ChipRecord& record, const QString& notice);
    void chipFinished(const varn::ChipReport& report);
    // The line was lost (unplugged adapter, closed line), once per loss.
    void connectionLost(const QString& reason);
    // A posted task has ended.
    void finished();

protected:
    bool event(QEvent* event) override;

private:
    // On the thread: runs task on the session, unless the session is gone.
    void runTask(const std::function<void(ProgrammingSession&)>& task);
    // Hand-overs between the threads. Qt's queue carries only a wake-up
    // (an event Qt makes itself); what is handed over waits in a mailbox
    // under a lock of our own, one entry per wake-up, so a race checker
    // sees every hand-over (Debian's Qt locks its queue where it cannot).
    void toThread(std::function<void()> work);        // runs on the thread
    void toHost(std::function<void()> work);          // runs on the host's thread
    void onThreadAndWait(std::function<void()> work); // toThread, and waits
    void runNextOnThread();

    class Bridge;
    class Worker;
    QThread thread;
    Worker* worker = nullptr; // lives on the thread
    std::mutex mailbox;
    std::condition_variable workDone;
    std::deque<std::function<void()>> forThread;
    std::deque<std::function<void()>> forHost;
    std::unique_ptr<Bridge> bridge;
    std::unique_ptr<ProgrammingSession> session;
    std::atomic<bool> running{false};
    // On the thread only: a task is running (possibly waiting inside an
    // event loop), and the host went meanwhile.
    bool inTask = false;
    bool endAfterTask = false;
};

} // namespace varn

Q_DECLARE_METATYPE(varn::FunctionResult)
Q_DECLARE_METATYPE(varn::ChipReport)
Q_DECLARE_METATYPE(varn::ChipRecord)
