#include "wholefile.h"

#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace varn {

namespace {

constexpr char16_t EscapeBase = 0xDC00; // + a byte that is not part of valid UTF-8

// The length of the valid UTF-8 sequence at p (at most `left` bytes), 0 if
// there is none: overlong forms and encoded surrogates are not valid.
int Utf8SequenceLength(const unsigned char* p, qsizetype left, char32_t& code) {
    const unsigned char lead = p[0];
    int length = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (left < length)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (p[i] & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

QString SystemError(int error) {
    if (error == ENOSPC || error == EDQUOT)
        return QStringLiteral("the disk is full (%1)").arg(QString::fromLocal8Bit(strerror(error)));
    return QString::fromLocal8Bit(strerror(error));
}

QString KindOf(mode_t mode) {
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO (named pipe)");
    if (S_ISCHR(mode))
        return QStringLiteral("a character device");
    if (S_ISBLK(mode))
        return QStringLiteral("a block device");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("not a regular file");
}

// Closes a descriptor on every way out.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

QByteArray DirectoryOf(const QByteArray& path) {
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArray(".");
    return slash == 0 ? QByteArray("/") : path.left(slash);
}

// Follows symbolic links from path to the name that is finally written. A
// name that does not exist yet is a new file; an existing one must be a
// regular file, whose status is left in existing.
Status ResolveTarget(QByteArray& path, bool& exists, struct stat& existing) {
    for (int hops = 0; hops < 40; ++hops) {
        if (::lstat(path.constData(), &existing) != 0) {
            if (errno != ENOENT)
                return Status::Fail(SystemError(errno));
            exists = false;
            return Status::Ok();
        }
        if (S_ISREG(existing.st_mode)) {
            exists = true;
            return Status::Ok();
        }
        if (!S_ISLNK(existing.st_mode))
            return Status::Fail(QStringLiteral("it is %1, not a regular file; only a regular "
                                               "file is replaced by a save")
                                    .arg(KindOf(existing.st_mode)));
        QByteArray target(qsizetype(existing.st_size > 0 ? existing.st_size : 256) + 1, '\0');
        const ssize_t length = ::readlink(path.constData(), target.data(), size_t(target.size()));
        if (length < 0 || length >= target.size())
            return Status::Fail(SystemError(length < 0 ? errno : ENAMETOOLONG));
        target.truncate(length);
        path = target.startsWith('/') ? target : DirectoryOf(path) + '/' + target;
    }
    return Status::Fail(QStringLiteral("it is a symbolic link that leads round in a loop, "
                                       "not a regular file"));
}

} // namespace

QString DecodeFileName(const QByteArray& name) {
    const QString plain = QFile::decodeName(name);
    if (QFile::encodeName(plain) == name)
        return plain;
    QString out;
    const auto* p = reinterpret_cast<const unsigned char*>(name.constData());
    for (qsizetype i = 0; i < name.size();) {
        char32_t code = 0;
        const int length = Utf8SequenceLength(p + i, name.size() - i, code);
        if (length == 0) {
            out.append(QChar(char16_t(EscapeBase + p[i])));
            ++i;
            continue;
        }
        const char32_t one[] = {code};
        out.append(QString::fromUcs4(one, 1));
        i += length;
    }
    return out;
}

QByteArray EncodeFileName(const QString& name) {
    const auto escaped = [](QChar c) {
        return c.unicode() >= EscapeBase + 0x80 && c.unicode() <= EscapeBase + 0xFF;
    };
    if (std::none_of(name.cbegin(), name.cend(), escaped))
        return QFile::encodeName(name);
    QByteArray out;
    qsizetype runStart = 0;
    for (qsizetype i = 0; i <= name.size(); ++i) {
        if (i < name.size() && !escaped(name.at(i)))
            continue;
        out += QFile::encodeName(name.mid(runStart, i - runStart));
        if (i < name.size())
            out += char(name.at(i).unicode() - EscapeBase);
        runStart = i + 1;
    }
    return out;
}

QString WholeFileRead::describe(qint64 limit) const {
    switch (outcome) {
    case Read:
        return {};
    case TooLarge:
        return size >= 0 ? QStringLiteral("it holds %1 bytes, more than the %2 that a valid file "
                                          "of its kind can hold")
                               .arg(size)
                               .arg(limit)
                         : QStringLiteral("it goes on past %1 bytes, more than a valid file of "
                                          "its kind can hold")
                               .arg(limit);
    default:
        return reason;
    }
}

WholeFileRead ReadWholeFile(const QString& path, qint64 limit) {
    WholeFileRead result;
    const auto fail = [&](WholeFileRead::Outcome outcome, const QString& reason) {
        result.outcome = outcome;
        result.reason = reason;
        result.bytes.clear();
        return result;
    };
    Descriptor file;
    // O_NOCTTY: /dev/tty or a serial port named by mistake must not become
    // this program's controlling terminal.
    file.fd = ::open(EncodeFileName(path).constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (file.fd < 0)
        return fail(WholeFileRead::CannotOpen, SystemError(errno));
    struct stat status {};
    if (::fstat(file.fd, &status) != 0)
        return fail(WholeFileRead::CannotRead, SystemError(errno));
    if (S_ISDIR(status.st_mode))
        return fail(WholeFileRead::NotAFile, QStringLiteral("it is a folder, not a file"));
    // A regular file says its size; a stream (pipe, FIFO, terminal, device)
    // says 0 and is read until it ends.
    const bool regular = S_ISREG(status.st_mode);
    if (regular && status.st_size > limit) {
        result.size = status.st_size;
        return fail(WholeFileRead::TooLarge, {});
    }
    const qint64 chunk = 64 * 1024;
    result.bytes.reserve(regular ? qsizetype(status.st_size) : qsizetype(std::min(limit, chunk)));
    for (;;) {
        // One byte past the limit tells a stream that is too long from one
        // that ends exactly at it.
        const qint64 room = std::min(chunk, limit + 1 - result.bytes.size());
        const qsizetype had = result.bytes.size();
        result.bytes.resize(had + qsizetype(room));
        const ssize_t got = ::read(file.fd, result.bytes.data() + had, size_t(room));
        if (got < 0 && errno == EINTR) {
            result.bytes.resize(had);
            continue;
        }
        if (got < 0)
            return fail(WholeFileRead::CannotRead, SystemError(errno));
        result.bytes.resize(had + got);
        if (got == 0)
            break;
        if (result.bytes.size() > limit) {
            result.size = -1; // a regular file that grew while read counts as a stream
            return fail(WholeFileRead::TooLarge, {});
        }
    }
    result.size = result.bytes.size();
    return result;
}

FileWriter::~FileWriter() {
    discard();
}

void FileWriter::discard() {
    if (fd >= 0 && !temporary.isEmpty()) {
        ::close(fd);
        ::unlink(temporary.constData());
    }
    fd = -1;
    temporary.clear();
    buffer.clear();
}

Status FileWriter::fail(int error) {
    discard();
    return Status::Fail(SystemError(error));
}

Status FileWriter::openStandardOutput() {
    discard();
    fd = STDOUT_FILENO;
    buffer.reserve(BufferBytes);
    return Status::Ok();
}

Status FileWriter::openReplacing(const QString& path) {
    discard();
    target = EncodeFileName(path);
    bool exists = false;
    struct stat existing {};
    if (Status resolved = ResolveTarget(target, exists, existing); !resolved)
        return resolved;

    // A new name beside the target, so that the rename stays on one file system.
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary =
            target + ".varn-" + QByteArray::number(QRandomGenerator::global()->generate(), 36);
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            const int error = errno;
            temporary.clear();
            return Status::Fail(SystemError(error));
        }
    }
    if (fd < 0) {
        temporary.clear();
        return Status::Fail(SystemError(EEXIST));
    }
    if (exists) {
        // The replacement keeps the old file's permissions (and, for root, its owner).
        if (::fchmod(fd, existing.st_mode & 07777) != 0)
            return fail(errno);
        if (::geteuid() == 0 && ::fchown(fd, existing.st_uid, existing.st_gid) != 0)
            return fail(errno);
    }
    buffer.reserve(BufferBytes);
    return Status::Ok();
}

Status FileWriter::writeOut(const char* data, qsizetype size) {
    for (qsizetype written = 0; written < size;) {
        const ssize_t n = ::write(fd, data + written, size_t(size - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail(n < 0 ? errno : EIO);
        written += n;
    }
    return Status::Ok();
}

Status FileWriter::write(QByteArrayView bytes) {
    if (fd < 0)
        return Status::Fail(SystemError(EBADF));
    if (buffer.size() + bytes.size() <= BufferBytes) {
        buffer.append(bytes);
        return Status::Ok();
    }
    if (Status out = writeOut(buffer.constData(), buffer.size()); !out)
        return out;
    buffer.clear();
    if (bytes.size() >= BufferBytes)
        return writeOut(bytes.data(), bytes.size());
    buffer.append(bytes);
    return Status::Ok();
}

Status FileWriter::finish() {
    if (fd < 0)
        return Status::Fail(SystemError(EBADF));
    if (Status out = writeOut(buffer.constData(), buffer.size()); !out)
        return out;
    buffer.clear();
    if (temporary.isEmpty()) {
        fd = -1; // standard output stays open for whatever follows
        return Status::Ok();
    }
    // Some file systems report a full disk only here.
    if (::fsync(fd) != 0)
        return fail(errno);
    const int closing = std::exchange(fd, -1);
    if (::close(closing) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        temporary.clear();
        return Status::Fail(SystemError(error));
    }
    const QByteArray written = std::exchange(temporary, QByteArray());
    // The kind is looked at once more: what replaced the name meanwhile must
    // not be overwritten either.
    struct stat now {};
    if (::lstat(target.constData(), &now) == 0 && !S_ISREG(now.st_mode)) {
        ::unlink(written.constData());
        return Status::Fail(
            QStringLiteral(
                "it is %1, not a regular file; only a regular file is replaced by a save")
                .arg(KindOf(now.st_mode)));
    }
    if (::rename(written.constData(), target.constData()) != 0) {
        const int error = errno;
        ::unlink(written.constData());
        return Status::Fail(SystemError(error));
    }
    return Status::Ok();
}

Status WriteWholeFile(const QString& path, const QByteArray& bytes) {
    FileWriter file;
    if (Status opened = file.openReplacing(path); !opened)
        return opened;
    if (Status written = file.write(bytes); !written)
        return written;
    return file.finish();
}

} // namespace varn
