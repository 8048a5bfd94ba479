#include "imagefiles.h"

#include "filesupport.h"

#include <QDir>
#include <gelf.h>
#include <libelf.h>

#include <memory>
#include <vector>

namespace varn::detail {

namespace {

struct ElfCloser {
    void operator()(Elf* elf) const { elf_end(elf); }
};

// Addresses far beyond any buffer stay far beyond it without overflowing the
// arithmetic that places them.
constexpr quint64 AddressCeiling = quint64(1) << 40;

QString ElfError() {
    return QString::fromUtf8(elf_errmsg(-1));
}

// [offset, offset + size) within [0, limit), without overflow.
bool Within(quint64 offset, quint64 size, quint64 limit) {
    return offset <= limit && size <= limit - offset;
}

// Where `objcopy -O binary` puts a section: in the first PT_LOAD segment
// that holds both its file bytes and its run addresses, at the segment's
// load address plus the section's place in it. None when no segment holds it.
std::optional<quint64> SectionLoadAddress(const GElf_Shdr& section,
                                          const std::vector<GElf_Phdr>& segments) {
    for (const GElf_Phdr& segment : segments) {
        if (segment.p_type != PT_LOAD || section.sh_offset < segment.p_offset ||
            section.sh_addr < segment.p_vaddr)
            continue;
        if (Within(section.sh_offset - segment.p_offset, section.sh_size, segment.p_filesz) &&
            Within(section.sh_addr - segment.p_vaddr, section.sh_size, segment.p_memsz))
            return std::min<quint64>(AddressCeiling, segment.p_paddr) +
                   (section.sh_offset - segment.p_offset);
    }
    return std::nullopt;
}

} // namespace

// Takes what `objcopy -O binary` takes: the allocated sections with file
// bytes, at their load addresses; the ELF header and the program headers,
// which a PT_LOAD segment often covers, are no part of the image. A file
// without section headers (which objcopy refuses) falls back to the file
// bytes of its PT_LOAD segments, with a notice.
Status ReadElfImage(const QByteArray& content, const QString& shown, ImageRecords& image) {
    const auto fail = [&](const QString& cause) {
        return Status::Fail(QStringLiteral("%1\n%2").arg(cause, shown));
    };
    if (elf_version(EV_CURRENT) == EV_NONE)
        return fail(QStringLiteral("The ELF library cannot be used: %1.").arg(ElfError()));
    // libelf only reads from the memory it is given; it is not written.
    std::unique_ptr<Elf, ElfCloser> elf(
        elf_memory(const_cast<char*>(content.constData()), size_t(content.size())));
    if (!elf || elf_kind(elf.get()) != ELF_K_ELF)
        return fail(QStringLiteral("The file is not an ELF file."));
    GElf_Ehdr header;
    if (!gelf_getehdr(elf.get(), &header))
        return fail(QStringLiteral("The ELF header cannot be read: %1.").arg(ElfError()));
    const quint64 fileSize = quint64(content.size());
    const int bits = gelf_getclass(elf.get()) == ELFCLASS64 ? 64 : 32;

    // libelf reads entries of its own size whatever the header says, and
    // quietly shortens a table that the file cuts off: the header's count
    // is checked (beyond 65534 entries it stands in section 0, as libelf reads).
    size_t count = 0;
    if (elf_getphdrnum(elf.get(), &count) != 0)
        return fail(QStringLiteral("The ELF program headers cannot be read: %1.").arg(ElfError()));
    if (header.e_phnum != PN_XNUM)
        count = header.e_phnum;
    const size_t entrySize = gelf_fsize(elf.get(), ELF_T_PHDR, 1, EV_CURRENT);
    if (count > 0 && header.e_phentsize != entrySize)
        return fail(QStringLiteral("The program header entries are %1 bytes long; a %2-bit ELF "
                                   "file's are %3 bytes.")
                        .arg(header.e_phentsize)
                        .arg(bits)
                        .arg(entrySize));
    if (count > 0 &&
        (count > fileSize / entrySize || !Within(header.e_phoff, count * entrySize, fileSize)))
        return fail(QStringLiteral("The program header table lies beyond the end of the file."));
    std::vector<GElf_Phdr> segments(count);
    for (size_t i = 0; i < count; ++i) {
        GElf_Phdr& segment = segments[i];
        if (!gelf_getphdr(elf.get(), int(i), &segment))
            return fail(QStringLiteral("The ELF program header %1 cannot be read: %2.")
                            .arg(i)
                            .arg(ElfError()));
        if (segment.p_filesz > 0 && !Within(segment.p_offset, segment.p_filesz, fileSize))
            return Status::Fail(QStringLiteral("The segment's bytes lie beyond the end of the "
                                               "file.\n%1")
                                    .arg(FileLine(shown, int(i), QStringLiteral("segment"))));
    }

    size_t sectionCount = 0;
    if (elf_getshdrnum(elf.get(), &sectionCount) != 0)
        return fail(QStringLiteral("The ELF section headers cannot be read: %1.").arg(ElfError()));
    const size_t sectionEntrySize = gelf_fsize(elf.get(), ELF_T_SHDR, 1, EV_CURRENT);
    if (sectionCount > 0 && header.e_shentsize != sectionEntrySize)
        return fail(QStringLiteral("The section header entries are %1 bytes long; a %2-bit ELF "
                                   "file's are %3 bytes.")
                        .arg(header.e_shentsize)
                        .arg(bits)
                        .arg(sectionEntrySize));

    if (sectionCount == 0) {
        image.unit = QStringLiteral("segment");
        for (size_t i = 0; i < count; ++i) {
            const GElf_Phdr& segment = segments[i];
            if (segment.p_type != PT_LOAD || segment.p_filesz == 0)
                continue; // only what the file holds goes into a chip; .bss does not
            image.add(int(i), qint64(std::min<quint64>(segment.p_paddr, AddressCeiling)),
                      QByteArrayView(content).sliced(qsizetype(segment.p_offset),
                                                     qsizetype(segment.p_filesz)));
        }
        if (!image.records.empty())
            image.notices << QStringLiteral("The file has no section headers: its segments were "
                                            "loaded whole, with any ELF headers they hold.\n%1")
                                 .arg(shown);
    } else {
        image.unit = QStringLiteral("section");
        for (Elf_Scn* scn = elf_nextscn(elf.get(), nullptr); scn;
             scn = elf_nextscn(elf.get(), scn)) {
            GElf_Shdr section;
            if (!gelf_getshdr(scn, &section))
                return fail(QStringLiteral("The ELF section header %1 cannot be read: %2.")
                                .arg(elf_ndxscn(scn))
                                .arg(ElfError()));
            if (!(section.sh_flags & SHF_ALLOC) || section.sh_type == SHT_NOBITS ||
                section.sh_size == 0)
                continue; // symbols, debugging, .bss: nothing a chip holds
            // Inside a segment checked above, so inside the file.
            if (const std::optional<quint64> address = SectionLoadAddress(section, segments))
                image.add(int(elf_ndxscn(scn)), qint64(*address),
                          QByteArrayView(content).sliced(qsizetype(section.sh_offset),
                                                         qsizetype(section.sh_size)));
        }
    }
    if (header.e_entry <= 0xFFFFFFFFu)
        image.start = quint32(header.e_entry);
    return Status::Ok();
}

LoadResult LoadElfFile(const QString& path, const LoadOptions& options, ImageTarget target) {
    // A firmware ELF file carries symbols and debugging sections beside what
    // is loaded; far more than any of them, far less than would strain memory.
    constexpr qint64 MaxElfBytes = 64 * 1024 * 1024;
    return OpenRecordImage(path, options, target, ReadElfImage, MaxElfBytes);
}

} // namespace varn::detail
