#pragma once

#include "core/status.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace varn {

// What a front-end asks of the production log outside a chip's run, so that
// it never talks to the log itself.

// The log a user named: the path or URL as given, or varn-log.sqlite in the
// configuration folder configDir when given is empty.
QString LogLocationOrDefault(const QString& given, const QString& configDir);

// The records with from <= time < to (an invalid bound is open), oldest
// first, as CSV; *count: how many. The log must exist.
Status ExportRecordsCsv(const QString& location, const QDateTime& from, const QDateTime& to,
                        QByteArray* csv, int* count);

} // namespace varn
