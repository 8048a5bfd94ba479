#include "bare.h"

#include "core/protocol.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace varn::bench {

namespace {

volatile sig_atomic_t stopRequested = 0;

void onStop(int) {
    stopRequested = 1;
}

long long Nanoseconds(clockid_t clock) {
    timespec t;
    clock_gettime(clock, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

void MakeRaw(int fd) {
    termios t;
    if (tcgetattr(fd, &t) != 0)
        return;
    cfmakeraw(&t);
    cfsetispeed(&t, B57600);
    cfsetospeed(&t, B57600);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
}

bool WriteAll(int fd, const unsigned char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, 100);
                continue;
            }
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Blocking read of exactly length bytes; a reply that does not come within a
// second is a failure, as it is for the host.
bool ReadExactly(int fd, unsigned char* data, size_t length) {
    while (length > 0) {
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, 1000);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        const ssize_t n = ::read(fd, data, length);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

int RunResponder() {
    int master = -1, slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "responder: openpty: %s\n", std::strerror(errno));
        return 1;
    }
    MakeRaw(master);
    MakeRaw(slave);
    struct sigaction sa {};
    sa.sa_handler = onStop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::printf("%s\n", name);
    std::fflush(stdout);

    // Frames are parsed as the unit does, so the floor carries the same
    // bookkeeping and no more.
    unsigned char input[8192];
    size_t have = 0;
    unsigned char readReply[wire::ReadReplyBytes];
    readReply[0] = wire::ReadReplyBytes;
    std::memset(readReply + 1, 0xFF, wire::BlockBytes);
    const unsigned char ack = 0x00;
    while (!stopRequested) {
        const ssize_t n = ::read(master, input + have, sizeof input - have);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EIO) { // the client closed its end; wait for the next
                usleep(2000);
                continue;
            }
            break;
        }
        if (n == 0)
            continue;
        have += static_cast<size_t>(n);
        size_t pos = 0;
        while (pos < have && pos + 1 + input[pos] <= have) {
            const size_t length = input[pos];
            if (length == wire::AddressLength)
                WriteAll(master, readReply, sizeof readReply);
            else if (length == wire::BlockLength)
                WriteAll(master, &ack, wire::AckBytes);
            pos += 1 + length;
        }
        std::memmove(input, input + pos, have - pos);
        have -= pos;
        if (have == sizeof input)
            have = 0; // not a frame stream; start again
    }
    close(master);
    close(slave);
    return 0;
}

