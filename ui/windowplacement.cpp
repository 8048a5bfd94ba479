#include "windowplacement.h"

#include "core/placement.h"
#include "core/usersettings.h"
#include "editor/frmbuffer.h"
#include "editor/frmdifferences.h"
#include "editor/frmmemorymap.h"
#include "editor/imagemodel.h"
#include "widgets/screenfit.h"

#include <QMdiArea>
#include <QMdiSubWindow>
#include <algorithm>

namespace varn {

WindowPlacement::WindowPlacement(QMdiArea& mdiArea, ImageModel& imageModel, QObject* parent)
    : QObject(parent), area(mdiArea), image(imageModel) {
    // A comparison shown before a change no longer describes the buffer.
    connect(&image, &ImageModel::contentsChanged, this, &WindowPlacement::markDifferencesStale);
    connect(&image, &ImageModel::reset, this, &WindowPlacement::markDifferencesStale);
}

frmBuffer* WindowPlacement::bufferWindow() const {
    return bufferSub ? qobject_cast<frmBuffer*>(bufferSub->widget()) : nullptr;
}

frmMemoryMap* WindowPlacement::memoryMapWindow() const {
    return memoryMapSub ? qobject_cast<frmMemoryMap*>(memoryMapSub->widget()) : nullptr;
}

void WindowPlacement::markDifferencesStale() {
    if (auto* list =
            differencesSub ? qobject_cast<frmDifferences*>(differencesSub->widget()) : nullptr) {
        list->MarkStale();
        differencesSub->setWindowTitle(list->windowTitle());
    }
}

void WindowPlacement::openBufferWindow() {
    if (bufferSub)
        return;
    auto* buffer = new frmBuffer(image);
    auto* sub = new QMdiSubWindow;
    sub->setObjectName(QStringLiteral("frmBufferSubWindow"));
    sub->setWidget(buffer);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    // The view shows 16 rows at most; there is nothing to show in more room.
    sub->setWindowFlags(Qt::SubWindow | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                        Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                        Qt::WindowCloseButtonHint);
    sub->setWindowTitle(buffer->windowTitle());
    sub->setWindowIcon(area.window()->windowIcon());
    area.addSubWindow(sub);
    // Fewer rows where the area is small: the scroll bar and the sums below
    // the rows stay in sight.
    sub->setMaximumSize(sub->sizeHint());
    sub->resize(sub->sizeHint().boundedTo(area.viewport()->size()));
    sub->move(0, 0);
    sub->show();
    bufferSub = sub;
    emit previewWanted();
}

void WindowPlacement::closeBufferWindow() {
    QMdiSubWindow* sub = bufferSub;
    if (!sub)
        return;
    bufferSub = nullptr;
    // Taken out of the area at once so that a new window can stand at once;
    // deleted once control is back in the event loop.
    area.removeSubWindow(sub);
    sub->hide();
    sub->deleteLater();
}

void WindowPlacement::discardBufferWindow() {
    delete bufferSub.data();
}

void WindowPlacement::activateBufferWindow() {
    openBufferWindow();
    area.setActiveSubWindow(bufferSub);
}

void WindowPlacement::showAddress(qint32 address) {
    openBufferWindow();
    if (frmBuffer* buffer = bufferWindow())
        buffer->ShowAddress(address);
}

void WindowPlacement::showDifferences(const QString& title, const DifferenceReport& report,
                                      const QString& other) {
    if (differencesSub) {
        area.removeSubWindow(differencesSub);
        differencesSub->deleteLater();
    }
    // The buffer window stands at the top left; the list goes beside it so
    // that a chosen range and the list stay in view together.
    openBufferWindow();
    if (frmMemoryMap* map = memoryMapWindow()) {
        map->Map().SetDifferences(report, other);
        map->Refresh();
    }
    auto* list = new frmDifferences(title, report, other);
    connect(list, &frmDifferences::addressChosen, this, [this, list](qint32 address) {
        showAddress(address);
        // The list keeps the focus: Down goes on to the next range.
        if (differencesSub)
            area.setActiveSubWindow(differencesSub);
        list->findChild<QWidget*>(QStringLiteral("ranges"))->setFocus(Qt::OtherFocusReason);
    });
    auto* sub = new QMdiSubWindow;
    sub->setObjectName(QStringLiteral("frmDifferencesSubWindow"));
    sub->setWidget(list);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    sub->setWindowTitle(title);
    sub->setWindowIcon(area.window()->windowIcon());
    area.addSubWindow(sub);
    // Whole inside the area, twelve rows of ranges or more where there is room.
    const QSize wanted(std::max(sub->sizeHint().width(), list->width()),
                       std::max(sub->sizeHint().height(), 12 * list->fontMetrics().height() + 80));
    const QRect room = area.viewport()->rect();
    QRect taken = bufferSub->frameGeometry();
    if (memoryMapSub)
        taken = taken.united(memoryMapSub->frameGeometry());
    sub->setGeometry(PlaceBeside(taken, wanted, room));
    sub->show();
    differencesSub = sub;
}

void WindowPlacement::openMemoryMap() {
    if (memoryMapSub) {
        area.setActiveSubWindow(memoryMapSub);
        return;
    }
    auto* map = new frmMemoryMap(image);
    // A comparison made before the map opened shades it too, while its list
    // still stands for the buffer.
    if (auto* list =
            differencesSub ? qobject_cast<frmDifferences*>(differencesSub->widget()) : nullptr;
        list && !list->IsStale()) {
        map->Map().SetDifferences(list->Report(), list->Other());
        map->Refresh();
    }
    connect(map, &frmMemoryMap::addressChosen, this, &WindowPlacement::showAddress);
    auto* sub = new QMdiSubWindow;
    sub->setObjectName(QStringLiteral("frmMemoryMapSubWindow"));
    sub->setWidget(map);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    sub->setWindowTitle(map->windowTitle());
    sub->setWindowIcon(area.window()->windowIcon());
    area.addSubWindow(sub);
    // Right of the buffer window where there is room, else below it.
    const QRect room = area.viewport()->rect();
    QRect placed = FitInside(QRect(QPoint(0, 0), sub->sizeHint()), room);
    if (bufferSub) {
        const QRect buffer = bufferSub->frameGeometry();
        placed = QRect(QPoint(buffer.right() + 1, buffer.top()), sub->sizeHint());
        if (!room.contains(placed))
            placed = PlaceBeside(buffer, sub->sizeHint(), room);
    }
    sub->setGeometry(placed);
    sub->show();
    memoryMapSub = sub;
    // The per-chip fields as the buffer window shows them.
    emit previewWanted();
}

void WindowPlacement::showWorking(qint32 address) {
    if (frmMemoryMap* map = memoryMapWindow(); map && map->Map().WorkingAddress() != address) {
        map->Map().SetWorking(address);
        map->Refresh();
    }
}

void WindowPlacement::deviceChanged(qint32 deviceSize) {
    if (frmMemoryMap* map = memoryMapWindow()) {
        map->Map().SetDeviceSize(deviceSize);
        map->Map().SetDifferences({}, QString());
        map->Refresh();
    }
}

void SaveWindowPlace(const AppState& state, const QWidget& window) {
    UserSettings settings(state);
    settings.setValue(QStringLiteral("window/geometry"), window.saveGeometry());
    settings.setValue(QStringLiteral("window/maximized"), window.isMaximized());
    settings.sync(nullptr);
}

void RestoreWindowPlace(const AppState& state, QWidget& window) {
    const UserSettings settings(state);
    const QByteArray saved = settings.value(QStringLiteral("window/geometry")).toByteArray();
    if (!saved.isEmpty())
        window.restoreGeometry(saved);
    // Kept inside the screen it is on: a layout scaled up (QT_SCALE_FACTOR)
    // or a smaller screen than last time must not leave the status bar off it.
    if (const QRect room = ScreenRoom(&window); !room.isEmpty())
        window.setGeometry(FitInside(window.geometry(), room));
    if (settings.value(QStringLiteral("window/maximized"), false).toBool())
        window.setWindowState(window.windowState() | Qt::WindowMaximized);
}

} // namespace varn
