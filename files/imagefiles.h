#pragma once

#include "core/appstate.h"
#include "core/status.h"

#include <QString>
#include <QStringList>
#include <bitset>
#include <optional>
#include <vector>

namespace varn {

// How a file is to be loaded: what the load dialog or varn-cli's options say.
struct LoadOptions {
    FileFormat format = FileFormat::Binary;
    // Lower bound of the file addresses taken (not subtracted); for a binary
    // file the first file position taken.
    qint64 fileOffset = 0;
    // Added to every file address taken.
    qint64 bufferOffset = 0;
    // Subtracted from every address of an Intel HEX, S-record or ELF file
    // before anything else, so that an image linked at 0x08000000 lands at
    // 0; data below it is left out. Binary files have no addresses.
    qint64 relocate = 0;
    // A file whose content is clearly of another format than `format` is
    // refused (varn-cli, when the format came from the name); otherwise the
    // load goes on and LoadResult::otherFormat says so.
    bool refuseOtherFormat = false;
};

// A range of buffer positions, both ends included.
struct BufferRange {
    qint32 first = 0;
    qint32 last = 0;
};

// What a load did. A failed load stored nothing.
struct LoadResult {
    Status status;
    FileFormat format = FileFormat::Binary; // as read
    // The buffer positions stored, merged, and how many bytes they hold.
    std::vector<BufferRange> ranges;
    qint64 bytesStored = 0;
    // Data the load left out (beyond the buffer, below the relocation base),
    // naming the first such record; empty when none.
    QString leftOut;
    // Anything else worth telling (a text image cut off, or going on after
    // its end record).
    QStringList notices;
    // The content is clearly of another format than the one it was loaded as.
    QString otherFormat;
    // Intel HEX 03/05, S7-S9, or the ELF entry point.
    std::optional<quint32> startAddress;

    bool ok() const { return status.ok; }
};

// Where a load stores: a buffer of BufferSize bytes and its defined mask.
struct ImageTarget {
    quint8* bytes = nullptr;
    std::bitset<BufferSize>* defined = nullptr;
};
inline ImageTarget TargetOf(AppState& state) {
    return {state.Buffer.data(), &state.defined};
}

// Loads an image file into target. Every check happens before the first byte
// is stored: a failed load leaves the target exactly as it was. Errors name
// the file and, for text images, the line and the cause.
//
// Intel HEX: every line a record, ':' and hex digits only; data records
// (00) at their full address, extended address records (02: segment x 16,
// the offset wrapping within the 64 KiB segment; 04: upper 16 bits) move the
// data after them, 01 ends the file, 03/05 are start addresses; any other
// type is an error, and every record's checksum is checked ("Checksum Error
// in hex file!").
// S-record: S1/S2/S3 data, S0 skipped, S5/S6 counts checked, S7/S8/S9 end the
// reading ("Checksum Error in S-record file!").
// A text image that ends without its end record (an S-record file: nor with
// a count record after its data) loads with a notice that it may have been
// cut off; one that goes on after its end record loads up to it, with a
// notice naming the first line after it.
// ELF: what `objcopy -O binary` takes, the allocated sections with file
// bytes at their load addresses (not the ELF headers a segment may cover); a
// file without section headers: its PT_LOAD segments' file bytes, with a
// notice. Program header tables that do not fit the file are refused.
// Binary: the byte at file position p >= fileOffset goes to p + bufferOffset.
// For the addressed formats data whose address lies beyond the buffer is left
// out (LoadResult::leftOut); a record that the buffer offset pushes past the
// buffer's end is refused. Pipes and other streams are read to their end.
LoadResult LoadImageFile(const QString& path, const LoadOptions& options, ImageTarget target);
inline LoadResult LoadImageFile(const QString& path, const LoadOptions& options, AppState& state) {
    LoadResult result = LoadImageFile(path, options, TargetOf(state));
    if (result.ok() && result.startAddress)
        state.startAddress = result.startAddress;
    return result;
}

// How a save writes the selected device's part of the buffer.
struct SaveOptions {
    FileFormat format = FileFormat::Binary;
    // Intel HEX and S-record: only the ranges holding defined bytes, and the
    // image's start address when it has one.
    bool definedOnly = false;
};

// The file's bytes; failures name `shown`.
Status ImageFileBytes(const AppState& state, const SaveOptions& options, const QString& shown,
                      QByteArray& bytes);
// Writes the file; the old file is replaced only when the whole new one was
// written.
Status SaveImageFile(const AppState& state, const QString& path, const SaveOptions& options);

// The load dialog's preselection: the last three characters are exactly
// "HEX" or "hex", or the name ends in .ihx (any case).
bool PathLooksHex(const QString& path);
// .s19, .s28, .s37, .srec, .mot or .s in any case.
bool PathLooksSRecord(const QString& path);
// .elf, .axf or .out in any case.
bool PathLooksElf(const QString& path);

// One row per image format: everything the loader, the saver, varn-cli and
// the job file know of it. A new format is a new row and its reader.
struct ImageFormatRow {
    FileFormat format;
    const char* word; // varn-cli's option (--hex) and a job file's "format"
    const char* name; // as messages and --json name it
    // The name chooses it; null for the one format every other name gets
    // (there is exactly one such row).
    bool (*byPath)(const QString& path);
    // varn-cli's --help: which names choose it, and what it is called there.
    const char* byPathHelp;
    // The content is clearly this format; null when nothing marks it.
    bool (*byContent)(const QByteArray& content);
    LoadResult (*load)(const QString& path, const LoadOptions& options, ImageTarget target);
    // The file's bytes; null for a format that is read, never written.
    Status (*write)(const AppState& state, bool definedOnly, const QString& shown,
                    QByteArray& bytes);
    // varn-cli's --help for the option of a format that is only read.
    const char* readOnlyHelp;
};

// In --help's order of the formats that are written.
QList<ImageFormatRow> ImageFormats();
const ImageFormatRow& ImageFormatOf(FileFormat format);
// The formats chosen by name, then the one any other name gets, each word
// after prefix: "hex, srec, elf or bin".
QString ImageFormatWords(const QString& prefix = {});

// The first format whose name rule takes the path, else the fallback.
FileFormat FormatForPath(const QString& path);
QString FormatName(FileFormat format);
// The format the content clearly is (ELF by its magic, Intel HEX or S-record
// by whole, checked records at its start), or none.
std::optional<FileFormat> ContentFormat(const QByteArray& content);

} // namespace varn
