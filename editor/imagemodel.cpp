#include "imagemodel.h"

#include "core/bufferops.h"

#include <algorithm>

namespace varn {

ImageModel::ImageModel(AppState& appState, QObject* parent)
    : QObject(parent), state(appState), history(appState) {}

void ImageModel::Begin() {
    if (depth++ == 0) {
        history.Begin();
        outerKind = Kind::Edit;
    }
}

void ImageModel::Commit(Kind kind) {
    if (depth == 0)
        return;
    if (kind == Kind::Replace)
        outerKind = Kind::Replace;
    if (--depth > 0) {
        // A step inside another (a reload before Program, inside the function
        // window's step) is recorded with it, but shown at once.
        if (kind == Kind::Replace)
            emit reset();
        else
            emit contentsChanged(0, BufferSize);
        return;
    }
    history.Commit(outerKind);
    Announce(outerKind == Kind::Replace);
}

void ImageModel::Edit(Kind kind, const std::function<void(AppState&)>& change) {
    if (readOnly)
        return;
    Begin();
    change(state);
    Commit(kind);
}

void ImageModel::SetByte(qint32 address, quint8 value) {
    if (address < 0 || address >= BufferSize)
        return;
    Edit(Kind::Edit, [&](AppState& image) {
        image.Buffer[size_t(address)] = value;
        image.markDefined(address, address + 1);
    });
}

Status ImageModel::Fill(qint64 start, qint64 length, quint8 value) {
    if (readOnly)
        return Status::Fail(QStringLiteral("The buffer is locked in operator mode."));
    Status filled;
    Edit(Kind::Edit, [&](AppState& image) { filled = FillBuffer(image, start, length, value); });
    return filled;
}

void ImageModel::Clear() {
    Edit(Kind::Replace, [](AppState& image) { ClearBuffer(image); });
}

void ImageModel::StoreRead(const std::array<quint8, BufferSize>& bytes,
                           const std::bitset<BufferSize>& defined) {
    Edit(Kind::Replace, [&](AppState& image) {
        image.Buffer = bytes;
        image.defined = defined;
    });
    SetFile(QString(), fileType);
}

qint32 ImageModel::Undo() {
    if (readOnly)
        return -1;
    const qint32 address = history.Undo();
    if (address >= 0)
        Announce(false);
    return address;
}

qint32 ImageModel::Redo() {
    if (readOnly)
        return -1;
    const qint32 address = history.Redo();
    if (address >= 0)
        Announce(false);
    return address;
}

void ImageModel::SetFile(const QString& path, FileFormat format, bool definedOnly) {
    fileType = format;
    fileDefinedOnly = definedOnly;
    if (path == filePath)
        return;
    filePath = path;
    emit fileChanged(filePath);
}

void ImageModel::MarkSaved() {
    history.MarkSaved();
    AnnounceModified();
}

void ImageModel::Announce(bool replaced) {
    const BufferHistory::Span span = history.LastSpan();
    if (replaced)
        emit reset();
    else if (!span.isEmpty())
        emit contentsChanged(span.begin, span.end);
    AnnounceModified();
}

void ImageModel::AnnounceModified() {
    if (history.IsModified() != wasModified) {
        wasModified = history.IsModified();
        emit modifiedChanged(wasModified);
    }
}

} // namespace varn
