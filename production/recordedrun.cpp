#include "recordedrun.h"

#include "core/appstate.h"

#include <algorithm>

namespace varn {

void RecordedRun::start(const AppState& state, const RunContext& context) {
    current = StartRecord(state, context);
    started = true;
}

Status RecordedRun::prepare(AppState& state, int index) {
    if (!serial.enabled || current.serial >= 0 || !RunPrograms(state, index))
        return Status::Ok();
    const QString step = QStringLiteral("Serial number");
    Status status = serial.check(state.DeviceSize());
    qint64 number = -1;
    if (status)
        status = log.allocateSerial(serial, &number);
    if (status) {
        current.serial = number;
        current.serialSeries = serial.series();
        status = WriteSerial(state, serial, number);
        NoteSerialField(current, state, serial);
    }
    if (!status)
        AddFailure(current, step, ChipRecord::Failure::Refused, status.message);
    return status;
}

Status RecordedRun::finish() {
    started = false;
    FinishRecord(current);
    return log.writeRecord(current);
}

void RestoreImageField(AppState& state, const SerialSettings& serial, QByteArray& imageField) {
    const qint64 end = serial.address + serial.length;
    if (!serial.enabled || serial.address < 0 || end > BufferSize)
        return;
    auto field = state.Buffer.begin() + serial.address;
    if (imageField.isEmpty())
        imageField = QByteArray(reinterpret_cast<const char*>(&*field), serial.length);
    std::copy(imageField.begin(), imageField.end(), field);
}

Status LoggedChips::beginChip(AppState& state) {
    if (RunPrograms(state, FnAuto))
        RestoreImageField(state, serial, imageField);
    run.start(state, context);
    const Status prepared = run.prepare(state, FnAuto);
    wroteSerial = wroteSerial || (prepared && run.record().serial >= 0);
    return prepared;
}

Status LoggedChips::endChip(const FunctionResult* result) {
    if (result)
        run.add(*result);
    if (const Status written = run.finish(); !written)
        return Status::Fail(written.message + QStringLiteral("\nThe chip counts as failed. ") +
                            run.record().toText());
    return Status::Ok();
}

qint64 LoggedChips::nextSerial() {
    qint64 number = -1;
    return serial.enabled && log.peekSerial(serial, &number) ? number : -1;
}

} // namespace varn
