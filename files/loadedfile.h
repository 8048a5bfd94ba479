#pragma once

#include "core/appstate.h"

#include <QDateTime>
#include <QString>

namespace varn {

// What the program knows about the file it loaded last, so that it can tell
// when a build has rewritten the file since: the options it was loaded with
// (to load it again the same way) and its time, size and CRC-32 then.
struct LoadedFile {
    QString path;
    FileFormat format = FileFormat::Binary;
    qint64 fileOffset = 0;
    qint64 bufferOffset = 0;
    QDateTime modified;
    qint64 size = -1;
    quint32 crc = 0;

    bool isSet() const { return !path.isEmpty(); }
    // Notes the file at path as it is on disk now.
    static LoadedFile Take(const QString& path, FileFormat format, qint64 fileOffset,
                           qint64 bufferOffset);
    // Whether the file's time, size or content differs from what was noted;
    // a file that has gone counts as changed.
    bool changedOnDisk() const;
};

// The file loaded last together with the buffer right after that load, and
// whether the load went into an empty buffer: while the buffer is unchanged
// since, it holds that file's bytes (alone, when it was empty before).
struct LastLoad {
    LoadedFile file;
    quint32 fingerprint = 0;
    bool alone = false;

    // Notes a load of file into state that has just ended.
    void note(const LoadedFile& loaded, const AppState& state, bool ontoEmpty);
    // Whether the buffer is still what that load left (false with no load).
    bool bufferUnchanged(const AppState& state) const;
    // Whether the buffer is that file alone: loaded into an empty buffer
    // and unchanged since.
    bool bufferIsFileAlone(const AppState& state) const;
};

} // namespace varn
