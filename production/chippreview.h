#pragma once

#include "chipfield.h"
#include "core/chippreview.h"
#include "serialnumber.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

namespace varn {

class AppState;

// What the next chip's own bytes are made of, as far as they are known
// before it is programmed. Nothing here is drawn from the log: a number is
// what the log would hand out next, or unknown.
struct ChipPreviewSource {
    // The serial field, when chips get one (enabled, with the log on).
    std::optional<SerialSettings> serial;
    bool serialOverwrite = false;
    std::optional<qint64> nextSerial;
    QList<ChipField> fields;
    // Why the configured fields do not read (every chip would be refused).
    QString fieldsProblem;
    // One per pool field, in the fields' order; missing or empty: unknown.
    QList<std::optional<qint64>> poolNumbers;
    QDateTime time; // the time field's stamp (now)
    QString lot;    // empty: not known
};

// The next chip's fields, written by the code that writes them into a
// programmed chip (WriteSerial, then WriteChipFields, on a copy of image),
// so that a CRC covers the other fields as on the chip. image is not
// changed. The fields come in the order the chip gets them: the serial
// number, then the list.
ChipPreview PreviewChip(const AppState& image, const ChipPreviewSource& source);

} // namespace varn
