// varn-unit: a virtual programmer unit on a pseudo-terminal.
//
// It answers the unit's serial protocol so that the host program, its
// command-line tool and the tests can run without the hardware. Every
// transmission from the host is a frame: a length byte N, then N bytes.
// The README lists the options; --help prints them.
//
// Plain POSIX on purpose: it starts fast and keeps its own timing.

#include "core/protocol.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

namespace wire = varn::wire;
constexpr int MemoryLimit = wire::DeviceLimit;
constexpr long ByteTimeNs = wire::ByteTimeNs;
constexpr int ReadReplyLength = wire::ReadReplyBytes;

volatile sig_atomic_t stopRequested = 0;

void onSignal(int) {
    stopRequested = 1;
}

struct Options {
    std::string name = "VARN";
    std::string version = "20";
    std::string devFile;
    std::string linkPath;
    std::string memoryFile;
    std::string saveMemoryFile;
    std::string logFile;
    bool baudEmulation = false;
    int programDelayMs = 0;
    int noAnswer = 0;  // K-th reply-bearing request gets no answer
    int lateIndex = 0; // K-th reply comes lateMs late; 0: every reply
    int lateMs = 0;
    bool extraByte = false;
    int extraByteDelayMs = 0; // 0: the extra byte travels with the reply
    int countByte = ReadReplyLength;
    int garbageIndex = 0; // 0: before every reply
    int garbageBytes = 0;
    int closeAfter = 0;
    // Where the protocol leaves the unit free.
    uint8_t ack = 0x00;   // the program block's acknowledgement
    std::string identity; // all 8 identification bytes; empty: "T" name " " version
    int jitterMs = 0;     // up to this much more before each reply
    int pieceBytes = 0;   // replies in pieces of this many bytes (0: whole)
    int pieceGapMs = 0;   // between the pieces
};

[[noreturn]] void usage(const char* message) {
    std::fprintf(
        stderr,
        "varn-unit: %s\n"
        "usage: varn-unit [--name ABCD] [--version 21] [--dev FILE] [--link DIR/comN]\n"
        "  [--memory FILE] [--save-memory FILE] [--log FILE] [--baud-emulation]\n"
        "  [--program-delay MS] [--no-answer K] [--late MS | --late K:MS] [--extra-byte]\n"
        "  [--extra-byte-delay MS] [--count N] [--garbage N | --garbage K:N] [--close-after K]\n"
        "  [--ack XX] [--identity 8CHARS] [--reply-delay MS] [--jitter MS] [--pieces N:MS]\n",
        message);
    std::exit(2);
}

int toInt(const std::string& text, const char* option) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 0 || value > 1000000000L)
        usage((std::string("bad number for ") + option + ": " + text).c_str());
    return static_cast<int>(value);
}

