#include "chippreview.h"

#include "core/appstate.h"

namespace varn {

namespace {

bool overlaps(const FieldPreview& field, qint64 first, qint64 last) {
    return field.address <= last && field.end() > first;
}

} // namespace

ChipPreview PreviewChip(const AppState& image, const ChipPreviewSource& source) {
    ChipPreview preview;
    if (!source.fieldsProblem.isEmpty()) {
        preview.problem = source.fieldsProblem;
        return preview;
    }
    const SerialSettings* serial =
        source.serial && source.serial->enabled ? &*source.serial : nullptr;
    if (serial)
        preview.fields.append({serial->address,
                               serial->length,
                               QStringLiteral("serial"),
                               {},
                               source.nextSerial.has_value()});
    qsizetype pool = 0;
    ChipFieldValues values;
    for (const ChipField& field : source.fields) {
        FieldPreview shown{field.address, field.length, field.label(), {}, true};
        if (field.kind == ChipField::Kind::Pool) {
            const std::optional<qint64> number =
                pool < source.poolNumbers.size() ? source.poolNumbers[pool] : std::nullopt;
            ++pool;
            shown.known = number.has_value();
            // An unknown number is written as 0 only to learn the field's
            // bytes' places; they show as unknown.
            values.poolNumbers.append(number.value_or(0));
        } else if (field.kind == ChipField::Kind::Lot) {
            shown.known = !source.lot.isEmpty();
        }
        preview.fields.append(shown);
    }
    values.time = source.time;
    values.lot = source.lot.isEmpty() ? QStringLiteral("?") : source.lot;

    preview.problem = ChipFieldsProblem(serial, source.serialOverwrite, source.fields, image);
    if (!preview.problem.isEmpty()) {
        for (FieldPreview& field : preview.fields)
            field.known = false;
        return preview;
    }

    AppState chip = image;
    if (serial) {
        if (const Status written = WriteSerial(chip, *serial, source.nextSerial.value_or(0));
            !written) {
            preview.problem = written.message;
            return preview;
        }
        chip.markDefined(serial->address, serial->address + serial->length);
    }
    if (!source.fields.isEmpty())
        if (const Status written = WriteChipFields(chip, source.fields, values, nullptr);
            !written) {
            preview.problem = written.message;
            return preview;
        }

    // A CRC over a byte not known yet is not known either (nor one over
    // that CRC).
    const qsizetype first = serial ? 1 : 0;
    for (bool changed = true; changed;) {
        changed = false;
        for (qsizetype i = 0; i < source.fields.size(); ++i) {
            const ChipField& field = source.fields[i];
            FieldPreview& shown = preview.fields[first + i];
            if (!field.isCrc() || !shown.known)
                continue;
            for (const FieldPreview& other : std::as_const(preview.fields))
                if (!other.known && overlaps(other, field.from, field.to)) {
                    shown.known = false;
                    changed = true;
                }
        }
    }
    for (FieldPreview& field : preview.fields)
        field.bytes = QByteArray(reinterpret_cast<const char*>(chip.Buffer.data() + field.address),
                                 field.length);
    return preview;
}

} // namespace varn
