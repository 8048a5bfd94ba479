#include "runrecord.h"

#include "core/appstate.h"
#include "core/bufferops.h"
#include "core/crc32.h"
#include "core/devicebounds.h"
#include "functions/functiontable.h"
#include "functions/functiontext.h"
#include "link/unitcommands.h"

#include <QCryptographicHash>

namespace varn {

namespace {

QString linkFaultText(LinkFault fault) {
    switch (fault) {
    case LinkFault::NoReply:
        return QStringLiteral("the unit did not answer");
    case LinkFault::ShortReply:
        return QStringLiteral("the unit's reply was incomplete");
    case LinkFault::LineLost:
        return QStringLiteral("the line was lost");
    case LinkFault::GarbledReply:
        return QStringLiteral("garbled reply");
    default:
        return QString();
    }
}

} // namespace

void RunContext::setUnit(const QByteArray& identification) {
    // "Device: NAME\r\nVersion a.b", as the unit's report reads.
    const QStringList lines = IdentificationReport(identification).split(QStringLiteral("\r\n"));
    unitName = lines.value(0).section(QLatin1Char(' '), 1);
    unitVersion = lines.value(1).section(QLatin1Char(' '), 1);
}

ChipRecord StartRecord(const AppState& state, const RunContext& context) {
    ChipRecord record;
    record.time = QDateTime::currentDateTimeUtc();
    record.station = context.fields.stationName();
    record.operatorName = context.fields.operatorName;
    record.lot = context.fields.lot;
    record.workOrder = context.fields.workOrder;
    record.product = context.fields.product;
    record.port = context.port;
    record.adapterId = context.adapterId;
    record.unitName = context.unitName;
    record.unitVersion = context.unitVersion;
    record.deviceType = state.SelectedEntry().Name;
    record.deviceSize = state.DeviceSize();
    record.imageFile = context.imageFile;
    record.imagePath = context.imagePath;
    record.imageCrc32 = BufferCrc32(state);
    record.programmedCrc32 = record.imageCrc32;
    record.imageSha256 = QString::fromLatin1(
        QCryptographicHash::hash(
            QByteArrayView(reinterpret_cast<const char*>(state.Buffer.data()),
                           qMax<qint64>(0, qMin<qint64>(state.DeviceSize(), BufferSize))),
            QCryptographicHash::Sha256)
            .toHex());
    record.imageChecksum = BufferChecksum(state);
    // Every range: the record is where a partial image is answered for later.
    const OutsideDevice outside = ImageOutsideDevice(state);
    record.outsideDevice = RangesText(outside.ranges, int(outside.ranges.size()));
    record.passed = true;
    record.programVersion = QStringLiteral(VARN_VERSION);
    return record;
}

void AddResult(ChipRecord& record, const FunctionResult& result) {
    if (result.function == FnAuto) {
        for (const FunctionResult& step : result.steps)
            AddResult(record, step);
        // A sequence can fail with no step failing: refused before its
        // first, or stopped between two. Its chip did not pass all the same.
        if (result.outcome == Outcome::Refused)
            AddFailure(record, FunctionName(FnAuto), ChipRecord::Failure::Refused, result.refusal);
        else if (result.outcome == Outcome::Stopped)
            AddFailure(record, FunctionName(FnAuto), ChipRecord::Failure::Stopped,
                       QStringLiteral("Stopped between functions"));
        return;
    }
    record.functions.append(FunctionName(result.function));
    record.retries += result.resent;
    // A block on the line may have reached the chip: its number is spent.
    if (FunctionHas(result.function, MayProgram) && result.ran() &&
        (result.blocksDone > 0 ||
         (result.outcome != Outcome::Success && result.outcome != Outcome::Stopped)))
        record.programBytesSent = true;
    if (result.succeeded() || !record.passed)
        return;
    switch (result.outcome) {
    case Outcome::Mismatch:
        AddFailure(record, FunctionName(result.function), ChipRecord::Failure::Mismatch,
                   ResultReport(result));
        if (!result.differences.isEmpty()) {
            const ByteDifference& first = result.firstDifference();
            record.failureAddress = first.address;
            record.expectedByte = first.expected;
            record.actualByte = first.actual;
        }
        break;
    case Outcome::CommunicationFailure:
        AddFailure(record, FunctionName(result.function), ChipRecord::Failure::Communication,
                   linkFaultText(result.linkFault));
        break;
    case Outcome::Stopped:
        AddFailure(record, FunctionName(result.function), ChipRecord::Failure::Stopped,
                   ResultReport(result));
        record.failureAddress = result.stoppedAt;
        break;
    default:
        AddFailure(record, FunctionName(result.function), ChipRecord::Failure::Refused,
                   result.refusal);
        break;
    }
}

void AddFailure(ChipRecord& record, const QString& step, ChipRecord::Failure failure,
                const QString& detail) {
    if (!record.passed)
        return;
    record.passed = false;
    record.failedStep = step;
    record.failure = failure;
    record.failureDetail = detail;
}

void FinishRecord(ChipRecord& record) {
    record.durationMs = record.time.msecsTo(QDateTime::currentDateTimeUtc());
}

void NoteSerialField(ChipRecord& record, const AppState& state, const SerialSettings& serial) {
    record.serialAddress = serial.address;
    record.serialLength = serial.length;
    record.serialEncoding =
        EncodingName(serial.encoding) + QLatin1Char(' ') + OrderName(serial.order);
    record.programmedCrc32 = BufferCrc32(state);
}

bool RunPrograms(const AppState& state, int index) {
    if (index != FnAuto)
        return FunctionHas(index, MayProgram);
    for (int i = 1; i <= qMin(int(state.AutoCount), MaxAutoCount); ++i) {
        if (state.AutoList[i] != FnAuto && FunctionHas(state.AutoList[i], MayProgram))
            return true;
    }
    return false;
}

} // namespace varn
