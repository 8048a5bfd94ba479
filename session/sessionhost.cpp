#include "sessionhost.h"

#include "link/seriallink.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>

namespace varn {

// The session's observer on the worker thread: every event becomes a signal
// of the host, sent on the host's thread (after a front-end on the session's
// own thread has heard it).
class SessionHost::Bridge : public SessionObserver {
public:
    explicit Bridge(SessionHost& host) : host(host) {}
    void functionStarted(const FunctionResult& run) override {
        if (local)
            local->functionStarted(run);
        send([run](SessionHost& h) { emit h.functionStarted(run); });
    }
    void functionProgress(const FunctionResult& run, int percent) override {
        if (local)
            local->functionProgress(run, percent);
        send([run, percent](SessionHost& h) { emit h.functionProgress(run, percent); });
    }
    void functionFinished(const FunctionResult& result) override {
        if (local)
            local->functionFinished(result);
        send([result](SessionHost& h) { emit h.functionFinished(result); });
    }
    void refused(const QString& reason) override {
        if (local)
            local->refused(reason);
        const Transport* link = host.session ? host.session->link() : nullptr;
        const bool lineOpen = link && link->isOpen();
        send([reason, lineOpen](SessionHost& h) { emit h.refused(reason, lineOpen); });
    }
    void unitRunStateChanged() override {
        if (local)
            local->unitRunStateChanged();
        const bool inReset = host.session && host.session->inReset();
        send([inReset](SessionHost& h) { emit h.unitRunStateChanged(inReset); });
    }
    void unitIdentified(const QByteArray& reply) override {
        if (local)
            local->unitIdentified(reply);
        send([reply](SessionHost& h) { emit h.unitIdentified(reply); });
    }
    void serialAssigned(qint64 serial) override {
        if (local)
            local->serialAssigned(serial);
        send([serial](SessionHost& h) { emit h.serialAssigned(serial); });
    }
    void recordWritten(const ChipRecord& record, const QString& notice) override {
        if (local)
            local->recordWritten(record, notice);
        send([record, notice](SessionHost& h) { emit h.recordWritten(record, notice); });
    }
    void chipFinished(const ChipReport& report) override {
        if (local)
            local->chipFinished(report);
        send([report](SessionHost& h) { emit h.chipFinished(report); });
    }

    SessionObserver* local = nullptr;

private:
    template <typename Emit> void send(Emit emitOnHost) {
        host.toHost([&host = host, emitOnHost] { emitOnHost(host); });
    }

