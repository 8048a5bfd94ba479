#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace varn::fuzz {

// A finding must stop the run with a stack trace, also in builds without
// assertions.
#define VARN_FUZZ_CHECK(cond)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);         \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// A folder of this process in memory-backed storage (the readers take paths).
// Held through a plain pointer so that it outlives every static destructor:
// libFuzzer ends through exit(), also after a finding, and the folder is
// removed then.
inline QString*& ScratchDirSlot() {
    static QString* slot = nullptr;
    return slot;
}

inline QString ScratchDir() {
    QString*& slot = ScratchDirSlot();
    if (!slot) {
        const QString base =
            QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        slot = new QString(QStringLiteral("%1/varn-fuzz-%2").arg(base).arg(::getpid()));
        QDir().mkpath(*slot);
        std::atexit([] { QDir(*ScratchDirSlot()).removeRecursively(); });
    }
    return *slot;
}

inline QString WriteScratch(const QString& name, const QByteArray& bytes) {
    const QString path = ScratchDir() + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    if (file.write(bytes) != bytes.size())
        std::abort();
    return path;
}

} // namespace varn::fuzz
