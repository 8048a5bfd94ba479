#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QWidget;

namespace varn {

class AppState;
class ImageModel;
class WindowPlacement;
struct FileDialogs;

// The Buffer menu: the buffer window, Clear, Fill, Undo and Redo, the
// clipboard, Go To and Find. Each command works on the image and shows its
// outcome in the buffer window, which it opens where needed.
class BufferCommands : public QObject {
    Q_OBJECT
public:
    // parent: the window its dialogs and messages stand over; dialogs: read
    // at each command, so that tests may replace them after construction.
    BufferCommands(AppState& state, ImageModel& image, WindowPlacement& windows,
                   const FileDialogs& dialogs, QWidget* parent);

    void edit();
    void clear();
    void fill();
    void undo();
    void redo();
    // Copy the selection (or the caret's byte) as hex text or a C array;
    // paste hex text at the caret as one undoable step.
    void copy() { copySelection(false); }
    void copyArray() { copySelection(true); }
    void paste();
    void goTo();
    void find();
    void findNext();

signals:
    // A note for the status bar (Find wrapped round, no further match; a
    // paste cut short); empty clears it.
    void note(const QString& text);

private:
    void copySelection(bool asArray);
    // The buffer window shows the step undone or redone at its address.
    void showHistoryStep(qint32 address);

    AppState& state;
    ImageModel& image;
    WindowPlacement& windows;
    const FileDialogs& dialogs;
    QWidget* window;
    QByteArray findPattern;
};

} // namespace varn
