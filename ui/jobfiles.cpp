#include "jobfiles.h"

#include "core/appstate.h"
#include "core/crc32.h"
#include "core/usersettings.h"
#include "editor/imagemodel.h"
#include "link/replypolicy.h"
#include "session/desktopsettings.h"
#include "ui/filecommands.h"
#include "ui/filedialogs.h"
#include "ui/windowplacement.h"
#include "widgets/messagebox.h"

#include <QDir>
#include <QFileInfo>
#include <QWidget>
#include <memory>

namespace varn {

JobFiles::JobFiles(AppState& appState, ImageModel& imageModel, WindowPlacement& placement,
                   FileCommands& fileCommands, const FileDialogs& fileDialogs, QWidget* parent)
    : QObject(parent), state(appState), image(imageModel), windows(placement), files(fileCommands),
      dialogs(fileDialogs), window(parent) {}

void JobFiles::save(bool onlyImage, bool allowPartial) {
    // The job carries the file's bytes: a buffer changed since would not be
    // what the job programs.
    const LastLoad& last = files.lastLoad();
    if (!last.bufferUnchanged(state)) {
        ShowMessage(window, QStringLiteral("Save Job"),
                    QStringLiteral("A job holds the image file loaded last, as it was loaded. "
                                   "Load the image, then save the job."),
                    MsgIcon::Information);
        return;
    }
    const QString path = dialogs.showJob ? dialogs.showJob(window, true) : QString();
    if (path.isEmpty())
        return;
    ProductionJob job;
    const Status status = SaveDesktopJob(state, last.file, path, onlyImage, allowPartial, &job);
    if (!status) {
        ShowMessage(window, QStringLiteral("Save Job"), status.message, MsgIcon::Critical);
        return;
    }
    QString text = QStringLiteral("Job saved: %1\n\nImage %2 (CRC-32 %3) on %4.")
                       .arg(QDir::toNativeSeparators(path), job.imageName,
                            Crc32Text(job.expectedCrc32), job.deviceName);
    // Bytes of an earlier load are in the buffer too: the job holds them all.
    if (const QString file = QFileInfo(last.file.path).fileName(); job.imageName != file)
        text += QStringLiteral("\n\nThe buffer holds more than %1 (it was loaded onto "
                               "earlier bytes): the job holds the whole buffer as %2.")
                    .arg(file, job.imageName);
    ShowMessage(window, QStringLiteral("Save Job"), text, MsgIcon::Information);
}

void JobFiles::open() {
    if (!files.askToSave())
        return;
    const QString path = dialogs.showJob ? dialogs.showJob(window, false) : QString();
    if (path.isEmpty())
        return;
    ProductionJob job;
    // Opened onto a copy: a refused job changes nothing.
    auto copy = std::make_unique<AppState>(state);
    Status status = ReadJobFile(path, &job);
    if (status)
        status = OpenJob(job, QFileInfo(path).absolutePath(), *copy);
    if (!status) {
        ShowMessage(window, QStringLiteral("Open Job"),
                    QStringLiteral("Job refused: %1\n\nNothing was sent to the programmer unit.")
                        .arg(status.message),
                    MsgIcon::Critical);
        return;
    }
    image.Begin();
    state.Buffer = copy->Buffer;
    state.defined = copy->defined;
    state.startAddress = copy->startAddress;
    state.SelectedDevice = copy->SelectedDevice;
    state.AutoCount = copy->AutoCount;
    state.AutoList = copy->AutoList;
    image.SetFile(QString(), job.load.format);
    image.Commit(ImageModel::Kind::Replace);
    // Not the file on disk any more: the job's bytes are the image.
    files.forgetLoad();
    opened = job;
    name = QFileInfo(path).fileName();
    emit optionsOpened(job.onlyImage, job.allowPartial);
    UserSettings settings(state);
    WriteReplyPolicy(settings, ReplyPolicy{job.timeoutMs, job.retries});
    settings.sync();
    emit deviceChanged();
    windows.closeBufferWindow();
    windows.openBufferWindow();
    ShowMessage(window, QStringLiteral("Open Job"),
                QStringLiteral("Job %1 opened: image %2 (CRC-32 %3) on %4.")
                    .arg(QFileInfo(path).fileName(), job.imageName, Crc32Text(job.expectedCrc32),
                         job.deviceName),
                MsgIcon::Information);
}

} // namespace varn
