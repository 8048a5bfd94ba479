#include "stopsignal.h"

#include "exitstatus.h"
#include "session/programmingsession.h"

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace varn {

namespace {

// Enough for every unit a command line can name; a session that finds no free
// slot can still not be stopped by a signal, which the program then ends at
// once (second signal).
constexpr int MaxSessions = 64;

std::atomic<ProgrammingSession*> sessions[MaxSessions];
std::atomic<int> signalSeen{0};
// Handlers running now: a session is not let go while one may still touch it.
std::atomic<int> handlersRunning{0};

static_assert(std::atomic<ProgrammingSession*>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

void onStopSignal(int signal) {
    int expected = 0;
    if (!signalSeen.compare_exchange_strong(expected, signal))
        _exit(expected == SIGTERM ? ExitTerminated : ExitInterrupted);
    handlersRunning.fetch_add(1);
    for (std::atomic<ProgrammingSession*>& entry : sessions) {
        if (ProgrammingSession* session = entry.load())
            session->stop();
    }
    handlersRunning.fetch_sub(1);
}

} // namespace

void InstallStopHandlers() {
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait for the next chip's key ends at once.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int StopSignal() {
    return signalSeen.load();
}

int StopExitStatus() {
    switch (StopSignal()) {
    case SIGINT:
        return ExitInterrupted;
    case SIGTERM:
        return ExitTerminated;
    default:
        return 0;
    }
}

StopSignalsBlocked::StopSignalsBlocked() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, &before);
}

StopSignalsBlocked::~StopSignalsBlocked() {
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

StopRegistration::StopRegistration(ProgrammingSession& session) {
    for (int i = 0; i < MaxSessions; ++i) {
        ProgrammingSession* none = nullptr;
        if (sessions[i].compare_exchange_strong(none, &session)) {
            slot = i;
            break;
        }
    }
    // A signal that came before the session existed stops it as well.
    if (StopSignal())
        session.stop();
}

StopRegistration::~StopRegistration() {
    if (slot < 0)
        return;
    sessions[slot].store(nullptr);
    // A handler that read the entry before it was cleared may still be using it.
    while (handlersRunning.load() != 0)
        std::this_thread::yield();
}

} // namespace varn
