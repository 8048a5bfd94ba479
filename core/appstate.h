#pragma once

#include "core/protocol.h"

#include <QByteArray>
#include <QString>
#include <algorithm>
#include <array>
#include <bitset>
#include <optional>

namespace varn {

inline constexpr int BufferSize = 70001; // addresses 0..70000
inline constexpr int BufferLast = BufferSize - 1;
inline constexpr int MaxDeviceCount = 50;
inline constexpr int MaxAutoCount = 20;
inline constexpr qint32 MaxDeviceSize = wire::DeviceLimit;
inline constexpr int MaxDeviceCode = 159; // "a" + 159 - 1 is the last byte value

// Function codes shared by auto.cfg, the auto editor and the function list.
enum FunctionCode : int {
    FnRead = 0,
    FnErase = 1,
    FnBlank = 2,
    FnProgram = 3,
    FnVerify = 4,
    FnLock = 5,
    FnAuto = 6, // list item only, never stored in auto.cfg
    // The Device menu's Compare and varn-cli's compare: neither a list item
    // nor an Auto step, so the list and auto.cfg stay as they are.
    FnCompare = 7,
};

// The file formats the load and save commands know.
enum class FileFormat : int { IntelHex, Binary, SRecord, Elf };

struct DeviceEntry {
    QString Name;
    qint16 Code = 0;
    qint32 Size = 0;
};

// Everything that more than one window (or the command-line programmer) uses.
// One object per program run; tests make a fresh one per case.
class AppState {
public:
    AppState() { Buffer.fill(0xFF); }

    std::array<quint8, BufferSize> Buffer;
    // Which bytes of Buffer the image defines: those stored by a load, a fill,
    // a typed digit or a Read. Clear forgets all; a load adds to what is there.
    // With "Only the image" the device functions touch only these bytes (and
    // the 16-byte blocks that hold them). Anything that writes Buffer marks
    // what it wrote with markDefined; undo restores the whole set.
    std::bitset<BufferSize> defined;
    // The start address the image's file gave (Intel HEX 03/05, S7-S9, ELF
    // entry), written back by a save of only the image's bytes; Clear forgets it.
    std::optional<quint32> startAddress;

    // Marks Buffer[begin .. end-1] as defined; the range is clipped to the buffer.
    void markDefined(qint64 begin, qint64 end) {
        begin = std::max<qint64>(begin, 0);
        end = std::min<qint64>(end, BufferSize);
        for (qint64 i = begin; i < end; ++i)
            defined.set(static_cast<size_t>(i));
    }
    void forgetDefined() {
        defined.reset();
        startAddress.reset();
    }
    bool isDefined(qint64 address) const {
        return address >= 0 && address < BufferSize && defined.test(static_cast<size_t>(address));
    }
    // Whether any byte of Buffer[begin .. end-1] is defined.
    bool anyDefined(qint64 begin, qint64 end) const {
        begin = std::max<qint64>(begin, 0);
        end = std::min<qint64>(end, BufferSize);
        for (qint64 i = begin; i < end; ++i)
            if (defined.test(static_cast<size_t>(i)))
                return true;
        return false;
    }
    // Element 0 stays empty so that "no device selected" reads as size 0.
    std::array<DeviceEntry, MaxDeviceCount + 1> DeviceTable{};
    qint16 DeviceCount = 0;
    qint16 SelectedDevice = 0;
    qint16 PortNumber = 1;
    QString AppDir;
    qint16 AutoCount = 0;
    std::array<qint16, MaxAutoCount + 1> AutoList{}; // steps 1..AutoCount

    bool UnitIdentified = false;
    bool unitInReset = false; // the unit is assumed to start running

    const DeviceEntry& SelectedEntry() const {
        static const DeviceEntry none;
        if (SelectedDevice < 0 || SelectedDevice > MaxDeviceCount)
            return none;
        return DeviceTable[SelectedDevice];
    }
    // Read at the moment of use so that a new selection takes effect everywhere.
    qint32 DeviceSize() const { return SelectedEntry().Size; }

    QString ConfigPath(const QString& fileName) const {
        return AppDir.isEmpty() ? fileName : AppDir + QLatin1Char('/') + fileName;
    }
};

} // namespace varn
