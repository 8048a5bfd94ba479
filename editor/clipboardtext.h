#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace varn {

// Bytes as the hex view copies them: two upper-case digits each, a space
// between, sixteen a line.
QString HexClipText(const QByteArray& bytes);
// Bytes as a C array named after their first address, twelve a line:
//   const unsigned char image_0100[3] = {
//       0x12, 0xAB, 0x3F,
//   };
QString CArrayClipText(const QByteArray& bytes, qint32 first);
// Hex text pasted at the caret: pairs of digits, optionally "0x" before each,
// separated by spaces, commas, line breaks or nothing; a C array's braces
// and declaration are skipped. Nothing when the text holds anything else.
std::optional<QByteArray> ParseHexClip(const QString& text);

} // namespace varn
