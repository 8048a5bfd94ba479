#pragma once

#include "editor/imagemodel.h"
#include "editor/memorymap.h"

#include <QWidget>

class QScrollArea;

namespace varn {

// The memory map's window: one square per 16-byte block of the selected
// device, shaded as MemoryMap says, with a legend. It follows the image
// model; a click asks for the block to be shown in the hex view, and the
// tool tip gives the block's range and counts. A big device's cells scroll;
// the legend below them stays in sight whatever the window's height.
class frmMemoryMap : public QWidget {
    Q_OBJECT
public:
    explicit frmMemoryMap(ImageModel& model, QWidget* parent = nullptr);

    MemoryMap& Map() { return map; }
    // After the map's device, differences or working block changed.
    void Refresh();
    // The widget the cells are drawn in, inside the scroll area.
    QWidget* Cells() const { return cellsView; }
    // The cell under a point of the cells' widget, or -1; and a cell's
    // square there.
    int CellAt(const QPoint& point) const;
    QRect CellRect(int cell) const;
    QSize sizeHint() const override;

signals:
    void addressChosen(qint32 address);

private:
    friend class MemoryMapCells;
    int Columns() const;
    QSize CellsSize() const;

    ImageModel& model;
    MemoryMap map;
    std::vector<MemoryMap::Shade> cells;
    QScrollArea* scroll = nullptr;
    QWidget* cellsView = nullptr;
    QWidget* legendView = nullptr;
};

// The colour a shade is drawn in, and the outline that sets it off from the
// window's background (invalid: none needed).
QColor ShadeColour(MemoryMap::Shade shade);
QColor ShadeOutline(MemoryMap::Shade shade);

} // namespace varn
