#include "buffercommands.h"

#include "core/appstate.h"
#include "core/hextext.h"
#include "editor/buffersearch.h"
#include "editor/clipboardtext.h"
#include "editor/frmbuffer.h"
#include "editor/frmbufferfill.h"
#include "editor/imagemodel.h"
#include "ui/filedialogs.h"
#include "ui/windowplacement.h"
#include "widgets/messagebox.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QWidget>
#include <algorithm>
#include <optional>

namespace varn {

BufferCommands::BufferCommands(AppState& appState, ImageModel& imageModel,
                               WindowPlacement& placement, const FileDialogs& fileDialogs,
                               QWidget* parent)
    : QObject(parent), state(appState), image(imageModel), windows(placement), dialogs(fileDialogs),
      window(parent) {}

void BufferCommands::edit() {
    windows.activateBufferWindow();
}

void BufferCommands::clear() {
    image.Clear();
    windows.openBufferWindow();
}

void BufferCommands::showHistoryStep(qint32 address) {
    if (address < 0)
        return;
    windows.openBufferWindow();
    if (frmBuffer* buffer = windows.bufferWindow())
        buffer->GoTo(address);
}

void BufferCommands::undo() {
    showHistoryStep(image.Undo());
}

void BufferCommands::redo() {
    showHistoryStep(image.Redo());
}

void BufferCommands::goTo() {
    // The label names the device's addresses, the only ones there are to go to.
    const QString range =
        state.DeviceSize() > 0
            ? QStringLiteral("%1-%2").arg(HexWord(0),
                                          HexWord(std::min(state.DeviceSize(), MaxDeviceSize) - 1))
            : QStringLiteral("none");
    const QString typed = dialogs
                              .askText(window, QStringLiteral("Go To"),
                                       QStringLiteral("Address (hex, %1):").arg(range))
                              .trimmed();
    if (typed.isEmpty())
        return;
    bool ok = false;
    const qint32 address = typed.toInt(&ok, 16);
    windows.openBufferWindow();
    frmBuffer* buffer = windows.bufferWindow();
    if (!ok || !buffer || !buffer->GoTo(address))
        ShowMessage(window, QStringLiteral("Go To"),
                    QStringLiteral("There is no address %1 in this device (%2).").arg(typed, range),
                    MsgIcon::Warning);
}

void BufferCommands::find() {
    const QString typed =
        dialogs.askText(window, QStringLiteral("Find"), QStringLiteral("Hex bytes or text:"));
    if (typed.isEmpty())
        return;
    findPattern = ParseSearchText(typed);
    windows.openBufferWindow();
    if (frmBuffer* buffer = windows.bufferWindow())
        buffer->ShowFound(-1, 0);
    findNext();
}

void BufferCommands::findNext() {
    if (findPattern.isEmpty())
        return find();
    windows.openBufferWindow();
    frmBuffer* buffer = windows.bufferWindow();
    if (!buffer)
        return;
    // Next means after the bytes found last; a new search starts at the caret.
    const HexView& view = buffer->View();
    const qint32 from = view.FoundLength() > 0 ? view.FoundAddress() + 1 : view.CaretAddress();
    const qint32 found = FindInBuffer(state, findPattern, from, state.DeviceSize());
    if (found < 0) {
        buffer->ShowFound(-1, 0);
        emit note(QString());
        ShowMessage(window, QStringLiteral("Find"), QStringLiteral("Not found."),
                    MsgIcon::Information);
        return;
    }
    // The search goes on from the device's start after its end; say so, and
    // say when that led back to the bytes already marked.
    const bool again = view.FoundLength() > 0 && found == view.FoundAddress();
    emit note(again          ? QStringLiteral("Find: no further match.")
              : found < from ? QStringLiteral("Find: went on from the start of the device.")
                             : QString());
    buffer->ShowFound(found, int(findPattern.size()));
}

void BufferCommands::copySelection(bool asArray) {
    const frmBuffer* buffer = windows.bufferWindow();
    if (!buffer)
        return;
    const qint32 first = buffer->View().SelectionFirst();
    const QByteArray bytes(reinterpret_cast<const char*>(state.Buffer.data()) + first,
                           buffer->View().SelectionLast() - first + 1);
    QGuiApplication::clipboard()->setText(asArray ? CArrayClipText(bytes, first)
                                                  : HexClipText(bytes));
}

void BufferCommands::paste() {
    const frmBuffer* buffer = windows.bufferWindow();
    if (!buffer)
        return;
    const std::optional<QByteArray> bytes = ParseHexClip(QGuiApplication::clipboard()->text());
    if (!bytes) {
        ShowMessage(window, QStringLiteral("Paste"),
                    QStringLiteral("The clipboard holds no hex bytes (such as 12 AB 3F)."),
                    MsgIcon::Information);
        return;
    }
    // One undoable step, from the caret on, never past the device's end.
    const qint32 at = buffer->View().CaretAddress();
    const qint32 count =
        std::min<qint32>(std::min(state.DeviceSize(), MaxDeviceSize) - at, qint32(bytes->size()));
    image.Edit(ImageModel::Kind::Edit, [&](AppState& target) {
        std::copy(bytes->begin(), bytes->begin() + count, target.Buffer.begin() + at);
        target.markDefined(at, at + count);
    });
    emit note(count < bytes->size()
                  ? QStringLiteral("Paste: %1 bytes past the device's end left out.")
                        .arg(bytes->size() - count)
                  : QString());
}

void BufferCommands::fill() {
    // The start box offers the caret's address.
    const frmBuffer* buffer = windows.bufferWindow();
    std::optional<FillRequest> request;
    {
        frmBufferFill dialog(buffer ? buffer->View().CaretAddress() : 0, window);
        dialog.exec();
        request = dialog.Result();
    }
    if (!request)
        return;
    const Status filled = image.Fill(request->start, request->length, request->value);
    if (!filled) {
        ShowMessage(window, QStringLiteral("Buffer Fill"), filled.message, MsgIcon::Critical);
        return;
    }
    // The open window has redrawn itself; a closed one opens, at address 0.
    windows.openBufferWindow();
}

} // namespace varn
