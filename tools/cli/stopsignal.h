#pragma once

#include <csignal>

namespace varn {

class ProgrammingSession;

// Ctrl+C (SIGINT) and SIGTERM end varn-cli's run at the next block boundary:
// the handler asks every registered session to stop (an atomic store) and
// notes the signal. A second Ctrl+C or SIGTERM ends the program at once.
void InstallStopHandlers();

// The signal that asked for the stop (SIGINT or SIGTERM), or 0.
int StopSignal();
// The exit status a shell expects after it: 130 or 143; 0 when none came.
int StopExitStatus();

// While it lives, the stop signals are blocked on this thread, and so in every
// thread made meanwhile, which keeps that mask: the handler then runs on the
// main thread only (it never races a worker's own code, and the main thread's
// waits are the ones it interrupts).
class StopSignalsBlocked {
public:
    StopSignalsBlocked();
    ~StopSignalsBlocked();
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

private:
    sigset_t before;
};

// A session the handler stops while this object lives. The session must
// outlive it.
class StopRegistration {
public:
    explicit StopRegistration(ProgrammingSession& session);
    ~StopRegistration();
    StopRegistration(const StopRegistration&) = delete;
    StopRegistration& operator=(const StopRegistration&) = delete;

private:
    int slot = -1;
};

} // namespace varn
