#pragma once

// The programmer unit's serial protocol, in one place for every side of the
// line: the engine and unit commands that speak it, the serial link that
// paces it, the scripted unit and varn-unit that answer it and the
// benchmark's bare client. Plain C++ so that the Qt-free tools can use it.
//
// Every transmission from the host is a frame: a length byte N, then N bytes.
//   01 letter                   a command (letters below)
//   01 'R', 04 hi lo 00 n       read the block at hi:lo (n is 10h for a read,
//                               01 for verify and blank check); the unit
//                               answers ReadReplyBytes: a count byte that
//                               includes itself, then the block
//   14 hi lo 00 10 + 16 bytes   program a block (between two 'W'); the unit
//                               answers AckBytes
//   01 'T'                      identify; the unit answers IdentifyReplyBytes
// Erase, Lock, Run, Reset, the device select and 'P' bring no answer.

namespace varn::wire {

// The line: 57,600 baud, 8N1, so one byte takes ten bit-times.
inline constexpr int BaudRate = 57600;
inline constexpr int BitsPerByte = 10;
inline constexpr long long ByteTimeNs = BitsPerByte * 1000000000LL / BaudRate;

// Bytes of device data per block, and the device limit that two address
// bytes can reach.
inline constexpr int BlockBytes = 16;
inline constexpr int DeviceLimit = 65536;

// Length bytes, and the whole frames they start.
inline constexpr unsigned char CommandLength = 0x01;
inline constexpr unsigned char AddressLength = 0x04;
inline constexpr unsigned char BlockLength = 4 + BlockBytes; // 0x14
inline constexpr int CommandFrameBytes = 1 + CommandLength;
inline constexpr int AddressFrameBytes = 1 + AddressLength;
inline constexpr int BlockFrameBytes = 1 + BlockLength;
// The header bytes of an address or block frame before its data.
inline constexpr int BlockHeaderBytes = AddressFrameBytes;

// Replies.
inline constexpr int ReadReplyBytes = 1 + BlockBytes;
inline constexpr int AckBytes = 1;
inline constexpr int IdentifyReplyBytes = 8;

// Command letters.
inline constexpr char Identify = 'T';
inline constexpr char Read = 'R';
inline constexpr char Write = 'W'; // opens and closes a run of program blocks
inline constexpr char Erase = 'E';
inline constexpr char Lock = 'L';
inline constexpr char Run = '+';
inline constexpr char Reset = '-';
inline constexpr char Prepare = 'P'; // sent twice at the end of the load sequence
// The device select letter for device code 1 .. 159 ('a' + code - 1).
inline constexpr int DeviceSelectBase = 'a' - 1;

} // namespace varn::wire