    SessionHost& host;
};

namespace {

// The one event either side is woken with; what it is for waits in the
// receiver's mailbox.
const QEvent::Type WakeEvent = QEvent::Type(QEvent::registerEventType());

} // namespace

// Lives on the session's thread: each wake-up runs the next work handed to
// the thread, also inside an event loop a running task waits in.
class SessionHost::Worker : public QObject {
public:
    explicit Worker(SessionHost& host) : host(host) {}
    bool event(QEvent* event) override {
        if (event->type() != WakeEvent)
            return QObject::event(event);
        host.runNextOnThread();
        return true;
    }

private:
    SessionHost& host;
};

SessionHost::SessionHost(const AppState& setup, ProgrammingSession::TransportFactory open,
                         QObject* parent)
    : QObject(parent), bridge(std::make_unique<Bridge>(*this)) {
    qRegisterMetaType<FunctionResult>();
    qRegisterMetaType<ChipReport>();
    qRegisterMetaType<ChipRecord>();
    thread.setObjectName(QStringLiteral("unit session"));
    worker = new Worker(*this);
    worker->moveToThread(&thread);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    thread.start();
    // A lost line is told by the serial link itself, outside any function.
    auto opener = [this, open = std::move(open)](const AppState& setup, Status* status) {
        std::unique_ptr<Transport> link = open(setup, status);
        if (auto* port = dynamic_cast<PortLink*>(link.get()))
            connect(port, &PortLink::connectionLost, port, [this](const QString& reason) {
                toHost([this, reason] { emit connectionLost(reason); });
            });
        return link;
    };
    // Created on the thread, so that the link it makes belongs there.
    onThreadAndWait([this, setup, opener] {
        session = std::make_unique<ProgrammingSession>(setup, *bridge, opener);
    });
}

SessionHost::~SessionHost() {
    stop();
    // A task under way may be waiting for the unit in an event loop of its
    // own, which takes this call too: the session and the thread then end
    // once that task has stopped at a block boundary, never under it.
    onThreadAndWait([this] {
        if (inTask) {
            endAfterTask = true;
            return;
        }
        session.reset();
        thread.quit();
    });
    thread.wait();
    // The thread's last writes (the session let go) are ours from here on:
    // it took the mailbox's lock after them.
    const std::lock_guard<std::mutex> taken(mailbox);
}

void SessionHost::toThread(std::function<void()> work) {
    {
        const std::lock_guard<std::mutex> put(mailbox);
        forThread.push_back(std::move(work));
    }
    QCoreApplication::postEvent(worker, new QEvent(WakeEvent));
}

void SessionHost::toHost(std::function<void()> work) {
    {
        const std::lock_guard<std::mutex> put(mailbox);
        forHost.push_back(std::move(work));
    }
    QCoreApplication::postEvent(this, new QEvent(WakeEvent));
}

void SessionHost::onThreadAndWait(std::function<void()> work) {
    bool over = false;
    toThread([this, &work, &over] {
        work();
        const std::lock_guard<std::mutex> put(mailbox);
        over = true;
        workDone.notify_all();
    });
    std::unique_lock<std::mutex> wait(mailbox);
    workDone.wait(wait, [&over] { return over; });
}

void SessionHost::runNextOnThread() {
    std::function<void()> work;
    {
        const std::lock_guard<std::mutex> take(mailbox);
        if (forThread.empty())
            return;
        work = std::move(forThread.front());
        forThread.pop_front();
    }
    work();
}

bool SessionHost::event(QEvent* event) {
    if (event->type() != WakeEvent)
        return QObject::event(event);
    std::function<void()> work;
    {
        const std::lock_guard<std::mutex> take(mailbox);
        if (forHost.empty())
            return true;
        work = std::move(forHost.front());
        forHost.pop_front();
    }
    work();
    return true;
}

void SessionHost::runTask(const std::function<void(ProgrammingSession&)>& task) {
    if (!session)
        return;
    const bool nested = inTask;
    inTask = true;
    task(*session);
    inTask = nested;
    if (!inTask && endAfterTask) {
        session.reset();
        thread.quit();
        const std::lock_guard<std::mutex> ended(mailbox);
    }
}

void SessionHost::setThreadObserver(SessionObserver* observer) {
    bridge->local = observer;
}

void SessionHost::call(const std::function<void(ProgrammingSession&)>& task) {
    onThreadAndWait([this, &task] { runTask(task); });
}

bool SessionHost::post(const std::function<void(ProgrammingSession&)>& task) {
    return post(task, nullptr, {});
}

bool SessionHost::post(const std::function<void(ProgrammingSession&)>& task, QObject* context,
                       std::function<void()> done) {
    if (running.exchange(true))
        return false;
    session->resetStop();
    toThread([this, task, context = QPointer<QObject>(context), done = std::move(done)] {
        runTask(task);
        // Free only once the end is heard where windows look at busy(): a
        // post made before then would find this task's end taken for its
        // own. The done belongs to this task alone, for the same reason.
        toHost([this, context, done] {
            running.store(false);
            if (context && done)
                done();
            emit finished();
        });
    });
    return true;
}

void SessionHost::queue(std::function<void(ProgrammingSession&)> task, QObject* context,
                        std::function<void()> done) {
    toThread([this, task = std::move(task), context = QPointer<QObject>(context),
              done = std::move(done)] {
        runTask(task);
        // On the host's thread: the context is looked at there, where it
        // would be deleted.
        toHost([context, done] {
            if (context)
                done();
        });
    });
}

void SessionHost::stop() {
    if (running.load() && session)
        session->stop();
}

} // namespace varn
