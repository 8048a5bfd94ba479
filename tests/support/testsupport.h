#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

namespace varn::test {

// Absolute path of a file under the source tree (demo data and the like).
inline QString SourcePath(const QString& relative) {
    return QStringLiteral(VARN_SOURCE_DIR) + QLatin1Char('/') + relative;
}

inline bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

inline QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
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

} // namespace varn::test
