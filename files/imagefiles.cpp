#include "imagefiles.h"

#include "core/hextext.h"
#include "filesupport.h"

#include <QDir>
#include <QSaveFile>

namespace varn {

bool PathLooksHex(const QString& path) {
    // Case matters on purpose: "image.Hex" is offered as binary.
    return path.endsWith(QLatin1String("HEX"), Qt::CaseSensitive) ||
           path.endsWith(QLatin1String("hex"), Qt::CaseSensitive);
}

namespace detail {

Status ReplaceFileContents(const QString& path, const QByteArray& bytes) {
    const QString shown = QDir::toNativeSeparators(path);
    QSaveFile file(path);
    // Never fall back to writing the target in place: that would destroy the
    // old file when the write fails half way.
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly)) {
        return Status::Fail(QStringLiteral("Cannot create %1:\n%2").arg(shown, file.errorString()));
    }
    // QSaveFile buffers small writes and, in Qt 6.4, commits even when the
    // final flush failed (a full disk), replacing the old file with a cut-off
    // one; so the flush is checked here.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return Status::Fail(QStringLiteral("Cannot write %1:\n%2").arg(shown, reason));
    }
    if (!file.commit()) {
        return Status::Fail(QStringLiteral("Cannot write %1:\n%2").arg(shown, file.errorString()));
    }
    return Status::Ok();
}

Status CheckLoadOffsets(qint64 fileOffset, qint64 bufferOffset) {
    constexpr qint64 maxTyped = 0xFFFFFFFFLL;
    if (fileOffset < 0 || fileOffset > maxTyped) {
        return Status::Fail(
            QStringLiteral("The file address %1 is not a valid offset.").arg(fileOffset));
    }
    if (bufferOffset < 0 || bufferOffset > BufferLast) {
        return Status::Fail(QStringLiteral("The buffer address %1 lies outside the buffer "
                                           "(0000 to %2).")
                                .arg(bufferOffset >= 0 && bufferOffset <= maxTyped
                                         ? HexWord(static_cast<qint32>(bufferOffset))
                                         : QString::number(bufferOffset),
                                     HexWord(BufferLast)));
    }
    return Status::Ok();
}

Status OpenForLoad(QFile& file, qint64 fileOffset, qint64 bufferOffset, const QString& shown) {
    if (Status offsets = CheckLoadOffsets(fileOffset, bufferOffset); !offsets)
        return Status::Fail(offsets.message + QStringLiteral("\n%1").arg(shown));
    if (!file.open(QIODevice::ReadOnly))
        return Status::Fail(QStringLiteral("Cannot open %1:\n%2").arg(shown, file.errorString()));
    return Status::Ok();
}

} // namespace detail

} // namespace varn
