#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace varn {

// Which records a report covers; an empty field or invalid time does not
// narrow it.
struct ReportFilter {
    QDateTime from, to; // from <= recorded_at < to
    QString lot;
    QString station;
    QString operatorName;
    QString port; // the unit, as the records name its port ("COM1", "/dev/ttyUSB0")
    // "pass", "fail" or "interrupted" (ChipRecord::resultText()).
    QString outcome = QString();
};

// What a line asks of its log: how many chips, how many passed, what failed
// where. Computed by the database (aggregates), never by reading every row.
struct ProductionReport {
    ReportFilter filter;
    qint64 records = 0; // every record the filter takes
    qint64 refused = 0; // refused before anything was sent: no chip touched
    qint64 chips = 0;   // records - refused: chips that received something
    qint64 passed = 0;
    qint64 interrupted = 0; // opened and never closed (a crash, kill -9, a power cut)
    qint64 failed() const { return chips - passed - interrupted; }
    // Every record is one attempt: the log cannot tell a chip tried again
    // from a new one, so this is the yield of first attempts.
    double firstPassYield() const { return chips ? 100.0 * double(passed) / double(chips) : 0.0; }
    QDateTime first, last; // the first start and the last end among the chips
    // Chips per hour between first and last; 0 when they are less than a
    // second apart.
    double chipsPerHour() const;
    // Failed chips by kind (mismatch, blank, line, stopped), by the step that
    // failed, and by the first wrong address of a mismatch (the most frequent
    // TopAddresses), each most frequent first.
    static constexpr int TopAddresses = 10;
    QList<QPair<QString, qint64>> byKind, byStep, byAddress;
    // Chips, and those that passed, by the hour they were started in (UTC,
    // "2026-12-06T10"), oldest first: the yield over time.
    QList<QPair<QString, qint64>> chipsByHour, passedByHour;
};

// The report for a person (aligned lines), for a spreadsheet (CSV: figure,
// key, value; CR LF), or as one JSON object.
QStringList ReportLines(const ProductionReport& report);
QByteArray ReportCsv(const ProductionReport& report);
QByteArray ReportJson(const ProductionReport& report);

} // namespace varn
