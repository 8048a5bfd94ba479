#include "sqllog.h"

namespace varn {

namespace {

// A closed record that failed with something sent: the chips the breakdowns
// count (refusals touched no chip, interrupted ones have no end yet).
const char* const FailedChip = "result = 'fail' AND failure_kind <> 'refused'";

} // namespace

QString SqlLog::filterWhere(const ReportFilter& filter, QList<QVariant>* values) {
    QStringList conditions{QStringLiteral("1 = 1")};
    const auto narrow = [&](const char* condition, const QVariant& value) {
        conditions.append(QLatin1String(condition));
        values->append(value);
    };
    if (filter.from.isValid())
        narrow("recorded_at >= ?", filter.from.toUTC().toString(Qt::ISODateWithMs));
    if (filter.to.isValid())
        narrow("recorded_at < ?", filter.to.toUTC().toString(Qt::ISODateWithMs));
    if (!filter.lot.isEmpty())
        narrow("lot = ?", filter.lot);
    // A lot is a batch, a station works for years: with both, the lot's
    // index finds the few records, and the station (an expression, which
    // no index serves) only sorts them out. Left to itself, a planner
    // without statistics may take either, and the station's takes a quarter
    // of the log to reach an old lot.
    if (!filter.station.isEmpty())
        narrow(filter.lot.isEmpty() ? "station = ?" : "station || '' = ?", filter.station);
    if (!filter.operatorName.isEmpty())
        narrow("operator_name = ?", filter.operatorName);
    if (!filter.port.isEmpty())
        narrow("port = ?", filter.port);
    // An open record is interrupted whatever its result column says; the
    // other two words hold only once it is closed.
    if (filter.outcome == QLatin1String("interrupted"))
        conditions.append(QStringLiteral("closed_at IS NULL"));
    else if (!filter.outcome.isEmpty())
        narrow("closed_at IS NOT NULL AND result = ?", filter.outcome);
    return conditions.join(QStringLiteral(" AND "));
}

Status SqlLog::lastRecords(int count, const ReportFilter& filter, QList<ChipRecord>* out) {
    out->clear();
    QList<QVariant> values;
    const QString where = filterWhere(filter, &values);
    values.append(qMax(0, count));
    return select(QStringLiteral("WHERE %1 ORDER BY id DESC LIMIT ?").arg(where), values,
                  [out](const ChipRecord& record) {
                      out->append(record);
                      return Status::Ok();
                  });
}

Status SqlLog::unitActivity(const ReportFilter& window, const QDateTime& countFrom,
                            QList<UnitActivity>* out) {
    out->clear();
    const QString what = QStringLiteral("cannot read the units");
    if (const Status open = ensureOpen(what); !open)
        return open;
    ReportFilter times;
    times.from = window.from;
    times.to = window.to;
    QList<QVariant> values{countFrom.toUTC().toString(Qt::ISODateWithMs)};
    const QString where = filterWhere(times, &values);
    QSqlQuery query(db);
    query.setForwardOnly(true);
    // Grouped by an expression: a planner without statistics would walk the
    // whole log in the station index's order to save a sort of the day's
    // records.
    if (!sql::Exec(query,
                   QStringLiteral("SELECT station || '', port, "
                                  "SUM(CASE WHEN recorded_at >= ? THEN 1 ELSE 0 END) "
                                  "FROM chip_records WHERE %1 GROUP BY station || '', port")
                       .arg(where),
                   values))
        return failQuery(what, query);
    while (query.next())
        out->append(
            {query.value(0).toString(), query.value(1).toString(), query.value(2).toLongLong()});
    if (query.lastError().isValid())
        return failQuery(what, query);
    return Status::Ok();
}

Status SqlLog::report(const ReportFilter& filter, ProductionReport* out) {
    const QString what = QStringLiteral("cannot make the report");
    if (const Status open = ensureOpen(what); !open)
        return open;
    QList<QVariant> values;
    const QString where = filterWhere(filter, &values);

    ProductionReport report;
    report.filter = filter;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    // Times are ISO 8601 text in UTC: ordered as text as in time.
    if (!sql::Exec(query,
                   QStringLiteral("SELECT COUNT(*), "
                                  "SUM(CASE WHEN failure_kind = 'refused' THEN 1 ELSE 0 END), "
                                  "SUM(CASE WHEN result = 'pass' THEN 1 ELSE 0 END), "
                                  "SUM(CASE WHEN closed_at IS NULL THEN 1 ELSE 0 END), "
                                  "MIN(CASE WHEN failure_kind = 'refused' THEN NULL ELSE "
                                  "recorded_at END), "
                                  "MAX(CASE WHEN failure_kind = 'refused' THEN NULL ELSE "
                                  "COALESCE(closed_at, recorded_at) END) "
                                  "FROM chip_records WHERE %1")
                       .arg(where),
                   values) ||
        !query.next())
        return failQuery(what, query);
    report.records = query.value(0).toLongLong();
    report.refused = query.value(1).toLongLong();
    report.chips = report.records - report.refused;
    report.passed = query.value(2).toLongLong();
    report.interrupted = query.value(3).toLongLong();
    report.first = QDateTime::fromString(query.value(4).toString(), Qt::ISODateWithMs);
    report.last = QDateTime::fromString(query.value(5).toString(), Qt::ISODateWithMs);

    // Blank check's mismatches are blank failures; communication is the line.
    const QString kind =
        QStringLiteral("CASE WHEN failure_kind = 'mismatch' AND failed_step = 'Blank' THEN 'blank' "
                       "WHEN failure_kind = 'communication' THEN 'line' ELSE failure_kind END");
    const struct {
        QString key;
        QString only;
        QString limit;
        QList<QPair<QString, qint64>>* counts;
    } breakdowns[] = {
        {kind, QString(), QString(), &report.byKind},
        {QStringLiteral("failed_step"), QString(), QString(), &report.byStep},
        {QStringLiteral("failure_address"),
         QStringLiteral(" AND failure_kind = 'mismatch' AND failure_address IS NOT NULL"),
         QStringLiteral(" LIMIT %1").arg(ProductionReport::TopAddresses), &report.byAddress},
    };
    for (const auto& b : breakdowns) {
        if (!sql::Exec(query,
                       QStringLiteral("SELECT %1, COUNT(*) FROM chip_records WHERE %2 AND %3%4 "
                                      "GROUP BY %1 ORDER BY COUNT(*) DESC, %1%5")
                           .arg(b.key, where, QLatin1String(FailedChip), b.only, b.limit),
                       values))
            return failQuery(what, query);
        while (query.next()) {
            QString key = query.value(0).toString();
            if (b.counts == &report.byAddress)
                key = QStringLiteral("%1")
                          .arg(query.value(0).toLongLong(), 4, 16, QLatin1Char('0'))
                          .toUpper();
            b.counts->append({key, query.value(1).toLongLong()});
        }
    }
    // The hour is the first 13 characters of the ISO time ("2026-12-06T10").
    if (!sql::Exec(query,
                   QStringLiteral("SELECT SUBSTR(recorded_at, 1, 13) AS hour, COUNT(*), "
                                  "SUM(CASE WHEN result = 'pass' THEN 1 ELSE 0 END) "
                                  "FROM chip_records WHERE %1 AND "
                                  "COALESCE(failure_kind, '') <> 'refused' "
                                  "GROUP BY hour ORDER BY hour")
                       .arg(where),
                   values))
        return failQuery(what, query);
    while (query.next()) {
        const QString hour = query.value(0).toString();
        report.chipsByHour.append({hour, query.value(1).toLongLong()});
        report.passedByHour.append({hour, query.value(2).toLongLong()});
    }
    *out = report;
    return Status::Ok();
}

} // namespace varn
