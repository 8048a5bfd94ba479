#pragma once

#include <QString>
#include <QtGlobal>
#include <cstddef>

namespace varn {

class AppState;

// CRC-32 with the reflected IEEE polynomial EDB88320, initial value and final
// XOR FFFFFFFF: the value zlib's crc32(), srec_cat's -crc32-l-e and most
// production tools print for the same bytes, so a figure shown here can be
// checked against a build's output. Pass a previous result as `crc` to
// continue over more bytes.
quint32 Crc32(const quint8* data, std::size_t size, quint32 crc = 0);

// CRC-32 of Buffer[0 .. DeviceSize-1], the bytes a Program sends; 0 for no
// device (the CRC of nothing).
quint32 BufferCrc32(const AppState& state);

// Eight upper-case hexadecimal digits, as the buffer window shows it.
QString Crc32Text(quint32 crc);

} // namespace varn
