#include "imagefiles.h"

#include "filesupport.h"

#include <QDir>
#include <gelf.h>
#include <libelf.h>

#include <memory>

namespace varn::detail {

namespace {

struct ElfCloser {
    void operator()(Elf* elf) const { elf_end(elf); }
};

// Addresses far beyond any buffer stay far beyond it without overflowing the
// arithmetic that places them.
constexpr quint64 AddressCeiling = quint64(1) << 40;

} // namespace

Status ReadElfSegments(const QByteArray& content, const QString& shown, ImageRecords& image) {
    image.unit = QStringLiteral("segment");
    const auto fail = [&](const QString& cause) {
        return Status::Fail(QStringLiteral("%1\n%2").arg(cause, shown));
    };
    if (elf_version(EV_CURRENT) == EV_NONE)
        return fail(QStringLiteral("The ELF library cannot be used: %1.")
                        .arg(QString::fromUtf8(elf_errmsg(-1))));
    // libelf only reads from the memory it is given; it is not written.
    std::unique_ptr<Elf, ElfCloser> elf(
        elf_memory(const_cast<char*>(content.constData()), size_t(content.size())));
    if (!elf || elf_kind(elf.get()) != ELF_K_ELF)
        return fail(QStringLiteral("The file is not an ELF file."));
    GElf_Ehdr header;
    if (!gelf_getehdr(elf.get(), &header))
        return fail(QStringLiteral("The ELF header cannot be read: %1.")
                        .arg(QString::fromUtf8(elf_errmsg(-1))));
    size_t count = 0;
    if (elf_getphdrnum(elf.get(), &count) != 0)
        return fail(QStringLiteral("The ELF program headers cannot be read: %1.")
                        .arg(QString::fromUtf8(elf_errmsg(-1))));
    const quint64 fileSize = quint64(content.size());
    for (size_t i = 0; i < count; ++i) {
        GElf_Phdr segment;
        if (!gelf_getphdr(elf.get(), int(i), &segment))
            return fail(QStringLiteral("The ELF program header %1 cannot be read: %2.")
                            .arg(i)
                            .arg(QString::fromUtf8(elf_errmsg(-1))));
        if (segment.p_type != PT_LOAD || segment.p_filesz == 0)
            continue; // only what the file holds goes into a chip; .bss does not
        if (segment.p_offset > fileSize || segment.p_filesz > fileSize - segment.p_offset)
            return Status::Fail(QStringLiteral("The segment's bytes lie beyond the end of the "
                                               "file.\n%1")
                                    .arg(FileLine(shown, int(i), image.unit)));
        image.add(int(i), qint64(std::min<quint64>(segment.p_paddr, AddressCeiling)),
                  content.mid(qsizetype(segment.p_offset), qsizetype(segment.p_filesz)));
    }
    if (header.e_entry <= 0xFFFFFFFFu)
        image.start = quint32(header.e_entry);
    image.ended = true;
    return Status::Ok();
}

LoadResult LoadElfFile(const QString& path, const LoadOptions& options, ImageTarget target) {
    // A firmware ELF file carries symbols and debugging sections beside what
    // is loaded; far more than any of them, far less than would strain memory.
    constexpr qint64 MaxElfBytes = 64 * 1024 * 1024;
    return OpenRecordImage(path, options, target, ReadElfSegments, MaxElfBytes);
}

} // namespace varn::detail