int RunBareClient(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: --bare-client PATH read|program BLOCKS\n");
        return 2;
    }
    const char* path = argv[0];
    const bool program = std::strcmp(argv[1], "program") == 0;
    const long blocks = std::strtol(argv[2], nullptr, 10);

    const int fd = ::open(path, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        std::printf("error=open %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    MakeRaw(fd);
    tcflush(fd, TCIOFLUSH);

    unsigned char request[wire::BlockFrameBytes] = {};
    unsigned char reply[wire::ReadReplyBytes];
    const unsigned char writeCommand[wire::CommandFrameBytes] = {wire::CommandLength, wire::Write};
    long long done = 0;
    bool ok = true;

    const long long wall0 = Nanoseconds(CLOCK_MONOTONIC);
    const long long cpu0 = Nanoseconds(CLOCK_PROCESS_CPUTIME_ID);
    if (program) {
        request[0] = wire::BlockLength;
        request[3] = 0x00;
        request[4] = wire::BlockBytes;
        for (int j = 0; j < wire::BlockBytes; ++j)
            request[wire::BlockHeaderBytes + j] = static_cast<unsigned char>(0x5A ^ j);
        ok = WriteAll(fd, writeCommand, sizeof writeCommand);
        for (long i = 0; ok && i < blocks; ++i) {
            const long address = i * wire::BlockBytes;
            request[1] = static_cast<unsigned char>(address / 256);
            request[2] = static_cast<unsigned char>(address % 256);
            ok = WriteAll(fd, request, sizeof request) && ReadExactly(fd, reply, wire::AckBytes);
            done += ok;
        }
        ok = ok && WriteAll(fd, writeCommand, sizeof writeCommand);
    } else {
        // The read command and its address frame in one write.
        request[0] = wire::CommandLength;
        request[1] = wire::Read;
        request[2] = wire::AddressLength;
        request[5] = 0x00;
        request[6] = wire::BlockBytes;
        constexpr int requestBytes = wire::CommandFrameBytes + wire::AddressFrameBytes;
        for (long i = 0; ok && i < blocks; ++i) {
            const long address = i * wire::BlockBytes;
            request[3] = static_cast<unsigned char>(address / 256);
            request[4] = static_cast<unsigned char>(address % 256);
            ok = WriteAll(fd, request, requestBytes) &&
                 ReadExactly(fd, reply, wire::ReadReplyBytes) && reply[0] == wire::ReadReplyBytes;
            done += ok;
        }
    }
    const long long wall1 = Nanoseconds(CLOCK_MONOTONIC);
    const long long cpu1 = Nanoseconds(CLOCK_PROCESS_CPUTIME_ID);
    // Let the closing command leave before the line closes.
    tcdrain(fd);
    close(fd);
    if (!ok) {
        std::printf("error=no complete reply after %lld exchanges\n", done);
        return 1;
    }
    std::printf("wall_ns=%lld cpu_ns=%lld exchanges=%lld\n", wall1 - wall0, cpu1 - cpu0, done);
    return 0;
}

ChildProcess::~ChildProcess() {
    stop();
}

bool ChildProcess::start(const std::vector<std::string>& argv, std::string& error) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int rc = posix_spawn(&childPid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (rc != 0) {
        close(pipeFds[0]);
        childPid = -1;
        error = "cannot start " + argv[0] + ": " + std::strerror(rc);
        return false;
    }
    outFd = pipeFds[0];
    return true;
}

std::string ChildProcess::readLine(int timeoutMs) {
    const long long deadline = Nanoseconds(CLOCK_MONOTONIC) + timeoutMs * 1000000LL;
    while (outFd >= 0) {
        const auto eol = pendingText.find('\n');
        if (eol != std::string::npos) {
            std::string line = pendingText.substr(0, eol);
            pendingText.erase(0, eol + 1);
            return line;
        }
        const long long left = (deadline - Nanoseconds(CLOCK_MONOTONIC)) / 1000000LL;
        if (left <= 0)
            return {};
        pollfd p{outFd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char chunk[512];
        const ssize_t n = ::read(outFd, chunk, sizeof chunk);
        if (n <= 0)
            return {};
        pendingText.append(chunk, static_cast<size_t>(n));
    }
    return {};
}

std::string ChildProcess::readAllAndWait(int timeoutMs) {
    const long long deadline = Nanoseconds(CLOCK_MONOTONIC) + timeoutMs * 1000000LL;
    std::string all = pendingText;
    pendingText.clear();
    while (outFd >= 0) {
        const long long left = (deadline - Nanoseconds(CLOCK_MONOTONIC)) / 1000000LL;
        if (left <= 0)
            break;
        pollfd p{outFd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char chunk[512];
        const ssize_t n = ::read(outFd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        all.append(chunk, static_cast<size_t>(n));
    }
    if (childPid > 0) {
        int status = 0;
        if (waitpid(childPid, &status, WNOHANG) == 0) {
            kill(childPid, SIGTERM);
            waitpid(childPid, &status, 0);
        }
        childPid = -1;
    }
    if (outFd >= 0) {
        close(outFd);
        outFd = -1;
    }
    return all;
}

void ChildProcess::stop() {
    if (childPid > 0) {
        kill(childPid, SIGTERM);
        int status = 0;
        waitpid(childPid, &status, 0);
        childPid = -1;
    }
    if (outFd >= 0) {
        close(outFd);
        outFd = -1;
    }
}

double MonotonicNs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

double ChildrenCpuNs() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    auto ns = [](const timeval& tv) { return double(tv.tv_sec) * 1e9 + double(tv.tv_usec) * 1e3; };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

TimedRun RunTimed(const std::string& folder, const std::vector<std::string>& argv, int timeoutMs) {
    TimedRun run;
    char before[PATH_MAX];
    if (!getcwd(before, sizeof before) || chdir(folder.c_str()) != 0) {
        run.error = "cannot change to " + folder;
        return run;
    }
    ChildProcess child;
    const double cpu0 = ChildrenCpuNs();
    const double start = MonotonicNs();
    const bool started = child.start(argv, run.error);
    if (chdir(before) != 0 && started)
        run.error = "cannot change back to " + std::string(before);
    if (!started)
        return run;
    run.out = child.readAllAndWait(timeoutMs);
    run.wallNs = MonotonicNs() - start;
    run.cpuNs = ChildrenCpuNs() - cpu0;
    return run;
}

std::string SelfPath() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "varn-bench";
    path[n] = '\0';
    return path;
}

BareResult RunBareClientProcess(const std::string& path, ExchangeKind kind, int blocks) {
    BareResult result;
    ChildProcess client;
    if (!client.start({SelfPath(), "--bare-client", path,
                       kind == ExchangeKind::Program ? "program" : "read", std::to_string(blocks)},
                      result.error))
        return result;
    const std::string out = client.readAllAndWait(5 * 60 * 1000);
    long long wall = 0, cpu = 0, exchanges = 0;
    if (std::sscanf(out.c_str(), "wall_ns=%lld cpu_ns=%lld exchanges=%lld", &wall, &cpu,
                    &exchanges) != 3) {
        result.error = out.empty() ? std::string("the bare client printed nothing") : out;
        while (!result.error.empty() && result.error.back() == '\n')
            result.error.pop_back();
        return result;
    }
    result.ok = true;
    result.wallNs = wall;
    result.cpuNs = cpu;
    result.exchanges = exchanges;
    return result;
}

} // namespace varn::bench
