#include "jsonevents.h"

#include "core/appstate.h"
#include "core/bufferops.h"
#include "core/crc32.h"
#include "core/devicebounds.h"
#include "core/differences.h"
#include "core/hextext.h"
#include "exitstatus.h"
#include "files/imagefiles.h"
#include "functions/functiontable.h"
#include "functions/functiontext.h"
#include "link/portinfo.h"
#include "multiunit.h"
#include "production/chipfield.h"
#include "production/serialnumber.h"
#include "session/logdashboard.h"
#include "session/programmingsession.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <cstdio>
#include <mutex>

namespace varn {

namespace {

// Ranges a mismatch lists before it only counts the rest.
constexpr int MaxJsonRanges = 20;

std::mutex lineMutex;

void writeLine(const QJsonObject& object) {
    const QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    const std::lock_guard<std::mutex> lock(lineMutex);
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

QString timeText(const QDateTime& time) {
    return time.toUTC().toString(Qt::ISODateWithMs);
}

// An object that concerns no unit: "port" is null.
void writeWithoutUnit(const QString& type, QJsonObject fields) {
    fields.insert("type", type);
    fields.insert("port", QJsonValue::Null);
    fields.insert("time", timeText(QDateTime::currentDateTimeUtc()));
    writeLine(fields);
}

QString outcomeText(Outcome outcome) {
    switch (outcome) {
    case Outcome::Success:
        return QStringLiteral("success");
    case Outcome::Refused:
        return QStringLiteral("refused");
    case Outcome::CommunicationFailure:
        return QStringLiteral("communication");
    case Outcome::Mismatch:
        return QStringLiteral("mismatch");
    case Outcome::Stopped:
        return QStringLiteral("stopped");
    }
    return {};
}

QString linkFaultText(LinkFault fault) {
    switch (fault) {
    case LinkFault::None:
        return {};
    case LinkFault::NoReply:
        return QStringLiteral("no-reply");
    case LinkFault::ShortReply:
        return QStringLiteral("short-reply");
    case LinkFault::LineLost:
        return QStringLiteral("line-lost");
    case LinkFault::GarbledReply:
        return QStringLiteral("garbled-reply");
    }
    return {};
}

QString hexBytes(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex().toUpper());
}

// Compare's and diff's ranges, with the bytes expected and found.
void addRanges(const DifferenceReport& report, QJsonObject& object) {
    QJsonArray ranges;
    qint64 ranged = 0;
    for (const DifferenceRange& range : report.ranges) {
        if (ranges.size() == MaxJsonRanges)
            break;
        ranges.append(QJsonObject{{"first", HexWord(range.first)},
                                  {"last", HexWord(range.last)},
                                  {"count", range.count},
                                  {"expected", hexBytes(range.buffer)},
                                  {"actual", hexBytes(range.other)}});
        ++ranged;
    }
    object.insert("moreRanges", qint64(report.ranges.size()) - ranged);
    object.insert("differences", ranges);
    object.insert("differingBytes", qint64(report.count));
}

// A mismatch's differing ranges, with the bytes expected and found.
void addDifferences(const FunctionResult& result, QJsonObject& object) {
    if (!result.report.ranges.empty()) {
        addRanges(result.report, object);
        return;
    }
    // Verify and blank check stop at the first wrong byte.
    QJsonArray ranges;
    for (const ByteDifference& d : result.differences) {
        ranges.append(QJsonObject{{"first", HexWord(d.address)},
                                  {"last", HexWord(d.address)},
                                  {"count", 1},
                                  {"expected", hexBytes(QByteArray(1, char(d.expected)))},
                                  {"actual", hexBytes(QByteArray(1, char(d.actual)))}});
    }
    object.insert("moreRanges", 0);
    object.insert("differences", ranges);
    object.insert("differingBytes", qint64(result.differences.size()));
}

} // namespace

QString JsonEvents::outcomeName(int status) {
    const ExitStatusRow* row = ExitStatusRowOf(status);
    return QLatin1String(row ? row->outcome : UnknownStatusOutcome);
}

void JsonEvents::write(const QString& type, QJsonObject fields) {
    if (port.isNull()) {
        writeWithoutUnit(type, fields);
        return;
    }
    fields.insert("type", type);
    fields.insert("port", port);
    fields.insert("time", timeText(QDateTime::currentDateTimeUtc()));
    writeLine(fields);
}

void JsonEvents::runStarted(const AppState& image, const QString& imagePath,
                            const QList<int>& functions) {
    const qint32 size = qBound(0, image.DeviceSize(), BufferSize);
    const QByteArray sha = QCryptographicHash::hash(QByteArrayView(image.Buffer.data(), size),
                                                    QCryptographicHash::Sha256);
    QJsonArray names;
    for (const int function : functions)
        names.append(FunctionName(function));
    QJsonObject fields{{"image", imagePath},
                       {"crc32", Crc32Text(BufferCrc32(image))},
                       {"sha256", QString::fromLatin1(sha.toHex())},
                       {"device", image.SelectedEntry().Name},
                       {"deviceSize", size},
                       {"functions", names}};
    // What no chip of the device holds: refused, or left out with --allow-partial.
    if (const OutsideDevice outside = ImageOutsideDevice(image); !outside.empty()) {
        QJsonArray ranges;
        for (const AddressRange& range : outside.ranges)
            ranges.append(QJsonObject{{"first", HexWord(range.first)},
                                      {"last", HexWord(range.last)},
                                      {"count", range.count()}});
        fields.insert("outsideDevice", ranges);
        fields.insert("outsideBytes", outside.bytes);
    }
    write(QStringLiteral("run-started"), fields);
}

void JsonEvents::unitIdentified(const QByteArray& reply, const QString& name,
                                const QString& version) {
    write(QStringLiteral("unit-identified"),
          {{"name", name}, {"version", version}, {"reply", hexBytes(reply)}});
}

void JsonEvents::functionStarted(const FunctionResult& run) {
    shownPercent = -1;
    shownResent = 0;
    running = true;
    shownAt = QDateTime::currentDateTimeUtc();
    write(QStringLiteral("function-started"),
          {{"function", FunctionName(run.function)}, {"step", run.autoStep}});
}

void JsonEvents::functionProgress(const FunctionResult& run, int percent) {
    if (!running)
        return;
    writeRetries(run);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (percent / 10 == shownPercent / 10 && shownAt.msecsTo(now) < 1000)
        return;
    shownPercent = percent;
    shownAt = now;
    write(QStringLiteral("progress"), {{"function", FunctionName(run.function)},
                                       {"percent", percent},
                                       {"blocksDone", run.blocksDone},
                                       {"blocksTotal", run.blocksTotal}});
}

void JsonEvents::writeRetries(const FunctionResult& run) {
    // One event for every request that went out again, also for several
    // within one block and for those of the last block.
    while (shownResent < run.resent) {
        ++shownResent;
        write(QStringLiteral("retry"), {{"function", FunctionName(run.function)},
                                        {"block", HexWord(qMax(0, run.workingAt))},
                                        {"resent", shownResent}});
    }
}

void JsonEvents::functionFinished(const FunctionResult& result) {
    if (running)
        writeRetries(result);
    running = false;
    QJsonObject fields{{"function", FunctionName(result.function)},
                       {"step", result.autoStep},
                       {"outcome", outcomeText(result.outcome)},
                       {"blocksDone", result.blocksDone},
                       {"blocksTotal", result.blocksTotal},
                       {"bytes", result.bytesTransferred},
                       {"resent", result.resent},
                       {"text", ResultReport(result)}};
    if (result.outcome == Outcome::Refused)
        fields.insert("reason", result.refusal);
    if (result.outcome == Outcome::CommunicationFailure)
        fields.insert("linkFault", linkFaultText(result.linkFault));
    if (result.outcome == Outcome::Stopped)
        fields.insert("stoppedAt", HexWord(result.stoppedAt));
    if (result.outcome == Outcome::Mismatch || FunctionHas(result.function, ListsDifferences))
        addDifferences(result, fields);
    write(QStringLiteral("function-finished"), fields);
}

void JsonEvents::fileLoaded(const QString& file, const LoadResult& loaded) {
    // In the order varn-cli prints them.
    QStringList notices = loaded.notices;
    for (const QString& more : {loaded.otherFormat, loaded.leftOut})
        if (!more.isEmpty())
            notices << more;
    write(QStringLiteral("file-loaded"), {{"file", file},
                                          {"format", FormatName(loaded.format)},
                                          {"bytes", loaded.bytesStored},
                                          {"notices", QJsonArray::fromStringList(notices)}});
}

void JsonEvents::crc32(const AppState& image) {
    write(QStringLiteral("crc32"), {{"crc32", Crc32Text(BufferCrc32(image))},
                                    {"device", image.SelectedEntry().Name},
                                    {"deviceSize", qBound(0, image.DeviceSize(), BufferSize)}});
}

void JsonEvents::checksum(const AppState& image) {
    write(QStringLiteral("checksum"), {{"checksum", HexWord(BufferChecksum(image))},
                                       {"device", image.SelectedEntry().Name},
                                       {"deviceSize", qBound(0, image.DeviceSize(), BufferSize)}});
}

void JsonEvents::identify(const QByteArray& reply, const QString& name, const QString& version) {
    write(QStringLiteral("identify"),
          {{"name", name}, {"version", version}, {"reply", hexBytes(reply)}});
}

void JsonEvents::differences(const QString& type, const DifferenceReport& report,
                             const QString& file) {
    QJsonObject fields;
    if (!file.isEmpty())
        fields.insert("file", file);
    addRanges(report, fields);
    write(type, fields);
}

void JsonEvents::ports(const QList<PortEntry>& ports) {
    QJsonArray list;
    for (const PortEntry& p : ports)
        list.append(QJsonObject{{"path", p.path},
                                {"description", p.description},
                                {"manufacturer", p.manufacturer},
                                {"vendorProduct", p.vendorProduct},
                                {"serialNumber", p.serialNumber},
                                {"stableName", p.stableName},
                                {"listedBySystem", p.listedBySystem},
                                {"exists", p.exists},
                                {"accessible", p.accessible},
                                {"group", p.group},
                                {"comEntries", QJsonArray::fromStringList(p.comEntries)}});
    writeWithoutUnit(QStringLiteral("ports"), {{"ports", list}});
}

void JsonEvents::records(const QList<ChipRecord>& records) {
    QJsonArray list;
    for (const ChipRecord& r : records)
        list.append(RecordObject(r));
    writeWithoutUnit(QStringLiteral("records"), {{"records", list}});
}

void JsonEvents::serialAssigned(qint64 serial) {
    write(QStringLiteral("serial-assigned"), {{"serial", serial}});
}

void JsonEvents::recordWritten(const ChipRecord& record, const QString& notice) {
    QJsonObject fields{{"recordId", record.id},
                       {"state", record.state == ChipRecord::State::Open ? "open" : "closed"},
                       {"result", record.resultText()}};
    if (!notice.isEmpty())
        fields.insert("notice", notice);
    // What went into this chip beyond the image, as the record keeps it.
    if (!record.chipFields.isEmpty())
        fields.insert("chipFields", record.chipFields);
    write(QStringLiteral("record-written"), fields);
}

QJsonObject JsonEvents::runFinishedObject(const QString& port, int status, qint64 durationMs,
                                          qint64 serial, const QString& reason) {
    QJsonObject fields{{"type", "run-finished"},
                       {"port", port},
                       {"time", timeText(QDateTime::currentDateTimeUtc())},
                       {"outcome", outcomeName(status)},
                       {"exitStatus", status},
                       {"durationMs", durationMs}};
    if (serial >= 0)
        fields.insert("serial", serial);
    if (status != ExitOk) {
        // A script is never left with a failure and no word on it: a run that
        // printed nothing (a stop) gets its status's meaning.
        QString why = reason;
        if (const ExitStatusRow* row = ExitStatusRowOf(status); why.isEmpty() && row)
            why = QString::fromLatin1(row->meaning).replace(QLatin1Char('\n'), QLatin1Char(' '));
        fields.insert("reason", why.isEmpty() ? outcomeName(status) : why);
    }
    return fields;
}

void JsonEvents::error(int status, const QString& message) {
    writeWithoutUnit(
        QStringLiteral("error"),
        {{"outcome", outcomeName(status)}, {"exitStatus", status}, {"message", message}});
}

void JsonEvents::help(const QString& text) {
    writeWithoutUnit(QStringLiteral("help"), {{"text", text}});
}

void JsonEvents::version(const QString& version, const QString& text) {
    writeWithoutUnit(QStringLiteral("version"), {{"version", version}, {"text", text}});
}

void JsonEvents::series(const QList<SerialSettings>& series) {
    QJsonArray list;
    // As series create takes them: the names of --serial-encoding and --serial-order.
    for (const SerialSettings& s : series)
        list.append(QJsonObject{{"name", s.series()},
                                {"first", s.first},
                                {"step", s.step},
                                {"last", s.maximum()},
                                {"length", s.length},
                                {"encoding", EncodingName(s.encoding)},
                                {"order", OrderName(s.order)}});
    writeWithoutUnit(QStringLiteral("series"), {{"series", list}});
}

void JsonEvents::pools(const QList<NumberPool>& pools) {
    QJsonArray list;
    for (const NumberPool& p : pools)
        list.append(QJsonObject{{"name", p.name},
                                {"first", p.first},
                                {"last", p.last},
                                {"step", p.step},
                                {"next", p.next},
                                // A pool used up has its next number beyond its last.
                                {"left", p.next > p.last ? 0 : (p.last - p.next) / p.step + 1}});
    writeWithoutUnit(QStringLiteral("pools"), {{"pools", list}});
}

void JsonEvents::logSynced(const QString& message) {
    writeWithoutUnit(QStringLiteral("log-synced"), {{"message", message}});
}

void JsonEvents::serving(const QString& url) {
    writeWithoutUnit(QStringLiteral("serving"), {{"url", url}});
}

void JsonEvents::exported(const QString& file, int records) {
    write(QStringLiteral("exported"), {{"file", file}, {"records", records}});
}

void JsonEvents::runFinished(int status, qint64 durationMs, qint64 serial, const QString& reason) {
    writeLine(runFinishedObject(port, status, durationMs, serial, reason));
}

void JsonEvents::report(const QByteArray& figures) {
    writeWithoutUnit(QStringLiteral("report"), QJsonDocument::fromJson(figures).object());
}

void JsonEvents::summary(const QList<UnitOutcome>& outcomes, int status, int chips, int passed) {
    QJsonArray units;
    for (const UnitOutcome& o : outcomes) {
        // As the unit's own events name it ("COM2" for --port 2).
        QJsonObject unit{{"port", PortLabel(o.port)},
                         {"outcome", outcomeName(o.status)},
                         {"exitStatus", o.status},
                         {"durationMs", o.elapsedMs}};
        if (!o.serial.isEmpty())
            unit.insert("serial", o.serial.toLongLong());
        if (!o.detail.isEmpty())
            unit.insert("detail", o.detail);
        units.append(unit);
    }
    writeWithoutUnit(QStringLiteral("summary"), {{"outcome", outcomeName(status)},
                                                 {"exitStatus", status},
                                                 {"chips", chips},
                                                 {"passed", passed},
                                                 {"units", units}});
}

} // namespace varn
