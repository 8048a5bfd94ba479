#pragma once

// The bare side of the benchmark: plain POSIX, no Qt, no event loop. A child
// process started from the benchmark answers requests or plays the client,
// so that the floor it measures carries no cost of the host program.

#include <string>
#include <sys/types.h>
#include <vector>

namespace varn::bench {

// The exchanges the device functions make, by their sizes on the wire.
enum class ExchangeKind {
    Read,    // 01 52 + 04 hi lo 00 10 (7 bytes) -> 17 bytes
    Program, // 01 57, then 14 hi lo 00 10 + 16 data (21 bytes) -> 1 byte, then 01 57
};

struct BareResult {
    bool ok = false;
    long long wallNs = 0;
    long long cpuNs = 0;
    long long exchanges = 0;
    std::string error;
};

// "--responder": opens a pseudo-terminal, prints the far end's path and
// answers every 4-byte frame with 17 bytes and every 20-byte frame with one,
// doing nothing else, until SIGTERM. Returns the exit status.
int RunResponder();

// "--bare-client PATH read|program BLOCKS": does the exchanges with blocking
// reads in raw mode and prints one line "wall_ns=... cpu_ns=... exchanges=...".
int RunBareClient(int argc, char** argv);

// A child process whose standard output is read by the benchmark.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool start(const std::vector<std::string>& argv, std::string& error);
    // The first line of its output (a unit's pseudo-terminal path); empty
    // after timeoutMs.
    std::string readLine(int timeoutMs);
    // Everything up to the end of its output, then waits for it to exit.
    std::string readAllAndWait(int timeoutMs);
    // SIGTERM and wait.
    void stop();

private:
    pid_t childPid = -1;
    int outFd = -1;
    std::string pendingText;
};

// CLOCK_MONOTONIC in nanoseconds.
double MonotonicNs();
// User and system time of the ended children, in nanoseconds.
double ChildrenCpuNs();

// One whole run of a program started in folder (varn-cli reads its
// configuration from the current folder): its output, the wall time from
// start to exit and the CPU time it took. error names a start that failed.
struct TimedRun {
    std::string error;
    std::string out;
    double wallNs = 0;
    double cpuNs = 0;
};
TimedRun RunTimed(const std::string& folder, const std::vector<std::string>& argv, int timeoutMs);

// The executable of this process (to start it again in a bare mode).
std::string SelfPath();

// Starts a bare client against path and collects its figures.
BareResult RunBareClientProcess(const std::string& path, ExchangeKind kind, int blocks);

} // namespace varn::bench
