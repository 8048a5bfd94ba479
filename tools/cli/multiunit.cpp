#include "multiunit.h"

#include "cliconsole.h"
#include "cliprogrammer.h"
#include "exitstatus.h"

#include "jsonevents.h"
#include "session/operatorboard.h"
#include "stopsignal.h"

#include <QElapsedTimer>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace varn {

namespace {

int Rank(int status) {
    const ExitStatusRow* row = ExitStatusRowOf(status);
    return row ? row->rank : UnknownStatusRank;
}

QString StatusWord(int status) {
    if (const ExitStatusRow* row = ExitStatusRowOf(status); row && row->word)
        return QLatin1String(row->word);
    return QStringLiteral("FAIL %1").arg(status);
}

// One unit's command lines, round after round, on a thread of its own.
// Everything it touches is its own: the copy of the start-up state (buffer,
// device table), the console, and the programming session with its link and
// engine, all created on the unit's thread so that the port's notifiers and
// the waits' event loops belong to it. The session lives as long as the
// worker, so the unit is identified once, not for every chip.
class UnitWorker {
public:
    UnitWorker(const AppState& base, const CliOptions& options, const QString& port, bool prefixed)
        : base(base), options(options), port(port), prefixed(prefixed) {
        this->options.ports = QStringList{port};
        if (IsPortNumber(port)) {
            this->options.portNumber = port.toInt();
            this->options.portPath.clear();
        } else {
            this->options.portNumber.reset();
            this->options.portPath = port;
        }
        thread = std::thread([this] { work(); });
    }
    ~UnitWorker() { finish(); }
    UnitWorker(const UnitWorker&) = delete;
    UnitWorker& operator=(const UnitWorker&) = delete;

    void startRound() {
        const std::lock_guard<std::mutex> lock(mutex);
        ++roundsAsked;
        changed.notify_all();
    }
    UnitOutcome waitRound() {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return roundsDone == roundsAsked; });
        return outcome;
    }
    // Ends the thread (after a round it was asked for); the session is let go
    // there.
    void finish() {
        if (!thread.joinable())
            return;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            quitting = true;
            changed.notify_all();
        }
        thread.join();
    }

private:
    void work() {
        // Ctrl+C is handled on the main thread: it only stops the sessions.
        BlockStopSignalsInThisThread();
        auto state = std::make_unique<AppState>(base);
        CliConsole console(options.quiet, false);
        console.setTextToStandardError(options.json);
        if (prefixed)
            console.setPrefix(PortLabel(port) + QStringLiteral(": "));
        CliProgrammer programmer(*state, options, console);
        const int overridden = programmer.applyOverrides();
        const auto start = std::make_unique<AppState>(*state);
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [this] { return roundsAsked > roundsDone || quitting; });
                if (roundsAsked == roundsDone)
                    return;
            }
            UnitOutcome result;
            result.port = port;
            QElapsedTimer clock;
            clock.start();
            console.forgetLastError();
            // Every round starts from the start-up buffer, as a new command would.
            *state = *start;
            result.status = overridden != ExitOk ? overridden : programmer.run();
            if (const qint64 serial = programmer.serialNumber(); serial >= 0)
                result.serial = QString::number(serial);
            if (result.status != ExitOk)
                result.detail = console.lastError();
            result.elapsedMs = clock.elapsed();
            result.chips = programmer.counts().chips;
            result.passed = programmer.counts().passed;
            if (options.repeat && !StopSignal())
                result.nextSerial = programmer.nextSerial();
            const std::lock_guard<std::mutex> lock(mutex);
            outcome = result;
            ++roundsDone;
            changed.notify_all();
        }
    }

    const AppState& base;
    CliOptions options;
    QString port;
    bool prefixed;
    std::mutex mutex;
    std::condition_variable changed;
    int roundsAsked = 0;
    int roundsDone = 0;
    bool quitting = false;
    UnitOutcome outcome;
    std::thread thread;
};

// Keys pressed while the chips ran belong to no prompt: a double tap or a
// bouncing foot switch must not start a round of its own. A terminal's
// input queue is flushed; from a pipe, what is waiting is read and dropped
// without blocking. A regular file of answers is read as written.
void DropWaitingInput(int input) {
    if (isatty(input)) {
        tcflush(input, TCIFLUSH);
        return;
    }
    struct stat info = {};
    if (fstat(input, &info) != 0 || S_ISREG(info.st_mode))
        return;
    pollfd waiting = {input, POLLIN, 0};
    char dropped[256];
    while (poll(&waiting, 1, 0) > 0 && (waiting.revents & POLLIN) != 0) {
        if (read(input, dropped, sizeof dropped) <= 0)
            break;
    }
}

