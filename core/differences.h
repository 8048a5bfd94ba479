#pragma once

#include "appstate.h"

#include <QString>
#include <QStringList>
#include <bitset>
#include <vector>

namespace varn {

// Differing bytes closer than this merge into one range, so that a bad page
// whose bytes happen to match here and there still reads as one range.
inline constexpr qint32 DifferenceMergeGap = 16;
// How many bytes of each range a report shows as buffer/other pairs.
inline constexpr int DifferenceSampleBytes = 8;

struct DifferenceRange {
    qint32 first = 0; // first differing address
    qint32 last = 0;  // last differing address
    qint32 count = 0; // differing bytes inside the range
    // The range's first bytes (at most DifferenceSampleBytes, never past last).
    QByteArray buffer;
    QByteArray other;
};

struct DifferenceReport {
    qint64 count = 0; // differing bytes in all
    std::vector<DifferenceRange> ranges;
    bool empty() const { return count == 0; }
};

// Compares buffer[0 .. size-1] with other[0 .. size-1]. With `only`, bytes
// outside the set are not compared (as if they matched).
DifferenceReport CompareImages(const quint8* buffer, const quint8* other, qint32 size,
                               const std::bitset<BufferSize>* only = nullptr);

// "0200-0203  4 bytes  12/00 34/00 56/00 78/00": the range, its count and its
// first bytes as buffer/other pairs.
QString DifferenceLine(const DifferenceRange& range);
// "3 bytes differ in 3 ranges." or "No differences."
QString DifferenceSummary(const DifferenceReport& report);
// At most maxLines range lines, then "... and N more ranges", then the summary.
QStringList DifferenceLines(const DifferenceReport& report, int maxLines);

} // namespace varn
