#include "hostbench.h"

#include "functions/devicefunctions.h"
#include "functions/functiontext.h"
#include "link/openlink.h"

#include <memory>

#include <ctime>

namespace varn::bench {

namespace {

double Nanoseconds(clockid_t clock) {
    timespec t;
    clock_gettime(clock, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

// The function window draws nothing here: the figures are the link's and the
// engine's own.
class SilentObserver : public FunctionObserver {
public:
    void functionStarted(const FunctionResult&) override {}
    void functionProgress(const FunctionResult&, int) override {}
    void functionFinished(const FunctionResult&) override {}
    void refused(const QString&) override {}
};

} // namespace

struct HostBench::Private {
    AppState state;
    std::unique_ptr<PortLink> link;
    SilentObserver observer;
    std::unique_ptr<DeviceFunctions> functions;
};

HostBench::HostBench(qint32 deviceBytes) : d(new Private) {
    d->state.DeviceTable[1] = DeviceEntry{QStringLiteral("BENCH"), 1, deviceBytes};
    d->state.DeviceCount = 1;
    d->state.SelectedDevice = 1;
    d->state.UnitIdentified = true;
    // Neither blank nor uniform, so every block carries data both ways.
    quint32 seed = 0x2545F491u;
    for (int i = 0; i < deviceBytes; ++i) {
        seed = seed * 1664525u + 1013904223u;
        d->state.Buffer[i] = quint8(seed >> 24);
    }
}

HostBench::~HostBench() {
    delete d;
}

bool HostBench::open(const QString& address, QString& error) {
    OpenedLink opened = OpenLink(address, QString());
    if (!opened.status.ok) {
        error = opened.status.message;
        return false;
    }
    d->functions.reset();
    d->link = std::move(opened.link);
    d->functions = std::make_unique<DeviceFunctions>(d->state, *d->link, d->observer);
    return true;
}

void HostBench::close() {
    if (d->link)
        d->link->close();
}

QByteArray HostBench::image() const {
    const qint32 size = d->state.DeviceSize();
    return QByteArray(reinterpret_cast<const char*>(d->state.Buffer.data()), size);
}

HostRun HostBench::run(int code) {
    HostRun result;
    const double wall0 = Nanoseconds(CLOCK_MONOTONIC);
    const double cpu0 = Nanoseconds(CLOCK_PROCESS_CPUTIME_ID);
    const FunctionResult run = d->functions->RunFunction(code);
    const double cpu1 = Nanoseconds(CLOCK_PROCESS_CPUTIME_ID);
    const double wall1 = Nanoseconds(CLOCK_MONOTONIC);
    result.wallNs = wall1 - wall0;
    result.cpuNs = cpu1 - cpu0;
    result.line = ResultText(run);
    result.ok = run.succeeded();
    return result;
}

void HostBench::erase() {
    d->link->send(QByteArray("\x01"
                             "E",
                             2));
    // The unit takes the command in line order; a short pause lets it leave.
    d->link->pause(20);
}

} // namespace varn::bench
