#include "firststart.h"

#include "config.h"
#include "datafiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <iterator>

namespace varn {

namespace {

const char* const ConfigFiles[] = {SettingsFileName, DeviceFileName, AutoFileName};

} // namespace

ConfigFolder InspectConfigFolder(const QString& dir) {
    int present = 0;
    for (const char* name : ConfigFiles) {
        // A dangling link or a folder of that name is still the user's entry.
        const QFileInfo entry(QDir(dir).filePath(QLatin1String(name)));
        if (entry.exists() || entry.isSymLink())
            ++present;
    }
    if (present == 0)
        return ConfigFolder::Empty;
    return present == int(std::size(ConfigFiles)) ? ConfigFolder::Complete : ConfigFolder::Partial;
}

Status CreateConfiguration(const QString& dir, const QString& defaultsDir) {
    if (InspectConfigFolder(dir) != ConfigFolder::Empty)
        return Status::Fail(
            QStringLiteral("%1 already holds configuration files; none was replaced").arg(dir));
    for (const char* name : ConfigFiles) {
        const QString source = QDir(defaultsDir).filePath(QLatin1String(name));
        if (!QFileInfo(source).isFile())
            return Status::Fail(QStringLiteral("%1: the default configuration is not installed")
                                    .arg(QDir::toNativeSeparators(source)));
    }
    if (!QDir().mkpath(dir))
        return Status::Fail(
            QStringLiteral("%1: the folder cannot be created").arg(QDir::toNativeSeparators(dir)));
    QStringList created;
    for (const char* name : ConfigFiles) {
        const QString target = QDir(dir).filePath(QLatin1String(name));
        QFile source(QDir(defaultsDir).filePath(QLatin1String(name)));
        // QFile::copy never writes over an existing file.
        if (!source.copy(target)) {
            const QString reason = source.errorString();
            // Half a set would read as the user's own next time: take it back.
            for (const QString& path : created)
                QFile::remove(path);
            return Status::Fail(
                QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(target), reason));
        }
        // Installed files are read-only; the program rewrites varn.cfg and auto.cfg.
        QFile::setPermissions(target, QFile::permissions(target) | QFile::WriteOwner);
        created << target;
    }
    return Status::Ok();
}

QString DefaultsDir(const QString& programDir) {
    return QFileInfo(FindDataFile(programDir, QStringLiteral("demo/") + SettingsFileName)).path();
}

QString UserWorkDir() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("varn"));
}

} // namespace varn
