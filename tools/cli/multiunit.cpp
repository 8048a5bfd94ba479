#include "multiunit.h"

#include "cliconsole.h"
#include "cliprogrammer.h"
#include "exitstatus.h"

#include "jsonevents.h"
#include "session/operatorboard.h"
#include "session/sessionhost.h"
#include "session/unitgroup.h"
#include "stopsignal.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <cerrno>
#include <memory>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
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

// One unit's command line, round after round, on the unit's thread (its
// session host's): its own copy of the start-up state (buffer, device
// table), console and programmer, made there on the first round and let go
// there at the end. The session is the host's and outlives the rounds, so
// the unit is identified once, not for every chip.
class UnitRun {
public:
    UnitRun(const CliOptions& given, const QString& port, bool prefixed)
        : options(given), port(port), prefixed(prefixed) {
        options.ports = QStringList{port};
        if (IsPortNumber(port)) {
            options.portNumber = port.toInt();
            options.portPath.clear();
        } else {
            options.portNumber.reset();
            options.portPath = port;
        }
    }

    void round(const AppState& base, SessionHost& host, ProgrammingSession& session) {
        if (!programmer) {
            state = std::make_unique<AppState>(base);
            console = std::make_unique<CliConsole>(options.quiet, false);
            console->setTextToStandardError(options.json);
            if (prefixed)
                console->setPrefix(PortLabel(port) + QStringLiteral(": "));
            programmer = std::make_unique<CliProgrammer>(*state, options, *console, &session);
            host.setThreadObserver(programmer.get());
            overridden = programmer->applyOverrides();
            start = std::make_unique<AppState>(*state);
        }
        UnitOutcome result;
        result.port = port;
        QElapsedTimer clock;
        clock.start();
        console->forgetLastError();
        // Every round starts from the start-up buffer, as a new command would.
        *state = *start;
        result.status = overridden != ExitOk ? overridden : programmer->run();
        if (const qint64 serial = programmer->serialNumber(); serial >= 0)
            result.serial = QString::number(serial);
        if (result.status != ExitOk)
            result.detail = console->lastError();
        result.elapsedMs = clock.elapsed();
        result.chips = programmer->counts().chips;
        result.passed = programmer->counts().passed;
        if (options.repeat && !StopSignal())
            result.nextSerial = programmer->nextSerial();
        outcome = result;
    }

    void end(SessionHost& host) {
        host.setThreadObserver(nullptr);
        programmer.reset();
    }

    // The last round's, read once every unit is done.
    UnitOutcome outcome;

private:
    CliOptions options;
    QString port;
    bool prefixed;
    std::unique_ptr<AppState> state;
    std::unique_ptr<AppState> start;
    std::unique_ptr<CliConsole> console;
    std::unique_ptr<CliProgrammer> programmer;
    int overridden = ExitOk;
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
    std::vector<std::unique_ptr<UnitRun>> units;
    for (const QString& port : options.ports)
        units.push_back(std::make_unique<UnitRun>(options, port, prefixed));
    std::unique_ptr<UnitGroup> group;
    {
        const StopSignalsBlocked kept;
        LinkOptions link;
        link.netLatencyMs = options.netLatencyMs;
        group = std::make_unique<UnitGroup>(base, options.ports, link);
    }
    // Every unit at once; this thread only waits for them.
    const auto everyUnit = [&group](const UnitGroup::UnitTask& task) {
        QEventLoop wait;
        QObject::connect(group.get(), &UnitGroup::idle, &wait, &QEventLoop::quit);
        if (group->each(task))
            wait.exec();
    };
    int worst = ExitOk;
    int chips = 0;
    int passed = 0;
    QList<UnitOutcome> outcomes;
    for (;;) {
        everyUnit([&units, &base](int unit, SessionHost& host, ProgrammingSession& session) {
            units[size_t(unit)]->round(base, host, session);
        });
        outcomes.clear();
        chips = passed = 0;
        qint64 nextSerial = -1;
        for (const auto& run : units) {
            outcomes.append(run->outcome);
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
    // Each unit's programmer, then its session, is let go on its own thread.
    everyUnit([&units](int unit, SessionHost& host, ProgrammingSession&) {
        units[size_t(unit)]->end(host);
    });
    group.reset();
    if (options.repeat)
        console.result(QStringLiteral("Total: ") + YieldText(SessionCounts{chips, passed, 0}));
    const int status = StopSignal() ? StopExitStatus() : worst;
    if (options.json)
        JsonEvents::summary(outcomes, status, chips, passed);
    return status;
}

} // namespace varn
