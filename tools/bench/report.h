#pragma once

#include "core/status.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

namespace varn::bench {

double Median(std::vector<double> values);
double Minimum(const std::vector<double>& values);
double Maximum(const std::vector<double>& values);

// "41.2 us" / "17.07 s": a duration in nanoseconds in a readable unit.
QString Duration(double ns);
// A median with its spread when there was more than one run:
// "41.2 us (39.8 .. 44.0, 5 runs)".
QString DurationSpread(const std::vector<double>& ns);
// Times runs calls of once into ns; the first failure ends them and is
// returned.
Status TimeRuns(int runs, const std::function<Status()>& once, std::vector<double>* ns);
QString Ratio(double value);
QString Percent(double fraction);

// The printed table: one row per figure, with its target and verdict.
class Table {
public:
    void section(const QString& title);
    // A figure without a target of its own (a floor, a reference).
    void info(const QString& figure, const QString& measured, const QString& note = {});
    // A figure with a target; pass decides PASS or MISS.
    void target(const QString& figure, const QString& measured, const QString& target, bool pass);
    // A figure that could not be measured.
    void failed(const QString& figure, const QString& why);

    QString text() const;
    int misses() const { return missCount; }
    int failures() const { return failureCount; }

private:
    struct Row {
        bool isSection = false;
        QString figure, measured, target, result;
    };
    std::vector<Row> tableRows;
    int missCount = 0;
    int failureCount = 0;
};

} // namespace varn::bench
