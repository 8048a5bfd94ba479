#pragma once

#include "core/differences.h"

#include <QObject>
#include <QPointer>
#include <QString>

class QMdiArea;
class QMdiSubWindow;
class QWidget;

namespace varn {

class AppState;
class ImageModel;
class frmBuffer;
class frmMemoryMap;

// The subwindows of the main window's area: the buffer window at the top
// left, the memory map and the list of differences placed beside it, and
// what each follows of the others.
class WindowPlacement : public QObject {
    Q_OBJECT
public:
    WindowPlacement(QMdiArea& area, ImageModel& image, QObject* parent = nullptr);

    frmBuffer* bufferWindow() const;
    frmMemoryMap* memoryMapWindow() const;

    // Opens the buffer window where it is missing (a second call does nothing).
    void openBufferWindow();
    void closeBufferWindow();
    // Deletes the buffer window at once (the main window's end).
    void discardBufferWindow();
    // Brings the buffer window (opened when missing) to the front.
    void activateBufferWindow();
    // Opens the buffer window when missing and shows address in it.
    void showAddress(qint32 address);
    // Replaces the differences window with one for report.
    void showDifferences(const QString& title, const DifferenceReport& report,
                         const QString& other);
    // The memory map in its own window, beside the buffer window.
    void openMemoryMap();
    // The memory map marks the block a function is at; -1: none.
    void showWorking(qint32 address);
    // A new device: the map's cells and any comparison no longer apply.
    void deviceChanged(qint32 deviceSize);

signals:
    // A window that shows the next chip's fields has opened.
    void previewWanted();

private:
    void markDifferencesStale();

    QMdiArea& area;
    ImageModel& image;
    QPointer<QMdiSubWindow> bufferSub;
    QPointer<QMdiSubWindow> memoryMapSub;
    QPointer<QMdiSubWindow> differencesSub;
};

// Window size, position and maximised state in varn.ini, and back, fitted to
// the screen.
void SaveWindowPlace(const AppState& state, const QWidget& window);
void RestoreWindowPlace(const AppState& state, QWidget& window);

} // namespace varn
