#include "multiunit.h"

#include "cliconsole.h"
#include "cliprogrammer.h"
#include "exitstatus.h"

#include <QElapsedTimer>
#include <memory>
#include <thread>
#include <vector>

namespace varn {

namespace {

int Severity(int status) {
    switch (status) {
    case ExitOk:
        return 0;
    case ExitMismatch:
        return 1;
    case ExitCommunication:
        return 2;
    case ExitFile:
        return 4;
    case ExitLog:
        return 5;
    case ExitUsage:
        return 6;
    default:
        return 3;
    }
}

QString StatusWord(int status) {
    switch (status) {
    case ExitOk:
        return QStringLiteral("PASS");
    case ExitMismatch:
        return QStringLiteral("MISMATCH");
    case ExitCommunication:
        return QStringLiteral("NO-UNIT");
    case ExitFile:
        return QStringLiteral("FILE");
    case ExitUsage:
        return QStringLiteral("USAGE");
    case ExitLog:
        return QStringLiteral("LOG");
    default:
        return QStringLiteral("FAIL %1").arg(status);
    }
}

// One unit's whole command line. Everything it touches is its own: the copy
// of the start-up state (buffer, device table), the console, the link and the
// engine, all created on the unit's thread so that the port's notifiers and
// the waits' event loops belong to it. A plain thread: its start and join are
// what ThreadSanitizer sees of the hand-over, where QThread's own waiting is
// hidden inside Qt.
UnitOutcome RunUnit(const AppState& base, CliOptions options, const QString& port, bool prefixed) {
    UnitOutcome outcome;
    outcome.port = port;
    options.ports = QStringList{port};
    if (IsPortNumber(port)) {
        options.portNumber = port.toInt();
        options.portPath.clear();
    } else {
        options.portNumber.reset();
        options.portPath = port;
    }
    QElapsedTimer clock;
    clock.start();
    auto state = std::make_unique<AppState>(base);
    CliConsole console(options.quiet, false);
    if (prefixed)
        console.setPrefix(PortLabel(port) + QStringLiteral(": "));
    {
        CliProgrammer programmer(*state, options, console);
        outcome.status = programmer.applyOverrides();
        if (outcome.status == ExitOk)
            outcome.status = programmer.run();
        if (const qint64 serial = programmer.serialNumber(); serial >= 0)
            outcome.serial = QString::number(serial);
    }
    if (outcome.status != ExitOk)
        outcome.detail = console.lastError();
    outcome.elapsedMs = clock.elapsed();
    return outcome;
}

struct Tally {
    int chips = 0;
    int passed = 0;
};

QString Yield(const Tally& t) {
    const double percent = t.chips ? 100.0 * t.passed / t.chips : 0.0;
    return QStringLiteral("%1 chips, %2 passed, %3 failed, yield %4 %")
        .arg(t.chips)
        .arg(t.passed)
        .arg(t.chips - t.passed)
        .arg(percent, 0, 'f', 1);
}

// Enter (an empty line or anything else) continues; "q" or the end of the
// input ends.
bool NextRound(std::FILE* input) {
    char line[256];
    if (!std::fgets(line, sizeof line, input))
        return false;
    const QString answer = QString::fromLocal8Bit(line).trimmed();
    return answer.compare(QLatin1String("q"), Qt::CaseInsensitive) != 0;
}

} // namespace

int MostSevere(int a, int b) {
    return Severity(b) > Severity(a) ? b : a;
}

QString PortLabel(const QString& port) {
    return IsPortNumber(port) ? QStringLiteral("COM") + port : port;
}

QList<UnitOutcome> RunUnitsOnce(const AppState& base, const CliOptions& options) {
    const bool prefixed = options.ports.size() > 1;
    // Each thread writes its own element and nothing else; the list is put
    // together after every thread has been joined.
    std::vector<UnitOutcome> outcomes(size_t(options.ports.size()));
    std::vector<std::thread> threads;
    for (size_t i = 0; i < outcomes.size(); ++i) {
        const QString port = options.ports.at(qsizetype(i));
        threads.emplace_back([&outcomes, &base, &options, port, prefixed, i] {
            outcomes[i] = RunUnit(base, options, port, prefixed);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    return QList<UnitOutcome>(outcomes.begin(), outcomes.end());
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

int RunSeveralUnits(const AppState& base, const CliOptions& given, CliConsole& console,
                    std::FILE* input) {
    CliOptions options = given;
    if (options.ports.isEmpty()) // --repeat on the port of varn.cfg
        options.ports = QStringList{QString::number(base.PortNumber)};
    int worst = ExitOk;
    Tally total;
    for (;;) {
        const QList<UnitOutcome> outcomes = RunUnitsOnce(base, options);
        for (const UnitOutcome& o : outcomes) {
            worst = MostSevere(worst, o.status);
            ++total.chips;
            total.passed += o.status == ExitOk ? 1 : 0;
        }
        console.result(SummaryTable(outcomes));
        if (!options.repeat)
            break;
        // A unit that failed or was unplugged is opened afresh for the next
        // chip, so a technician can mend it without starting over.
        console.error(
            QStringLiteral("%1. Next chip%2: Enter continues, q ends.")
                .arg(Yield(total), options.ports.size() > 1 ? QStringLiteral("s") : QString()));
        if (!NextRound(input))
            break;
    }
    if (options.repeat)
        console.result(QStringLiteral("Total: ") + Yield(total));
    return worst;
}

} // namespace varn
