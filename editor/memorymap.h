#pragma once

#include "core/appstate.h"
#include "core/differences.h"

#include <QString>
#include <vector>

namespace varn {

// A picture of the selected device's memory: one cell per 16-byte block,
// shaded by what the block holds. Built from the image, the last list of
// differences and the block a running function is at; no widget needed.
class MemoryMap {
public:
    static constexpr qint32 BlockSize = 16;

    // What a block shows, the stronger first: a block being worked on hides
    // that it differs, a difference hides a per-chip field, and so on.
    enum class Shade : quint8 {
        Working, // the block a running function is at
        Differs, // differs from the device or the file last compared with
        PerChip, // holds a serial number or another per-chip field
        Image,   // holds bytes the image defines (a load, a fill, a typed digit, a Read)
        Blank,   // all FF and nothing defined
        Other,   // something but FF, though the image defines none of it
    };
    struct Range {
        qint32 first = 0;
        qint32 last = 0; // inclusive
    };
    // The counts a tool tip gives for one block.
    struct BlockCounts {
        qint32 first = 0;
        qint32 last = 0;
        int defined = 0;
        int blank = 0;     // FF bytes
        int differing = 0; // inside a differing range
    };

    // Everything of a device of deviceSize bytes (clipped to the buffer).
    void SetDeviceSize(qint32 deviceSize);
    // The differing ranges of a Compare or Verify, and what they were
    // compared with ("device", "file"); an empty report clears them.
    void SetDifferences(const DifferenceReport& report, const QString& other);
    void SetPerChipFields(const std::vector<Range>& fields);
    // The block a function is at (by address), or -1 when none runs.
    void SetWorking(qint32 address);

    int CellCount() const { return cellCount; }
    qint32 WorkingAddress() const { return working; }
    const QString& ComparedWith() const { return comparedWith; }
    // The shade of every block of image.
    std::vector<Shade> Cells(const AppState& image) const;
    Shade CellShade(const AppState& image, int cell) const;
    BlockCounts Counts(const AppState& image, int cell) const;
    // "0120-012F: image, 16 of 16 bytes defined by the image, 0 FF", and how
    // many lie in a range that differs.
    QString ToolTip(const AppState& image, int cell) const;
    static QString ShadeName(Shade shade);

private:
    bool Overlaps(const std::vector<Range>& ranges, qint32 first, qint32 last) const;

    int cellCount = 0;
    qint32 size = 0;
    qint32 working = -1;
    std::vector<Range> differing;
    std::vector<Range> perChip;
    QString comparedWith;
};

} // namespace varn
