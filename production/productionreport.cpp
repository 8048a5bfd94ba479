#include "productionreport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace varn {

namespace {

QString percent(double value) {
    return QString::number(value, 'f', 2);
}

QString timeText(const QDateTime& time) {
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QString csvField(QString text) {
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    return QLatin1Char('"') + text.replace(QLatin1Char('"'), QStringLiteral("\"\"")) +
           QLatin1Char('"');
}

// The figures in one order for every form: name, value.
QList<QPair<QString, QString>> figures(const ProductionReport& r) {
    return {{QStringLiteral("records"), QString::number(r.records)},
            {QStringLiteral("chips"), QString::number(r.chips)},
            {QStringLiteral("passed"), QString::number(r.passed)},
            {QStringLiteral("failed"), QString::number(r.failed())},
            {QStringLiteral("interrupted"), QString::number(r.interrupted)},
            {QStringLiteral("refused"), QString::number(r.refused)},
            {QStringLiteral("first_pass_yield_percent"), percent(r.firstPassYield())},
            {QStringLiteral("chips_per_hour"), QString::number(r.chipsPerHour(), 'f', 1)},
            {QStringLiteral("first"), timeText(r.first)},
            {QStringLiteral("last"), timeText(r.last)}};
}

struct Breakdown {
    const char* name;
    const char* title;
    const QList<QPair<QString, qint64>> ProductionReport::*counts;
};
const Breakdown Breakdowns[] = {
    {"failures_by_kind", "Failures by kind", &ProductionReport::byKind},
    {"failures_by_step", "Failures by step", &ProductionReport::byStep},
    {"failures_by_address", "Mismatches by first wrong address", &ProductionReport::byAddress},
    {"chips_by_hour", "Chips by hour started (UTC)", &ProductionReport::chipsByHour},
    {"passed_by_hour", "Passed by hour started (UTC)", &ProductionReport::passedByHour},
};

} // namespace

double ProductionReport::chipsPerHour() const {
    const qint64 ms = first.isValid() && last.isValid() ? first.msecsTo(last) : 0;
    return ms >= 1000 ? double(chips) * 3600000.0 / double(ms) : 0.0;
}

QStringList ReportLines(const ProductionReport& r) {
    QStringList lines;
    QStringList scope;
    const ReportFilter& f = r.filter;
    for (const auto& [name, value] : {QPair<QString, QString>{QStringLiteral("lot"), f.lot},
                                      {QStringLiteral("station"), f.station},
                                      {QStringLiteral("operator"), f.operatorName},
                                      {QStringLiteral("unit"), f.port},
                                      {QStringLiteral("from"), timeText(f.from)},
                                      {QStringLiteral("to"), timeText(f.to)}})
        if (!value.isEmpty())
            scope.append(name + QLatin1Char(' ') + value);
    lines.append(QStringLiteral("Report of %1")
                     .arg(scope.isEmpty() ? QStringLiteral("every record")
                                          : scope.join(QStringLiteral(", "))));
    lines.append(QStringLiteral("Chips:             %1 (%2 passed, %3 failed, %4 interrupted)")
                     .arg(r.chips)
                     .arg(r.passed)
                     .arg(r.failed())
                     .arg(r.interrupted));
    lines.append(QStringLiteral("First-pass yield:  %1 %").arg(percent(r.firstPassYield())));
    lines.append(QStringLiteral("Refused runs:      %1 (nothing sent)").arg(r.refused));
    if (r.first.isValid())
        lines.append(QStringLiteral("Chips per hour:    %1 (%2 to %3)")
                         .arg(QString::number(r.chipsPerHour(), 'f', 1), timeText(r.first),
                              timeText(r.last)));
    for (const Breakdown& b : Breakdowns) {
        const auto& counts = r.*b.counts;
        if (counts.isEmpty())
            continue;
        lines.append(QLatin1String(b.title) + QLatin1Char(':'));
        for (const auto& [key, count] : counts)
            lines.append(QStringLiteral("  %1  %2").arg(key, -16).arg(count, 8));
    }
    return lines;
}

QByteArray ReportCsv(const ProductionReport& r) {
    QString csv = QStringLiteral("figure,key,value\r\n");
    for (const auto& [name, value] : figures(r))
        csv += QStringLiteral("%1,,%2\r\n").arg(name, csvField(value));
    for (const Breakdown& b : Breakdowns)
        for (const auto& [key, count] : r.*b.counts)
            csv +=
                QStringLiteral("%1,%2,%3\r\n").arg(QLatin1String(b.name), csvField(key)).arg(count);
    return csv.toUtf8();
}

QByteArray ReportJson(const ProductionReport& r) {
    QJsonObject object;
    for (const auto& [name, value] : figures(r)) {
        bool whole = false;
        const qint64 number = value.toLongLong(&whole);
        object.insert(name, whole ? QJsonValue(number)
                            : value.isEmpty() || name == QLatin1String("first") ||
                                    name == QLatin1String("last")
                                ? QJsonValue(value)
                                : QJsonValue(value.toDouble()));
    }
    for (const Breakdown& b : Breakdowns) {
        QJsonArray list;
        for (const auto& [key, count] : r.*b.counts)
            list.append(
                QJsonObject{{QStringLiteral("key"), key}, {QStringLiteral("count"), count}});
        object.insert(QLatin1String(b.name), list);
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace varn
