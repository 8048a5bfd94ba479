#include "report.h"

#include <QElapsedTimer>

#include <algorithm>

namespace varn::bench {

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double Minimum(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

double Maximum(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

namespace {

QString Number(double value) {
    // Three significant digits are plenty for timings on a shared machine.
    if (value >= 100)
        return QString::number(value, 'f', 0);
    if (value >= 10)
        return QString::number(value, 'f', 1);
    return QString::number(value, 'f', 2);
}

QString Plain(double ns) {
    if (ns >= 1e9)
        return QString::number(ns / 1e9, 'f', 3);
    if (ns >= 1e6)
        return Number(ns / 1e6);
    if (ns >= 1e3)
        return Number(ns / 1e3);
    return Number(ns);
}

QString UnitOf(double ns) {
    if (ns >= 1e9)
        return QStringLiteral("s");
    if (ns >= 1e6)
        return QStringLiteral("ms");
    if (ns >= 1e3)
        return QStringLiteral("us");
    return QStringLiteral("ns");
}

} // namespace

QString Duration(double ns) {
    return Plain(ns) + QLatin1Char(' ') + UnitOf(ns);
}

QString DurationSpread(const std::vector<double>& ns) {
    const double median = Median(ns);
    if (ns.size() < 2)
        return Duration(median);
    // The spread in the median's unit, so the three numbers read together.
    const double scale = median >= 1e9 ? 1e9 : median >= 1e6 ? 1e6 : median >= 1e3 ? 1e3 : 1;
    auto inUnit = [scale](double v) {
        return scale == 1e9 ? QString::number(v / scale, 'f', 3) : Number(v / scale);
    };
    return QStringLiteral("%1 (%2 .. %3, %4 runs)")
        .arg(Duration(median), inUnit(Minimum(ns)), inUnit(Maximum(ns)))
        .arg(ns.size());
}

Status TimeRuns(int runs, const std::function<Status()>& once, std::vector<double>* ns) {
    ns->clear();
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        if (const Status done = once(); !done)
            return done;
        ns->push_back(double(timer.nsecsElapsed()));
    }
    return Status::Ok();
}

QString Ratio(double value) {
    return QString::number(value, 'f', 3) + QStringLiteral(" x");
}

QString Percent(double fraction) {
    return QString::number(fraction * 100, 'f', 2) + QStringLiteral(" %");
}

void Table::section(const QString& title) {
    tableRows.push_back({true, title, {}, {}, {}});
}

void Table::info(const QString& figure, const QString& measured, const QString& note) {
    tableRows.push_back({false, figure, measured, note, {}});
}

void Table::target(const QString& figure, const QString& measured, const QString& target,
                   bool pass) {
    tableRows.push_back(
        {false, figure, measured, target, pass ? QStringLiteral("PASS") : QStringLiteral("MISS")});
    if (!pass)
        ++missCount;
}

void Table::failed(const QString& figure, const QString& why) {
    tableRows.push_back(
        {false, figure, QStringLiteral("not measured"), why, QStringLiteral("FAIL")});
    ++failureCount;
}

QString Table::text() const {
    qsizetype w0 = 6, w1 = 8, w2 = 6;
    for (const Row& r : tableRows) {
        if (r.isSection)
            continue;
        w0 = std::max(w0, r.figure.size());
        w1 = std::max(w1, r.measured.size());
        w2 = std::max(w2, r.target.size());
    }
    auto line = [&](const QString& a, const QString& b, const QString& c, const QString& d) {
        return QStringLiteral("| %1 | %2 | %3 | %4 |\n")
            .arg(a, -int(w0))
            .arg(b, -int(w1))
            .arg(c, -int(w2))
            .arg(d, -6);
    };
    QString out = line(QStringLiteral("Figure"), QStringLiteral("Measured"),
                       QStringLiteral("Target"), QStringLiteral("Result"));
    out += line(QString(w0, QLatin1Char('-')), QString(w1, QLatin1Char('-')),
                QString(w2, QLatin1Char('-')), QString(6, QLatin1Char('-')));
    for (const Row& r : tableRows) {
        if (r.isSection)
            out += line(QStringLiteral("**") + r.figure + QStringLiteral("**"), {}, {}, {});
        else
            out += line(r.figure, r.measured, r.target, r.result);
    }
    return out;
}

} // namespace varn::bench
