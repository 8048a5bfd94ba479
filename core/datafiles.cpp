#include "datafiles.h"

#include <QDir>
#include <QFileInfo>

namespace varn {

QString FindDataFile(const QString& programDir, const QString& fileName) {
    const QDir dir(programDir);
    const QString beside = dir.filePath(fileName);
    if (QFileInfo(beside).isFile())
        return beside;
    const QString installed = QDir::cleanPath(
        dir.filePath(QLatin1String(InstalledDataDir) + QLatin1Char('/') + fileName));
    return QFileInfo(installed).isFile() ? installed : beside;
}

} // namespace varn