// Enter (an empty line or anything else) continues; "q", the end of the
// input or a stop signal ends. Read a byte at a time, so that nothing of the
// next line waits in a buffer the next DropWaitingInput cannot see.
bool NextRound(int input) {
    QByteArray line;
    for (;;) {
        char c = 0;
        const ssize_t got = read(input, &c, 1);
        if (got < 0 && errno == EINTR && !StopSignal())
            continue;
        if (got <= 0)
            return false;
        if (c == '\n')
            break;
        line.append(c);
    }
    const QString answer = QString::fromLocal8Bit(line).trimmed();
    return answer.compare(QLatin1String("q"), Qt::CaseInsensitive) != 0;
}

} // namespace

int MostSevere(int a, int b) {
    return Rank(b) > Rank(a) ? b : a;
}

QString SummaryTable(const QList<UnitOutcome>& outcomes) {
    qsizetype portWidth = 4;
    for (const UnitOutcome& o : outcomes)
        portWidth = std::max(portWidth, PortLabel(o.port).size());
    auto row = [&](const QString& port, const QString& result, const QString& serial,
                   const QString& time, const QString& detail) {
        return QStringLiteral("%1  %2  %3  %4  %5")
            .arg(port, -int(portWidth))
            .arg(result, -8)
            .arg(serial, -10)
            .arg(time, 8)
            .arg(detail)
            .trimmed();
    };
    QStringList lines{row(QStringLiteral("Port"), QStringLiteral("Result"),
                          QStringLiteral("Serial"), QStringLiteral("Time"), {})};
    for (const UnitOutcome& o : outcomes) {
        lines << row(PortLabel(o.port), StatusWord(o.status),
                     o.serial.isEmpty() ? QStringLiteral("-") : o.serial,
                     QStringLiteral("%1 s").arg(o.elapsedMs / 1000.0, 0, 'f', 1), o.detail);
    }
    return lines.join(QLatin1Char('\n'));
}

int RunSeveralUnits(const AppState& base, const CliOptions& given, CliConsole& console, int input) {
    CliOptions options = given;
    if (options.ports.isEmpty()) // --repeat on the port of varn.cfg
        options.ports = QStringList{QString::number(base.PortNumber)};
    const bool prefixed = options.ports.size() > 1;
    std::vector<std::unique_ptr<UnitWorker>> workers;
    for (const QString& port : options.ports)
        workers.push_back(std::make_unique<UnitWorker>(base, options, port, prefixed));
    int worst = ExitOk;
    int chips = 0;
    int passed = 0;
    QList<UnitOutcome> outcomes;
    for (;;) {
        for (const auto& worker : workers)
            worker->startRound();
        outcomes.clear();
        chips = passed = 0;
        qint64 nextSerial = -1;
        for (const auto& worker : workers) {
            outcomes.append(worker->waitRound());
            const UnitOutcome& o = outcomes.back();
            worst = MostSevere(worst, o.status);
            chips += o.chips;
            passed += o.passed;
            if (o.nextSerial >= 0 && (nextSerial < 0 || o.nextSerial < nextSerial))
                nextSerial = o.nextSerial;
        }
        console.result(SummaryTable(outcomes));
        if (!options.repeat || StopSignal())
            break;
        DropWaitingInput(input);
        const bool several = options.ports.size() > 1;
        QString serial;
        if (nextSerial >= 0)
            serial = several ? QStringLiteral(" (serials from %1)").arg(nextSerial)
                             : QStringLiteral(" (serial %1)").arg(nextSerial);
        console.error(QStringLiteral("%1. Next chip%2%3: Enter continues, q ends.")
                          .arg(YieldText(SessionCounts{chips, passed, 0}),
                               several ? QStringLiteral("s") : QString(), serial));
        if (!NextRound(input))
            break;
    }
    // Each session is let go on its own thread.
    for (const auto& worker : workers)
        worker->finish();
    if (options.repeat)
        console.result(QStringLiteral("Total: ") + YieldText(SessionCounts{chips, passed, 0}));
    const int status = StopSignal() ? StopExitStatus() : worst;
    if (options.json)
        JsonEvents::summary(outcomes, status, chips, passed);
    return status;
}

} // namespace varn
