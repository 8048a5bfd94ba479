#pragma once

#include "core/appstate.h"
#include "core/status.h"
#include "editor/bufferhistory.h"

#include <QObject>
#include <QString>
#include <functional>

namespace varn {

// The image the program works on: the buffer and its defined-byte mask (both
// kept in AppState, which stays a plain value the device engine can copy to
// a worker thread), its undo history, the file it came from and whether it
// has unsaved edits. Every change made from the windows goes through here as
// one undoable step, and the windows follow the signals instead of being
// rebuilt.
class ImageModel : public QObject {
    Q_OBJECT
public:
    using Kind = BufferHistory::Kind;

    explicit ImageModel(AppState& state, QObject* parent = nullptr);

    const AppState& Image() const { return state; }
    const BufferHistory& History() const { return history; }

    // Runs change on the image as one step of the given kind and signals what
    // it touched. A Replace step (load, Clear, Read) also signals reset.
    void Edit(Kind kind, const std::function<void(AppState&)>& change);
    // A typed digit, a fill, Clear: the same operations as the buffer
    // commands, as steps.
    void SetByte(qint32 address, quint8 value);
    Status Fill(qint64 start, qint64 length, quint8 value);
    void Clear();
    // The image after a Read (run on a copy, on a worker thread) replaces
    // this one, bytes and defined marks; no file stands behind it any more.
    void StoreRead(const std::array<quint8, BufferSize>& bytes,
                   const std::bitset<BufferSize>& defined);

    // For windows that still write the state directly while they run (the
    // function windows): everything between Begin and Commit is one step.
    // Pairs may nest; the outer pair records one step, a Replace when any
    // pair inside was one.
    void Begin();
    void Commit(Kind kind);

    // The lowest address the step changed, or -1 when there is none.
    qint32 Undo();
    qint32 Redo();

    // The file the image came from or was last saved to; empty for none.
    const QString& FilePath() const { return filePath; }
    FileFormat FileType() const { return fileType; }
    // Whether a save to that file writes only the image's bytes.
    bool FileDefinedOnly() const { return fileDefinedOnly; }
    void SetFile(const QString& path, FileFormat format, bool definedOnly = false);
    // Saved to its file: no unsaved edits from here on.
    void MarkSaved();
    bool IsModified() const { return history.IsModified(); }
    // Operator mode: no edit, fill, clear, undo or redo changes the image
    // (a job's image is what the job fixed).
    void SetReadOnly(bool on) { readOnly = on; }
    bool IsReadOnly() const { return readOnly; }

signals:
    // Bytes, defined marks or change marks of [begin, end) changed.
    void contentsChanged(qint32 begin, qint32 end);
    // The whole image was replaced (load, Clear, Read): views start afresh.
    void reset();
    void modifiedChanged(bool modified);
    void fileChanged(const QString& path);

private:
    void Announce(bool replaced);
    void AnnounceModified();

    AppState& state;
    BufferHistory history;
    QString filePath;
    FileFormat fileType = FileFormat::Binary;
    bool fileDefinedOnly = false;
    bool wasModified = false;
    bool readOnly = false;
    int depth = 0;
    Kind outerKind = Kind::Edit;
};

} // namespace varn
