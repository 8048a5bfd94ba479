#include "config.h"

#include "textrecord.h"
#include "wholefile.h"

namespace varn {

namespace {

// Far above any valid configuration file (50 device entries take a few
// kilobytes), far below what would strain the memory.
constexpr qint64 MaxConfigBytes = 1024 * 1024;

Status ReadConfigFile(const AppState& state, const char* name, QByteArray& data) {
    WholeFileRead file = ReadWholeFile(state.ConfigPath(QLatin1String(name)), MaxConfigBytes);
    if (!file)
        return Status::Fail(
            QStringLiteral("%1: cannot be read: %2").arg(name, file.describe(MaxConfigBytes)));
    data = std::move(file.bytes);
    return Status::Ok();
}

Status WriteConfigFile(const AppState& state, const char* name, const QByteArray& data) {
    if (Status written = WriteWholeFile(state.ConfigPath(QLatin1String(name)), data); !written)
        return Status::Fail(QStringLiteral("%1: cannot be written: %2").arg(name, written.message));
    return Status::Ok();
}

// Reads one integer and checks it against its bounds. The message it leaves
// in fault is prefixed by the caller with the file and the place.
bool ReadBounded(TextRecordReader& reader, const QString& what, qint64 low, qint64 high,
                 qint64& value, QString& fault) {
    qint64 read = 0;
    if (!reader.readInteger(read)) {
        fault = reader.faultMessage(what);
        return false;
    }
    if (read < low || read > high) {
        fault = QStringLiteral("%1 %2 is outside %3..%4").arg(what).arg(read).arg(low).arg(high);
        return false;
    }
    value = read;
    return true;
}

bool ReadWord(TextRecordReader& reader, const QString& what, qint64& value, QString& fault) {
    qint64 read = 0;
    if (!reader.readInteger(read)) {
        fault = reader.faultMessage(what);
        return false;
    }
    if (read < -32768 || read > 32767) {
        fault = QStringLiteral("%1 %2 does not fit in 16 bits").arg(what).arg(read);
        return false;
    }
    value = read;
    return true;
}

Status LineFault(const char* name, const TextRecordReader& reader, const QString& fault) {
    return Status::Fail(QStringLiteral("%1: line %2: %3").arg(name).arg(reader.line()).arg(fault));
}

} // namespace

Status LoadSettings(AppState& state) {
    QByteArray data;
    if (Status status = ReadConfigFile(state, SettingsFileName, data); !status)
        return status;
    TextRecordReader reader(data);
    qint64 port = 0, count = 0, selected = 0;
    QString fault;
    if (!ReadWord(reader, QStringLiteral("port number"), port, fault) ||
        !ReadBounded(reader, QStringLiteral("device count"), 0, MaxDeviceCount, count, fault) ||
        !ReadBounded(reader, QStringLiteral("selected device"), 0, MaxDeviceCount, selected, fault))
        return LineFault(SettingsFileName, reader, fault);
    state.PortNumber = static_cast<qint16>(port);
    state.DeviceCount = static_cast<qint16>(count);
    state.SelectedDevice = static_cast<qint16>(selected);
    return Status::Ok();
}

Status SaveSettings(const AppState& state) {
    TextRecordWriter writer;
    writer.writeInteger(state.PortNumber);
    writer.writeInteger(state.DeviceCount);
    writer.writeInteger(state.SelectedDevice);
    return WriteConfigFile(state, SettingsFileName, writer.data());
}

Status LoadDeviceTable(AppState& state) {
    QByteArray data;
    if (Status status = ReadConfigFile(state, DeviceFileName, data); !status)
        return status;
    TextRecordReader reader(data);
    // Built aside so that a faulty file leaves the table as it was.
    decltype(state.DeviceTable) table{};
    const int count = qBound(0, int(state.DeviceCount), MaxDeviceCount);
    for (int i = 1; i <= count; ++i) {
        const auto entryFault = [&](const QString& fault) {
            return Status::Fail(QStringLiteral("%1: entry %2 of %3: %4")
                                    .arg(DeviceFileName)
                                    .arg(i)
                                    .arg(count)
                                    .arg(fault));
        };
        DeviceEntry entry;
        if (!reader.readText(entry.Name))
            return entryFault(reader.faultMessage(QStringLiteral("name")));
        qint64 code = 0;
        QString fault;
        if (!ReadBounded(reader, QStringLiteral("code"), 0, MaxDeviceCode, code, fault))
            return entryFault(fault);
        qint64 size = 0;
        if (!reader.readInteger(size))
            return entryFault(reader.faultMessage(QStringLiteral("size")));
        if (size > MaxDeviceSize)
            return entryFault(
                QStringLiteral("size %1 is larger than %2 bytes").arg(size).arg(MaxDeviceSize));
        if (size < 0)
            return entryFault(QStringLiteral("size %1 is negative").arg(size));
        entry.Code = static_cast<qint16>(code);
        entry.Size = static_cast<qint32>(size);
        table[i] = entry;
    }
    state.DeviceTable = table;
    return Status::Ok();
}

Status LoadAutoList(AppState& state) {
    QByteArray data;
    if (Status status = ReadConfigFile(state, AutoFileName, data); !status)
        return status;
    TextRecordReader reader(data);
    qint64 count = 0;
    QString fault;
    if (!ReadBounded(reader, QStringLiteral("step count"), 0, MaxAutoCount, count, fault))
        return LineFault(AutoFileName, reader, fault);
    decltype(state.AutoList) list{};
    // Codes outside the function list are kept: the auto runner skips them.
    for (int i = 1; i <= count; ++i) {
        qint64 code = 0;
        if (!ReadWord(reader, QStringLiteral("step %1 of %2").arg(i).arg(count), code, fault))
            return LineFault(AutoFileName, reader, fault);
        list[i] = static_cast<qint16>(code);
    }
    state.AutoCount = static_cast<qint16>(count);
    state.AutoList = list;
    return Status::Ok();
}

Status SaveAutoList(const AppState& state) {
    // A count the next start would refuse is not written at all.
    if (state.AutoCount < 0 || state.AutoCount > MaxAutoCount)
        return Status::Fail(QStringLiteral("%1: cannot be written: step count %2 is outside 0..%3")
                                .arg(AutoFileName)
                                .arg(state.AutoCount)
                                .arg(MaxAutoCount));
    TextRecordWriter writer;
    writer.writeInteger(state.AutoCount);
    for (int i = 1; i <= state.AutoCount; ++i)
        writer.writeInteger(state.AutoList[i]);
    return WriteConfigFile(state, AutoFileName, writer.data());
}

Status Main(AppState& state, const QString& dir) {
    state.AppDir = dir;
    if (Status status = LoadSettings(state); !status)
        return status;
    if (Status status = LoadDeviceTable(state); !status)
        return status;
    return LoadAutoList(state);
}

} // namespace varn
