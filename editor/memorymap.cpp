#include "memorymap.h"

#include "core/hextext.h"

#include <algorithm>

namespace varn {

void MemoryMap::SetDeviceSize(qint32 deviceSize) {
    size = std::clamp<qint32>(deviceSize, 0, BufferSize);
    cellCount = (size + BlockSize - 1) / BlockSize;
}

void MemoryMap::SetDifferences(const DifferenceReport& report, const QString& other) {
    differing.clear();
    for (const DifferenceRange& range : report.ranges)
        differing.push_back({range.first, range.last});
    comparedWith = report.empty() ? QString() : other;
}

void MemoryMap::SetPerChipFields(const std::vector<Range>& fields) {
    perChip = fields;
}

void MemoryMap::SetWorking(qint32 address) {
    working = address;
}

bool MemoryMap::Overlaps(const std::vector<Range>& list, qint32 first, qint32 last) const {
    return std::any_of(list.begin(), list.end(),
                       [&](const Range& r) { return r.first <= last && r.last >= first; });
}

MemoryMap::Shade MemoryMap::CellShade(const AppState& image, int cell) const {
    const qint32 first = cell * BlockSize;
    const qint32 last = std::min(first + BlockSize, size) - 1;
    if (working >= first && working <= last)
        return Shade::Working;
    if (Overlaps(differing, first, last))
        return Shade::Differs;
    if (Overlaps(perChip, first, last))
        return Shade::PerChip;
    if (image.anyDefined(first, last + 1))
        return Shade::Image;
    for (qint32 a = first; a <= last; ++a)
        if (image.Buffer[size_t(a)] != 0xFF)
            return Shade::Other;
    return Shade::Blank;
}

std::vector<MemoryMap::Shade> MemoryMap::Cells(const AppState& image) const {
    std::vector<Shade> cells;
    cells.reserve(size_t(cellCount));
    for (int cell = 0; cell < cellCount; ++cell)
        cells.push_back(CellShade(image, cell));
    return cells;
}

MemoryMap::BlockCounts MemoryMap::Counts(const AppState& image, int cell) const {
    BlockCounts counts;
    counts.first = cell * BlockSize;
    counts.last = std::min(counts.first + BlockSize, size) - 1;
    for (qint32 a = counts.first; a <= counts.last; ++a) {
        counts.defined += image.isDefined(a);
        counts.blank += image.Buffer[size_t(a)] == 0xFF;
    }
    // Ranges merge differences a few bytes apart, so this counts the block's
    // bytes inside a differing range.
    for (const Range& range : differing) {
        const qint32 from = std::max(range.first, counts.first);
        const qint32 to = std::min(range.last, counts.last);
        counts.differing += std::max(0, to - from + 1);
    }
    return counts;
}

QString MemoryMap::ShadeName(Shade shade) {
    switch (shade) {
    case Shade::Working:
        return QStringLiteral("being worked on");
    case Shade::Differs:
        return QStringLiteral("differs");
    case Shade::PerChip:
        return QStringLiteral("per-chip field");
    case Shade::Image:
        return QStringLiteral("image");
    case Shade::Blank:
        return QStringLiteral("blank (all FF)");
    case Shade::Other:
        return QStringLiteral("not from the image");
    }
    return QString();
}

QString MemoryMap::ToolTip(const AppState& image, int cell) const {
    if (cell < 0 || cell >= cellCount)
        return QString();
    const BlockCounts counts = Counts(image, cell);
    QString text =
        QStringLiteral("%1-%2: %3, %4 of %5 bytes defined by the image, %6 FF")
            .arg(HexWord(counts.first), HexWord(counts.last), ShadeName(CellShade(image, cell)))
            .arg(counts.defined)
            .arg(counts.last - counts.first + 1)
            .arg(counts.blank);
    if (counts.differing > 0)
        text += QStringLiteral(", %1 in a range that differs from the %2")
                    .arg(counts.differing)
                    .arg(comparedWith);
    return text;
}

} // namespace varn
