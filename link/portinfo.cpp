#include "portinfo.h"

#include "seriallink.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace varn {

namespace {

// The device a path finally leads to; the path itself when it leads nowhere.
QString Resolved(const QString& path) {
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    return info.isSymLink() ? info.symLinkTarget() : info.absoluteFilePath();
}

// comN entries of a folder (links or not), by number.
QStringList ComEntries(const QString& appDir) {
    static const QRegularExpression name(QStringLiteral("^com([1-9][0-9]*)$"));
    QStringList found;
    QDir dir(appDir);
    const QFileInfoList entries =
        dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& info : entries) {
        if (name.match(info.fileName()).hasMatch())
            found << info.fileName();
    }
    std::sort(found.begin(), found.end(), [](const QString& a, const QString& b) {
        return a.mid(3).toInt() < b.mid(3).toInt();
    });
    return found;
}

QString Group(const QString& path) {
#ifdef Q_OS_UNIX
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    if (const struct group* g = ::getgrgid(st.st_gid))
        return QString::fromLocal8Bit(g->gr_name);
    return QString::number(st.st_gid);
#else
    Q_UNUSED(path);
    return {};
#endif
}

} // namespace

QString StableName(const QString& devicePath, const QString& byIdDir) {
    const QString device = Resolved(devicePath);
    const QFileInfoList links =
        QDir(byIdDir).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& link : links) {
        if (link.isSymLink() && link.canonicalFilePath() == device)
            return link.absoluteFilePath();
    }
    return {};
}

void FillAccess(PortEntry& entry) {
    entry.exists = QFileInfo::exists(entry.path);
    entry.group = entry.exists ? Group(entry.path) : QString();
#ifdef Q_OS_UNIX
    entry.accessible =
        entry.exists && ::access(QFile::encodeName(entry.path).constData(), R_OK | W_OK) == 0;
#else
    entry.accessible = entry.exists;
#endif
}

QList<PortEntry> SystemPorts(const QString& byIdDir) {
    QList<PortEntry> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        PortEntry entry;
        entry.path = info.systemLocation();
        entry.description = info.description();
        entry.manufacturer = info.manufacturer();
        if (info.hasVendorIdentifier() && info.hasProductIdentifier())
            entry.vendorProduct = QStringLiteral("%1:%2")
                                      .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                                      .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
        entry.serialNumber = info.serialNumber();
        entry.stableName = StableName(entry.path, byIdDir);
        FillAccess(entry);
        ports << entry;
    }
    return ports;
}

QList<PortEntry> ListPorts(const QString& appDir, const QList<PortEntry>& system) {
    QList<PortEntry> ports = system;
    for (const QString& com : ComEntries(appDir)) {
        const QString target = Resolved(QDir(appDir).filePath(com));
        auto it = std::find_if(ports.begin(), ports.end(),
                               [&](const PortEntry& p) { return Resolved(p.path) == target; });
        if (it == ports.end()) {
            // Pseudo-terminals and dangling links: the system does not know them.
            PortEntry entry;
            entry.path = target;
            entry.listedBySystem = false;
            FillAccess(entry);
            ports << entry;
            it = ports.end() - 1;
        }
        it->comEntries << com;
    }
    return ports;
}

PortNumberInfo DescribePortNumber(int portNumber, const QString& appDir) {
    PortNumberInfo info;
    info.name = PortDeviceName(portNumber, appDir);
#ifdef Q_OS_WIN
    info.exists = QSerialPortInfo(info.name).isValid();
#else
    const QFileInfo file(info.name);
    info.isLink = file.isSymLink();
    if (info.isLink)
        info.target = file.symLinkTarget();
    info.exists = file.exists();
#endif
    return info;
}

QString PortNumberText(const PortNumberInfo& info) {
    QString text = QFileInfo(info.name).fileName();
    if (info.name.startsWith(QLatin1String("/dev/")))
        text = info.name;
    if (info.isLink)
        text += QStringLiteral(" -> ") + info.target;
    if (!info.exists)
        text += QStringLiteral(" (missing)");
    return text;
}

Status PointPortNumberAt(int portNumber, const QString& appDir, const QString& devicePath,
                         const QString& byIdDir) {
    const QString entry =
        QDir(appDir).filePath(QStringLiteral("com") + QString::number(portNumber));
    const QFileInfo old(entry);
    if ((old.exists() || old.isSymLink()) && !old.isSymLink())
        return Status::Fail(QStringLiteral("%1 is not a link; it was left as it is").arg(entry));

    const QString stable = StableName(devicePath, byIdDir);
    const QString target = stable.isEmpty() ? devicePath : stable;
#ifdef Q_OS_UNIX
    // Made under a temporary name and renamed over the old link, so that the
    // entry never goes missing halfway.
    const QString temporary = entry + QStringLiteral(".new");
    QFile::remove(temporary);
    if (::symlink(QFile::encodeName(target).constData(),
                  QFile::encodeName(temporary).constData()) != 0 ||
        ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(entry).constData()) !=
            0) {
        const QString why = QString::fromLocal8Bit(::strerror(errno));
        QFile::remove(temporary);
        return Status::Fail(QStringLiteral("%1 could not be made: %2").arg(entry, why));
    }
    return Status::Ok();
#else
    Q_UNUSED(target);
    return Status::Fail(QStringLiteral("port links exist only on Linux"));
#endif
}

QString FormatPortList(const QList<PortEntry>& ports) {
    if (ports.isEmpty())
        return QStringLiteral("No serial ports found.\n");
    QString out;
    auto line = [&out](const char* label, const QString& value) {
        if (!value.isEmpty())
            out += QStringLiteral("  %1 %2\n").arg(QLatin1String(label), -13).arg(value);
    };
    for (const PortEntry& p : ports) {
        out += p.path;
        if (!p.exists)
            out += QStringLiteral(" (missing)");
        else if (!p.listedBySystem)
            out += p.path.startsWith(QLatin1String("/dev/pts/"))
                       ? QStringLiteral(" (pseudo-terminal)")
                       : QStringLiteral(" (not listed by the system)");
        out += QLatin1Char('\n');
        line("description:", p.description);
        line("manufacturer:", p.manufacturer);
        line("usb id:", p.vendorProduct);
        line("serial:", p.serialNumber);
        line("stable name:", p.stableName);
        if (p.exists)
            line("access:", p.accessible
                                ? QStringLiteral("yes")
                                : QStringLiteral("no: join the group \"%1\" (sudo usermod -aG %1 "
                                                 "$USER) and log in again; \"id -nG\" lists "
                                                 "your groups")
                                      .arg(p.group));
        line("com entries:", p.comEntries.join(QStringLiteral(", ")));
    }
    return out;
}

QString PermissionHint(const QString& devicePath) {
    const QString group = Group(devicePath);
    if (group.isEmpty())
        return {};
    return QStringLiteral(". The device belongs to the group \"%1\": add your user to it "
                          "(sudo usermod -aG %1 $USER) and log in again. The command \"id -nG\" "
                          "lists the groups you are in now; a group added since your login "
                          "counts only after a new login")
        .arg(group);
}

} // namespace varn
