#include "loadedfile.h"

#include "core/bufferops.h"
#include "core/crc32.h"

#include <QFile>
#include <QFileInfo>

namespace varn {

namespace {
// The content's CRC, so that a rewrite within the file system's time
// resolution and of the same size is still seen. -1 size: unreadable.
bool Stamp(const QString& path, QDateTime& modified, qint64& size, quint32& crc) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    modified = QFileInfo(file).lastModified();
    size = bytes.size();
    crc = Crc32(reinterpret_cast<const quint8*>(bytes.constData()), size_t(bytes.size()));
    return true;
}
} // namespace

LoadedFile LoadedFile::Take(const QString& path, FileFormat format, qint64 fileOffset,
                            qint64 bufferOffset) {
    LoadedFile loaded{path, format, fileOffset, bufferOffset, {}, -1, 0};
    Stamp(path, loaded.modified, loaded.size, loaded.crc);
    return loaded;
}

bool LoadedFile::changedOnDisk() const {
    QDateTime nowModified;
    qint64 nowSize = -1;
    quint32 nowCrc = 0;
    if (!Stamp(path, nowModified, nowSize, nowCrc))
        return true;
    return nowModified != modified || nowSize != size || nowCrc != crc;
}

void LastLoad::note(const LoadedFile& loaded, const AppState& state, bool ontoEmpty) {
    file = loaded;
    alone = ontoEmpty;
    fingerprint = BufferFingerprint(state);
}

bool LastLoad::bufferUnchanged(const AppState& state) const {
    return file.isSet() && BufferFingerprint(state) == fingerprint;
}

bool LastLoad::bufferIsFileAlone(const AppState& state) const {
    return alone && BufferFingerprint(state) == fingerprint;
}

} // namespace varn
