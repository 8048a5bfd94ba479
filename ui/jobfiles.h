#pragma once

#include "jobs/productionjob.h"

#include <QObject>
#include <QString>
#include <optional>

class QWidget;

namespace varn {

class AppState;
class FileCommands;
class ImageModel;
class WindowPlacement;
struct FileDialogs;

// File > Save Job and Open Job, and the job opened last, which Device >
// Production runs in operator mode.
class JobFiles : public QObject {
    Q_OBJECT
public:
    JobFiles(AppState& state, ImageModel& image, WindowPlacement& windows, FileCommands& files,
             const FileDialogs& dialogs, QWidget* parent);

    // A job file of the image as loaded, the device, Auto, Only the Image
    // (onlyImage) and Allow Partial Image (allowPartial) and the reply
    // settings; refused while the buffer is not that load.
    void save(bool onlyImage, bool allowPartial);
    // A job opened onto the buffer and the settings, refused (nothing
    // changed) when it does not match.
    void open();

    // The job opened last, while the image is still its own; null otherwise.
    const ProductionJob* job() const { return opened ? &*opened : nullptr; }
    const QString& jobName() const { return name; }
    // Another image: the job is not for it any more.
    void forget() { opened.reset(); }

signals:
    // An opened job has set these; the window keeps them as its check items.
    void optionsOpened(bool onlyImage, bool allowPartial);
    // An opened job has selected its device.
    void deviceChanged();

private:
    AppState& state;
    ImageModel& image;
    WindowPlacement& windows;
    FileCommands& files;
    const FileDialogs& dialogs;
    QWidget* window;
    std::optional<ProductionJob> opened;
    QString name;
};

} // namespace varn
