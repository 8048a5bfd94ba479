#include "devicebounds.h"

#include "hextext.h"

#include <QLocale>
#include <QStringList>

namespace varn {

namespace {

// Ranges a message names before it only counts the rest.
constexpr int ShownRanges = 3;

QString Bytes(qint64 count) {
    return QStringLiteral("%1 %2").arg(QLocale(QLocale::English).toString(count),
                                       count == 1 ? QStringLiteral("byte")
                                                  : QStringLiteral("bytes"));
}

} // namespace

OutsideDevice ImageOutsideDevice(const AppState& state) {
    OutsideDevice outside;
    const qint32 size = state.DeviceSize();
    if (size <= 0)
        return outside;
    for (qint32 at = std::min(size, BufferSize); at < BufferSize; ++at) {
        if (!state.defined.test(size_t(at)))
            continue;
        ++outside.bytes;
        if (!outside.ranges.empty() && outside.ranges.back().last == at - 1)
            outside.ranges.back().last = at;
        else
            outside.ranges.push_back({at, at});
    }
    return outside;
}

QString RangesText(const std::vector<AddressRange>& ranges, int maxShown) {
    QStringList shown;
    for (const AddressRange& range : ranges) {
        if (shown.size() == maxShown)
            break;
        shown.append(range.first == range.last
                         ? HexWord(range.first)
                         : HexWord(range.first) + QLatin1Char('-') + HexWord(range.last));
    }
    const qsizetype more = qsizetype(ranges.size()) - shown.size();
    QString text = shown.join(QStringLiteral(", "));
    if (more > 0)
        text += QStringLiteral(" and %1 more %2")
                    .arg(more)
                    .arg(more == 1 ? QStringLiteral("range") : QStringLiteral("ranges"));
    return text;
}

QString PlacedOutsideDevice(const AppState& state, const std::vector<AddressRange>& placed) {
    const qint32 size = state.DeviceSize();
    if (size <= 0 || placed.empty() ||
        std::any_of(placed.begin(), placed.end(),
                    [size](const AddressRange& r) { return r.first < size; }))
        return {};
    return QStringLiteral("its data lies at %1, outside the device (0000-%2)")
        .arg(RangesText(placed, ShownRanges), HexWord(size - 1));
}

QString OutsideDeviceText(const AppState& state, const OutsideDevice& outside) {
    return QStringLiteral("The image holds %1 outside the device (%2), which is %3 long")
        .arg(Bytes(outside.bytes), RangesText(outside.ranges, ShownRanges),
             Bytes(state.DeviceSize()));
}

} // namespace varn
