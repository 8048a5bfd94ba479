#pragma once

#include "editor/imagemodel.h"
#include "editor/memorymap.h"

#include <QWidget>

namespace varn {

// The memory map's window: one square per 16-byte block of the selected
// device, shaded as MemoryMap says, with a legend. It follows the image
// model; a click asks for the block to be shown in the hex view, and the
// tool tip gives the block's range and counts.
class frmMemoryMap : public QWidget {
    Q_OBJECT
public:
    explicit frmMemoryMap(ImageModel& model, QWidget* parent = nullptr);

    MemoryMap& Map() { return map; }
    // After the map's device, differences or working block changed.
    void Refresh();
    // The cell under a point of the window, or -1.
    int CellAt(const QPoint& point) const;
    QRect CellRect(int cell) const;
    QSize sizeHint() const override;

signals:
    void addressChosen(qint32 address);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    bool event(QEvent* event) override;

private:
    int Columns() const;

    ImageModel& model;
    MemoryMap map;
    std::vector<MemoryMap::Shade> cells;
};

// The colour a shade is drawn in.
QColor ShadeColour(MemoryMap::Shade shade);

} // namespace varn
