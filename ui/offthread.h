#pragma once

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QThreadPool>
#include <functional>
#include <utility>

namespace varn {

// Runs work on a pool thread and hands its result to done on the window's
// thread, unless context is gone by then. For what may wait on a database
// across the network (the production log), which the window must not.
template <typename Result>
void OffWindowThread(QObject* context, std::function<Result()> work,
                     std::function<void(const Result&)> done) {
    QThreadPool::globalInstance()->start(
        [guard = QPointer<QObject>(context), work = std::move(work), done = std::move(done)] {
            Result result = work();
            // Handed over through the application, which outlives the
            // context: the context is looked at on its own thread, where it
            // would be deleted.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [guard, done, result = std::move(result)] {
                    if (guard)
                        done(result);
                },
                Qt::QueuedConnection);
        });
}

} // namespace varn