// "K:V" or, when allowWhole, just "V" (K then 0).
void toPair(const std::string& text, const char* option, bool allowWhole, int& k, int& v) {
    auto colon = text.find(':');
    if (colon == std::string::npos) {
        if (!allowWhole)
            usage((std::string(option) + " needs K:VALUE").c_str());
        k = 0;
        v = toInt(text, option);
        return;
    }
    k = toInt(text.substr(0, colon), option);
    v = toInt(text.substr(colon + 1), option);
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage((arg + " needs a value").c_str());
            return argv[++i];
        };
        if (arg == "--name") {
            o.name = value();
            o.name.resize(4, ' ');
        } else if (arg == "--version") {
            o.version = value();
            o.version.resize(2, '0');
        } else if (arg == "--dev") {
            o.devFile = value();
        } else if (arg == "--link") {
            o.linkPath = value();
        } else if (arg == "--memory") {
            o.memoryFile = value();
        } else if (arg == "--save-memory") {
            o.saveMemoryFile = value();
        } else if (arg == "--log") {
            o.logFile = value();
        } else if (arg == "--baud-emulation") {
            o.baudEmulation = true;
        } else if (arg == "--program-delay") {
            o.programDelayMs = toInt(value(), "--program-delay");
        } else if (arg == "--no-answer") {
            o.noAnswer = toInt(value(), "--no-answer");
        } else if (arg == "--late") {
            toPair(value(), "--late", true, o.lateIndex, o.lateMs);
        } else if (arg == "--extra-byte") {
            o.extraByte = true;
        } else if (arg == "--extra-byte-delay") {
            o.extraByte = true;
            o.extraByteDelayMs = toInt(value(), "--extra-byte-delay");
        } else if (arg == "--count") {
            o.countByte = toInt(value(), "--count") & 0xFF;
        } else if (arg == "--garbage") {
            toPair(value(), "--garbage", true, o.garbageIndex, o.garbageBytes);
        } else if (arg == "--close-after") {
            o.closeAfter = toInt(value(), "--close-after");
        } else if (arg == "--ack") {
            const std::string text = value();
            char* end = nullptr;
            const long v = std::strtol(text.c_str(), &end, 16);
            if (text.empty() || *end != '\0' || v < 0 || v > 0xFF)
                usage(("bad byte for --ack: " + text).c_str());
            o.ack = static_cast<uint8_t>(v);
        } else if (arg == "--identity") {
            o.identity = value();
            if (o.identity.size() != static_cast<size_t>(wire::IdentifyReplyBytes))
                usage("--identity needs exactly 8 characters");
        } else if (arg == "--reply-delay") {
            o.lateIndex = 0;
            o.lateMs = toInt(value(), "--reply-delay");
        } else if (arg == "--jitter") {
            o.jitterMs = toInt(value(), "--jitter");
        } else if (arg == "--pieces") {
            toPair(value(), "--pieces", false, o.pieceBytes, o.pieceGapMs);
            if (o.pieceBytes < 1)
                usage("--pieces needs at least 1 byte a piece");
        } else if (arg == "--help" || arg == "-h") {
            usage("a virtual programmer unit on a pseudo-terminal");
        } else {
            usage(("unknown option " + arg).c_str());
        }
    }
    return o;
}

// The device table in the host's text format: entries of a quoted (or plain)
// name, a code and a size, separated by commas or line ends.
std::map<int, int> readDeviceTable(const std::string& path) {
    std::map<int, int> sizes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        std::fprintf(stderr, "varn-unit: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
        std::exit(1);
    }
    std::vector<std::string> items;
    std::string item;
    bool quoted = false, inItem = false;
    int c;
    auto finish = [&] {
        if (inItem)
            items.push_back(item);
        item.clear();
        inItem = false;
    };
    while ((c = std::fgetc(f)) != EOF) {
        if (quoted) {
            if (c == '"')
                quoted = false;
            else
                item += static_cast<char>(c);
        } else if (c == '"') {
            quoted = inItem = true;
        } else if (c == ',' || c == '\n' || c == '\r') {
            if (c == ',' || inItem)
                inItem = true, finish();
        } else if (c == ' ' && !inItem) {
            // leading spaces are skipped
        } else {
            item += static_cast<char>(c);
            inItem = true;
        }
    }
    finish();
    std::fclose(f);
    for (size_t i = 0; i + 2 < items.size(); i += 3)
        sizes[std::atoi(items[i + 1].c_str())] = std::atoi(items[i + 2].c_str());
    return sizes;
}

timespec now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

timespec addNs(timespec t, long long ns) {
    long long total = t.tv_nsec + ns;
    t.tv_sec += total / 1000000000LL;
    t.tv_nsec = total % 1000000000LL;
    return t;
}

bool before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

void sleepUntil(const timespec& deadline) {
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR &&
           !stopRequested) {
    }
}

void sleepMs(int ms) {
    if (ms > 0)
        sleepUntil(addNs(now(), ms * 1000000LL));
}

