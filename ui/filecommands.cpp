#include "filecommands.h"

#include "core/appstate.h"
#include "core/bufferops.h"
#include "core/devicebounds.h"
#include "editor/imagemodel.h"
#include "files/filecompare.h"
#include "files/recentfiles.h"
#include "ui/filedialogs.h"
#include "ui/windowplacement.h"
#include "widgets/messagebox.h"

#include <QDir>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

namespace varn {

FileCommands::FileCommands(AppState& appState, ImageModel& imageModel, WindowPlacement& placement,
                           const FileDialogs& fileDialogs, QWidget* parent)
    : QObject(parent), state(appState), image(imageModel), windows(placement), dialogs(fileDialogs),
      window(parent), recentFiles(std::make_unique<RecentFiles>(appState)) {}

FileCommands::~FileCommands() = default;

QString FileCommands::DroppedFile(const QMimeData& mime) {
    const QList<QUrl> urls = mime.urls();
    return urls.size() == 1 && urls.first().isLocalFile() ? urls.first().toLocalFile() : QString();
}

std::optional<FileDialogChoice> FileCommands::askFileType(const QString& path, bool saving) {
    frmFileLoad dialog(path, window,
                       saving ? frmFileLoad::Purpose::Save : frmFileLoad::Purpose::Load);
    // With a title bar it can be moved off the hex view it would cover.
    dialog.setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    dialog.setWindowTitle(saving ? QStringLiteral("Save As") : QStringLiteral("Load"));
    dialog.exec();
    return dialog.choice();
}

// What a successful load has to tell beyond its status text: another format's
// content and a load that stored nothing (or nothing inside the device) as
// warnings, data left out and other notices as information.
void FileCommands::tellLoad(const LoadResult& loaded, const QString& path) {
    if (!loaded.otherFormat.isEmpty())
        ShowMessage(window, QStringLiteral("File Load"), loaded.otherFormat, MsgIcon::Warning);
    if (!loaded.ok())
        return;
    if (loaded.bytesStored == 0)
        ShowMessage(window, QStringLiteral("File Load"),
                    QStringLiteral("Nothing was loaded: %1 holds no data for the buffer.")
                        .arg(QDir::toNativeSeparators(path)),
                    MsgIcon::Warning);
    std::vector<AddressRange> placed;
    for (const BufferRange& r : loaded.ranges)
        placed.push_back({r.first, r.last});
    if (const QString where = PlacedOutsideDevice(state, placed); !where.isEmpty())
        ShowMessage(window, QStringLiteral("File Load"),
                    QStringLiteral("Nothing was loaded into the device: %1 holds no data for it; "
                                   "%2.")
                        .arg(QDir::toNativeSeparators(path), where),
                    MsgIcon::Warning);
    QStringList notices = loaded.notices;
    if (!loaded.leftOut.isEmpty())
        notices.prepend(loaded.leftOut);
    if (!notices.isEmpty())
        ShowMessage(window, QStringLiteral("File Load"), notices.join(QStringLiteral("\n\n")),
                    MsgIcon::Information);
}

void FileCommands::load() {
    const QString path = dialogs.showOpen ? dialogs.showOpen(window) : QString();
    if (!path.isEmpty())
        loadFile(path);
}

void FileCommands::loadFile(const QString& path) {
    const std::optional<FileDialogChoice> choice = askFileType(path);
    if (!choice)
        return;
    const bool ontoEmpty = state.defined.none();
    const LoadOptions options{choice->format, choice->fileOffset, choice->bufferOffset};
    image.Begin();
    const LoadResult loaded = LoadImageFile(path, options, state);
    if (loaded.ok())
        image.SetFile(path, options.format);
    image.Commit(loaded.ok() ? ImageModel::Kind::Replace : ImageModel::Kind::Edit);
    if (!loaded.ok()) {
        tellLoad(loaded, path);
        ShowMessage(window, QStringLiteral("File Load Error"), loaded.status.message,
                    MsgIcon::Critical);
        return;
    }
    const LoadedFile file =
        LoadedFile::Take(path, options.format, options.fileOffset, options.bufferOffset);
    emit imageLoaded();
    last.note(file, state, ontoEmpty);
    recentFiles->Add(path);
    emit recentChanged();
    windows.openBufferWindow();
    tellLoad(loaded, path);
}

void FileCommands::save() {
    // The file the image came from (or was last saved to), in its format.
    // ELF is read, never written: such an image is saved as another file.
    if (image.FilePath().isEmpty() || image.FileType() == FileFormat::Elf)
        saveAs();
    else
        saveTo(image.FilePath(), SaveOptions{image.FileType(), image.FileDefinedOnly()});
}

void FileCommands::saveAs() {
    const QString path = dialogs.showSave ? dialogs.showSave(window) : QString();
    if (path.isEmpty())
        return;
    const std::optional<FileDialogChoice> choice = askFileType(path, true);
    if (!choice)
        return;
    saveTo(path, SaveOptions{choice->format, choice->definedOnly});
}

bool FileCommands::saveTo(const QString& path, const SaveOptions& options) {
    const Status saved = SaveImageFile(state, path, options);
    if (!saved) {
        ShowMessage(window, QStringLiteral("File Save Error"), saved.message, MsgIcon::Critical);
        return false;
    }
    image.SetFile(path, options.format, options.definedOnly);
    image.MarkSaved();
    recentFiles->Add(path);
    emit recentChanged();
    if (!saved.message.isEmpty())
        ShowMessage(window, QStringLiteral("File Save"), saved.message, MsgIcon::Information);
    return true;
}

bool FileCommands::askToSave() {
    if (!image.IsModified())
        return true;
    const int answer =
        AskMessage(window, QStringLiteral("VARN"),
                   QStringLiteral("The buffer has changes that are not saved.\n\nSave them first?"),
                   MsgIcon::Warning,
                   {QStringLiteral("&Save"), QStringLiteral("&Discard"), QStringLiteral("Cancel")});
    if (answer == 1)
        return true;
    if (answer == 2)
        return false;
    save();
    // Saved only when the dialogs went through and the file was written.
    return !image.IsModified();
}

bool FileCommands::offerReload() {
    const LoadedFile& file = last.file;
    if (!file.isSet() || !file.changedOnDisk())
        return true;
    const QString shown = QDir::toNativeSeparators(file.path);
    // The new version replaces the old one whole: bytes the old one had and
    // the new one lacks must not reach a chip. Edits or other files in the
    // buffer are kept only when the user says so.
    const bool alone = last.bufferIsFileAlone(state);
    QString text = QStringLiteral("%1\nhas changed on disk since it was loaded.\n\nLoad it again "
                                  "with the same options first?\nNo programs the buffer as it is.")
                       .arg(shown);
    QStringList buttons{QStringLiteral("&Yes"), QStringLiteral("&No"), QStringLiteral("Cancel")};
    if (!alone) {
        text += QStringLiteral("\n\nThe buffer also holds edits or bytes of other files. Yes "
                               "loads the file alone, as after a Clear; Keep loads it over them.");
        buttons.insert(1, QStringLiteral("&Keep"));
    }
    const int answer =
        AskMessage(window, QStringLiteral("File Changed"), text, MsgIcon::Warning, buttons);
    const QString chosen = buttons.value(answer);
    if (chosen == QLatin1String("Cancel") || answer < 0)
        return false;
    if (chosen == QLatin1String("&No"))
        return true;
    const bool keep = chosen == QLatin1String("&Keep");
    // Read into a copy first: a file that no longer loads leaves the buffer.
    AppState reloaded = state;
    if (!keep)
        ClearBuffer(reloaded);
    const LoadResult loaded =
        LoadImageFile(file.path, {file.format, file.fileOffset, file.bufferOffset}, reloaded);
    if (!loaded.ok()) {
        ShowMessage(window, QStringLiteral("File Load Error"), loaded.status.message,
                    MsgIcon::Critical);
        return false;
    }
    // Part of the function window's step when it asked (see mdiMain::DeviceFunction_Click).
    image.Edit(ImageModel::Kind::Replace, [&](AppState& target) {
        target.Buffer = reloaded.Buffer;
        target.defined = reloaded.defined;
        target.startAddress = reloaded.startAddress;
    });
    last.note(LoadedFile::Take(file.path, file.format, file.fileOffset, file.bufferOffset), state,
              !keep);
    return true;
}

void FileCommands::compare() {
    const QString path = dialogs.showOpen ? dialogs.showOpen(window) : QString();
    if (path.isEmpty())
        return;
    const std::optional<FileDialogChoice> choice = askFileType(path);
    if (!choice)
        return;
    DifferenceReport report;
    const Status compared = CompareWithFile(
        state, path, {choice->format, choice->fileOffset, choice->bufferOffset}, false, report);
    if (!compared) {
        ShowMessage(window, QStringLiteral("File Load Error"), compared.message, MsgIcon::Critical);
        return;
    }
    windows.showDifferences(QStringLiteral("Compare with ") + QFileInfo(path).fileName(), report,
                            QStringLiteral("file"));
}

} // namespace varn
