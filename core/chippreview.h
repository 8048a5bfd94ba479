#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace varn {

// One per-chip field as the next chip would get it: where it lies, what
// messages call it and its bytes. Plain data, so that the buffer window and
// the memory map can show what the production code computed without knowing
// that code.
struct FieldPreview {
    qint64 address = 0;
    int length = 0;
    QString label; // "serial", "pool mac", "crc16"
    QByteArray bytes;
    // False when the bytes are not known before the chip is programmed (a
    // pool or serial number the log could not tell, a CRC over such a
    // field, a lot not given): they show as "??".
    bool known = true;

    qint64 end() const { return address + length; }
    bool contains(qint64 at) const { return at >= address && at < end(); }
    // "00 00 30 39", or "?? ??" while not known.
    QString bytesText() const;
    // "serial@07F0 = 00 00 30 39"
    QString text() const;
};

// The per-chip fields of the next chip, or why they cannot be written.
struct ChipPreview {
    QList<FieldPreview> fields;
    // Why a chip would be refused (a field past the device, two that
    // overlap); the fields' places are still listed.
    QString problem;
    // Why some bytes are not known (the log could not be read).
    QString note;

    bool isEmpty() const { return fields.isEmpty() && problem.isEmpty(); }
    // The field that holds the byte at address, or null.
    const FieldPreview* fieldAt(qint64 address) const;
    // "Next chip: serial@07F0 = 00 00 30 39, crc16@07FE = 29 B1", the
    // problem when there is one, empty without fields; the note follows.
    QString line() const;
};

} // namespace varn
