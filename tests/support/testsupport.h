#pragma once

#include "core/appstate.h"
#include "files/imagefiles.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QPair>
#include <QString>
#include <initializer_list>
#include <memory>

namespace varn::test {

// Absolute path of a file under the source tree (demo data and the like).
inline QString SourcePath(const QString& relative) {
    return QStringLiteral(VARN_SOURCE_DIR) + QLatin1Char('/') + relative;
}

inline bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// The lines (JSON Lines) that fail doc/varn-cli-events.schema.json, checked
// with Debian's python3-jsonschema, one message each; empty when all pass.
QByteArray SchemaFaults(const QByteArray& lines);

inline QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// first, first + 7, first + 14, ... (mod 256): neighbours always differ.
inline QByteArray Bytes(int first, int count) {
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out.append(char((first + i * 7) & 0xFF));
    return out;
}

inline QByteArray Bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

// Bytes [from, from + count) of the buffer.
inline QByteArray BufferBytes(const AppState& state, int from, int count) {
    return QByteArray(reinterpret_cast<const char*>(state.Buffer.data()) + from, count);
}

// One device of deviceSize bytes, selected; the buffer holds a pattern that
// no test file writes, so that untouched positions can be told apart.
inline std::unique_ptr<AppState> ImageState(qint32 deviceSize = 0) {
    auto state = std::make_unique<AppState>();
    state->DeviceTable[1] = {QStringLiteral("TEST"), 1, deviceSize};
    state->SelectedDevice = 1;
    for (int i = 0; i < BufferSize; ++i)
        state->Buffer[i] = quint8(0xA5 ^ (i & 0x3F));
    return state;
}

using Placement = QList<QPair<int, QByteArray>>; // buffer position, bytes expected there

// Whether a load into a fresh ImageState() placed exactly these bytes, marked
// them defined, and left everything else as it was.
inline bool LoadedAsPlaced(const AppState& state, const Placement& placement) {
    auto fresh = ImageState();
    for (const auto& [position, bytes] : placement)
        for (int i = 0; i < bytes.size(); ++i)
            fresh->Buffer[position + i] = quint8(bytes[i]), fresh->defined.set(position + i);
    return state.Buffer == fresh->Buffer && state.defined == fresh->defined;
}

// An Intel HEX record with its checksum and CR LF, built independently of
// the program's writer.
inline QByteArray HexRecord(int address, const QByteArray& data, int type = 0) {
    QByteArray bytes = QByteArray(1, char(data.size())) + char(address >> 8) +
                       char(address & 0xFF) + char(type) + data;
    int sum = 0;
    for (char c : bytes)
        sum += quint8(c);
    return ':' + (bytes + char(-sum)).toHex().toUpper() + "\r\n";
}

// Intel HEX as the program writes it: 16-byte data records, then the end record.
inline QByteArray HexText(const QByteArray& data) {
    QByteArray text;
    for (int a = 0; a < data.size(); a += 16)
        text += HexRecord(a, data.mid(a, 16));
    return text + ":00000001FF\r\n";
}

// A load whose outcome reads as one Status: the failure, or success with what
// it had to tell (data left out, then the notices) as its message.
inline Status LoadAs(AppState& state, FileFormat format, const QString& path, qint64 fileOffset = 0,
                     qint64 bufferOffset = 0) {
    const LoadResult loaded = LoadImageFile(path, {format, fileOffset, bufferOffset}, state);
    QStringList told = loaded.notices;
    if (!loaded.leftOut.isEmpty())
        told.prepend(loaded.leftOut);
    return loaded.ok() ? Status::Ok(told.join(QStringLiteral("\n\n"))) : loaded.status;
}

} // namespace varn::test
