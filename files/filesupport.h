#pragma once

#include "core/status.h"

#include <QByteArray>
#include <QFile>
#include <QString>

namespace varn::detail {

// Replaces the file at path with bytes in one step: the bytes go to a
// temporary file beside the target, which takes the target's place only when
// all of them were written, so a failed save leaves the old file as it was.
Status ReplaceFileContents(const QString& path, const QByteArray& bytes);

// The offsets typed into the load dialog are unsigned 32-bit values; anything
// else would come from a caller's mistake and must not reach the buffer.
Status CheckLoadOffsets(qint64 fileOffset, qint64 bufferOffset);

// The first steps of every load: the offsets checked, then the file opened
// for reading. Failures name the file as shown to the user.
Status OpenForLoad(QFile& file, qint64 fileOffset, qint64 bufferOffset, const QString& shown);

} // namespace varn::detail