class Unit {
public:
    Unit(const Options& o, int master) : opt(o), fd(master) {
        memory.assign(MemoryLimit, 0xFF);
        if (!opt.devFile.empty())
            deviceSizes = readDeviceTable(opt.devFile);
        if (!opt.memoryFile.empty())
            loadMemory();
        if (!opt.logFile.empty()) {
            log = std::fopen(opt.logFile.c_str(), "w");
            if (!log)
                std::fprintf(stderr, "varn-unit: cannot write %s: %s\n", opt.logFile.c_str(),
                             std::strerror(errno));
        }
        rxClock = now();
    }

    ~Unit() {
        if (log)
            std::fclose(log);
    }

    // Bytes read from the line; returns false once the unit must close the line.
    bool received(const uint8_t* data, size_t length) {
        accept(data, length);
        size_t pos = 0;
        while (pos < input.size() && pos + 1 + input[pos] <= input.size()) {
            size_t n = input[pos];
            if (opt.baudEmulation)
                receiveUntil(arrivedAt[pos + n]);
            std::vector<uint8_t> frame(input.begin() + pos + 1, input.begin() + pos + 1 + n);
            logFrame(input.data() + pos, n + 1);
            pos += n + 1;
            ++requests;
            if (opt.closeAfter > 0 && requests >= opt.closeAfter)
                return false;
            handle(frame);
        }
        input.erase(input.begin(), input.begin() + pos);
        if (opt.baudEmulation)
            arrivedAt.erase(arrivedAt.begin(), arrivedAt.begin() + pos);
        return true;
    }

    void saveMemory() const {
        if (opt.saveMemoryFile.empty())
            return;
        FILE* f = std::fopen(opt.saveMemoryFile.c_str(), "wb");
        if (!f) {
            std::fprintf(stderr, "varn-unit: cannot write %s: %s\n", opt.saveMemoryFile.c_str(),
                         std::strerror(errno));
            return;
        }
        std::fwrite(memory.data(), 1, static_cast<size_t>(deviceSize), f);
        std::fclose(f);
    }

private:
    // Queues bytes just read; with emulation each is stamped with the moment
    // its last bit would have arrived.
    void accept(const uint8_t* data, size_t length) {
        timespec arrival = now();
        size_t start = input.size();
        input.insert(input.end(), data, data + length);
        if (opt.baudEmulation) {
            // The line was idle until now, or still busy with earlier bytes.
            if (before(rxClock, arrival))
                rxClock = arrival;
            for (size_t i = start; i < input.size(); ++i) {
                rxClock = addNs(rxClock, ByteTimeNs);
                arrivedAt.push_back(rxClock);
            }
        }
    }

