#pragma once

#include "chiprecord.h"
#include "core/status.h"

#include <QList>
#include <QSqlDatabase>
#include <QString>

namespace varn {

// The local journal: records that could not reach their log wait here (an
// SQLite file of its own, shared by every log and program of the user) until
// the log answers again. Each record is kept once per log, by its uid: a
// record kept open and then closed is one entry, in its last state.
class LogJournal {
public:
    explicit LogJournal(const QString& path);
    ~LogJournal();
    LogJournal(const LogJournal&) = delete;
    LogJournal& operator=(const LogJournal&) = delete;

    const QString& path() const { return filePath; }

    // Keeps the record for the log named logKey (created on first use); a
    // record not yet in the log gets the entry's number, negated, as its id.
    Status keep(const QString& logKey, ChipRecord& record);
    // The records waiting for logKey, in the order they were first kept. A
    // journal file that does not exist holds none.
    Status pending(const QString& logKey, QList<ChipRecord>* out);
    // The record has reached its log.
    Status remove(const QString& logKey, const QString& uid);

private:
    Status open(bool create);
    Status fail(const QString& what, const QString& reason) const;

    QString filePath;
    QString connectionName;
    QSqlDatabase db;
};

} // namespace varn
