#pragma once

#include "files/frmfileload.h"
#include "files/imagefiles.h"
#include "files/loadedfile.h"

#include <QObject>
#include <QString>
#include <memory>
#include <optional>

class QMimeData;
class QWidget;

namespace varn {

class AppState;
class ImageModel;
class RecentFiles;
class WindowPlacement;
struct FileDialogs;

// The image's files: Load (also of a recent or a dropped file), Save and
// Save As, Compare with File, the offer to load a changed file again, and
// the question before unsaved changes are lost.
class FileCommands : public QObject {
    Q_OBJECT
public:
    // parent: the window its dialogs and messages stand over; dialogs: read
    // at each command, so that tests may replace them after construction.
    FileCommands(AppState& state, ImageModel& image, WindowPlacement& windows,
                 const FileDialogs& dialogs, QWidget* parent);
    ~FileCommands() override;

    void load();
    // Loads path through the load options dialog, as Load does after its
    // file dialog (recent files and dropped files come here).
    void loadFile(const QString& path);
    // Saves to the file the image came from in its format; Save As without one.
    void save();
    void saveAs();
    void compare();
    // Before Program or Auto: when the file loaded last has changed on disk,
    // asks whether to load it again first. False when the user cancelled or
    // the new load failed.
    bool offerReload();
    // Before unsaved changes are lost: Save, Discard or Cancel (false).
    bool askToSave();

    const RecentFiles& recent() const { return *recentFiles; }
    // The file loaded last, and whether the buffer still holds it.
    const LastLoad& lastLoad() const { return last; }
    // The buffer no longer comes from the file on disk (a job's bytes).
    void forgetLoad() { last.file = LoadedFile{}; }

    // The one local file a drag carries, or an empty text.
    static QString DroppedFile(const QMimeData& mime);

signals:
    // A new image was loaded over the buffer.
    void imageLoaded();
    void recentChanged();

private:
    // The load or save options dialog's values; empty when it was cancelled.
    std::optional<FileDialogChoice> askFileType(const QString& path, bool saving = false);
    void tellLoad(const LoadResult& loaded, const QString& path);
    bool saveTo(const QString& path, const SaveOptions& options);

    AppState& state;
    ImageModel& image;
    WindowPlacement& windows;
    const FileDialogs& dialogs;
    QWidget* window;
    std::unique_ptr<RecentFiles> recentFiles;
    LastLoad last;
};

} // namespace varn
