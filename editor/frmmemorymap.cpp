#include "frmmemorymap.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>
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

} // namespace

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
        return QColor(235, 235, 235);
    case MemoryMap::Shade::Other:
        return QColor(120, 170, 120);
    }
    return Qt::black;
}

frmMemoryMap::frmMemoryMap(ImageModel& imageModel, QWidget* parent)
    : QWidget(parent), model(imageModel) {
    setObjectName(QStringLiteral("frmMemoryMap"));
    setWindowTitle(QStringLiteral("Memory Map"));
    map.SetDeviceSize(model.Image().DeviceSize());
    connect(&model, &ImageModel::contentsChanged, this, &frmMemoryMap::Refresh);
    connect(&model, &ImageModel::reset, this, &frmMemoryMap::Refresh);
    Refresh();
}

void frmMemoryMap::Refresh() {
    cells = map.Cells(model.Image());
    update();
}

int frmMemoryMap::Columns() const {
    return std::clamp(map.CellCount(), 1, MaxColumns);
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
    const int pixels = CellPixels(this);
    const int rows = (map.CellCount() + Columns() - 1) / Columns();
    const int legendHeight = 3 * (fontMetrics().height() + 4);
    return QSize(std::max(Margin * 2 + Columns() * pixels, 420),
                 Margin * 3 + rows * pixels + legendHeight);
}

void frmMemoryMap::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    for (int cell = 0; cell < int(cells.size()); ++cell)
        painter.fillRect(CellRect(cell), ShadeColour(cells[size_t(cell)]));
    // The legend, two shades a line, below the cells.
    const int rows = (map.CellCount() + Columns() - 1) / Columns();
    const int line = fontMetrics().height() + 4;
    int y = Margin * 2 + rows * CellPixels(this);
    for (int i = 0; i < int(std::size(legend)); ++i) {
        const int x = Margin + (i % 2) * 200;
        if (i > 0 && i % 2 == 0)
            y += line;
        const QRect swatch(x, y + 2, line - 6, line - 6);
        painter.fillRect(swatch, ShadeColour(legend[i]));
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawRect(swatch.adjusted(0, 0, -1, -1));
        painter.drawText(QRect(x + line, y, 190 - line, line), Qt::AlignVCenter,
                         MemoryMap::ShadeName(legend[i]));
    }
}

void frmMemoryMap::mousePressEvent(QMouseEvent* event) {
    const int cell = CellAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton && cell >= 0)
        emit addressChosen(cell * MemoryMap::BlockSize);
}

bool frmMemoryMap::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const int cell = CellAt(help->pos());
        if (cell < 0)
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), map.ToolTip(model.Image(), cell), this,
                               CellRect(cell));
        return true;
    }
    return QWidget::event(event);
}

} // namespace varn
