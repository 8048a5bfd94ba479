#include "sessionhost.h"

#include "link/seriallink.h"

#include <QPointer>

namespace varn {

// The session's observer on the worker thread: every event becomes a signal
// of the host, which lives on the window's thread, so Qt queues it there.
class SessionHost::Bridge : public SessionObserver {
public:
    explicit Bridge(SessionHost& host) : host(host) {}
    void functionStarted(const FunctionResult& run) override { emit host.functionStarted(run); }
    void functionProgress(const FunctionResult& run, int percent) override {
        emit host.functionProgress(run, percent);
    }
    void functionFinished(const FunctionResult& result) override {
        emit host.functionFinished(result);
    }
    void refused(const QString& reason) override {
        const Transport* link = host.session ? host.session->link() : nullptr;
        emit host.refused(reason, link && link->isOpen());
    }
    void unitRunStateChanged() override {
        emit host.unitRunStateChanged(host.session && host.session->inReset());
    }
    void unitIdentified(const QByteArray& reply) override { emit host.unitIdentified(reply); }
    void serialAssigned(qint64 serial) override { emit host.serialAssigned(serial); }
    void recordWritten(const ChipRecord& record, const QString& notice) override {
        emit host.recordWritten(record, notice);
    }
    void chipFinished(const ChipReport& report) override { emit host.chipFinished(report); }

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
    worker = new QObject;
    worker->moveToThread(&thread);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    thread.start();
    // A lost line is told by the serial link itself, outside any function.
    auto opener = [this, open = std::move(open)](const AppState& setup, Status* status) {
        std::unique_ptr<Transport> link = open(setup, status);
        if (auto* port = dynamic_cast<PortLink*>(link.get()))
            connect(port, &PortLink::connectionLost, this, &SessionHost::connectionLost);
        return link;
    };
    // Created on the thread, so that the link it makes belongs there.
    QMetaObject::invokeMethod(
        worker,
        [this, setup, opener] {
            session = std::make_unique<ProgrammingSession>(setup, *bridge, opener);
        },
        Qt::BlockingQueuedConnection);
}

SessionHost::~SessionHost() {
    stop();
    // A task under way may be waiting for the unit in an event loop of its
    // own, which takes this call too: the session and the thread then end
    // once that task has stopped at a block boundary, never under it.
    QMetaObject::invokeMethod(
        worker,
        [this] {
            if (inTask) {
                endAfterTask = true;
                return;
            }
            session.reset();
            thread.quit();
        },
        Qt::BlockingQueuedConnection);
    thread.wait();
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
    }
}

void SessionHost::call(const std::function<void(ProgrammingSession&)>& task) {
    QMetaObject::invokeMethod(
        worker, [this, &task] { runTask(task); }, Qt::BlockingQueuedConnection);
}

bool SessionHost::post(const std::function<void(ProgrammingSession&)>& task) {
    if (running.exchange(true))
        return false;
    session->resetStop();
    QMetaObject::invokeMethod(
        worker,
        [this, task] {
            runTask(task);
            running.store(false);
            emit finished();
        },
        Qt::QueuedConnection);
    return true;
}

bool SessionHost::post(const std::function<void(ProgrammingSession&)>& task, QObject* context,
                       std::function<void()> done) {
    // Connected first: the task may be over before post() returns.
    const auto connection =
        connect(this, &SessionHost::finished, context, std::move(done), Qt::SingleShotConnection);
    if (post(task))
        return true;
    disconnect(connection);
    return false;
}

void SessionHost::queue(std::function<void(ProgrammingSession&)> task, QObject* context,
                        std::function<void()> done) {
    QMetaObject::invokeMethod(
        worker,
        [this, task = std::move(task), context = QPointer<QObject>(context),
         done = std::move(done)] {
            runTask(task);
            // Through the host, which lives on the window's thread: the
            // context is looked at there, where it would be deleted.
            QMetaObject::invokeMethod(
                this,
                [context, done] {
                    if (context)
                        done();
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void SessionHost::stop() {
    if (running.load() && session)
        session->stop();
}

} // namespace varn
