#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <atomic>

namespace varn {

// A shell command a production line runs around each chip (a fixture's
// power switch, a functional test of the board just programmed).
struct HookCommand {
    QString command; // run by /bin/sh -c
    QProcessEnvironment environment;
    QByteArray input; // its standard input, then end of file
    int timeoutMs = 60000;
    // Set from another thread or a signal handler: the command is killed.
    const std::atomic<bool>* stop = nullptr;
};

struct HookOutcome {
    bool passed = false;
    bool timedOut = false;
    bool stopped = false;
    int exitCode = -1; // -1: it did not end by itself
    // The first non-empty line it printed (standard output and error
    // together), else what became of it: the reason a record keeps.
    QString reason;
};

// Runs the command on the calling thread and waits for it (no event loop is
// needed). It and whatever it started are killed at the time limit or on a
// stop: a hung fixture must not hold the line.
HookOutcome RunHookCommand(const HookCommand& hook);

} // namespace varn
