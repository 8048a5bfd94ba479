#pragma once

#include "core/status.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace varn {

// Where Linux keeps names of USB serial adapters that survive replugging.
inline constexpr const char* SerialByIdDir = "/dev/serial/by-id";

// One serial port as the user needs to know it to pick the programmer unit.
struct PortEntry {
    QString path;        // /dev/ttyUSB0, or the target of a comN entry
    QString description; // from the system, may be empty
    QString manufacturer;
    QString vendorProduct; // "0403:6001" for USB adapters, else empty
    QString serialNumber;
    QString stableName;         // /dev/serial/by-id/... when there is one
    bool listedBySystem = true; // false: only known through a comN entry (pseudo-terminal)
    bool exists = true;
    bool accessible = true; // the current user may read and write it
    QString group;          // the group that owns the device
    QStringList comEntries; // "com1", ... of the working folder that point here
};

// What port number n stands for in appDir: the comN entry and its target,
// or the system's own name for it.
struct PortNumberInfo {
    QString name;   // "com1" entry path, "/dev/ttyS0" or "COM1"
    QString target; // where a comN link points (empty for anything else)
    bool isLink = false;
    bool exists = false;
};

// Reads the facts about the system's ports; tests hand in ports of their own.
QList<PortEntry> SystemPorts(const QString& byIdDir = QString::fromLatin1(SerialByIdDir));

// Every port of the system plus the targets of the working folder's comN
// entries that the system does not list (pseudo-terminals, dangling links),
// each with the comN entries that point to it.
QList<PortEntry> ListPorts(const QString& appDir, const QList<PortEntry>& system);

// The by-id name that leads to devicePath, or empty.
QString StableName(const QString& devicePath,
                   const QString& byIdDir = QString::fromLatin1(SerialByIdDir));

// Access and owning group of one device.
void FillAccess(PortEntry& entry);

PortNumberInfo DescribePortNumber(int portNumber, const QString& appDir);
// One line for the settings dialog: "com1 -> /dev/ttyUSB0", "/dev/ttyS2 (missing)".
QString PortNumberText(const PortNumberInfo& info);

// Makes port number n of appDir lead to devicePath: creates or replaces the
// comN link, through the stable by-id name when the device has one, so that
// the link survives replugging. An entry that is not a link is left alone.
Status PointPortNumberAt(int portNumber, const QString& appDir, const QString& devicePath,
                         const QString& byIdDir = QString::fromLatin1(SerialByIdDir));

// The list as varn-cli --list-ports prints it.
QString FormatPortList(const QList<PortEntry>& ports);

// The last part of a permission message: which group to join, how to check
// membership, and that a new login is needed. Empty when the path is unknown.
QString PermissionHint(const QString& devicePath);

} // namespace varn
