#include "recordedrun.h"

#include "core/appstate.h"

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

} // namespace varn
