#pragma once

#include "core/status.h"
#include "production/chipfield.h"
#include "production/chiprecord.h"
#include "production/productionreport.h"
#include "production/serialnumber.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace varn {

// What a front-end asks of the production log outside a chip's run, so that
// it never talks to the log itself.

// The log a user named: the path or URL as given, or varn-log.sqlite in the
// configuration folder configDir when given is empty.
QString LogLocationOrDefault(const QString& given, const QString& configDir);

// The log's own commands, beside runs, for a front-end that has no business
// with the log's classes (varn-cli's series create, series list, log sync,
// log list and export). Each opens the log, does one thing and says what.

// Creates the series; a log file that does not exist is started (creating a
// series is asking for a log).
Status CreateSeriesIn(const QString& location, const SerialSettings& series);
// One line per series: name, first, step, last number, length, encoding, order.
Status SeriesLines(const QString& location, QStringList* lines);
// The same series as settings (for varn-cli series list --json).
Status ListSeries(const QString& location, QList<SerialSettings>* series);
// Creates the number pool; a log file that does not exist is started.
Status CreatePoolIn(const QString& location, const NumberPool& pool);
// One line per pool: name, first, last, step, numbers left.
Status PoolLines(const QString& location, QStringList* lines);
// The same pools (for varn-cli pool list --json).
Status ListPools(const QString& location, QList<NumberPool>* pools);
// Sends on what waits in the local journal; the message says how many.
Status SyncJournal(const QString& location);
// The records from <= time < to (invalid: open) as a table, or the last
// count when no bound is given; an open record reads "interrupted".
Status RecordLines(const QString& location, const QDateTime& from, const QDateTime& to, int count,
                   QStringList* lines);
// The same records, oldest first (for varn-cli log list --json).
Status ListRecords(const QString& location, const QDateTime& from, const QDateTime& to, int count,
                   QList<ChipRecord>* records);
// The records as CSV (see RecordsToCsv), handed to write piece by piece as
// the log is read (the header first, once the records can be read), so that
// an export of any length takes little memory; *count: how many. A failure
// write returns ends the export and is returned as it is.
Status ExportCsv(const QString& location, const QDateTime& from, const QDateTime& to,
                 const std::function<Status(QByteArrayView)>& write, int* count);

// What the next chip would draw, read without drawing anything (another
// station may take it first): serial, when given and enabled, gets its
// series' definition from the log and *nextSerial its next number; poolNext
// the next number of every pool that has one left. The log is not created
// and its journal is left alone.
Status PeekNextNumbers(const QString& location, SerialSettings* serial,
                       std::optional<qint64>* nextSerial, QHash<QString, qint64>* poolNext);

// The report of the records filter takes (see ProductionReport).
Status ReportOf(const QString& location, const ReportFilter& filter, ProductionReport* report);

} // namespace varn
