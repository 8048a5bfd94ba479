#include "frmmemorymap.h"

#include <QGridLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QToolTip>
#include <QVBoxLayout>
#include <algorithm>

namespace varn {

namespace {

// 64 blocks (1 KiB) a row: a 64 KiB device is 64 rows.
constexpr int MaxColumns = 64;
constexpr int Margin = 6;
const MemoryMap::Shade legend[] = {MemoryMap::Shade::Image,   MemoryMap::Shade::Blank,
                                   MemoryMap::Shade::Other,   MemoryMap::Shade::PerChip,
                                   MemoryMap::Shade::Differs, MemoryMap::Shade::Working};

int CellPixels(const QWidget* widget) {
    // Big enough to hit with the mouse whatever the font size.
    return std::max(7, widget->fontMetrics().height() / 2);
}

void DrawShade(QPainter& painter, const QRect& square, MemoryMap::Shade shade) {
    painter.fillRect(square, ShadeColour(shade));
    if (const QColor outline = ShadeOutline(shade); outline.isValid()) {
        painter.setPen(outline);
        painter.drawRect(square.adjusted(0, 0, -1, -1));
    }
}

// A legend's colour square, drawn as the cells are.
class Swatch : public QWidget {
public:
    Swatch(MemoryMap::Shade shown, QWidget* parent) : QWidget(parent), shade(shown) {
        const int side = fontMetrics().height() - 2;
        setFixedSize(side, side);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        DrawShade(painter, rect(), shade);
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }

private:
    MemoryMap::Shade shade;
};

} // namespace

// The cells themselves: painted, clicked and explained by tool tip here.
class MemoryMapCells : public QWidget {
public:
    explicit MemoryMapCells(frmMemoryMap& map) : owner(map) {
        setObjectName(QStringLiteral("mapCells"));
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        QPainter painter(this);
        painter.fillRect(event->rect(), palette().window());
        for (int cell = 0; cell < int(owner.cells.size()); ++cell)
            if (const QRect square = owner.CellRect(cell); square.intersects(event->rect()))
                DrawShade(painter, square, owner.cells[size_t(cell)]);
    }
    void mousePressEvent(QMouseEvent* event) override {
        const int cell = owner.CellAt(event->position().toPoint());
        if (event->button() == Qt::LeftButton && cell >= 0)
            emit owner.addressChosen(cell * MemoryMap::BlockSize);
    }
    bool event(QEvent* event) override {
        if (event->type() != QEvent::ToolTip)
            return QWidget::event(event);
        auto* help = static_cast<QHelpEvent*>(event);
        const int cell = owner.CellAt(help->pos());
        if (cell < 0)
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), owner.map.ToolTip(owner.model.Image(), cell),
                               this, owner.CellRect(cell));
        return true;
    }

private:
    frmMemoryMap& owner;
};

QColor ShadeColour(MemoryMap::Shade shade) {
    switch (shade) {
    case MemoryMap::Shade::Working:
        return QColor(255, 160, 0);
    case MemoryMap::Shade::Differs:
        return QColor(220, 30, 30);
    case MemoryMap::Shade::PerChip:
        return QColor(160, 70, 210);
    case MemoryMap::Shade::Image:
        return QColor(40, 90, 200);
    case MemoryMap::Shade::Blank:
        return QColor(255, 255, 255);
    case MemoryMap::Shade::Other:
        return QColor(120, 170, 120);
    }
    return Qt::black;
}

QColor ShadeOutline(MemoryMap::Shade shade) {
    // An erased block is the palest there is: an empty box, its grey edge
    // plain against the window's light grey, where a fill alone would
    // vanish into it.
    return shade == MemoryMap::Shade::Blank ? QColor(128, 128, 128) : QColor();
}

frmMemoryMap::frmMemoryMap(ImageModel& imageModel, QWidget* parent)
    : QWidget(parent), model(imageModel) {
    setObjectName(QStringLiteral("frmMemoryMap"));
    setWindowTitle(QStringLiteral("Memory Map"));

    cellsView = new MemoryMapCells(*this);
    scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("mapScroll"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(cellsView);

    // The legend, two shades a line, below the cells.
    legendView = new QWidget(this);
    legendView->setObjectName(QStringLiteral("legend"));
    auto* legendGrid = new QGridLayout(legendView);
    legendGrid->setContentsMargins(Margin, 0, Margin, Margin);
    for (int i = 0; i < int(std::size(legend)); ++i) {
        auto* name = new QLabel(MemoryMap::ShadeName(legend[i]), legendView);
        legendGrid->addWidget(new Swatch(legend[i], legendView), i / 2, (i % 2) * 2);
        legendGrid->addWidget(name, i / 2, (i % 2) * 2 + 1);
    }
    legendGrid->setColumnStretch(1, 1);
    legendGrid->setColumnStretch(3, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll, 1);
    layout->addWidget(legendView);

    map.SetDeviceSize(model.Image().DeviceSize());
    connect(&model, &ImageModel::contentsChanged, this, &frmMemoryMap::Refresh);
    connect(&model, &ImageModel::reset, this, &frmMemoryMap::Refresh);
    Refresh();
}

void frmMemoryMap::Refresh() {
    cells = map.Cells(model.Image());
    if (cellsView->size() != CellsSize()) {
        cellsView->setFixedSize(CellsSize());
        updateGeometry();
    }
    cellsView->update();
}

int frmMemoryMap::Columns() const {
    return std::clamp(map.CellCount(), 1, MaxColumns);
}

QSize frmMemoryMap::CellsSize() const {
    const int pixels = CellPixels(this);
    const int rows = (map.CellCount() + Columns() - 1) / Columns();
    return QSize(Margin * 2 + Columns() * pixels, Margin * 2 + rows * pixels);
}

QRect frmMemoryMap::CellRect(int cell) const {
    const int pixels = CellPixels(this);
    const int column = cell % Columns(), row = cell / Columns();
    return QRect(Margin + column * pixels, Margin + row * pixels, pixels - 1, pixels - 1);
}

int frmMemoryMap::CellAt(const QPoint& point) const {
    const int pixels = CellPixels(this);
    const int x = point.x() - Margin, y = point.y() - Margin;
    if (x < 0 || y < 0 || x >= Columns() * pixels)
        return -1;
    const int cell = (y / pixels) * Columns() + x / pixels;
    return cell < map.CellCount() ? cell : -1;
}

QSize frmMemoryMap::sizeHint() const {
    // Every cell in sight where there is room, with the room for a scroll
    // bar so that a window made lower does not need a second one.
    const QSize all = CellsSize();
    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroll);
    const QSize key = legendView->sizeHint();
    return QSize(std::max(all.width() + bar, key.width()), all.height() + key.height());
}

} // namespace varn
