#pragma once

#include <QString>

namespace varn::test {

// Absolute path of a file under the source tree (demo data and the like).
inline QString SourcePath(const QString& relative) {
    return QStringLiteral(VARN_SOURCE_DIR) + QLatin1Char('/') + relative;
}

} // namespace varn::test
