#include "differences.h"

#include "hextext.h"

#include <algorithm>

namespace varn {

DifferenceReport CompareImages(const quint8* buffer, const quint8* other, qint32 size,
                               const std::bitset<BufferSize>* only) {
    DifferenceReport report;
    size = std::clamp<qint32>(size, 0, BufferSize);
    DifferenceRange* open = nullptr;
    for (qint32 a = 0; a < size; ++a) {
        if (buffer[a] == other[a] || (only && !only->test(static_cast<size_t>(a))))
            continue;
        ++report.count;
        if (open && a - open->last < DifferenceMergeGap) {
            open->last = a;
            ++open->count;
            continue;
        }
        report.ranges.push_back({a, a, 1, {}, {}});
        open = &report.ranges.back();
    }
    for (DifferenceRange& range : report.ranges) {
        const qint32 shown = std::min<qint32>(range.last - range.first + 1, DifferenceSampleBytes);
        range.buffer = QByteArray(reinterpret_cast<const char*>(buffer + range.first), shown);
        range.other = QByteArray(reinterpret_cast<const char*>(other + range.first), shown);
    }
    return report;
}

QString DifferenceLine(const DifferenceRange& range) {
    QString line = range.first == range.last
                       ? HexWord(range.first)
                       : HexWord(range.first) + QLatin1Char('-') + HexWord(range.last);
    line += QStringLiteral("  %1 %2 ")
                .arg(range.count)
                .arg(range.count == 1 ? QStringLiteral("byte ") : QStringLiteral("bytes"));
    for (qsizetype i = 0; i < range.buffer.size(); ++i) {
        line += QLatin1Char(' ') + HexByte(quint8(range.buffer[i])) + QLatin1Char('/') +
                HexByte(quint8(range.other[i]));
    }
    return line;
}

QString DifferenceSummary(const DifferenceReport& report) {
    if (report.empty())
        return QStringLiteral("No differences.");
    const qsizetype ranges = qsizetype(report.ranges.size());
    return QStringLiteral("%1 %2 in %3 %4.")
        .arg(report.count)
        .arg(report.count == 1 ? QStringLiteral("byte differs") : QStringLiteral("bytes differ"))
        .arg(ranges)
        .arg(ranges == 1 ? QStringLiteral("range") : QStringLiteral("ranges"));
}

QStringList DifferenceLines(const DifferenceReport& report, int maxLines) {
    QStringList lines;
    const qsizetype ranges = qsizetype(report.ranges.size());
    const qsizetype shown = std::min<qsizetype>(ranges, std::max(maxLines, 0));
    for (qsizetype i = 0; i < shown; ++i)
        lines << DifferenceLine(report.ranges[size_t(i)]);
    if (ranges > shown)
        lines << QStringLiteral("... and %1 more ranges").arg(ranges - shown);
    lines << DifferenceSummary(report);
    return lines;
}

} // namespace varn
