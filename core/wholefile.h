#pragma once

#include "status.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace varn {

// File names are bytes to the system. QFile::decodeName turns bytes that are
// not UTF-8 (a Latin-1 name) into U+FFFD, which names another file; these keep
// each such byte as U+DC80 + byte, so every name the shell can pass comes back
// to the same bytes. Names that are valid in the platform's encoding are
// exactly QFile::decodeName / QFile::encodeName.
QString DecodeFileName(const QByteArray& name);
QByteArray EncodeFileName(const QString& name);

// A whole file read into memory, never more than a limit the caller chooses
// above anything a valid file of its kind can hold. Regular files are refused
// by their size before anything is allocated; pipes, FIFOs, /dev/stdin and
// other streams are read to their end, or until the limit is passed.
struct WholeFileRead {
    enum Outcome {
        Read,       // bytes holds the whole file
        CannotOpen, // reason: the system's text
        NotAFile,   // a folder; reason names it
        TooLarge,   // more than the limit; size is a regular file's size, -1 for a stream
        CannotRead, // reason: the system's text
    };
    Outcome outcome = Read;
    QByteArray bytes;
    qint64 size = 0;
    QString reason;

    explicit operator bool() const { return outcome == Read; }
    // The reason in one phrase for any outcome but Read ("it is larger than ...").
    QString describe(qint64 limit) const;
};
WholeFileRead ReadWholeFile(const QString& path, qint64 limit);

// Replaces the file at path with bytes in one step: they go to a temporary
// file beside the target, synced to the disk, which then takes the target's
// place; a failure leaves the old file as it was and no temporary file behind.
// Only a regular file or a new name is written: a symbolic link is followed to
// its file (the link stays), anything else (a FIFO, a device, a folder, a link
// loop) is refused with its kind named. The failure's message is the reason
// alone; the caller names the file.
Status WriteWholeFile(const QString& path, const QByteArray& bytes);

// A file written piece by piece, in memory that does not grow with it (a
// buffer of BufferBytes): an export as long as the log it comes from. Opened
// on a path, it goes to a temporary file beside it and replaces the file only
// in finish(), by WriteWholeFile's rules; dropped unfinished, or after a
// failure, it leaves the old file as it was and no temporary file behind.
// Opened on standard output, bytes go out as the buffer fills. Failures'
// messages are the reason alone.
class FileWriter {
public:
    static constexpr qsizetype BufferBytes = 64 * 1024;

    FileWriter() = default;
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    Status openReplacing(const QString& path);
    Status openStandardOutput();
    Status write(QByteArrayView bytes);
    // Whatever is buffered goes out; a replacement is synced and takes the
    // file's place.
    Status finish();

private:
    Status writeOut(const char* data, qsizetype size);
    Status fail(int error);
    void discard();

    int fd = -1;
    QByteArray target;    // the file replaced; empty for standard output
    QByteArray temporary; // the replacement while it is written
    QByteArray buffer;
};

} // namespace varn