    // Waits for a frame's last byte to come off the emulated line while
    // taking in whatever the host sends meanwhile: on a real line bytes
    // written while earlier ones are still on the wire follow them without a
    // gap, so they must be stamped when they are written, not when this wait
    // is over.
    //
    // By value: the deadline comes from arrivedAt, which the bytes taken in
    // here may reallocate.
    void receiveUntil(const timespec deadline) {
        uint8_t chunk[4096];
        while (!stopRequested) {
            timespec t = now();
            if (!before(t, deadline))
                return;
            long long leftNs =
                (deadline.tv_sec - t.tv_sec) * 1000000000LL + (deadline.tv_nsec - t.tv_nsec);
            timespec timeout{static_cast<time_t>(leftNs / 1000000000LL),
                             static_cast<long>(leftNs % 1000000000LL)};
            pollfd p{fd, POLLIN, 0};
            int r = ppoll(&p, 1, &timeout, nullptr);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0 || !(p.revents & POLLIN)) {
                // Nothing more to take in (or the host has closed its end).
                sleepUntil(deadline);
                return;
            }
            ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n > 0)
                accept(chunk, static_cast<size_t>(n));
            else if (!(n < 0 && (errno == EINTR || errno == EAGAIN))) {
                sleepUntil(deadline);
                return;
            }
        }
    }

    void loadMemory() {
        FILE* f = std::fopen(opt.memoryFile.c_str(), "rb");
        if (!f) {
            std::fprintf(stderr, "varn-unit: cannot read %s: %s\n", opt.memoryFile.c_str(),
                         std::strerror(errno));
            std::exit(1);
        }
        size_t got = std::fread(memory.data(), 1, memory.size(), f);
        (void)got;
        std::fclose(f);
    }

    void logFrame(const uint8_t* bytes, size_t length) {
        if (!log)
            return;
        for (size_t i = 0; i < length; ++i)
            std::fprintf(log, i ? " %02X" : "%02X", bytes[i]);
        std::fputc('\n', log);
        std::fflush(log);
    }

    void handle(const std::vector<uint8_t>& frame) {
        if (frame.size() == wire::CommandLength)
            command(frame[0]);
        else if (frame.size() == wire::AddressLength)
            readBlock(frame);
        else if (frame.size() == wire::BlockLength)
            programBlock(frame);
        // Anything else is not part of the protocol and is ignored.
    }

    void command(uint8_t letter) {
        switch (letter) {
        case wire::Identify: {
            std::vector<uint8_t> reply = {wire::Identify};
            reply.insert(reply.end(), opt.name.begin(), opt.name.end());
            reply.push_back(' ');
            reply.insert(reply.end(), opt.version.begin(), opt.version.end());
            if (!opt.identity.empty())
                reply.assign(opt.identity.begin(), opt.identity.end());
            answer(reply);
            break;
        }
        case wire::Run:
        case wire::Reset:
        case wire::Prepare:
        case wire::Write:
            break; // nothing a host could observe changes
        case wire::Read:
            break; // the address frame follows
        case wire::Erase:
            std::fill(memory.begin(), memory.end(), 0xFF);
            locked = false;
            break;
        case wire::Lock:
            locked = true;
            break;
        default:
            if (letter >= wire::DeviceSelectBase) {
                int code = letter - wire::DeviceSelectBase;
                auto it = deviceSizes.find(code);
                deviceSize = MemoryLimit;
                if (it != deviceSizes.end() && it->second > 0 && it->second < MemoryLimit)
                    deviceSize = it->second;
            }
            break;
        }
    }

    void readBlock(const std::vector<uint8_t>& frame) {
        int address = frame[0] * 256 + frame[1];
        std::vector<uint8_t> reply(ReadReplyLength);
        reply[0] = static_cast<uint8_t>(opt.countByte);
        for (int i = 0; i < wire::BlockBytes; ++i) {
            int a = address + i;
            reply[1 + i] = locked ? 0x00 : (a < deviceSize ? memory[a] : 0xFF);
        }
        answer(reply);
    }

    void programBlock(const std::vector<uint8_t>& frame) {
        int address = frame[0] * 256 + frame[1];
        if (!locked) {
            for (int i = 0; i < wire::BlockBytes; ++i) {
                int a = address + i;
                if (a < deviceSize)
                    memory[a] &=
                        frame[wire::BlockHeaderBytes - 1 + i]; // programming only clears bits
            }
        }
        sleepMs(opt.programDelayMs);
        answer({opt.ack});
    }

    void answer(std::vector<uint8_t> reply) {
        ++replies;
        if (opt.noAnswer == replies)
            return;
        if (opt.lateIndex == 0 || opt.lateIndex == replies)
            sleepMs(opt.lateMs);
        if (opt.jitterMs > 0)
            sleepMs(static_cast<int>(random() % (opt.jitterMs + 1)));
        if (opt.garbageBytes > 0 && (opt.garbageIndex == 0 || opt.garbageIndex == replies))
            reply.insert(reply.begin(), static_cast<size_t>(opt.garbageBytes), 0xA5);
        const bool trailing = opt.extraByte && opt.extraByteDelayMs > 0;
        if (opt.extraByte && !trailing)
            reply.push_back(0xEE);
        if (opt.pieceBytes > 0) {
            for (size_t from = 0; from < reply.size();
                 from += static_cast<size_t>(opt.pieceBytes)) {
                if (from > 0)
                    sleepMs(opt.pieceGapMs);
                const size_t to =
                    std::min(reply.size(), from + static_cast<size_t>(opt.pieceBytes));
                send(std::vector<uint8_t>(reply.begin() + static_cast<long>(from),
                                          reply.begin() + static_cast<long>(to)));
            }
        } else {
            send(reply);
        }
        if (trailing) {
            // Well after the reply: by then the host has taken the reply and
            // may have sent its next request, which waits its turn behind
            // the stray byte, as a slow unit's firmware would make it.
            sleepMs(opt.extraByteDelayMs);
            send({0xEE});
        }
    }

    void send(const std::vector<uint8_t>& reply) {
        if (!opt.baudEmulation) {
            writeAll(reply.data(), reply.size());
            return;
        }
        // Pace byte by byte on absolute deadlines from the reply's start so
        // that the line rate holds however long each write takes.
        timespec start = now();
        for (size_t i = 0; i < reply.size(); ++i) {
            sleepUntil(addNs(start, static_cast<long long>(i + 1) * ByteTimeNs));
            writeAll(&reply[i], 1);
        }
    }

    void writeAll(const uint8_t* data, size_t length) {
        while (length > 0) {
            ssize_t n = ::write(fd, data, length);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN) {
                    pollfd p{fd, POLLOUT, 0};
                    poll(&p, 1, 10);
                    continue;
                }
                return; // nobody listens; the reply is lost like on a real line
            }
            data += n;
            length -= static_cast<size_t>(n);
        }
    }

    const Options& opt;
    int fd;
    std::vector<uint8_t> memory;
    std::map<int, int> deviceSizes;
    int deviceSize = MemoryLimit;
    std::vector<uint8_t> input;
    std::vector<timespec> arrivedAt;
    timespec rxClock{};
    FILE* log = nullptr;
    int requests = 0;
    int replies = 0;
    bool locked = false;
};

void makeRaw(int fd) {
    termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B57600);
        cfsetospeed(&t, B57600);
        tcsetattr(fd, TCSANOW, &t);
    }
}

// Where a symbolic link points; empty when it is none (any more).
std::string linkTarget(const std::string& path) {
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

} // namespace

int main(int argc, char** argv) {
    Options opt = parseOptions(argc, argv);

    int master = -1, slave = -1;
    char slaveName[256] = {};
    if (openpty(&master, &slave, slaveName, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "varn-unit: openpty: %s\n", std::strerror(errno));
        return 1;
    }
    makeRaw(master);
    makeRaw(slave);
    // The unit keeps its own handle on the line's far end open, so that the
    // host may close and reopen the port while the unit keeps running.
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    bool linked = false;
    if (!opt.linkPath.empty()) {
        struct stat st;
        if (lstat(opt.linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            unlink(opt.linkPath.c_str());
        if (symlink(slaveName, opt.linkPath.c_str()) != 0) {
            std::fprintf(stderr, "varn-unit: cannot link %s: %s\n", opt.linkPath.c_str(),
                         std::strerror(errno));
            return 1;
        }
        linked = true;
    }

    Unit unit(opt, master);
    std::printf("%s\n", slaveName);
    std::fflush(stdout);

    uint8_t chunk[4096];
    while (!stopRequested) {
        pollfd p{master, POLLIN, 0};
        int r = poll(&p, 1, 500);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (r == 0)
            continue;
        if (p.revents & POLLIN) {
            ssize_t n = ::read(master, chunk, sizeof chunk);
            if (n > 0) {
                if (!unit.received(chunk, static_cast<size_t>(n)))
                    break;
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
        }
        // The far end is closed (EIO / hang-up): wait for the host to reopen.
        usleep(20000);
    }

    unit.saveMemory();
    // A unit started later with the same --link has replaced it; that link
    // is the other unit's to remove.
    if (linked && linkTarget(opt.linkPath) == slaveName)
        unlink(opt.linkPath.c_str());
    close(master);
    close(slave);
    return 0;
}
